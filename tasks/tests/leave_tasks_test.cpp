// Leave tasks end to end through the run: each case builds its own small
// company database, presses "Process" and checks the tables, the log, the
// boxes in order and how the run ended.
#include <gtest/gtest.h>

#include "tasktest_support.h"

namespace dbu {
namespace {

const char* kLeavTrx =
    "TABLE LEAV_TRX.ADT\nFIELD LEAVE_CODE Char 10\nFIELD EMPCODE Char 10\nFIELD DATE Date\nFIELD ID Integer\n"
    "FIELD YEAR Integer\nFIELD MONTH Integer\nINDEX LTX LEAVE_CODE;EMPCODE;DATE;ID\n";
const char* kEmpLeave =
    "TABLE EMPLEAVE.ADT\nFIELD EMPCODE Char 10\nFIELD START_DATE Date\nFIELD LEAVE_CODE Char 10\nFIELD ID Integer\n"
    "FIELD END_DATE Date\nFIELD PERIOD Char 4\nFIELD CANCEL_FLAG Char 1\n"
    "INDEX EMPCODE EMPCODE;START_DATE;LEAVE_CODE;ID\n";
const std::vector<std::string> kTrxFields{"LEAVE_CODE", "EMPCODE", "DATE", "ID", "YEAR"};
const std::vector<std::string> kAppFields{"EMPCODE", "START_DATE", "ID", "PERIOD", "CANCEL_FLAG"};

struct LeaveTasks : TaskTest {
  void BuildLeave(const std::string& trxRows, const std::string& appRows = "") {
    Build({{"leav_trx.tbl", std::string(kLeavTrx) + trxRows}, {"empleave.tbl", std::string(kEmpLeave) + appRows}});
  }
  Rows Trx() { return Table("LEAV_TRX.ADT", kTrxFields); }
  Rows Apps() { return Table("EMPLEAVE.ADT", kAppFields); }
};

TEST_F(LeaveTasks, PrintInvalidListsNonAnnualDaysWhoseYearOrMonthIsOff) {
  BuildLeave(
      "ROW SL | 0001 | 31/12/2003 | 1 | 1990 | 1\n"    // before 2004: passed over
      "ROW ANNU | 0002 | 18/05/2005 | 2 | 1990 | 1\n"  // annual leave: passed over
      "ROW SL | 0030 | 18/05/2005 | 3 | 2006 | 5\n"    // fits
      "ROW SL | 0030 | 18/05/2005 | 4 | 2005 | 5\n"    // wrong year
      "ROW MC | 0031 | 01/01/2004 | 5 | 2005 | 2\n"    // wrong month
      "ROW MC | 0032 | 01/01/2004 | 6 | 2005 | 1\n");  // fits, first day counted
  const Rows before = Trx();
  EXPECT_EQ(Run(5), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{"Emp No: 0030  date: 18/05/2005", "Emp No: 0031  date: 01/01/2004"}));
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Trx(), before);
  EXPECT_FALSE(form->MEDSCH.Active());
}

TEST_F(LeaveTasks, RestoreLieuLinkAppendsTwiceAndResetsTheFirstMatchingBalance) {
  Build(
      {{"lieutrx1.tbl",
        "TABLE LIEUTRX1.ADT\nFIELD EMP_NO Char 10\nFIELD LEAVE_CODE Char 10\nFIELD ID Integer\nFIELD TRXID Integer\n"
        "FIELD TRX_DATE Date\nFIELD TRXDAY Double\n"},
       {"emplieu.tbl",
        "TABLE EMPLIEU.ADT\nFIELD EMP_NO Char 10\nFIELD LEAVE_CODE Char 10\nFIELD ID Integer\nFIELD BALANCE Double\n"
        "FIELD TAKEN Double\n"
        "ROW PI30050 | LIEU | 2213 | 5 | 5\nROW PI30050 | LIEU | 2214 | 0 | 1\nROW PI30050 | LIEU | 2214 | 0 | 1\n"}});
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Run(7), TRunEnd::Done);
    EXPECT_EQ(Log(), Rows{"Emp No: PI30050"});
    EXPECT_EQ(ui.Events, Events{"message: Done!"});
  }
  const Rows added{"PI30050|LIEU|1341|6640|24/01/2005|1", "PI30050|LIEU|968|3362|01/07/2004|1"};
  Rows twice = added;
  twice.insert(twice.end(), added.begin(), added.end());
  EXPECT_EQ(Table("LIEUTRX1", {"EMP_NO", "LEAVE_CODE", "ID", "TRXID", "TRX_DATE", "TRXDAY"}), twice);
  EXPECT_EQ(Table("EMPLIEU", {"ID", "BALANCE", "TAKEN"}), (Rows{"2213|5|5", "2214|1|0", "2214|0|1"}));
  EXPECT_FALSE(form->MEDSCH.Active());
}

