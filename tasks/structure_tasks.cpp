// Structure tasks (25, 26, 27, 31, 33, 36): column changes through
// AlterTableColumn, and task 25's batch number rewrite. None asks for
// confirmation or writes to the log.
#include "structure_tasks.h"

#include <chrono>
#include <optional>
#include <string>

#include "dberrors.h"
#include "formatsettings.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {
namespace {

// What one type code makes of a column.
struct TTypeCodeForms {
  std::optional<TFieldType> ExpectedKind;  // none: never already right
  std::string ChangeLine;                  // used when Length is "0"; "" none
  std::string AddLine;                     // "" none
};

// {F} and {L} as passed; blanks (trailing ones included) and quotes are
// part of the statement text.
TTypeCodeForms FormsOf(const std::string& code, const std::string& f, const std::string& l) {
  if (code == "AS") return {ftString, "", ""};
  if (code == "IC") return {ftString, "", "alter column " + f + " \"" + f + "\" char(" + l + ")"};
  if (code == "C") return {ftString, "alter column " + f + " " + f + " char(" + l + ")", "add column " + f + " char(" + l + ")"};
  if (code == "$") return {ftCurrency, "alter column " + f + " " + f + " curdouble", "add column " + f + " curdouble "};
  if (code == "L") return {ftBoolean, "alter column " + f + " " + f + " Logical", "add column " + f + " LOGICAL "};
  if (code == "D") return {ftDate, "alter column " + f + " " + f + " date", "add column " + f + " date "};
  if (code == "I") return {ftInteger, "alter column " + f + " " + f + " INTEGER", "add column " + f + " INTEGER "};
  if (code == "T") return {ftTime, "alter column " + f + " " + f + " TIME", "ADD column " + f + " TIME "};
  if (code == "Z") return {std::nullopt, "", "add column " + f + " double "};
  if (code == "+") return {std::nullopt, "", "add column " + f + " AutoInc "};
  if (code == "B") return {std::nullopt, "", "add column " + f + " BLOB "};
  if (code == "AI") return {std::nullopt, "", "alter column " + f + " " + f + " INTEGER "};
  return {};
}

bool OnFreeTables(const TDbTable& table) {
  return table.DbConnection() == nullptr || !table.DbConnection()->IsDictionaryConnection();
}

// Packs the table and makes sure it is encrypted (exclusively, from closed
// to closed). An encrypted table is packed with its password, sealed; one
// that was not encrypted yet is encrypted after the pack.
void PackAndEncrypt(TForm1Logic& form, TDbTable& table) {
  table.Close();
  table.SetExclusive(true);
  table.Open();
  if (OnFreeTables(table)) table.EnableEncryption(form.GetAdminPassword());
  table.PackTable();
  if (OnFreeTables(table)) table.EncryptTable();
  table.Close();
}

}  // namespace

bool AlterTableColumn(TForm1Logic& form, const std::string& tableName, const std::string& fieldName,
                      const std::string& typeCode, const std::string& length, bool encrypted) {
  TDbTable& table = form.DbTable1;
  TDbQuery& query = form.DbQuery1;
  form.ProcessMessages();
  query.SetIndexFieldNames("");
  table.Close();
  query.Close();
  query.CloseStatement();
  table.Close();
  form.ProcessMessages();
  table.SetIndexFieldNames("");
  table.SetTableName(tableName);
  if (!table.TableExists()) return true;

  table.SetExclusive(false);
  try {
    table.Open();
  } catch (const std::exception& error) {
    form.ShowErrorMessage(std::string(error.what()) + " Table Name " + tableName);
    throw;
  }

  std::string failure;
  try {
    if (encrypted && OnFreeTables(table)) table.EnableEncryption(form.GetAdminPassword());
    const TTypeCodeForms forms = FormsOf(typeCode, fieldName, length);
    TField* field = table.FindField(fieldName);
    const bool changeForm = field != nullptr && (typeCode == "AS" || typeCode == "IC" || length == "0");
    const bool addForm = field == nullptr || (fieldName == "NO" && field->DataType() == ftAutoInc);
    bool changed = false;
    if (changeForm || addForm) {
      bool alreadyRight = false;
      if (changeForm) {
        const uint32_t expectedSize = typeCode == "$" ? 7u : static_cast<uint32_t>(StrToInt(length));
        alreadyRight = forms.ExpectedKind && field->DataSize() - 1 == expectedSize && field->DataType() == *forms.ExpectedKind;
      }
      if (alreadyRight) {
        table.Close();
      } else {
        changed = true;
        table.Close();
        table.SetExclusive(true);
        table.Open();
        // An encrypted table is not decrypted: the statement gets its
        // password and alters it sealed, so that it is never readable
        // without the password, not between the steps, not after a crash.
        if (encrypted && OnFreeTables(table)) table.EnableEncryption(form.GetAdminPassword());
        table.Close();
        query.SQL().Clear();
        query.SQL().Add("ALTER TABLE \"" + tableName + ".ADT\"");
        const std::string columnLine =
            !changeForm ? forms.AddLine
                        : (length != "0" ? "alter column \"" + fieldName + "\" \"" + fieldName + "\" char(" + length + ")"
                                         : forms.ChangeLine);
        if (!columnLine.empty()) query.SQL().Add(columnLine);
        if (encrypted && OnFreeTables(table)) query.SetTablePassword(tableName, form.GetAdminPassword());
        query.ExecSQL();
        query.CloseStatement();
      }
    }
    if (encrypted && changed) PackAndEncrypt(form, table);
    table.Close();
    table.SetExclusive(true);
    return true;
  } catch (const std::exception& error) {
    failure = std::string(error.what()) + " Table Name " + tableName + "\r\n" + " SQL " + query.SQL().Text();
  }
  form.ShowErrorMessage(failure);
  return false;
}

