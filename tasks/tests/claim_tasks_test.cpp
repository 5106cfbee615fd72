// Claim tasks end to end through the run, on a small company database built
// for each case: tables, log, debug file, boxes in order and the run's end.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <utility>

#include "formatsettings.h"
#include "tasktest_support.h"

namespace dbu {
namespace {

const char* kMedical =
    "TABLE MEDICAL.ADT\nFIELD EMPCODE Char 10\nFIELD MEDICAL_CODE Char 10\nFIELD MEDICAL_DATE Date\n"
    "FIELD DATE_SERIALNUM Integer\nFIELD VISIT_DATE Date\nFIELD CLAIM_APPROVED Logical\nFIELD APPROVED_DATE Date\n"
    "FIELD SUBCODE Char 10\nFIELD PERIOD_TO_TRANSFER Char 6\nFIELD CYCLE Char 1\n"
    "INDEX CLAIM EMPCODE;MEDICAL_CODE;MEDICAL_DATE;DATE_SERIALNUM\n";
const char* kTemplate =
    "TABLE CLMTMPL.ADT\nFIELD TMPLNO Integer\nFIELD FIELDNAME Char 20\nFIELD FIELDDESC Char 40\nFIELD INPUTSIZE "
    "Integer\n"
    "FIELD DISPSIZE Integer\nFIELD ASS_CTRL Char 10\nFIELD FIELDNO Integer\nFIELD PAGETAKE Char 2\nFIELD WANTED "
    "Logical\n"
    "FIELD REMOVE Logical\nINDEX TMPL TMPLNO;FIELDNAME UNIQUE\n";
const std::vector<std::string> kTemplateFields{"TMPLNO",   "FIELDNAME", "FIELDDESC", "INPUTSIZE", "DISPSIZE",
                                               "ASS_CTRL", "FIELDNO",   "PAGETAKE",  "WANTED",    "REMOVE"};

struct ClaimTasks : TaskTest {
  Rows Claims(const std::vector<std::string>& fields) { return Table("MEDICAL", fields); }
};

TEST_F(ClaimTasks, CleanSetupDeletesEveryEmptyClaimTypeAmongNeighbours) {
  Build({{"medsch.tbl",
          "TABLE MEDSCH.ADT\nFIELD CLAIMTYPE Char 10\nFIELD NAME Char 10\n"
          "ROW | n1\nROW | n2\nROW DEN | n3\nROW | n4\nROW OPD | n5\nROW | n6\nROW | n7\n"}});
  EXPECT_EQ(Run(0), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(Table("MEDSCH", {"CLAIMTYPE", "NAME"}), (Rows{"DEN|n3", "OPD|n5"}));
  EXPECT_TRUE(form->MEDSCH.Active());
}

TEST_F(ClaimTasks, TransferPeriodOfApprovedClaimsWithinBothDateBounds) {
  Build({{"medical.tbl", std::string(kMedical) + "ROW A | X | 01/01/2005 | 1 | | T | 05/12/2005 | TRANS | |\n"
                                                 "ROW B | X | 01/01/2005 | 2 | | T | 06/12/2005 | TRANS | |\n"
                                                 "ROW C | X | 01/01/2005 | 3 | | T | 05/01/2006 | | |\n"
                                                 "ROW D | X | 01/01/2005 | 4 | | T | 06/01/2006 | | |\n"
                                                 "ROW E | X | 01/01/2005 | 5 | | F | 20/12/2005 | | 200512 | A\n"
                                                 "ROW F | X | 01/01/2005 | 6 | | | 20/12/2005 | | |\n"}});
  EXPECT_EQ(Run(2), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Claims({"EMPCODE", "PERIOD_TO_TRANSFER", "CYCLE"}),
            (Rows{"A||", "B|200601|E", "C|200601|E", "D||", "E|200512|A", "F||"}));
  EXPECT_FALSE(form->MEDSCH.Active());
}

// The mapped code has no field to go to; the task makes no lookup, so a
// code table without index (as after start-up) does not stop it.
TEST_F(ClaimTasks, TransferPeriodNeedsNoCodeTable) {
  Build({{"medical.tbl", std::string(kMedical) + "ROW B | X | 01/01/2005 | 2 | | T | 06/12/2005 | TRANS | |\n"}});
  EXPECT_EQ(Run(2), TRunEnd::Done);
  EXPECT_FALSE(form->Code.Active());
}

TEST_F(ClaimTasks, SwapDatesTwiceRestoresAndWritesDebugLines) {
  Build({{"medical.tbl", std::string(kMedical) + "ROW A | X | 01/02/2005 | 11 | 03/01/2005 | T | | | |\n"
                                                 "ROW B | X | 01/02/2005 | 12 | | T | | | |\n"
                                                 "ROW C | X | | 13 | 04/01/2005 | T | | | |\n"}});
  EXPECT_EQ(Run(3), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(Claims({"EMPCODE", "MEDICAL_DATE", "VISIT_DATE"}),
            (Rows{"A|03/01/2005|01/02/2005", "B|01/02/2005|", "C|04/01/2005|30/12/1899"}));
  EXPECT_EQ(ReadFile(base.Base() + "debug_zozuzezi.txt"), "A*01/02/2005*11\r\nC*30/12/1899*13\r\n");
  EXPECT_FALSE(form->MEDSCH.Active());

  // The second run swaps back where both dates are set; C's claim date
  // reads as 0 and stays where the first run put it.
  EXPECT_EQ(Run(3), TRunEnd::Done);
  EXPECT_EQ(Claims({"EMPCODE", "MEDICAL_DATE", "VISIT_DATE"}),
            (Rows{"A|01/02/2005|03/01/2005", "B|01/02/2005|", "C|04/01/2005|30/12/1899"}));
  EXPECT_EQ(ReadFile(base.Base() + "debug_zozuzezi.txt"), "A*01/02/2005*11\r\nC*30/12/1899*13\r\nA*03/01/2005*11\r\n");
}

// Task 23 leaves an index holding MEDICAL_DATE on MEDSCH; the swap moves
// records within that order, yet swaps each exactly once.
TEST_F(ClaimTasks, SwapDatesUnderAnInheritedIndexOnTheClaimDate) {
  Build({{"medical.tbl", std::string(kMedical) + "ROW A | X | 01/01/2005 | 1 | 09/09/2005 | T | | | |\n"
                                                 "ROW A | X | 02/01/2005 | 2 | 08/09/2005 | T | | | |\n"
                                                 "ROW A | X | 03/01/2005 | 3 | 07/09/2005 | T | | | |\n"
                                                 "ROW A | X | 04/01/2005 | 4 | | T | | | |\n"}});
  EXPECT_EQ(Run(23), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (Events{"message: Unable to find this claim application in Claim Table.", "message: Done!"}));
  EXPECT_EQ(Run(3), TRunEnd::Done);
  EXPECT_EQ(Claims({"DATE_SERIALNUM", "MEDICAL_DATE", "VISIT_DATE"}),
            (Rows{"1|09/09/2005|01/01/2005", "2|08/09/2005|02/01/2005", "3|07/09/2005|03/01/2005", "4|04/01/2005|"}));
  EXPECT_EQ(std::count(ui.Events.begin(), ui.Events.end(), "message: Done!"), 1);
}

std::vector<std::string> SplitBars(const std::string& row) {
  std::vector<std::string> values;
  for (size_t start = 0, bar = 0; bar != std::string::npos; start = bar + 1) {
    bar = row.find('|', start);
    values.push_back(row.substr(start, bar - start));
  }
  return values;
}

// Whether task 3 swaps a claim (values as in the model below): its date of
// expense reads as a date after 0.
bool Swapped(const std::vector<std::string>& v) { return !v[3].empty() && v[3] != "30/12/1899"; }

// Under an index left on MEDSCH (by task 23 as a field list, or by name),
// claims in no order, with empty and repeated dates and keys: each claim
// with a date of expense has its dates swapped once, and the debug file
// holds its line, in the order in which the claims stood when the task
// started.
TEST_F(ClaimTasks, SwapDatesUnderAnInheritedIndexFollowsAModel) {
  const char* dates[] = {"", "01/01/2005", "02/01/2005", "15/06/2005", "31/12/2005"};
  std::mt19937 random(20240611);
  std::string rows;
  for (int i = 0; i < 80; ++i)
    rows += "ROW E" + std::to_string(random() % 2) + " | X | " + dates[random() % 5] + " | " +
            std::to_string(random() % 4) + " | " + dates[random() % 5] + " | T | | r" + std::to_string(i) + " | |\n";
  Build({{"medical.tbl", std::string(kMedical) + rows}});
  const std::vector<std::string> fields{"EMPCODE", "MEDICAL_DATE", "DATE_SERIALNUM", "VISIT_DATE", "SUBCODE"};
  for (bool byName : {false, true}) {
    SCOPED_TRACE(byName ? "index name" : "index fields");
    if (byName)
      form->MEDSCH.SetIndexName("CLAIM");
    else
      EXPECT_EQ(Run(23), TRunEnd::Done);
    std::remove((base.Base() + "debug_zozuzezi.txt").c_str());
    std::string debugLines;
    for (const std::string& row : Table("MEDICAL", fields, "EMPCODE;MEDICAL_CODE;MEDICAL_DATE;DATE_SERIALNUM")) {
      const std::vector<std::string> v = SplitBars(row);
      if (Swapped(v)) debugLines += v[0] + "*" + (v[1].empty() ? "30/12/1899" : v[1]) + "*" + v[2] + "\r\n";
    }
    Rows expected;
    for (const std::string& row : Claims(fields)) {
      std::vector<std::string> v = SplitBars(row);
      if (Swapped(v)) {
        std::swap(v[1], v[3]);
        if (v[3].empty()) v[3] = "30/12/1899";  // an empty claim date is written as the date 0
      }
      expected.push_back(v[0] + "|" + v[1] + "|" + v[2] + "|" + v[3] + "|" + v[4]);
    }
    EXPECT_EQ(Run(3), TRunEnd::Done);
    EXPECT_EQ(Claims(fields), expected);
    EXPECT_EQ(ReadFile(base.Base() + "debug_zozuzezi.txt"), debugLines);
  }
}

TEST_F(ClaimTasks, OtTemplateBranches) {
  Build({{"clmtmpl.tbl", std::string(kTemplate) + "ROW 1 | C1 | Start | 10 | 10 | TEXT | 3 | 00 | T | F\n"}});
  EXPECT_EQ(Run(16, false), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, Events{"confirm: This process update the OT claim template with Start & End working time, "
                              "continue? "});
  EXPECT_EQ(Run(16), TRunEnd::Done);
  EXPECT_EQ(ui.Events[1], "message: Unable to find actual start time in template.");
  EXPECT_EQ(ui.Events[2], "message: Done!");
  EXPECT_EQ(Table("CLMTMPL", {"FIELDNAME"}).size(), 1u);
}

TEST_F(ClaimTasks, OtTemplateAddsBothRowsOnceBelowTheStartTime) {
  Build({{"clmtmpl.tbl", std::string(kTemplate) + "ROW 2 | C1 | Actual start | 10 | 10 | TEXT | 7 | 00 | T | F\n"
                                                  "ROW 2 | C9 | Other | 10 | 10 | TEXT | 2 | 00 | T | F\n"}});
  EXPECT_EQ(Run(16), TRunEnd::Done);
  EXPECT_EQ(ui.Events.size(), 2u);
  const Rows expected{"2|C1|Actual start|10|10|TEXT|7|00|True|False",
                      "2|C5|Start Working Time|10|10|TEXT|6|00|False|False",
                      "2|C6|End Working Time|10|10|TEXT|6|00|False|False", "2|C9|Other|10|10|TEXT|2|00|True|False"};
  EXPECT_EQ(Table("CLMTMPL", kTemplateFields, "TMPLNO;FIELDNAME"), expected);
  // "C5" is there now: a second run adds nothing and says nothing.
  EXPECT_EQ(Run(16), TRunEnd::Done);
  EXPECT_EQ(ui.Events.size(), 2u);
  EXPECT_EQ(Table("CLMTMPL", kTemplateFields, "TMPLNO;FIELDNAME"), expected);
  EXPECT_TRUE(form->MEDSCH.Active());
}

TEST_F(ClaimTasks, PayPeriodRowsForTenTemplatesThenTheDuplicateStops) {
  Build({{"clmtmpl.tbl", kTemplate}});
  EXPECT_EQ(Run(17), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (Events{"confirm: This process add a new field pay period to the claim template, continue? ",
                               "message: Done!"}));
  const Rows rows = Table("CLMTMPL", kTemplateFields);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[0], "1|PERIOD_TO_TRANSFER|Pay Period|0|10|TEXT|100|11|False|False");
  EXPECT_EQ(rows[9], "10|PERIOD_TO_TRANSFER|Pay Period|0|10|TEXT|100|11|False|False");
  EXPECT_EQ(Run(17), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 2u);
  EXPECT_EQ(ui.Events[1].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[1];
  EXPECT_EQ(Table("CLMTMPL", kTemplateFields).size(), 10u);
}

TEST_F(ClaimTasks, TransferPeriod200508TakesTheClaimsApprovedToday) {
  const std::string today = FormatDateTime("dd/MM/yyyy", Today());
  const std::string yesterday = FormatDateTime("dd/MM/yyyy", Today() - 1);
  Build({{"medical.tbl", std::string(kMedical) + "ROW A | X | 01/01/2005 | 1 | | T | " + today + " | | |\n" +
                             "ROW B | X | 01/01/2005 | 2 | | T | " + yesterday + " | | |\n" +
                             "ROW C | X | 01/01/2005 | 3 | | T | 17/08/2005 | | |\n"}});
  EXPECT_EQ(Run(19), TRunEnd::Done);
  EXPECT_EQ(Claims({"EMPCODE", "PERIOD_TO_TRANSFER", "CYCLE"}), (Rows{"A|200508|E", "B||", "C||"}));
  EXPECT_TRUE(form->MEDSCH.Active());
}

TEST_F(ClaimTasks, DeleteInvalidClaimSearchesTheDateLikeText) {
  Build({{"medical.tbl", std::string(kMedical) + "ROW K1208734P | TRANS | 20/04/2005 | 2599 | | T | | | |\n"
                                                 "ROW 20/06/2005 | TRANS | 20/04/2005 | 2599 | | T | | | |\n"
                                                 "ROW 20/06/2005 | TRANS | 20/04/2005 | 2600 | | T | | | |\n"}});
  EXPECT_EQ(Run(23), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Claims({"EMPCODE", "DATE_SERIALNUM"}), (Rows{"K1208734P|2599", "20/06/2005|2600"}));
  EXPECT_EQ(Run(23), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (Events{"message: Unable to find this claim application in Claim Table.", "message: Done!"}));
  EXPECT_EQ(Claims({"EMPCODE"}).size(), 2u);
}

TEST_F(ClaimTasks, MapSubCodeLooksUpTheSubCategory) {
  Build({{"code.tbl",
          "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD MAPFIELD Char 10\n"
          "INDEX CATCODE CATEGORY;CODE UNIQUE\n"
          "ROW LEA | TRANS | LEAVEMAP\nROW SUB | TRANS | ALW01\nROW SUB | MEAL |\n"}});
  form->SetCompanyPath();
  EXPECT_EQ(MapSubCode(*form, ""), "");
  EXPECT_FALSE(form->Code.Active()) << "an empty sub code needs no lookup";
  form->Code.SetIndexFieldNames("CATEGORY;CODE");
  EXPECT_EQ(MapSubCode(*form, "TRANS"), "ALW01");
  EXPECT_TRUE(form->Code.Active());
  EXPECT_EQ(MapSubCode(*form, "MEAL"), "");
  EXPECT_EQ(MapSubCode(*form, "NONE"), "");
  form->Code.Close();
  form->Code.SetIndexFieldNames("");
  EXPECT_THROW(MapSubCode(*form, "TRANS"), std::exception) << "no index: no key fields to search";
}

}  // namespace
}  // namespace dbu
