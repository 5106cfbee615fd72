// Task 34 and its routines: the asset import from "marlix.xls".
#include "import_assets.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "_4passtr.h"
#include "appfiles.h"
#include "cell_address.h"
#include "datetime.h"
#include "formatsettings.h"
#include "kept_records.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {
namespace {

constexpr const char* kWorkbookName = "marlix.xls";
constexpr const char* kPeriodsStatement = "SELECT * FROM PGRP_TRX ORDER BY PAY_GROUP, YEAR, PERIOD, START_DATE";
// 30/12/1899, the date that marks an asset as not disposed, as a date value:
// a date text would depend on the system's date separator.
constexpr DateTime kNotDisposed = 0.0;

struct TImportPass {
  const char* Table;
  const char* KeyColumn;  // named in the log line of a failed row
  const char* Filter;     // the mapping rows of this table
};
constexpr TImportPass kPasses[] = {
    {"ASSET", "ASSET_NO", "TABLE_NAME='ASSET'"},
    {"FAACCDEP", "ASSET_CODE", "TABLE_NAME='FAACCDEP'"},
};

// Moves range to address; false when the sheet refused the address (the
// component has shown its box): the range then still stands on the cell
// before, whose text must not be taken for this one's. A range already on
// that very cell counts as moved.
bool MoveRange(TSheetRange& range, const std::string& address) {
  constexpr std::uint32_t kAnyGrid = std::numeric_limits<std::uint32_t>::max();
  range.SetAddress(address);
  const std::string now = range.Address();
  if (now == address) return true;  // the usual spelling, "C15"
  const std::optional<sheet::CellBlock> block = sheet::ParseCellAddress(address, kAnyGrid, kAnyGrid);
  return block && now == sheet::FormatCellAddress(*block);
}

// The text of the cell at address; nothing when the sheet refused it.
std::optional<std::string> CellText(TSheetRange& range, const std::string& address) {
  if (!MoveRange(range, address)) return std::nullopt;
  return range.SimpleText();
}

// The text of cell A of row. rejected is set when the spreadsheet refused
// the address (past its last row): the text is then the previous cell's.
std::string ReadColumnA(TSheetRange& range, const TDbTable& mapping, int row, bool& rejected) {
  const std::string address = "A" + std::to_string(row);
  std::string failure;
  try {
    rejected = !MoveRange(range, address);
    return range.SimpleText();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  const int64_t fieldNo = mapping.FieldByName("FIELD_NO").AsInteger();
  throw Exception(ColumnAReadErrorText(failure, static_cast<int>(fieldNo), row));
}

// The cell of a mapping row's EXCEL_COL (nothing when the sheet refused the
// address); a failing read names the address.
std::optional<std::string> ReadMappedCell(TSheetRange& range, const std::string& address) {
  std::string failure;
  try {
    return CellText(range, address);
  } catch (const std::exception& error) {
    failure = error.what();
  }
  throw Exception(failure + " FIELD NO : " + address);
}

// One mapping row as the import reads it. The mapping does not change
// during a pass, so its rows are read once per pass rather than once per
// sheet row; a column that MARLIX lacks fails at the same point of every
// sheet row as a fresh read would (Failure and FailedAt).
struct TMappingRow {
  enum TStep { kNone, kExcelCol, kCategory, kTargetOrCodeColumn, kFunctionType };
  std::string FieldNo;  // names the row in the log
  std::string ExcelCol;
  std::string Category;
  std::string FieldName;  // when Category is blank
  std::string ExcelCol2;  // when it is not
  int64_t FunctionType = 0;
  TStep FailedAt = kNone;
  std::string Failure;
  bool RefusalLogged = false;  // a refused address of this row was told
};

// The mapping rows MEDSCH shows, in its order, up to the first that cannot
// be read; MEDSCH is left at its end, as a walk over it leaves it.
std::vector<TMappingRow> ReadMappingRows(TDbTable& mapping) {
  std::vector<TMappingRow> rows;
  for (mapping.First(); !mapping.Eof(); mapping.Next()) {
    TMappingRow& m = rows.emplace_back();
    if (const TField* fieldNo = mapping.FindField("FIELD_NO")) m.FieldNo = fieldNo->AsString();
    TMappingRow::TStep step = TMappingRow::kExcelCol;
    try {
      m.ExcelCol = mapping.FieldByName("EXCEL_COL").AsString();
      if (m.ExcelCol.empty()) continue;
      step = TMappingRow::kCategory;
      m.Category = mapping.FieldByName("code_category").AsString();
      step = TMappingRow::kTargetOrCodeColumn;
      if (TrimSpaces(m.Category).empty())
        m.FieldName = mapping.FieldByName("field_name").AsString();
      else
        m.ExcelCol2 = mapping.FieldByName("EXCEL_COL2").AsString();
      step = TMappingRow::kFunctionType;
      m.FunctionType = mapping.FieldByName("function_type").AsInteger();
    } catch (const std::exception& error) {
      m.FailedAt = step;
      m.Failure = error.what();
      // No sheet row gets past this mapping row: the rest is never read.
      while (!mapping.Eof()) mapping.Next();
      break;
    }
  }
  return rows;
}

void FailIfAt(const TMappingRow& m, TMappingRow::TStep step) {
  if (m.FailedAt == step) throw Exception(m.Failure);
}

// Tells, once per mapping row, that the sheet refused one of its addresses.
void LogRefusal(TForm1Logic& form, const TImportPass& pass, TMappingRow& m, const char* column,
                const std::string& columnText, const std::string& address, const std::string& consequence) {
  if (m.RefusalLogged) return;
  m.RefusalLogged = true;
  form.AddLogLine("Mapping row " + std::string(pass.Table) + " " + m.FieldNo + " (" + column + " \"" + columnText +
                  "\"): the sheet refuses the address " + address + "; " + consequence +
                  " where its address is refused.");
}

// Builds and posts the record of one sheet row as the mapping rows direct.
// Any failure is logged with the key set so far and drops the record. A
// mapping row whose cell address the sheet refuses gives no value.
bool ImportRow(TForm1Logic& form, const TImportPass& pass, std::vector<TMappingRow>& mappingRows, TSheetRange& range,
               int row) {
  TDbTable& target = form.DbTable1;
  const std::string rowText = std::to_string(row);
  try {
    target.Append();
    for (TMappingRow& m : mappingRows) {
      FailIfAt(m, TMappingRow::kExcelCol);
      if (m.ExcelCol.empty()) continue;
      const std::string address = m.ExcelCol + rowText;
      const std::optional<std::string> cell = ReadMappedCell(range, address);
      FailIfAt(m, TMappingRow::kCategory);
      FailIfAt(m, TMappingRow::kTargetOrCodeColumn);
      if (TrimSpaces(m.Category).empty()) {
        TField& field = target.FieldByName(m.FieldName);
        if (cell)
          field.SetAsString(TrimSpaces(*cell));
        else
          LogRefusal(form, pass, m, "EXCEL_COL", m.ExcelCol, address, m.FieldName + " stays empty");
      } else {
        const std::string codeAddress = m.ExcelCol2 + rowText;
        const std::optional<std::string> code = CellText(range, codeAddress);
        const std::string noCode = "no " + TrimSpaces(m.Category) + " code is added";
        if (!cell)
          LogRefusal(form, pass, m, "EXCEL_COL", m.ExcelCol, address, noCode);
        else if (!code)
          LogRefusal(form, pass, m, "EXCEL_COL2", m.ExcelCol2, codeAddress, noCode);
        else
          EnsureCodeEntry(form, m.Category, *code, *cell);
      }
      FailIfAt(m, TMappingRow::kFunctionType);
      if (m.FunctionType == 1) target.FieldByName("START_DEPR").SetAsString(PeriodForDate(form, "STD", target));
      target.FieldByName("DISPOSE_DATE").SetAsDateTime(kNotDisposed);
      if (m.FunctionType == 2) {
        const Currency total =
            target.FieldByName("purchase_cost").AsCurrency() + target.FieldByName("install_cost").AsCurrency();
        target.FieldByName("total_cost").SetAsCurrency(total);
      }
    }
    target.Post();
    return true;
  } catch (const std::exception& error) {
    // A target without its key column still gets its line, with no key.
    const TField* key = target.FindField(pass.KeyColumn);
    form.AddLogLine("Asset Code: " + (key != nullptr ? key->AsString() : std::string()) + " *** " + error.what());
    target.Cancel();
    return false;
  }
}

// Gives the emptied target its previous records back and says so.
void PutBackKeptRecords(TForm1Logic& form, const TImportPass& pass, const TKeptRecords& kept) {
  if (kept.Count() == 0) return;
  kept.PutBack(form.DbTable1);
  std::string line = "No record imported into " + std::string(pass.Table) + ": its " + std::to_string(kept.Count()) +
                     " previous records are written back";
  if (kept.RenumbersOnPutBack()) line += " (the engine numbers their " + kept.AutoIncField() + " anew)";
  form.AddLogLine(line + ".");
}

// One pass: refills the pass's table from the sheet rows.
void ImportPass(TForm1Logic& form, const TImportPass& pass) {
  TDbTable& target = form.DbTable1;
  TDbTable& mapping = form.MEDSCH;
  target.Close();
  target.SetTableName(pass.Table);
  mapping.SetFiltered(false);
  mapping.SetFilter(pass.Filter);
  mapping.SetFiltered(true);
  target.SetExclusive(true);
  target.SetIndexName("");
  target.SetDatabaseName("DbConnection1");
  target.Open();
  TSheetRange& range = form.SheetReader1.Workbooks()[0].Worksheets()[0].Ranges().Add();
  range.SetName("r");

  // A sheet without asset rows leaves the table as it is.
  int row = 2;
  bool rejected = false;
  if (TrimSpaces(ReadColumnA(range, mapping, row, rejected)).empty() || rejected) return;

  TKeptRecords kept;
  kept.Keep(target);
  target.EmptyTable();
  size_t imported = 0;
  bool failed = false;
  std::string failure;
  try {
    std::vector<TMappingRow> mappingRows = ReadMappingRows(mapping);
    do {
      if (ImportRow(form, pass, mappingRows, range, row)) ++imported;
      ++row;
      // A full sheet ends at its last row: the next address is refused.
    } while (!TrimSpaces(ReadColumnA(range, mapping, row, rejected)).empty() && !rejected);
  } catch (const std::exception& error) {
    failed = true;
    failure = error.what();
  }
  // Outside the handler, so that a failing write-back is reported too; an
  // error that ended the pass is kept in front of it.
  if (imported == 0) {
    try {
      PutBackKeptRecords(form, pass, kept);
    } catch (const std::exception& error) {
      if (!failed) throw;
      failure += std::string("; ") + error.what();
    }
  }
  if (failed) throw Exception(failure);
}

TTaskEnd ImportAssetRegister(TForm1Logic& form) {
  TDbQuery& periods = form.DbQuery1;
  periods.SQL().SetText(kPeriodsStatement);
  periods.Open();

  TDbTable& mapping = form.MEDSCH;
  mapping.Close();
  mapping.SetTableName("MARLIX");
  mapping.SetIndexName("");
  mapping.SetDatabaseName("DbConnection1");
  mapping.SetIndexFieldNames("TABLE_NAME;FIELD_NO");
  mapping.Open();

  TSheetReader& reader = form.SheetReader1;
  reader.SetConnected(false);
  reader.Workbooks()[0].SetFilename(ExistingSpelling(form.ProgramDir() + kWorkbookName));
  reader.SetConnected(true);

  for (const TImportPass& pass : kPasses) ImportPass(form, pass);
  mapping.SetFiltered(false);
  return TTaskEnd::Normal;
}

}  // namespace

std::string ColumnLetters(int number) {
  if (number < 1) return "?";
  return sheet::ColumnLetters(static_cast<std::uint32_t>(number - 1));
}

std::string ColumnAReadErrorText(const std::string& errorText, int fieldNo, int row) {
  return errorText + " FIELD NO : " + ColumnLetters(fieldNo) + std::to_string(row);
}

void EnsureCodeEntry(TForm1Logic& form, const std::string& category, const std::string& codeValue,
                     const std::string& description) {
  if (!form.Code.Active()) form.Code.Open();
  if (!form.groupCode.Active()) form.groupCode.Open();
  TDbTable* table = &form.groupCode;
  if (TrimSpaces(category) == "GRP") {
    table->First();
    if (table->FindKey({codeValue})) return;
    table->Append();
    table->FieldByName("group_code").SetAsString(codeValue);
    table->FieldByName("group_desc").SetAsString(description);
  } else {
    table = &form.Code;
    table->First();
    if (table->FindKey({category, codeValue})) return;
    table->Append();
    table->FieldByName("code").SetAsString(codeValue);
    table->FieldByName("category").SetAsString(category);
    table->FieldByName("desc").SetAsString(description);
  }
  // A code that cannot be written must not stay pending: the next search
  // would try to post it again.
  std::string failure;
  try {
    table->Post();
    return;
  } catch (const std::exception& error) {
    failure = error.what();
  }
  table->Cancel();
  throw Exception(failure);
}

std::string PeriodForDate(TForm1Logic& form, const std::string& kind, const TDbDataSet& source) {
  const char* column = kind == "STD" ? "PURCHASE_DATE" : kind == "REV" ? "STD_REVALUE_DATE" : kind == "ADJ" ? "REV_DATE" : nullptr;
  if (column == nullptr) throw Exception("Unknown kind of period date '" + kind + "'");
  int year = 0, month = 0, day = 0;
  DecodeDate(source.FieldByName(column).AsDateTime(), year, month, day);
  TDbQuery& periods = form.DbQuery1;
  for (periods.First(); !periods.Eof(); periods.Next()) {
    int endYear = 0, endMonth = 0, endDay = 0;
    DecodeDate(periods.FieldByName("end_date").AsDateTime(), endYear, endMonth, endDay);
    if (endMonth != month) continue;
    month = StrToInt(MidText(periods.FieldByName("period").AsString(), 5, 2));
    int startYear = 0, startMonth = 0, startDay = 0;
    DecodeDate(periods.FieldByName("start_date").AsDateTime(), startYear, startMonth, startDay);
    year += static_cast<int>(periods.FieldByName("year").AsInteger()) - startYear;
    break;
  }
  return std::to_string(year) + (month < 10 ? "0" : "") + std::to_string(month);
}

void InstallAssetImportTask(TTaskDispatcher& dispatcher) { dispatcher.SetBody(34, ImportAssetRegister); }

}  // namespace dbu