TEST_F(LeaveTasks, RemoveInvalidDetailAsksFirstAndDeletesTheFirstInIndexOrder) {
  BuildLeave(
      "ROW ANNU | 0030 | 18/05/2005 | 7 | 2005 | 5\n"
      "ROW ANNU | 0030 | 18/05/2005 | 5 | 2005 | 5\n"
      "ROW SL | 0030 | 18/05/2005 | 1 | 2005 | 5\n");
  const Rows before = Trx();
  EXPECT_EQ(Run(11, false), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, Events{"confirm: This process will remove the leave detail for employee 0030 on ANNU on "
                              "18/05/05, click Yes to proceed? "});
  EXPECT_EQ(Trx(), before);
  EXPECT_FALSE(ui.Hourglass);

  EXPECT_EQ(Run(11), TRunEnd::Done);
  EXPECT_EQ(ui.Events.back(), "message: Done!");
  EXPECT_EQ(Trx(), (Rows{"ANNU|0030|18/05/2005|7|2005", "SL|0030|18/05/2005|1|2005"}));
  EXPECT_TRUE(form->MEDSCH.Active());
  EXPECT_EQ(Run(11), TRunEnd::Done);
  EXPECT_EQ(Trx(), (Rows{"SL|0030|18/05/2005|1|2005"}));
  EXPECT_EQ(Run(11), TRunEnd::Done);
  ASSERT_EQ(ui.Events.size(), 3u);
  EXPECT_EQ(ui.Events[1], "message: Unable to find this leave detail in the database.");
  EXPECT_EQ(ui.Events[2], "message: Done!");
}

TEST_F(LeaveTasks, RemoveDuplicateChildCareUsesTheYear2004Key) {
  BuildLeave("",
             "ROW S0319 | 24/05/2005 | CHILDLVE | 3081 | 25/05/2005 | 2005 |\n"
             "ROW S0319 | 24/05/2004 | CHILDLVE | 3081 | 24/05/2004 | 2004 |\n"
             "ROW S0319 | 24/05/2004 | CHILDLVE | 3080 | 24/05/2004 | 2004 |\n");
  EXPECT_EQ(Run(13, false), TRunEnd::Stopped);
  EXPECT_EQ(Apps().size(), 3u);
  EXPECT_EQ(Run(13), TRunEnd::Done);
  EXPECT_EQ(ui.Events,
            (Events{"confirm: This process remove the duplicate leave (Child Care Leave on 24/05/05) for S0319? ",
                    "message: Done!"}));
  EXPECT_EQ(Apps(), (Rows{"S0319|24/05/2005|3081|2005|", "S0319|24/05/2004|3080|2004|"}));
  EXPECT_EQ(Run(13), TRunEnd::Done);
  EXPECT_EQ(ui.Events[1], "message: Unable to find this leave detail in the database.");
  EXPECT_EQ(Apps().size(), 2u);
}

TEST_F(LeaveTasks, RectifyYearFixesTheAnnualBlockOnly) {
  BuildLeave(
      "ROW AL | 0001 | 01/03/2005 | 1 | 1999 | 3\n"
      "ROW ANNU | 0002 | 01/03/2005 | 2 | 2006 | 3\n"
      "ROW ANNU | 0001 | 31/12/2004 | 3 | 2004 | 12\n"
      "ROW ANNU | 0003 | 02/01/2006 | 4 | 2005 | 1\n"
      "ROW SL | 0001 | 01/03/2005 | 5 | 1999 | 3\n");
  EXPECT_EQ(Run(14), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}), (Rows{"1|1999", "2|2005", "3|2004", "4|2006", "5|1999"}));
  EXPECT_TRUE(form->MEDSCH.Active());
}