namespace {

// Milliseconds of the current local time, three digits.
std::string CurrentMilliseconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 1000);
  return {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10)};
}

// Fails, before any change, when a non-empty batch number of the open table
// has no room in its text column for three more digits: the column would
// cut it.
void RequireRoomForThreeDigits(TDbTable& table, const TField& batchNo) {
  if (batchNo.DataType() != ftString) return;
  const size_t width = batchNo.DataSize() - 1;
  for (table.First(); !table.Eof(); table.Next()) {
    const std::string batch = batchNo.AsString();
    if (batch.empty() || batch.size() + 3 <= width) continue;
    throw Exception(table.TableName() + ": the batch number " + batch + " of record " +
                    std::to_string(table.CurrentRecordNumber()) + " has no room in " + batchNo.FieldName() + " (" +
                    std::to_string(width) + " characters) for three more digits; no batch number was changed");
  }
}

// Task 25: the batch number column to 15 characters, then every non-empty
// batch number gains three digits. The numbers are rewritten only when the
// column change did not fail and every number has room for its digits, so
// that no number is ever cut.
TTaskEnd EnlargeBatchNo(TForm1Logic& form) {
  if (!AlterTableColumn(form, "MEDICAL", "MEDICAL_NO", "AS", "15", false))
    throw Exception("MEDICAL_NO of MEDICAL was not widened to 15 characters; no batch number was changed");
  TDbTable& table = form.MEDSCH;
  table.Close();
  table.SetTableName("MEDICAL.ADT");
  table.SetIndexFieldNames("");
  table.Open();
  const TField& batchNo = table.FieldByName("medical_no");
  RequireRoomForThreeDigits(table, batchNo);
  for (table.First(); !table.Eof(); table.Next()) {
    const std::string batch = table.FieldByName("medical_no").AsString();
    if (batch.empty()) continue;
    table.Edit();
    table.FieldByName("medical_no").SetAsString(batch + CurrentMilliseconds());
    table.Post();
  }
  return TTaskEnd::Normal;
}

TTaskEnd EnlargeEntryGroup(TForm1Logic& form) {
  AlterTableColumn(form, "SETUP", "ENTRY_GROUP", "AS", "30", true);
  return TTaskEnd::Normal;
}

TTaskEnd AddPayslipField(TForm1Logic& form) {
  AlterTableColumn(form, "TPAYSLIP", "TPAYSLIP", "B", "30", true);
  return TTaskEnd::Normal;
}

TTaskEnd EnlargeReasonPerMonth(TForm1Logic& form) {
  AlterTableColumn(form, "FORMIR21", "REASON_ONE_MONTH", "AS", "100", true);
  return TTaskEnd::Normal;
}

// Task 33: each call reports its own failure and the next one still runs.
TTaskEnd UpdateStructureFor8058(TForm1Logic& form) {
  AlterTableColumn(form, "CLMTMPL", "DEFAULT_VALUE", "C", "20", false);
  AlterTableColumn(form, "MEDSCH", "EXCEEDED_AMOUNT", "$", "7", false);
  AlterTableColumn(form, "MEDSCH", "EXCEEDED_EMPLOYEE_PERCENT", "$", "7", false);
  AlterTableColumn(form, "MEDICAL", "OTTYPE1", "$", "8", false);
  AlterTableColumn(form, "MEDICAL", "HRFREQ1", "$", "8", false);
  return TTaskEnd::Normal;
}

TTaskEnd AddAmendedPeriod(TForm1Logic& form) {
  AlterTableColumn(form, "ASSET", "BA_AMENDED_PERIOD", "C", "6", false);
  return TTaskEnd::Normal;
}

}  // namespace

void InstallStructureTasks(TTaskDispatcher& dispatcher) {
  dispatcher.SetBody(25, EnlargeBatchNo);
  dispatcher.SetBody(26, EnlargeEntryGroup);
  dispatcher.SetBody(27, AddPayslipField);
  dispatcher.SetBody(31, EnlargeReasonPerMonth);
  dispatcher.SetBody(33, UpdateStructureFor8058);
  dispatcher.SetBody(36, AddAmendedPeriod);
}

}  // namespace dbu
