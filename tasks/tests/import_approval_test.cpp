// Task 32 end to end through the run: each case builds a small company with
// encrypted free tables (so the table passwords matter) and writes its own
// "approval_flow.xls" beside the program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "datetime.h"
#include "formatsettings.h"
#include "tasktest_support.h"
#include "workbook_support.h"

namespace dbu {
namespace {

constexpr const char* kEncrypt = "ENCRYPT KVRNA7310\n";

const std::string kEmployeeHead =
    "TABLE EMPLOYEE.ADT\nFIELD EMP_NO Char 10\nFIELD EMP_NAME Char 40\nFIELD SECTION_CODE Char 10\n"
    "FIELD SUPERVISOR_CODE Char 10\nFIELD SUPERVISOR_CODE2 Char 10\nFIELD SUPERVISOR_CODE3 Char 10\n"
    "FIELD STIN Char 10\nFIELD STIN2 Char 10\nFIELD STIN3 Char 10\nINDEX EMP_NO EMP_NO UNIQUE\n" +
    std::string(kEncrypt);

// An effective-dated approval table: "EMP_NO2" orders by employee number
// and, within an employee, by record number (newest first as written).
const std::string kApprovalHead =
    "TABLE APPRFLOW.ADT\nFIELD EMP_NO Char 10\nFIELD EFFECTIVE_DATE Date\nFIELD SUPERVISOR_CODE Char 10\n"
    "FIELD SUPERVISOR_CODE2 Char 10\nFIELD SUPERVISOR_CODE3 Char 10\nFIELD STIN Char 10\nFIELD STIN2 Char 10\n"
    "FIELD STIN3 Char 10\nINDEX EMP_NO2 EMP_NO\n" +
    std::string(kEncrypt);

std::string CodeScript(const std::string& apprfile) {
  return "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD DESC Char 40\nFIELD APPRFILE Char 20\n"
         "INDEX CATCODE CATEGORY;CODE UNIQUE\nROW LEA | ANNU | Annual leave | " +
         apprfile + "\nROW LEA | CHILDCARE | Child care |\n";
}

std::string Employee(const std::string& no, const std::string& name, const std::string& section) {
  return "ROW " + no + " | " + name + " | " + section + " | o1 | o2 | o3 | s1 | s2 | s3\n";
}
std::string Approval(const std::string& no, const std::string& effective) {
  return "ROW " + no + " | " + effective + " | o1 | o2 | o3 | s1 | s2 | s3\n";
}

std::string DayText(int daysFromToday) { return FormatDateTime("dd/MM/yyyy", Today() + daysFromToday); }

const std::vector<std::string> kChain{"SUPERVISOR_CODE", "STIN", "SUPERVISOR_CODE2",
                                      "STIN2",           "SUPERVISOR_CODE3", "STIN3"};
const std::string kOld = "o1|s1|o2|s2|o3|s3";

std::vector<std::string> WithKey(const std::string& key, const std::vector<std::string>& fields) {
  std::vector<std::string> all{key};
  all.insert(all.end(), fields.begin(), fields.end());
  return all;
}

struct ApprovalImport : TaskTest {
  std::string WorkbookPath() const { return base.Base() + "approval_flow.xls"; }
  // A heading row and the given cells.
  void Workbook(TWorkbookCells cells) { cells.Text("A1", "SECTION").Text("C1", "SUPERVISOR").Write(WorkbookPath()); }
  Rows Approvals() { return Encrypted("APPRFLOW", WithKey("EMP_NO", kChain)); }
  Rows Employees() { return Encrypted("EMPLOYEE", WithKey("EMP_NO", kChain)); }
  // An encrypted table's records in natural order, fields joined by "|".
  Rows Encrypted(const std::string& table, const std::vector<std::string>& fields) {
    TDbTable t;
    t.SetName("Check");
    t.SetDatabaseName(CompanyDir());
    t.SetTableName(table);
    t.Open();
    t.EnableEncryption(TForm1Logic::kAdminPassword);
    Rows rows;
    for (t.First(); !t.Eof(); t.Next()) {
      std::string row;
      for (size_t i = 0; i < fields.size(); ++i) row += (i ? "|" : "") + t.FieldByName(fields[i]).AsString();
      rows.push_back(row);
    }
    t.Close();
    return rows;
  }
  static std::string Sector(const std::string& s) { return "************ Sector Code: " + s + " ************"; }
  static std::string NoFlow(const std::string& no, const std::string& name) {
    return "No Approval Flow: Emp# " + no + " - Name: " + name;
  }
};

// A full chain in row 2: the trimmed texts, a cell of spaces in E, blank I.
TWorkbookCells ChainRow(const std::string& section) {
  return TWorkbookCells()
      .Text("A2", section)
      .Text("C2", "SUP1")
      .Text("E2", "   ")
      .Text("G2", " SUP2 ")
      .Text("K2", "SUP3")
      .Text("M2", "ST3");
}
const std::string kNewChain = "SUP1||SUP2||SUP3|ST3";

TEST_F(ApprovalImport, BlankOrSpacesInA2EndBeforeAnything) {
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000")}});
  for (const char* a2 : {"", "    "}) {
    // Row 2 has a chain; rows after the first blank A are never read.
    Workbook(TWorkbookCells().Text("A2", a2).Text("C2", "SUP1").Text("A3", "S01").Text("C3", "X"));
    EXPECT_EQ(Run(32), TRunEnd::Done) << "A2 '" << a2 << "'";
    EXPECT_EQ(ui.Events, Events{"message: Done!"});
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(Approvals(), Rows{"E1|" + kOld});
    EXPECT_FALSE(form->DbQuery1.Active());
    EXPECT_TRUE(form->SheetReader1.Connected());  // left running for the next import
  }
}

TEST_F(ApprovalImport, MissingWorkbookEndsTheRunBeforeAnyTable) {
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000")}});
  form->MEDSCH.SetTableName("untouched");
  EXPECT_EQ(Run(32), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: ", 0), 0u) << ui.Events[0];
  EXPECT_NE(ui.Events[0].find("approval_flow.xls"), std::string::npos) << ui.Events[0];
  EXPECT_TRUE(Log().empty());
  EXPECT_FALSE(ui.Hourglass);
  EXPECT_FALSE(form->Code.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "untouched");
  EXPECT_EQ(Approvals(), Rows{"E1|" + kOld});

  // The workbook in place, the next run imports.
  Workbook(ChainRow("S01"));
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(Approvals(), Rows{"E1|" + kNewChain});
}

TEST_F(ApprovalImport, WorkbookNameIsFoundWithoutRegardToCase) {
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000")}});
  ChainRow("S01").Text("A1", "SECTION").Write(base.Base() + "Approval_Flow.XLS");
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Approvals(), Rows{"E1|" + kNewChain});
}

TEST_F(ApprovalImport, EffectiveDatesChooseTheRecordInForceToday) {
  // E1: future, today, past; E2: future, past; E3 only in the future, followed
  // by E4's record; E9 only in the future and the table's last record.
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01") + Employee("E2", "Ben", "S01") +
                              Employee("E3", "Cho", "S01") + Employee("E4", "Dev", "S02") +
                              Employee("E9", "Eve", "S01")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", DayText(1)) + Approval("E1", DayText(0)) +
                              Approval("E1", DayText(-1)) + Approval("E2", DayText(30)) +
                              Approval("E2", DayText(-30)) + Approval("E3", DayText(1)) +
                              Approval("E4", DayText(-1)) + Approval("E9", DayText(365))}});
  Workbook(ChainRow("S01"));
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Log(), (Rows{Sector("S01"), NoFlow("E3", "Cho")}));
  const std::string updated = "|" + kNewChain, kept = "|" + kOld;
  // E9's future record stays current at Eof and is the one written.
  EXPECT_EQ(Approvals(), (Rows{"E1" + kept, "E1" + updated, "E1" + kept, "E2" + kept, "E2" + updated, "E3" + kept,
                               "E4" + kept, "E9" + updated}));
  EXPECT_EQ(Employees()[0], "E1" + kept);  // the employee table is only read
  EXPECT_TRUE(form->MEDSCH.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "APPRFLOW");
  EXPECT_EQ(form->MEDSCH.IndexName(), "EMP_NO2");
  EXPECT_TRUE(form->DbQuery1.Active());
}

