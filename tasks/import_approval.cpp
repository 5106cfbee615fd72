// Task 32: the approval chain of each section row of "approval_flow.xls"
// goes into the approval record of every employee of that section. The
// approval table is the one that code LEA/ANNU names (the employee table by
// default); tables with effective dates hold one record per date, and the
// record in force today is the one written.
#include "import_approval.h"

#include <array>
#include <iterator>
#include <string>

#include "_4passtr.h"
#include "appfiles.h"
#include "datetime.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {
namespace {

constexpr const char* kWorkbookName = "approval_flow.xls";
constexpr const char* kDefaultApprovalTable = "Employee";

// The cleared fields, in the order they are cleared.
constexpr const char* kChainFieldsCleared[] = {"supervisor_code", "supervisor_code2", "supervisor_code3",
                                               "STIN",            "STIN2",            "STIN3"};

// The sheet column that fills each field, in the order they are filled.
struct TChainCell {
  const char* Column;
  const char* Field;
};
constexpr TChainCell kChainCells[] = {{"C", "supervisor_code"},  {"E", "stin"},  {"G", "supervisor_code2"},
                                      {"I", "stin2"},            {"K", "supervisor_code3"}, {"M", "stin3"}};

bool OnFreeTables(TForm1Logic& f) { return !f.DbConnection1.IsDictionaryConnection(); }

// The section code as an SQL string literal: a quote in a cell must not
// end the literal and rewrite the statement.
std::string SqlTextLiteral(const std::string& text) {
  std::string literal = "'";
  for (char c : text) {
    literal += c;
    if (c == '\'') literal += '\'';
  }
  return literal + "'";
}

// The displayed text of one cell, read through the task's range item.
std::string CellText(TSheetRange& range, const std::string& column, int row) {
  range.SetAddress(column + std::to_string(row));
  return range.SimpleText();
}

// The table that code LEA/ANNU names, or the employee table.
std::string ApprovalTableName(TForm1Logic& f) {
  f.Code.Open();
  std::string name;
  if (f.Code.FindKey({std::string("LEA"), std::string("ANNU")})) name = f.Code.FieldByName("apprfile").AsString();
  return TrimSpaces(name).empty() ? std::string(kDefaultApprovalTable) : name;
}

// A section row's chain cells, trimmed, in kChainCells order. Read once per
// row: the workbook does not change while the section's employees are written.
using TChainValues = std::array<std::string, std::size(kChainCells)>;

TChainValues ReadChain(TSheetRange& range, int row) {
  TChainValues values;
  for (size_t i = 0; i < values.size(); ++i) values[i] = TrimSpaces(CellText(range, kChainCells[i].Column, row));
  return values;
}

// Replaces the current approval record's chain by the row's cells; a blank
// cell leaves its field empty.
void WriteApprovalChain(TDbTable& table, const TChainValues& chain) {
  table.Edit();
  for (const char* field : kChainFieldsCleared) table.FieldByName(field).SetAsString("");
  for (size_t i = 0; i < chain.size(); ++i)
    if (!chain[i].empty()) table.FieldByName(kChainCells[i].Field).SetAsString(chain[i]);
  table.Post();
}

// Writes the chain of one section row to each of the section's employees.
void ImportSection(TForm1Logic& f, TSheetRange& range, int row, const std::string& section) {
  TDbQuery& query = f.DbQuery1;
  query.SQL().SetText("SELECT EMP_NO, EMP_NAME FROM EMPLOYEE WHERE (SECTION_CODE=" + SqlTextLiteral(section) +
                      ") ORDER BY EMP_NO");
  if (OnFreeTables(f)) {
    query.SetTablePassword("EMPLOYEE", TForm1Logic::kAdminPassword);
    query.SetTablePassword("EMPLOYEE.ADT", TForm1Logic::kAdminPassword);
  }
  query.Open();
  TDbTable& approval = f.MEDSCH;
  const TChainValues chain = ReadChain(range, row);
  for (; !query.Eof(); query.Next()) {
    const std::string empNo = query.FieldByName("emp_no").AsString();
    LocateEmployeeRecord(f, approval, empNo);
    if (approval.FieldByName("emp_no").AsString() != empNo) {
      f.AddLogLine("No Approval Flow: Emp# " + empNo + " - Name: " + query.FieldByName("emp_name").AsString());
      continue;
    }
    WriteApprovalChain(approval, chain);
  }
}

TTaskEnd ImportApprovalFlow(TForm1Logic& f) {
  // A missing or unreadable workbook ends the run here, before any table is touched.
  TSheetReader& reader = f.SheetReader1;
  reader.SetConnected(false);
  TSheetWorkbook& workbook = reader.Workbooks()[0];
  // The file may be spelled in any case, as the platform it came from allows.
  workbook.SetFilename(ExistingSpelling(f.ProgramDir() + kWorkbookName));
  reader.SetConnected(true);
  TSheetRange& range = workbook.Worksheets()[0].Ranges().Add();
  range.SetName("r");

  f.MEDSCH.SetTableName(ApprovalTableName(f));

  for (int row = 2;; ++row) {
    const std::string section = TrimSpaces(CellText(range, "A", row));
    if (section.empty()) break;
    f.AddLogLine("************ Sector Code: " + section + " ************");
    ImportSection(f, range, row, section);
  }
  return TTaskEnd::Normal;
}

}  // namespace

void LocateEmployeeRecord(TForm1Logic& f, TDbTable& table, const std::string& empNo) {
  if (!table.Active()) {
    table.Open();
    if (OnFreeTables(f)) table.EnableEncryption(TForm1Logic::kAdminPassword);
  }
  const bool effectiveDated = table.FindField("EFFECTIVE_DATE") != nullptr;
  if (effectiveDated) table.SetIndexName("EMP_NO2");
  table.First();
  // Not found leaves the cursor on the first record, which the caller
  // tells apart by its employee number.
  table.FindKey({empNo});
  if (!effectiveDated) return;
  // Walk past the employee's records not yet in force; at the table's end
  // the cursor stays on its last record.
  const DateTime today = Today();
  while (!table.Eof()) {
    if (table.FieldByName("emp_no").AsString() != empNo) break;
    if (today >= table.FieldByName("effective_date").AsDateTime()) break;
    table.Next();
  }
}

void InstallApprovalFlowImport(TTaskDispatcher& dispatcher) { dispatcher.SetBody(32, ImportApprovalFlow); }

}  // namespace dbu
