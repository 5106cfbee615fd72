// Employee and account tasks (1, 4, 6, 9, 10, 12, 18): supervisor setup,
// approval flow, e-mail and country code imports, transfer end dates and
// locked login accounts. Each body works through the window's MEDSCH, and
// tasks 9 and 10 borrow Code for a side table of the base directory.
#include <string>

#include "_4passtr.h"
#include "datetime.h"
#include "pathutil.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {

namespace {

// Free tables of the company are encrypted with the administrator password;
// a dictionary supplies its own.
void EncryptionStep(TForm1Logic& f, TDbTable& table) {
  if (!f.DbConnection1.IsDictionaryConnection()) table.EnableEncryption(TForm1Logic::kAdminPassword);
}

// A side table's file in the base directory; the base directory may lack
// its closing separator.
bool SideTableExists(const TForm1Logic& f, const std::string& fileName) {
  std::string base = f.BaseDir();
  if (base.empty() || base.back() != '/') base += '/';
  return FileExistsNoCase(base + fileName);
}

// Points Code at a side table of the base directory for an import.
void BorrowCode(TForm1Logic& f, const std::string& sideTable) {
  f.Code.Close();
  f.Code.SetDatabaseName("DbConnection2");
  f.Code.SetIndexFieldNames("");
  f.Code.SetTableName(sideTable);
  f.Code.Open();
}

// Puts Code back on the company's code table with its start-up settings,
// so that later users of Code find what they expect.
void GiveCodeBack(TForm1Logic& f) {
  f.Code.Close();
  f.Code.SetDatabaseName("DbConnection1");
  f.Code.SetTableName("CODE.ADT");
  f.Code.SetIndexFieldNames(TForm1Logic::kCodeIndexFieldNames);
}

// Runs an import with Code borrowed, giving it back however the import ends.
template <typename Import>
void WithBorrowedCode(TForm1Logic& f, const std::string& sideTable, Import&& import) {
  try {
    BorrowCode(f, sideTable);
    import();
  } catch (...) {
    // The import's error is the one the user must see.
    try {
      GiveCodeBack(f);
    } catch (...) {
    }
    throw;
  }
  GiveCodeBack(f);
}

void OpenMedsch(TForm1Logic& f, const std::string& table, const std::string& indexFieldNames) {
  f.MEDSCH.Close();
  f.MEDSCH.SetTableName(table);
  f.MEDSCH.SetIndexFieldNames(indexFieldNames);
  f.MEDSCH.Open();
  EncryptionStep(f, f.MEDSCH);
}

TTaskEnd CleanInvalidSupervisorSetup(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("SETUP");
  t.Open();
  EncryptionStep(f, t);
  t.First();
  while (!t.Eof()) {
    if (t.FieldByName("CAT").AsStringView().empty()) {
      t.Delete();  // the following record becomes current
    } else {
      t.Next();
    }
  }
  t.Close();
  return TTaskEnd::Normal;
}

TTaskEnd CorrectApprovalFlow(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("employee");
  t.Open();
  EncryptionStep(f, t);
  for (t.First(); !t.Eof(); t.Next()) {
    t.Edit();
    // Each value moves straight from the record being edited; only the
    // first is kept aside, as its field is written last.
    const std::string first = t.FieldByName("supervisor_code2").AsString();
    t.FieldByName("supervisor_code2").SetAsString(t.FieldByName("supervisor_code3").AsStringView());
    t.FieldByName("supervisor_code3").SetAsString(t.FieldByName("stin2").AsStringView());
    t.FieldByName("stin2").SetAsString(t.FieldByName("stin").AsStringView());
    t.FieldByName("stin").SetAsString(first);
    t.Post();
    std::string line = "Emp No: ";
    line += t.FieldByName("emp_no").AsStringView();
    line += "  Name: ";
    line += t.FieldByName("emp_name").AsStringView();
    f.AddLogLine(line);
  }
  t.Close();
  return TTaskEnd::Normal;
}

TTaskEnd ImportEmail(TForm1Logic& f) {
  if (!SideTableExists(f, "EMAIL.ADT")) {
    f.ShowMessage("Import file \"email.adt\" can not found !");
    return TTaskEnd::Stopped;
  }
  WithBorrowedCode(f, "email.adt", [&] {
    OpenMedsch(f, "EMPLOYEE", "EMP_NO");
    TDbTable& side = f.Code;
    for (side.First(); !side.Eof(); side.Next()) {
      const std::string empNo = side.FieldByName("emp_no").AsString();
      f.MEDSCH.First();
      if (f.MEDSCH.FindKey({TrimSpaces(empNo)})) {
        f.MEDSCH.Edit();
        f.MEDSCH.FieldByName("email_ac_no").SetAsString(TrimSpaces(side.FieldByName("email_ac_no").AsString()));
        f.MEDSCH.Post();
        f.AddLogLine("Emp No: " + empNo + " updated succssfully.");
      } else {
        f.AddLogLine("Emp No: " + empNo + " can not found.");
      }
    }
  });
  return TTaskEnd::Normal;
}

TTaskEnd ImportCountryCodes(TForm1Logic& f) {
  if (!SideTableExists(f, "CTC.ADT")) {
    // Told in the words and style of the e-mail import's message.
    f.ShowMessage("Import file \"ctc.adt\" can not found !");
    return TTaskEnd::Stopped;
  }
  WithBorrowedCode(f, "ctc.adt", [&] {
    OpenMedsch(f, "CODE", "CODE");
    TDbTable& side = f.Code;
    for (side.First(); !side.Eof(); side.Next()) {
      f.MEDSCH.Append();
      f.MEDSCH.FieldByName("code").SetAsString(TrimSpaces(side.FieldByName("code").AsString()));
      f.MEDSCH.FieldByName("desc").SetAsString(TrimSpaces(side.FieldByName("desc").AsString()));
      f.MEDSCH.FieldByName("category").SetAsString("CTC");
      f.MEDSCH.Post();
    }
  });
  return TTaskEnd::Normal;
}

void SetTransferEndDate(TForm1Logic& f, const std::string& empNo) {
  TDbTable& t = f.MEDSCH;
  if (t.FindKey({empNo, Variant::FromDateTime(EncodeDate(2003, 9, 19))})) {
    t.Edit();
    t.FieldByName("EFFECTIVE_ENDDATE").SetAsDateTime(EncodeDate(2005, 1, 31));
    t.Post();
  } else {
    f.ShowMessage("Unable to find " + empNo + "'S TRANSFER in the database.");
  }
}

TTaskEnd UpdateEffectiveEndDate(TForm1Logic& f) {
  if (!f.Confirm("This process will update the effective end date for employee 6623 & 1146? "))
    return TTaskEnd::Stopped;
  OpenMedsch(f, "TRANSFER.ADT", "EMP_NO;EFFECTIVE_DATE");
  SetTransferEndDate(f, "1146");
  SetTransferEndDate(f, "6623");
  return TTaskEnd::Normal;
}

TTaskEnd ReleaseLockedAccount(TForm1Logic& f) {
  const std::string answer = f.InputBox("Release Account Locked", "Enter the employee no to release", "");
  if (answer.empty()) return TTaskEnd::Normal;
  OpenMedsch(f, "EMPMISC.ADT", "EMP_NO");
  TDbTable& t = f.MEDSCH;
  if (t.FindKey({TrimSpaces(answer)})) {
    t.Edit();
    t.FieldByName("accessdate").SetAsDateTime(0);
    t.FieldByName("accessnum").SetAsInteger(0);
    t.FieldByName("locked").SetAsInteger(0);
    t.Post();
  } else {
    f.ShowMessage("Process unsuccessful, system was unable to find the employee.");
  }
  return TTaskEnd::Normal;
}

}  // namespace

void InstallEmployeeTasks(TTaskDispatcher& dispatcher) {
  // Task 1 has no body: its run only shows "Done!".
  dispatcher.SetBody(4, CleanInvalidSupervisorSetup);
  dispatcher.SetBody(6, CorrectApprovalFlow);
  dispatcher.SetBody(9, ImportEmail);
  dispatcher.SetBody(10, ImportCountryCodes);
  dispatcher.SetBody(12, UpdateEffectiveEndDate);
  dispatcher.SetBody(18, ReleaseLockedAccount);
}

}  // namespace dbu