TEST_F(ApprovalImport, SectionsWithoutApprovalRecordsAreReportedPerEmployee) {
  // S02's employees have no approval record; S03 has no employee; S01 is
  // listed twice and its later row wins.
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01") + Employee("E5", "Fay", "S02") +
                              Employee("E2", "Ben", "S02") + Employee("E7", "Gus", "S04")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000") + Approval("E7", "01/01/2000")}});
  TWorkbookCells cells = ChainRow("S01");
  cells.Text("A3", " S02").Text("C3", "X").Text("A4", "S03").Text("C4", "Y");
  cells.Text("A5", "S01").Text("C5", "LATER");
  Workbook(cells);
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{Sector("S01"), Sector("S02"), NoFlow("E2", "Ben"), NoFlow("E5", "Fay"), Sector("S03"),
                         Sector("S01")}));
  EXPECT_EQ(Approvals(), (Rows{"E1|LATER|||||", "E7|" + kOld}));
}

TEST_F(ApprovalImport, SectionTakesOnlyItsOwnEmployeesNotThoseOfLongerCodes) {
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "A") + Employee("E2", "Ben", "AB") +
                              Employee("E3", "Cho", "ABC")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000") + Approval("E2", "01/01/2000") +
                              Approval("E3", "01/01/2000")}});
  Workbook(ChainRow("A"));
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(Log(), Rows{Sector("A")});
  EXPECT_EQ(Approvals(), (Rows{"E1|" + kNewChain, "E2|" + kOld, "E3|" + kOld}));
}