TEST_F(LeaveTasks, RectifyYearWithoutAnnualLeaveChangesNothing) {
  BuildLeave("ROW AL | 0001 | 01/03/2005 | 1 | 1999 | 3\nROW SL | 0001 | 01/03/2005 | 5 | 1999 | 3\n");
  const Rows before = Trx();
  EXPECT_EQ(Run(14), TRunEnd::Done);
  EXPECT_EQ(Trx(), before);
}

TEST_F(LeaveTasks, ClearCancellationIndicatorOrTellsItIsMissing) {
  BuildLeave("",
             "ROW 5416 | 30/09/2005 | ANNU | 2863 | 30/09/2005 | 2005 | Y\n"
             "ROW 5416 | 30/09/2005 | ANNU | 2864 | 30/09/2005 | 2005 | Y\n");
  EXPECT_EQ(Run(22), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Apps(), (Rows{"5416|30/09/2005|2863|2005|", "5416|30/09/2005|2864|2005|Y"}));
}

TEST_F(LeaveTasks, ClearCancellationIndicatorTellsWhenTheApplicationIsMissing) {
  Build({{"empleave.tbl", std::string(kEmpLeave) + "ROW 5416 | 30/09/2005 | ANNU | 2862 | 30/09/2005 | 2005 | Y\n"}});
  EXPECT_EQ(Run(22), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (Events{"message: Unable to find this leave application in Leave Table.", "message: Done!"}));
}

TEST_F(LeaveTasks, CorrectLeaveOf5311GoesOnPastEachMissingRecord) {
  BuildLeave("ROW ANNU | 5311 | 28/12/2004 | 9 | 2004 | 12\nROW ANNU | 5311 | 30/12/2004 | 9 | 2004 | 12\n",
             "ROW 5311 | 28/12/2004 | SL | 9 | 30/12/2004 | 2004 |\n");
  EXPECT_EQ(Run(28), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (Events{"message: Unable to find leave master record !",
                               "message: Unable to find leave detail record (2)!", "message: Done!"}));
  EXPECT_EQ(Trx(), (Rows{"ANNU|5311|28/12/2004|9|2005", "ANNU|5311|30/12/2004|9|2004"}));
  EXPECT_EQ(Apps(), (Rows{"5311|28/12/2004|9|2004|"}));
}

TEST_F(LeaveTasks, CorrectLeaveOf5311UpdatesApplicationAndBothDays) {
  BuildLeave("ROW ANNU | 5311 | 29/12/2004 | 9 | 2004 | 12\nROW ANNU | 5311 | 28/12/2004 | 9 | 2004 | 12\n",
             "ROW 5311 | 28/12/2004 | ANNU | 9 | 29/12/2004 | 2004 |\n");
  EXPECT_EQ(Run(28), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Table("LEAV_TRX", {"DATE", "YEAR"}), (Rows{"29/12/2004|2005", "28/12/2004|2005"}));
  EXPECT_EQ(Apps(), (Rows{"5311|28/12/2004|9|2005|"}));
}

