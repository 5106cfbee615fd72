// Leave tasks (5, 7, 11, 13, 14, 22, 28, 29, 30) and CorrectLeaveYear: fixed
// corrections of leave details ("LEAV_TRX"), leave applications ("EMPLEAVE")
// and lieu-day records, through the window's MEDSCH; tasks 29 and 30 walk
// the leave details through DbTable1 while CorrectLeaveYear edits through
// MEDSCH.
#include <optional>
#include <string>

#include "datetime.h"
#include "formatsettings.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {

// Shared by tasks 29 and 30; see their definitions below. An empty ID is
// std::nullopt.
bool FindLeaveApplication(TForm1Logic& f, const std::string& empCode, int id, DateTime leaveDate);
void CorrectLeaveYear(TForm1Logic& f, const std::string& empCode, const std::string& leaveCode, DateTime leaveDate,
                      std::optional<int> id, int yearOffset);

namespace {

constexpr const char* kLeaveDetailIndexFields = "LEAVE_CODE;EMPCODE;DATE;ID";
constexpr const char* kLeaveApplicationIndex = "EMPCODE";

void EncryptionStep(TForm1Logic& f, TDbTable& table) {
  if (!f.DbConnection1.IsDictionaryConnection()) table.EnableEncryption(TForm1Logic::kAdminPassword);
}

Variant DateKey(int year, int month, int day) { return Variant::FromDateTime(EncodeDate(year, month, day)); }

int YearOf(DateTime value) {
  int year = 0, month = 0, day = 0;
  DecodeDate(value, year, month, day);
  return year;
}

void PointMedschByName(TForm1Logic& f, const std::string& table, const std::string& indexName) {
  f.MEDSCH.Close();
  f.MEDSCH.SetTableName(table);
  f.MEDSCH.SetIndexName(indexName);
  f.MEDSCH.Open();
}

void PointMedschByFields(TForm1Logic& f, const std::string& table, const std::string& indexFieldNames) {
  f.MEDSCH.Close();
  f.MEDSCH.SetTableName(table);
  f.MEDSCH.SetIndexName("");
  f.MEDSCH.SetIndexFieldNames(indexFieldNames);
  f.MEDSCH.Open();
}

// Leave details from 2004 on, other than annual leave, count against the
// leave year after their date's year and their own month.
TTaskEnd PrintInvalidLeaveTransactions(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("leav_trx");
  t.Open();
  EncryptionStep(f, t);
  const DateTime from = EncodeDate(2004, 1, 1);
  for (t.First(); !t.Eof(); t.Next()) {
    const DateTime date = t.FieldByName("date").AsDateTime();
    if (date < from) continue;
    if (t.FieldByName("leave_code").AsStringView() == "ANNU") continue;
    int year = 0, month = 0, day = 0;
    DecodeDate(date, year, month, day);
    if (t.FieldByName("year").AsInteger() == year + 1 && t.FieldByName("month").AsInteger() == month) continue;
    f.AddLogLine("Emp No: " + t.FieldByName("empcode").AsString() + "  date: " + t.FieldByName("date").AsString());
  }
  t.Close();
  return TTaskEnd::Normal;
}

void AppendLieuTransaction(TDbTable& t, int id, int trxId, DateTime date) {
  t.Append();
  t.FieldByName("emp_no").SetAsString("PI30050");
  t.FieldByName("Leave_code").SetAsString("LIEU");
  t.FieldByName("id").SetAsInteger(id);
  t.FieldByName("trxid").SetAsInteger(trxId);
  t.FieldByName("trx_date").SetAsDateTime(date);
  t.FieldByName("trxday").SetAsFloat(1.0);
  t.Post();
}

TTaskEnd RestoreLieuLink(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("LIEUTRX1");
  t.Open();
  EncryptionStep(f, t);
  AppendLieuTransaction(t, 1341, 6640, EncodeDate(2005, 1, 24));
  AppendLieuTransaction(t, 968, 3362, EncodeDate(2004, 7, 1));
  t.Close();
  t.SetTableName("EMPLIEU");
  t.Open();
  EncryptionStep(f, t);
  for (t.First(); !t.Eof(); t.Next()) {
    if (t.FieldByName("emp_no").AsString() != "PI30050" || t.FieldByName("leave_code").AsString() != "LIEU" ||
        t.FieldByName("id").AsInteger() != 2214)
      continue;
    t.Edit();
    t.FieldByName("balance").SetAsFloat(1.0);
    t.FieldByName("taken").SetAsFloat(0.0);
    t.Post();
    f.AddLogLine("Emp No: " + t.FieldByName("emp_no").AsString());
    break;
  }
  t.Close();
  return TTaskEnd::Normal;
}

TTaskEnd RemoveInvalidLeaveDetail(TForm1Logic& f) {
  if (!f.Confirm(
          "This process will remove the leave detail for employee 0030 on ANNU on 18/05/05, click Yes to proceed? "))
    return TTaskEnd::Stopped;
  PointMedschByFields(f, "LEAV_TRX.ADT", kLeaveDetailIndexFields);
  if (f.MEDSCH.FindKey({std::string("ANNU"), std::string("0030"), DateKey(2005, 5, 18)})) {
    f.MEDSCH.Delete();
  } else {
    f.ShowMessage("Unable to find this leave detail in the database.");
  }
  return TTaskEnd::Normal;
}

// The duplicate is keyed with 24/05/2004, whatever the caption says.
TTaskEnd RemoveDuplicateChildCareLeave(TForm1Logic& f) {
  if (!f.Confirm("This process remove the duplicate leave (Child Care Leave on 24/05/05) for S0319? "))
    return TTaskEnd::Stopped;
  PointMedschByName(f, "EMPLEAVE.ADT", kLeaveApplicationIndex);
  if (f.MEDSCH.FindKey({std::string("S0319"), DateKey(2004, 5, 24), std::string("CHILDLVE"), 3081})) {
    f.MEDSCH.Delete();
  } else {
    f.ShowMessage("Unable to find this leave detail in the database.");
  }
  return TTaskEnd::Normal;
}

TTaskEnd RectifyLeaveYear(TForm1Logic& f) {
  // The leading blank of the field list is dropped by the cursor.
  PointMedschByFields(f, "leav_trx.ADT", " LEAVE_CODE;EMPCODE;DATE;ID");
  TDbTable& t = f.MEDSCH;
  // Positions on the annual leave block; when there is none the cursor
  // stays on a record of another code and the walk below stops at once.
  t.FindKey({std::string("ANNU")});
  for (; !t.Eof(); t.Next()) {
    if (t.FieldByName("Leave_code").AsStringView() != "ANNU") break;
    const int year = YearOf(t.FieldByName("date").AsDateTime());
    if (t.FieldByName("year").AsInteger() == year) continue;
    t.Edit();
    t.FieldByName("year").SetAsInteger(year);
    t.Post();
  }
  return TTaskEnd::Normal;
}

TTaskEnd ClearCancellationIndicator(TForm1Logic& f) {
  PointMedschByName(f, "empleave.ADT", kLeaveApplicationIndex);
  TDbTable& t = f.MEDSCH;
  if (t.FindKey({std::string("5416"), DateKey(2005, 9, 30), std::string("ANNU"), 2863})) {
    t.Edit();
    t.FieldByName("cancel_flag").SetAsString("");
    t.Post();
  } else {
    f.ShowMessage("Unable to find this leave application in Leave Table.");
  }
  return TTaskEnd::Normal;
}

void SetLeaveDetailYear2005(TForm1Logic& f, int day, const std::string& missingMessage) {
  TDbTable& t = f.MEDSCH;
  if (t.FindKey({std::string("ANNU"), std::string("5311"), DateKey(2004, 12, day)})) {
    t.Edit();
    t.FieldByName("YEAR").SetAsString("2005");
    t.Post();
  } else {
    f.ShowMessage(missingMessage);
  }
}

TTaskEnd CorrectLeaveOf5311(TForm1Logic& f) {
  PointMedschByName(f, "EMPLEAVE.ADT", kLeaveApplicationIndex);
  TDbTable& t = f.MEDSCH;
  if (t.FindKey({std::string("5311"), DateKey(2004, 12, 28), std::string("ANNU")})) {
    t.Edit();
    t.FieldByName("period").SetAsString("2005");
    t.Post();
  } else {
    f.ShowMessage("Unable to find leave master record !");
  }
  PointMedschByFields(f, "LEAV_TRX.ADT", kLeaveDetailIndexFields);
  SetLeaveDetailYear2005(f, 28, "Unable to find leave detail record (1)!");
  SetLeaveDetailYear2005(f, 29, "Unable to find leave detail record (2)!");
  return TTaskEnd::Normal;
}

// Puts t (on the leave details, ordered by code, employee, day and ID) on
// the caller's leave day. The ID belongs in the search: without it, of
// several days of one code on one day the first would be rewritten each
// time and the caller's own day never corrected. Yet the search finds
// whatever code, employee and day alone find when the ID cannot: an empty
// ID (it sorts before every other, so the day without one comes first) or
// an ID that is no whole number.
bool FindLeaveDetail(TDbTable& t, const std::string& leaveCode, const std::string& empCode, DateTime leaveDate,
                     std::optional<int> id) {
  const Variant day = Variant::FromDateTime(leaveDate);
  if (id && t.FindKey({leaveCode, empCode, day, *id})) return true;
  return t.FindKey({leaveCode, empCode, day});
}

// Walks the leave details from firstDay on through DbTable1 and corrects
// those whose leave year is wrong for their date.
template <typename YearIsWrong>
void CorrectLeaveYears(TForm1Logic& f, DateTime firstDay, int yearOffset, YearIsWrong&& yearIsWrong) {
  TDbTable& t = f.DbTable1;
  t.Close();
  t.SetTableName("LEAV_TRX");
  t.SetIndexName("");
  t.SetDatabaseName("DbConnection1");
  t.SetIndexFieldNames(kLeaveDetailIndexFields);
  t.Open();
  for (t.First(); !t.Eof(); t.Next()) {
    const DateTime date = t.FieldByName("date").AsDateTime();
    if (date < firstDay) continue;
    if (!yearIsWrong(YearOf(date), static_cast<int>(t.FieldByName("year").AsInteger()))) continue;
    const std::string empCode = t.FieldByName("empcode").AsString();
    f.AddLogLine("Process - " + empCode);
    const TField& id = t.FieldByName("id");
    CorrectLeaveYear(f, empCode, t.FieldByName("leave_code").AsString(), date,
                     id.IsNull() ? std::nullopt : std::optional<int>(static_cast<int>(id.AsInteger())), yearOffset);
  }
}

TTaskEnd CorrectLeaveFrom2004(TForm1Logic& f) {
  CorrectLeaveYears(f, EncodeDate(2004, 1, 1), 1, [](int year, int leaveYear) {
    return (year == 2004 && leaveYear != 2005) || (year == 2005 && leaveYear != 2006);
  });
  return TTaskEnd::Normal;
}

TTaskEnd CorrectLeaveFrom2006(TForm1Logic& f) {
  CorrectLeaveYears(f, EncodeDate(2006, 1, 1), 0, [](int year, int leaveYear) { return leaveYear != year; });
  return TTaskEnd::Normal;
}

}  // namespace