TEST_F(ApprovalImport, EmptyApprovalTableReportsEveryEmployee) {
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01") + Employee("E2", "Ben", "S01")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead}});
  Workbook(ChainRow("S01"));
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(Log(), (Rows{Sector("S01"), NoFlow("E1", "Ann"), NoFlow("E2", "Ben")}));
  EXPECT_TRUE(Approvals().empty());
}

TEST_F(ApprovalImport, QuoteInSectionCodeIsTextNotStatement) {
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "O'HARA") + Employee("E2", "Ben", "S01")},
         {"code.tbl", CodeScript("APPRFLOW")},
         {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000") + Approval("E2", "01/01/2000")}});
  TWorkbookCells cells = ChainRow("O'HARA");
  // Would select every employee if it reached the statement unquoted.
  cells.Text("A3", "X') OR ('1'='1").Text("C3", "ALL");
  cells.Text("A4", "'").Text("C4", "Q");
  Workbook(cells);
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Log(), (Rows{Sector("O'HARA"), Sector("X') OR ('1'='1"), Sector("'")}));
  EXPECT_EQ(Approvals(), (Rows{"E1|" + kNewChain, "E2|" + kOld}));
}

TEST_F(ApprovalImport, EmployeeTableByDefaultFollowsTheOrderLeftByEarlierTasks) {
  // No LEA/ANNU record names a table: the employee table itself, which has
  // no effective date, is searched in whatever order MEDSCH holds.
  const std::string code = "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD APPRFILE Char 20\n"
                           "INDEX CATCODE CATEGORY;CODE\nROW LEA | CHILDCARE | X\n";
  Build({{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01") + Employee("E2", "Ben", "S02")},
         {"code.tbl", code}});
  Workbook(ChainRow("S01"));
  // A fresh window: natural order, so the search has no key fields.
  EXPECT_EQ(Run(32), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0], "error: MEDSCH: No parseable expressions in setting key fields.");
  EXPECT_EQ(Log(), Rows{Sector("S01")});
  EXPECT_EQ(Employees()[0], "E1|" + kOld);

  // Task 9 (with an empty side table in the base directory) leaves MEDSCH
  // on EMPLOYEE ordered by EMP_NO; task 32 then works on that order.
  std::vector<std::string> report;
  CreateDemoDatabases(base.Path(), {{"base/email.tbl", "TABLE email.adt\nFIELD emp_no Char 10\n"}}, report);
  ASSERT_EQ(Run(9), TRunEnd::Done) << (ui.Events.empty() ? "" : ui.Events[0]);
  EXPECT_EQ(form->MEDSCH.IndexFieldNames(), "EMP_NO");
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Log(), Rows{Sector("S01")});
  EXPECT_EQ(Employees(), (Rows{"E1|" + kNewChain, "E2|" + kOld}));
  EXPECT_EQ(form->MEDSCH.TableName(), "Employee");
}

