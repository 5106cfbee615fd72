// Employee and account tasks end to end through the run, each case on its
// own small company database (and side tables in the base directory).
#include <gtest/gtest.h>

#include "tasktest_support.h"

namespace dbu {
namespace {

const char* kEmployee =
    "TABLE EMPLOYEE.ADT\nFIELD EMP_NO Char 10\nFIELD EMP_NAME Char 40\nFIELD SUPERVISOR_CODE2 Char 10\n"
    "FIELD SUPERVISOR_CODE3 Char 10\nFIELD STIN Char 10\nFIELD STIN2 Char 10\nFIELD EMAIL_AC_NO Char 30\n"
    "INDEX EMP_NO EMP_NO UNIQUE\n";
const char* kCode =
    "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD DESC Char 40\nFIELD MAPFIELD Char 10\n"
    "INDEX CATCODE CATEGORY;CODE\nINDEX CODE CODE\nROW SUB | TRANS | Transport | ALW01\n";
const char* kEmail = "TABLE email.adt\nFIELD emp_no Char 10\nFIELD email_ac_no Char 30\n";
const char* kCtc =
    "TABLE ctc.adt\nFIELD code Char 10\nFIELD desc Char 40\nROW \" MY \" | Malaysia\nROW SG | \" Singapore\"\n";

struct EmployeeTasks : TaskTest {
  // Code is back on the company's code table with its start-up settings.
  void ExpectCodeGivenBack() {
    EXPECT_FALSE(form->Code.Active());
    EXPECT_EQ(form->Code.DatabaseName(), "DbConnection1");
    EXPECT_EQ(form->Code.DbConnection(), &form->DbConnection1);
    EXPECT_EQ(form->Code.TableName(), "CODE.ADT");
    EXPECT_EQ(form->Code.IndexFieldNames(), "CATEGORY;CODE");
  }
};

TEST_F(EmployeeTasks, Task1HasNoBody) {
  Build({{"setup.tbl", "TABLE SETUP.ADT\nFIELD CAT Char 10\nROW\n"}});
  EXPECT_EQ(Run(1), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_FALSE(form->MEDSCH.Active());
  EXPECT_EQ(Table("SETUP", {"CAT"}), Rows{""});
}

TEST_F(EmployeeTasks, CleanSupervisorSetupDeletesEmptyCategoriesAmongNeighbours) {
  Build({{"setup.tbl",
          "TABLE SETUP.ADT\nFIELD CAT Char 10\nFIELD SUPERVISOR Char 10\n"
          "ROW | a\nROW | b\nROW HR | c\nROW | d\nROW CLM | e\nROW | f\n"}});
  EXPECT_EQ(Run(4), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(Table("SETUP", {"CAT", "SUPERVISOR"}), (Rows{"HR|c", "CLM|e"}));
  EXPECT_FALSE(form->MEDSCH.Active());
}

TEST_F(EmployeeTasks, ApprovalFlowRotatesAndFourRunsComeBack) {
  Build({{"employee.tbl", std::string(kEmployee) + "ROW 1146 | Tan Mei Ling | a | b | d | c |\n"
                                                   "ROW 6623 | Rahman | | x | | |\n"}});
  const std::vector<std::string> chain{"SUPERVISOR_CODE2", "SUPERVISOR_CODE3", "STIN2", "STIN"};
  const Rows start = Table("EMPLOYEE", chain);
  EXPECT_EQ(Run(6), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{"Emp No: 1146  Name: Tan Mei Ling", "Emp No: 6623  Name: Rahman"}));
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Table("EMPLOYEE", chain), (Rows{"b|c|d|a", "x|||"}));
  EXPECT_FALSE(form->MEDSCH.Active());
  for (int run = 0; run < 3; ++run) EXPECT_EQ(Run(6), TRunEnd::Done);
  EXPECT_EQ(Table("EMPLOYEE", chain), start);
}

TEST_F(EmployeeTasks, ImportEmailUpdatesFoundEmployeesAndGivesCodeBack) {
  Build({{"employee.tbl", std::string(kEmployee) + "ROW 1146 | Tan | | | | | old\nROW 6623 | Rahman | | | | |\n"},
         {"code.tbl", kCode}},
        {{"email.tbl", std::string(kEmail) + "ROW 1146 | \" 1146@x.example \"\nROW \" 6623\" | 6623@x.example\n"
                                             "ROW 9999 | nobody@x.example\n"}});
  EXPECT_EQ(Run(9), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Log(), (Rows{"Emp No: 1146 updated succssfully.", "Emp No:  6623 updated succssfully.",
                         "Emp No: 9999 can not found."}));
  EXPECT_EQ(Table("EMPLOYEE", {"EMP_NO", "EMAIL_AC_NO"}), (Rows{"1146|1146@x.example", "6623|6623@x.example"}));
  ExpectCodeGivenBack();
  EXPECT_TRUE(form->MEDSCH.Active());
  // Later users of Code find the company's code table.
  EXPECT_EQ(MapSubCode(*form, "TRANS"), "ALW01");
}

TEST_F(EmployeeTasks, ImportEmailWithoutOrWithEmptySideTable) {
  Build({{"employee.tbl", std::string(kEmployee) + "ROW 1146 | Tan | | | | |\n"}});
  EXPECT_EQ(Run(9), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, Events{"message: Import file \"email.adt\" can not found !"});
  EXPECT_EQ(form->Code.DatabaseName(), "DbConnection1");
  EXPECT_FALSE(form->MEDSCH.Active());

  std::vector<std::string> report;
  CreateDemoDatabases(
      base.Path(), {{"base/email.tbl", "TABLE EMAIL.ADT\nFIELD emp_no Char 10\nFIELD email_ac_no Char 30\n"}}, report);
  EXPECT_EQ(Run(9), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_TRUE(Log().empty());
  ExpectCodeGivenBack();
}

TEST_F(EmployeeTasks, ImportEmailFailingGivesCodeBackAndKeepsEarlierRows) {
  // An employee table without the mail field stops the run at the update.
  Build({{"employee.tbl", "TABLE EMPLOYEE.ADT\nFIELD EMP_NO Char 10\nINDEX EMP_NO EMP_NO\nROW 1146\n"}},
        {{"email.tbl", std::string(kEmail) + "ROW 1146 | a@x.example\n"}});
  EXPECT_EQ(Run(9), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_NE(ui.Events[0].find("email_ac_no"), std::string::npos) << ui.Events[0];
  ExpectCodeGivenBack();
  EXPECT_FALSE(ui.Hourglass);
}

TEST_F(EmployeeTasks, ImportCountryCodesAppendsTrimmedRowsEveryRun) {
  Build({{"code.tbl", kCode}}, {{"ctc.tbl", kCtc}});
  EXPECT_EQ(Run(10), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_TRUE(Log().empty());
  ExpectCodeGivenBack();
  EXPECT_TRUE(form->MEDSCH.Active());
  EXPECT_EQ(Run(10), TRunEnd::Done);
  EXPECT_EQ(
      Table("CODE", {"CATEGORY", "CODE", "DESC"}),
      (Rows{"SUB|TRANS|Transport", "CTC|MY|Malaysia", "CTC|SG|Singapore", "CTC|MY|Malaysia", "CTC|SG|Singapore"}));
}

TEST_F(EmployeeTasks, ImportCountryCodesMissingFileOrDuplicateKey) {
  Build({{"code.tbl",
          "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD DESC Char 40\nINDEX CODE CODE UNIQUE\n"
          "ROW CTC | SG | Singapore\n"}});
  EXPECT_EQ(Run(10), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, Events{"message: Import file \"ctc.adt\" can not found !"});

  std::vector<std::string> report;
  CreateDemoDatabases(base.Path(), {{"base/ctc.tbl", kCtc}}, report);
  EXPECT_EQ(Run(10), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
  ExpectCodeGivenBack();
  EXPECT_EQ(Table("CODE", {"CODE"}), (Rows{"SG", "MY"})) << "the row before the duplicate stays";
}

TEST_F(EmployeeTasks, EffectiveEndDateAsksAndReportsTheMissingTransfer) {
  Build({{"transfer.tbl",
          "TABLE TRANSFER.ADT\nFIELD EMP_NO Char 10\nFIELD EFFECTIVE_DATE Date\n"
          "FIELD EFFECTIVE_ENDDATE Date\nINDEX EMPDATE EMP_NO;EFFECTIVE_DATE UNIQUE\n"
          "ROW 1146 | 19/09/2003 |\nROW 6623 | 20/09/2003 |\n"}});
  const char* question = "confirm: This process will update the effective end date for employee 6623 & 1146? ";
  EXPECT_EQ(Run(12, false), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, Events{question});
  EXPECT_EQ(Table("TRANSFER", {"EFFECTIVE_ENDDATE"}), (Rows{"", ""}));
  EXPECT_EQ(Run(12), TRunEnd::Done);
  EXPECT_EQ(ui.Events,
            (Events{question, "message: Unable to find 6623'S TRANSFER in the database.", "message: Done!"}));
  EXPECT_EQ(Table("TRANSFER", {"EMP_NO", "EFFECTIVE_ENDDATE"}), (Rows{"1146|31/01/2005", "6623|"}));
  EXPECT_TRUE(form->MEDSCH.Active());
}

TEST_F(EmployeeTasks, ReleaseLockedAccount) {
  Build({{"empmisc.tbl",
          "TABLE EMPMISC.ADT\nFIELD EMP_NO Char 10\nFIELD ACCESSDATE TimeStamp\n"
          "FIELD ACCESSNUM Integer\nFIELD LOCKED Integer\nINDEX EMP_NO EMP_NO UNIQUE\n"
          "ROW 1146 | | 2 | 0\nROW 6623 | | 3 | 1\n"}});
  const std::vector<std::string> fields{"EMP_NO", "ACCESSDATE", "ACCESSNUM", "LOCKED"};
  const Rows before = Table("EMPMISC", fields);
  // Cancel gives the empty default: nothing is opened.
  EXPECT_EQ(Run(18), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (Events{"input: Release Account Locked: Enter the employee no to release", "message: Done!"}));
  EXPECT_FALSE(form->MEDSCH.Active());
  // Blanks only are no empty answer: the empty number is looked for.
  ui.InputAnswers = {"   "};
  EXPECT_EQ(Run(18), TRunEnd::Done);
  EXPECT_EQ(ui.Events[1], "message: Process unsuccessful, system was unable to find the employee.");
  EXPECT_EQ(Table("EMPMISC", fields), before);
  ui.InputAnswers = {" 6623 "};
  EXPECT_EQ(Run(18), TRunEnd::Done);
  EXPECT_EQ(ui.Events.size(), 2u);
  EXPECT_EQ(Table("EMPMISC", fields), (Rows{before[0], "6623|30/12/1899|0|0"}));
  EXPECT_TRUE(form->MEDSCH.Active());
}

// Task 12 leaves "EMP_NO;EFFECTIVE_DATE" on MEDSCH: "SETUP" lacks such an
// index and task 4 stops at Open; task 18's "EMP_NO" suits the employee
// table and task 6 walks in its order.
TEST_F(EmployeeTasks, IndexLeftOnMedschByAnEarlierRun) {
  Build({{"transfer.tbl",
          "TABLE TRANSFER.ADT\nFIELD EMP_NO Char 10\nFIELD EFFECTIVE_DATE Date\n"
          "FIELD EFFECTIVE_ENDDATE Date\nINDEX EMPDATE EMP_NO;EFFECTIVE_DATE\n"},
         {"setup.tbl", "TABLE SETUP.ADT\nFIELD CAT Char 10\nROW\nROW HR\n"},
         {"empmisc.tbl",
          "TABLE EMPMISC.ADT\nFIELD EMP_NO Char 10\nFIELD ACCESSDATE TimeStamp\n"
          "FIELD ACCESSNUM Integer\nFIELD LOCKED Integer\nINDEX EMP_NO EMP_NO\n"},
         {"employee.tbl", std::string(kEmployee) + "ROW 6623 | B | | | | |\nROW 1146 | A | | | | |\n"}});
  EXPECT_EQ(Run(12), TRunEnd::Done);
  EXPECT_EQ(Run(4), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
  EXPECT_EQ(Table("SETUP", {"CAT"}), (Rows{"", "HR"}));
  ui.InputAnswers = {"1146"};
  EXPECT_EQ(Run(18), TRunEnd::Done);
  EXPECT_EQ(Run(6), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{"Emp No: 1146  Name: A", "Emp No: 6623  Name: B"}));
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

// The demo company A01 gives each task of the three families work to do.
struct DemoCompany : TaskTest {};

TEST_F(DemoCompany, EveryEmployeeClaimAndLeaveTaskFindsWork) {
  BuildDemo();
  auto done = [&](int index) {
    EXPECT_EQ(Run(index), TRunEnd::Done) << "task " << index << ": " << (ui.Events.empty() ? "" : ui.Events[0]);
  };
  done(0);
  EXPECT_EQ(Table("MEDSCH", {"CLAIMTYPE"}), (Rows{"OPD", "TRANS"}));
  done(2);
  EXPECT_EQ(Table("MEDICAL", {"PERIOD_TO_TRANSFER"})[1], "200601");
  done(3);
  EXPECT_EQ(ReadFile(base.Base() + "debug_zozuzezi.txt"), "1146*01/12/2005*2401\r\n");
  done(4);
  EXPECT_EQ(Table("SETUP", {"CAT"}), (Rows{"HR", "CLM"}));
  done(5);
  EXPECT_EQ(Log(), Rows{"Emp No: 0030  date: 18/05/2005"});
  done(6);
  EXPECT_EQ(Log().size(), 6u);
  done(7);
  EXPECT_EQ(Log(), Rows{"Emp No: PI30050"});
  done(9);
  EXPECT_EQ(Log().size(), 3u);
  done(10);
  EXPECT_EQ(Table("CODE", {"CATEGORY"}).size(), 7u);
  done(11);
  done(12);
  EXPECT_EQ(Table("TRANSFER", {"EFFECTIVE_ENDDATE"})[0], "31/01/2005");
  done(13);
  EXPECT_EQ(Table("EMPLEAVE", {"EMPCODE"}).size(), 7u);
  done(16);
  done(17);
  EXPECT_EQ(Table("CLMTMPL", {"FIELDNAME"}).size(), 15u);
  ui.InputAnswers = {"6623"};
  done(18);
  EXPECT_EQ(Table("EMPMISC", {"LOCKED"}), (Rows{"0", "0"}));
  done(19);
  done(22);
  EXPECT_EQ(Table("EMPLEAVE", {"CANCEL_FLAG"})[1], "");
  done(23);
  EXPECT_EQ(Table("MEDICAL", {"EMPCODE"}).size(), 6u);
  done(28);
  done(29);
  EXPECT_EQ(Log(), (Rows{"Process - 1146", "Process - 0030", "0030 - Unable to locate in empleave.adt - 18/05/2005"}));
  done(30);
  EXPECT_EQ(Log(), (Rows{"Process - 1146", "Process - 6623"}));
  done(14);
  for (const std::string& event : ui.Events) EXPECT_EQ(event.rfind("error", 0), std::string::npos) << event;
  EXPECT_EQ(Table("LEAV_TRX", {"EMPCODE", "YEAR"}, "LEAVE_CODE;EMPCODE;DATE;ID"),
            (Rows{"1146|2005", "1146|2006", "5311|2004", "5311|2004", "6623|2003", "0030|2006", "6623|2005",
                  "6623|2006"}));
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

// Encrypted free tables are read through the administrator password given
// right after Open; in a dictionary the dictionary supplies it.
struct EncryptedTables : TaskTest {};

TEST_F(EncryptedTables, SetupCleanAndApprovalFlowOnEncryptedFreeTables) {
  Build({{"setup.tbl", "TABLE SETUP.ADT\nFIELD CAT Char 10\nENCRYPT KVRNA7310\nROW\nROW HR\nROW\n"},
         {"employee.tbl", std::string(kEmployee) + "ENCRYPT KVRNA7310\nROW 1146 | Tan | a | b | d | c |\n"}});
  TDbTable t;
  t.SetName("Check");
  t.SetDatabaseName(CompanyDir());
  t.SetTableName("SETUP");
  // The password is given right after Open, so Open itself must succeed.
  t.Open();
  t.Close();
  EXPECT_EQ(Run(4), TRunEnd::Done) << ui.Events[0];
  EXPECT_EQ(Run(6), TRunEnd::Done) << ui.Events[0];
  EXPECT_EQ(Log(), Rows{"Emp No: 1146  Name: Tan"});
  t.Open();
  t.EnableEncryption(TForm1Logic::kAdminPassword);
  ASSERT_FALSE(t.Eof());
  EXPECT_EQ(t.FieldByName("CAT").AsString(), "HR");
  t.Next();
  EXPECT_TRUE(t.Eof());
}

TEST_F(EncryptedTables, TasksInADictionaryDatabase) {
  Build({{"setup.tbl", "TABLE SETUP.ADT\nFIELD CAT Char 10\nDICTIONARY T01.add\nROW\nROW HR\n"},
         {"transfer.tbl",
          "TABLE TRANSFER.ADT\nFIELD EMP_NO Char 10\nFIELD EFFECTIVE_DATE Date\nFIELD EFFECTIVE_ENDDATE Date\n"
          "INDEX EMPDATE EMP_NO;EFFECTIVE_DATE UNIQUE\nDICTIONARY T01.add\nROW 1146 | 19/09/2003 |\n"
          "ROW 6623 | 19/09/2003 |\n"}});
  ASSERT_TRUE(Exists(CompanyDir() + "/T01.add"));
  EXPECT_EQ(Run(4), TRunEnd::Done) << ui.Events[0];
  EXPECT_TRUE(form->DbConnection1.IsDictionaryConnection());
  EXPECT_EQ(Run(12), TRunEnd::Done) << ui.Events[0];
  EXPECT_EQ(ui.Events.back(), "message: Done!");
}

}  // namespace
}  // namespace dbu