// MEDSCH is open on "EMPLEAVE.ADT" with the index "EMPCODE". True with
// MEDSCH on the application of empCode and id whose days enclose leaveDate.
bool FindLeaveApplication(TForm1Logic& f, const std::string& empCode, int id, DateTime leaveDate) {
  TDbTable& t = f.MEDSCH;
  t.FindKey({empCode});  // onto the employee's first application, if any
  for (; !t.Eof(); t.Next()) {
    if (t.FieldByName("EmpCode").AsStringView() != empCode) return false;
    if (t.FieldByName("ID").AsInteger() == id && t.FieldByName("start_date").AsDateTime() <= leaveDate &&
        t.FieldByName("end_date").AsDateTime() >= leaveDate)
      return true;
  }
  return false;
}

void CorrectLeaveYear(TForm1Logic& f, const std::string& empCode, const std::string& leaveCode, DateTime leaveDate,
                      std::optional<int> id, int yearOffset) {
  const std::string leaveYear = std::to_string(YearOf(leaveDate) + yearOffset);
  TDbTable& t = f.MEDSCH;
  PointMedschByName(f, "EMPLEAVE.ADT", kLeaveApplicationIndex);
  // An empty ID reads as 0, as the application's own does.
  if (FindLeaveApplication(f, empCode, id.value_or(0), leaveDate)) {
    t.Edit();
    t.FieldByName("period").SetAsString(leaveYear);
    t.Post();
  } else {
    f.AddLogLine(empCode + " - Unable to locate in empleave.adt - " + DateToStr(leaveDate));
  }
  PointMedschByFields(f, "LEAV_TRX.ADT", kLeaveDetailIndexFields);
  if (FindLeaveDetail(t, leaveCode, empCode, leaveDate, id)) {
    t.Edit();
    t.FieldByName("YEAR").SetAsString(leaveYear);
    t.Post();
  } else {
    f.AddLogLine(empCode + " - Unable to locate in leav_trx.adt - " + DateToStr(leaveDate));
  }
}

void InstallLeaveTasks(TTaskDispatcher& dispatcher) {
  dispatcher.SetBody(5, PrintInvalidLeaveTransactions);
  dispatcher.SetBody(7, RestoreLieuLink);
  dispatcher.SetBody(11, RemoveInvalidLeaveDetail);
  dispatcher.SetBody(13, RemoveDuplicateChildCareLeave);
  dispatcher.SetBody(14, RectifyLeaveYear);
  dispatcher.SetBody(22, ClearCancellationIndicator);
  dispatcher.SetBody(28, CorrectLeaveOf5311);
  dispatcher.SetBody(29, CorrectLeaveFrom2004);
  dispatcher.SetBody(30, CorrectLeaveFrom2006);
}

}  // namespace dbu