const char* const kCodeTables[] = {"CAPDEF", "CATDEF",  "CATTOGS", "GLCODE", "GL_NATURE",
                                   "GRPCODE", "PRECAT", "PRECOST"};

TEST_F(ApprovalImport, AfterCodeTableCopyTheCodeSearchEndsTheRun) {
  // Task 37 leaves Code on PRECOST.ADT without index fields.
  std::vector<TDemoScript> tables{{"employee.tbl", kEmployeeHead + Employee("E1", "Ann", "S01")},
                                  {"code.tbl", CodeScript("APPRFLOW")},
                                  {"apprflow.tbl", kApprovalHead + Approval("E1", "01/01/2000")}};
  std::vector<TDemoScript> destination{{"company/D02/code.tbl", CodeScript("")}};
  for (const char* name : kCodeTables) {
    const std::string script = std::string("TABLE ") + name + ".ADT\nFIELD K Char 10\nROW " + name + "\n";
    tables.push_back({std::string(name) + ".tbl", script});
    destination.push_back({std::string("company/D02/") + name + ".tbl", script});
  }
  Build(tables);
  std::vector<std::string> report;
  CreateDemoDatabases(base.Path(), destination, report);
  ui.InputAnswers = {"D02"};
  ASSERT_EQ(Run(37), TRunEnd::Done) << (ui.Events.empty() ? "" : ui.Events[0]);

  Workbook(ChainRow("S01"));
  EXPECT_EQ(Run(32), TRunEnd::Error);
  EXPECT_EQ(ui.Events, Events{"error: Code: No parseable expressions in setting key fields."});
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(form->Code.TableName(), "PRECOST.ADT");
  EXPECT_EQ(Approvals(), Rows{"E1|" + kOld});
}

// The demo companies with the demo workbook: visible work, and the
// employees without an approval record in force are reported.
std::string DemoWorkbookScript() {
  std::string script = DBU_WRITE_WORKBOOK_SCRIPT;  // <source>/tasks/tests/write_workbook.py
  return script.substr(0, script.rfind("/tasks/")) + "/demo/workbooks/approval_flow.py";
}

TEST_F(ApprovalImport, DemoCompanyFindsWork) {
  BuildDemo();
  const std::string command = "/usr/bin/python3 '" + DemoWorkbookScript() + "' '" + WorkbookPath() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  // 5311's only record lies ahead; OPS has no approval record at all.
  EXPECT_EQ(Log(), (Rows{Sector("ADM"), NoFlow("5311", "Grace Pereira"), Sector("OPS"), NoFlow("0030", "Lim Wei Jie"),
                         NoFlow("6623", "Rahman bin Ali"), NoFlow("S0319", "Siti Aminah")}));
  // 1146's record of 2004 and PI30050's only record are written.
  EXPECT_EQ(Approvals(), (Rows{"1146|5311|5311|6623|6623|0030|", "1146|6623|||||", "5311|6623|6623||||",
                               "PI30050|5311|5311|6623|6623|0030|"}));

  // B02 holds A01's tables in a data dictionary with its own employees.
  company = "B02";
  ui.SetCompanyText(company);
  EXPECT_EQ(Run(32), TRunEnd::Done);
  EXPECT_EQ(ui.Events, Events{"message: Done!"});
  EXPECT_EQ(Log(), (Rows{Sector("ADM"), NoFlow("5311", "Daniel Ong"), Sector("OPS"), NoFlow("0030", "Farah Ismail"),
                         NoFlow("6623", "Nur Hidayah"), NoFlow("S0319", "Wong Siew Lan")}));
  EXPECT_TRUE(form->DbConnection1.IsDictionaryConnection());
  EXPECT_EQ(form->MEDSCH.TableName(), "APPRFLOW");
  // Read back through the dictionary, on the order the task left.
  ASSERT_TRUE(form->MEDSCH.FindKey({std::string("PI30050")}));
  EXPECT_EQ(form->MEDSCH.FieldByName("supervisor_code3").AsString(), "0030");
  EXPECT_EQ(form->MEDSCH.FieldByName("stin2").AsString(), "6623");
}

}  // namespace
}  // namespace dbu