// Records of every year, with and without their application; two details of
// one code on one day are each corrected.
TEST_F(LeaveTasks, CorrectFrom2004OnRecordsOfEveryYear) {
  BuildLeave(
      "ROW ANNU | 0001 | 15/06/2003 | 1 | 2003 | 6\n"
      "ROW ANNU | 0001 | 28/12/2004 | 2 | 2004 | 12\n"
      "ROW ANNU | 0001 | 15/03/2005 | 3 | 2005 | 3\n"
      "ROW SL | 0002 | 15/03/2005 | 4 | 2005 | 3\n"
      "ROW SL | 0002 | 15/03/2005 | 5 | 2005 | 3\n"
      "ROW ANNU | 0001 | 10/10/2004 | 6 | 2005 | 10\n"
      "ROW ANNU | 0001 | 02/02/2006 | 7 | 1999 | 2\n",
      "ROW 0001 | 27/12/2004 | ANNU | 2 | 28/12/2004 | 2004 |\n"
      "ROW 0001 | 01/03/2005 | ANNU | 3 | 14/03/2005 | 2005 |\n"  // ends before the day
      "ROW 0001 | 15/03/2005 | ANNU | 3 | 16/03/2005 | 2005 |\n"
      "ROW 0002 | 15/03/2005 | SL | 5 | 15/03/2005 | 2005 |\n");
  EXPECT_EQ(Run(29), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Log(), (Rows{"Process - 0001", "Process - 0001", "Process - 0002",
                         "0002 - Unable to locate in empleave.adt - 15/03/2005", "Process - 0002"}));
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}),
            (Rows{"1|2003", "2|2005", "3|2006", "4|2006", "5|2006", "6|2005", "7|1999"}));
  EXPECT_EQ(Table("EMPLEAVE", {"ID", "END_DATE", "PERIOD"}),
            (Rows{"2|28/12/2004|2005", "3|14/03/2005|2005", "3|16/03/2005|2006", "5|15/03/2005|2006"}));
  EXPECT_TRUE(form->DbTable1.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "LEAV_TRX.ADT");
  EXPECT_TRUE(form->MEDSCH.Active());
}

TEST_F(LeaveTasks, CorrectFrom2006LeavesEarlierYearsAlone) {
  BuildLeave(
      "ROW ANNU | 0001 | 31/12/2005 | 1 | 1999 | 12\n"
      "ROW ANNU | 0001 | 01/01/2006 | 2 | 2007 | 1\n"
      "ROW ANNU | 0001 | 05/05/2007 | 3 | 2007 | 5\n",
      "ROW 0001 | 01/01/2006 | ANNU | 2 | 01/01/2006 | 2007 |\n");
  EXPECT_EQ(Run(30), TRunEnd::Done);
  EXPECT_EQ(Log(), Rows{"Process - 0001"});
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}), (Rows{"1|1999", "2|2006", "3|2007"}));
  EXPECT_EQ(Table("EMPLEAVE", {"ID", "PERIOD"}), Rows{"2|2006"});
}

// A leave day without an ID (and its application without one, read as 0)
// is found by the correction as by a search on code, employee and day.
TEST_F(LeaveTasks, CorrectionsFindLeaveDaysWithoutAnID) {
  BuildLeave(
      "ROW ANNU | 0001 | 15/03/2005 | | 2005 | 3\n"
      "ROW ANNU | 0001 | 15/03/2005 | 3 | 2005 | 3\n"
      "ROW ANNU | 0002 | 02/02/2006 | | 1999 | 2\n",
      "ROW 0001 | 15/03/2005 | ANNU | | 16/03/2005 | 2005 |\n"
      "ROW 0002 | 01/02/2006 | ANNU | | 03/02/2006 | 1999 |\n");
  EXPECT_EQ(Run(29), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{"Process - 0001", "Process - 0001", "0001 - Unable to locate in empleave.adt - 15/03/2005"}));
  EXPECT_EQ(Run(30), TRunEnd::Done);
  EXPECT_EQ(Log(), Rows{"Process - 0002"});
  EXPECT_EQ(Table("LEAV_TRX", {"EMPCODE", "ID", "YEAR"}), (Rows{"0001||2006", "0001|3|2006", "0002||2006"}));
  EXPECT_EQ(Table("EMPLEAVE", {"EMPCODE", "ID", "PERIOD"}), (Rows{"0001||2006", "0002||2006"}));
}

