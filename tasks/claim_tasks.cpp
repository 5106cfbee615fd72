// Claim tasks (0, 2, 3, 16, 17, 19, 23) and MapSubCode: the claims setup,
// the claim records of "MEDICAL" and the claim templates of "CLMTMPL.ADT",
// all through the window's MEDSCH. None of them supplies the table
// encryption password.
#include <cstdint>
#include <string>
#include <vector>

#include "datetime.h"
#include "formatsettings.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {

// The mapped code of a claim sub code in the company's code table, or "".
// Leaves Code open, on the record found or where the failed search left it.
std::string MapSubCode(TForm1Logic& f, const std::string& subCode) {
  if (subCode.empty()) return std::string();
  if (!f.Code.Active()) f.Code.Open();
  if (!f.Code.FindKey({std::string("SUB"), subCode})) return std::string();
  return f.Code.FieldByName("mapfield").AsString();
}

namespace {

void PointMedsch(TForm1Logic& f, const std::string& table, const std::string& indexFieldNames) {
  f.MEDSCH.Close();
  f.MEDSCH.SetTableName(table);
  f.MEDSCH.SetIndexFieldNames(indexFieldNames);
  f.MEDSCH.Open();
}

// A record chosen for a change, with the values of the order's key fields
// that find it again (none when the order cannot be searched).
struct TChosenRecord {
  uint32_t RecNo = 0;
  std::vector<TKeyValue> Key;
};

// The fields FindKey searches the cursor's order by; none for an order it
// cannot search (natural order, the dictionary's default index) or whose
// fields the table lacks.
std::vector<const TField*> SearchKeyFields(TDbTable& t) {
  std::string list;
  if (t.IndexMode() == TIndexMode::ByFieldList) {
    list = t.IndexFieldNames();
  } else if (t.IndexMode() == TIndexMode::ByName) {
    if (const TIndexDef* def = t.IndexDefs().FindByName(t.IndexName())) list = def->Fields;
  }
  std::vector<const TField*> fields;
  for (const std::string& name : SplitFieldList(list)) {
    const TField* field = t.FindField(name);
    if (field == nullptr) return {};
    fields.push_back(field);
  }
  return fields;
}

// Puts t on the chosen record: by a search for its key (its record is among
// the first ones with that key; an empty value ends the key there), else by
// a walk from the first record. False when the record is gone.
bool GoToChosenRecord(TDbTable& t, const TChosenRecord& record) {
  if (!record.Key.empty() && t.FindKey(record.Key))
    for (; !t.Eof(); t.Next())
      if (t.CurrentRecordNumber() == record.RecNo) return true;
  for (t.First(); !t.Eof(); t.Next())
    if (t.CurrentRecordNumber() == record.RecNo) return true;
  return false;
}

// Tasks that set only the table name walk in the order of whatever index an
// earlier run left on MEDSCH; it may hold a field the change writes, and the
// changed record then moves within the walk (to be met again, or jumping
// over records not yet seen). So under an index one walk only chooses the
// records, in the order they stand when the task starts; each is then found
// again by its key and changed, once. A record the walk meets is chosen and
// changed only as it is at that time, so each is changed at most once.
template <typename Wants, typename Change>
void ChangeEachRecordOnce(TDbTable& t, Wants&& wants, Change&& change) {
  // In natural order a change cannot move a record: one walk meets each
  // record once, and nothing needs remembering.
  if (t.IndexMode() == TIndexMode::None) {
    for (t.First(); !t.Eof(); t.Next())
      if (wants()) change();
    return;
  }
  const std::vector<const TField*> keyFields = SearchKeyFields(t);
  std::vector<TChosenRecord> chosen;
  for (t.First(); !t.Eof(); t.Next()) {
    if (!wants()) continue;
    TChosenRecord& record = chosen.emplace_back();
    record.RecNo = t.CurrentRecordNumber();
    for (const TField* field : keyFields) record.Key.emplace_back(field->AsVariant());
  }
  for (const TChosenRecord& record : chosen)
    if (GoToChosenRecord(t, record) && wants()) change();
}

TTaskEnd CleanUnusedClaimSetup(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("MEDSCH");
  t.Open();
  t.First();
  while (!t.Eof()) {
    if (t.FieldByName("CLAIMTYPE").AsStringView().empty()) {
      t.Delete();  // the following record becomes current
    } else {
      t.Next();
    }
  }
  return TTaskEnd::Normal;
}

// The mapped allowance code of a claim's sub code has no field to go to, so
// the lookup is left out: it would change nothing and could only fail (Code
// without an index).
TTaskEnd UpdateAllowanceAndTransferPeriod(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("MEDICAL");
  t.Open();
  const DateTime from = EncodeDate(2005, 12, 6);
  const DateTime to = EncodeDate(2006, 1, 5);
  ChangeEachRecordOnce(
      t,
      [&] {
        if (!t.FieldByName("claim_approved").AsBoolean()) return false;
        const DateTime approved = t.FieldByName("APPROVED_date").AsDateTime();
        return approved >= from && approved <= to;
      },
      [&] {
        t.Edit();
        t.FieldByName("PERIOD_TO_TRANSFER").SetAsString("200601");
        t.FieldByName("CYCLE").SetAsString("E");
        t.Post();
      });
  t.Close();
  return TTaskEnd::Normal;
}

TTaskEnd SwapExpenseAndClaimDate(TForm1Logic& f) {
  TDbTable& t = f.MEDSCH;
  t.Close();
  t.SetTableName("MEDICAL");
  t.Open();
  ChangeEachRecordOnce(
      t, [&] { return t.FieldByName("visit_date").AsDateTime() != 0; },
      [&] {
        // The record's state before the change, should it need undoing.
        f.WriteDebugLine(t.FieldByName("empcode").AsString() + "*" +
                         FormatDateTime("dd/MM/yyyy", t.FieldByName("medical_date").AsDateTime()) + "*" +
                         t.FieldByName("date_serialnum").AsString());
        const DateTime claimDate = t.FieldByName("medical_date").AsDateTime();
        t.Edit();
        t.FieldByName("medical_date").SetAsDateTime(t.FieldByName("visit_date").AsDateTime());
        t.FieldByName("visit_date").SetAsDateTime(claimDate);
        t.Post();
      });
  t.Close();
  return TTaskEnd::Normal;
}

void AppendTemplateField(TDbTable& t, int tmplNo, const std::string& name, const std::string& caption, int inputSize,
                         int fieldNo, const std::string& pageTake) {
  t.Append();
  t.FieldByName("tmplno").SetAsInteger(tmplNo);
  t.FieldByName("FIELDNAME").SetAsString(name);
  t.FieldByName("FIELDDESC").SetAsString(caption);
  t.FieldByName("inputsize").SetAsInteger(inputSize);
  t.FieldByName("dispsize").SetAsInteger(10);
  t.FieldByName("ASS_CTRL").SetAsString("TEXT");
  t.FieldByName("fieldno").SetAsInteger(fieldNo);
  t.FieldByName("PAGETAKE").SetAsString(pageTake);
  t.FieldByName("WANTED").SetAsBoolean(false);
  t.FieldByName("remove").SetAsBoolean(false);
  t.Post();
}

TTaskEnd AddWorkingTimeToOtTemplate(TForm1Logic& f) {
  if (!f.Confirm("This process update the OT claim template with Start & End working time, continue? "))
    return TTaskEnd::Stopped;
  PointMedsch(f, "CLMTMPL.ADT", "TMPLNO;FIELDNAME");
  TDbTable& t = f.MEDSCH;
  if (!t.FindKey({2, "C1"})) {
    f.ShowMessage("Unable to find actual start time in template.");
    return TTaskEnd::Normal;
  }
  if (t.FindKey({2, "C5"})) return TTaskEnd::Normal;
  // The failed search left the "C1" row current.
  const int fieldNo = static_cast<int>(t.FieldByName("FIELDNO").AsInteger()) - 1;
  AppendTemplateField(t, 2, "C5", "Start Working Time", 10, fieldNo, "00");
  AppendTemplateField(t, 2, "C6", "End Working Time", 10, fieldNo, "00");
  return TTaskEnd::Normal;
}

TTaskEnd AddPayPeriodToTemplates(TForm1Logic& f) {
  if (!f.Confirm("This process add a new field pay period to the claim template, continue? ")) return TTaskEnd::Stopped;
  PointMedsch(f, "CLMTMPL.ADT", "TMPLNO;FIELDNAME");
  for (int tmplNo = 1; tmplNo <= 10; ++tmplNo)
    AppendTemplateField(f.MEDSCH, tmplNo, "PERIOD_TO_TRANSFER", "Pay Period", 0, 100, "11");
  return TTaskEnd::Normal;
}

// Meant for the claims verified on 17/08/2005; it takes the day it runs on.
TTaskEnd SetTransferPeriod200508(TForm1Logic& f) {
  PointMedsch(f, "MEDICAL.ADT", "EMPCODE;MEDICAL_CODE;MEDICAL_DATE");
  TDbTable& t = f.MEDSCH;
  const DateTime today = Today();
  for (t.First(); !t.Eof(); t.Next()) {
    if (t.FieldByName("approved_date").AsDateTime() != today) continue;
    t.Edit();
    t.FieldByName("period_to_transfer").SetAsString("200508");
    t.FieldByName("cycle").SetAsString("E");
    t.Post();
  }
  return TTaskEnd::Normal;
}

TTaskEnd DeleteInvalidClaim(TForm1Logic& f) {
  PointMedsch(f, "MEDICAL.ADT", "EMPCODE;MEDICAL_CODE;MEDICAL_DATE;DATE_SERIALNUM");
  TDbTable& t = f.MEDSCH;
  // The employee code searched for is this date-like text, as the task
  // has always done.
  if (t.FindKey(
          {std::string("20/06/2005"), std::string("TRANS"), Variant::FromDateTime(EncodeDate(2005, 4, 20)), 2599})) {
    t.Delete();
  } else {
    f.ShowMessage("Unable to find this claim application in Claim Table.");
  }
  return TTaskEnd::Normal;
}

}  // namespace

void InstallClaimTasks(TTaskDispatcher& dispatcher) {
  dispatcher.SetBody(0, CleanUnusedClaimSetup);
  dispatcher.SetBody(2, UpdateAllowanceAndTransferPeriod);
  dispatcher.SetBody(3, SwapExpenseAndClaimDate);
  dispatcher.SetBody(16, AddWorkingTimeToOtTemplate);
  dispatcher.SetBody(17, AddPayPeriodToTemplates);
  dispatcher.SetBody(19, SetTransferPeriod200508);
  dispatcher.SetBody(23, DeleteInvalidClaim);
}

}  // namespace dbu