// Nor is a day missed whose ID is no whole number and so matches no
// integer key.
TEST_F(LeaveTasks, CorrectionFindsALeaveDayWithAFractionalID) {
  Build({{"leav_trx.tbl",
          "TABLE LEAV_TRX.ADT\nFIELD LEAVE_CODE Char 10\nFIELD EMPCODE Char 10\nFIELD DATE Date\nFIELD ID Double\n"
          "FIELD YEAR Integer\nFIELD MONTH Integer\nINDEX LTX LEAVE_CODE;EMPCODE;DATE;ID\n"
          "ROW ANNU | 0001 | 02/02/2006 | 7.5 | 1999 | 2\n"},
         {"empleave.tbl", kEmpLeave}});
  EXPECT_EQ(Run(30), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{"Process - 0001", "0001 - Unable to locate in empleave.adt - 02/02/2006"}));
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}), Rows{"7.5|2006"});
}

// A structure or import run leaves DbTable1 exclusive; tasks 29
// and 30 inherit the setting, so their walk holds "LEAV_TRX" exclusively
// and the first correction cannot reopen it through MEDSCH. The run ends
// with the engine's message; the application changed before stays, the
// detail does not change, and once the setting is back the task completes.
TEST_F(LeaveTasks, CorrectionsWithDbTable1LeftExclusiveStopAtTheFirstReopen) {
  BuildLeave(
      "ROW ANNU | 0001 | 28/12/2004 | 2 | 2004 | 12\n"
      "ROW ANNU | 0002 | 02/02/2006 | 7 | 1999 | 2\n",
      "ROW 0001 | 28/12/2004 | ANNU | 2 | 28/12/2004 | 2004 |\n"
      "ROW 0002 | 02/02/2006 | ANNU | 7 | 02/02/2006 | 1999 |\n");
  form->DbTable1.SetExclusive(true);
  // Task 30 runs after task 29's failed run left DbTable1 open exclusively.
  for (int task : {29, 30}) {
    SCOPED_TRACE(task);
    EXPECT_EQ(Run(task), TRunEnd::Error);
    ASSERT_EQ(ui.Events.size(), 1u);
    EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
    EXPECT_NE(ui.Events[0].find("exclusively"), std::string::npos) << ui.Events[0];
    EXPECT_EQ(Log(), Rows{task == 29 ? "Process - 0001" : "Process - 0002"});
    EXPECT_TRUE(form->DbTable1.Exclusive());
    EXPECT_FALSE(ui.Hourglass);
  }
  EXPECT_TRUE(form->DbTable1.Active());  // left open, exclusively, on "LEAV_TRX"
  form->DbTable1.Close();
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}), (Rows{"2|2004", "7|1999"}));
  EXPECT_EQ(Table("EMPLEAVE", {"ID", "PERIOD"}), (Rows{"2|2005", "7|2006"}));
  form->DbTable1.SetExclusive(false);
  EXPECT_EQ(Run(29), TRunEnd::Done);
  EXPECT_EQ(Run(30), TRunEnd::Done);
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}), (Rows{"2|2005", "7|2006"}));
}

// Task 13 leaves the index "EMPCODE" on MEDSCH; task 5 sets only the table
// name, and "LEAV_TRX" has no such index.
TEST_F(LeaveTasks, IndexLeftByAnEarlierRunStopsTheNextTaskAtOpen) {
  BuildLeave("ROW SL | 0030 | 18/05/2005 | 4 | 2005 | 5\n");
  EXPECT_EQ(Run(13), TRunEnd::Done);
  EXPECT_EQ(Run(5), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
  EXPECT_TRUE(Log().empty());
  EXPECT_FALSE(ui.Hourglass);
}

TEST_F(LeaveTasks, LockHeldElsewhereEndsTheTaskAndKeepsEarlierChanges) {
  BuildLeave("ROW ANNU | 0001 | 01/03/2005 | 1 | 1999 | 3\nROW ANNU | 0002 | 01/03/2005 | 2 | 1999 | 3\n");
  TDbTable other;
  other.SetName("Other");
  other.SetDatabaseName(CompanyDir());
  other.SetTableName("LEAV_TRX");
  other.Open();
  other.Next();
  other.Edit();  // holds the lock of the second record
  EXPECT_EQ(Run(14), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
  other.Cancel();
  other.Close();
  EXPECT_EQ(Table("LEAV_TRX", {"ID", "YEAR"}), (Rows{"1|2005", "2|1999"}));
}

}  // namespace
}  // namespace dbu
