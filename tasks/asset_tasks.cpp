// Asset tasks (15, 20, 21, 24, 35): one-off repairs of the asset register
// "ASSET.ADT" and the asset movement table "TRANSFER.ADT". The asset
// numbers, dates and counters are constants of each task. Every task works
// on the window's MEDSCH (task 35 also reads through DbQuery1), leaves its
// table open, and lets data layer errors end the run.
#include <string>

#include "tasks.h"
#include "unit1logic.h"

namespace dbu {
namespace {

// Re-points MEDSCH at table, ordered by indexFields, and opens it.
void OpenMedschOn(TForm1Logic& form, const char* table, const char* indexFields) {
  form.MEDSCH.Close();
  form.MEDSCH.SetTableName(table);
  form.MEDSCH.SetIndexFieldNames(indexFields);
  form.MEDSCH.Open();
}

// Task 15: nature code "G&A" for asset A2005050039 in the register and in
// its first movement record.
TTaskEnd UpdateNatureCode(TForm1Logic& form) {
  if (!form.Confirm("This process update the nature code for Asset A2005050039, continue? ")) return TTaskEnd::Stopped;
  TDbTable& table = form.MEDSCH;
  OpenMedschOn(form, "ASSET.ADT", "ASSET_NO");
  if (table.FindKey({"A2005050039"})) {
    table.Edit();
    table.FieldByName("NATURE_CODE").SetAsString("G&A");
    table.Post();
  } else {
    form.ShowMessage("Unable to find this Asset in ASSET Table.");
  }
  // The movement record is repaired even when the register lacks the asset.
  OpenMedschOn(form, "Transfer.ADT", "ASSETS_CODE");
  if (table.FindKey({"A2005050039"})) {
    table.Edit();
    table.FieldByName("NATURE_CODE").SetAsString("G&A");
    table.FieldByName("CURR_NATURE_CODE").SetAsString("G&A");
    table.Post();
  } else {
    form.ShowMessage("Unable to find this Asset in Transfer Table.");
  }
  return TTaskEnd::Normal;
}

// Task 20: asset 0002244F is no longer disposed.
TTaskEnd RestoreAsset(TForm1Logic& form) {
  TDbTable& table = form.MEDSCH;
  OpenMedschOn(form, "ASSET.ADT", "ASSET_NO");
  if (table.FindKey({"0002244F"})) {
    table.Edit();
    table.FieldByName("dispose_period").SetAsString("");
    table.FieldByName("dispose_type").SetAsString("");
    table.Post();
  } else {
    form.ShowMessage("Unable to find this Asset[0002244F] in ASSET Table.");
  }
  return TTaskEnd::Normal;
}

// Task 21: asset E2005090188 back to category C1000, register first; the
// movement table is left alone when the register lacks the asset.
TTaskEnd RestoreCategory(TForm1Logic& form) {
  TDbTable& table = form.MEDSCH;
  OpenMedschOn(form, "ASSET.ADT", "ASSET_NO");
  if (!table.FindKey({"E2005090188"})) {
    form.ShowMessage("Unable to find this Asset[E2005090188] in ASSET Table.");
    return TTaskEnd::Normal;
  }
  table.Edit();
  table.FieldByName("CATEGORY").SetAsString("C1000");
  table.Post();
  OpenMedschOn(form, "TRANSFER.ADT", "ASSETS_CODE");
  if (table.FindKey({"E2005090188"})) {
    table.Edit();
    table.FieldByName("CATEGORY_CODE").SetAsString("C1000");
    table.Post();
  } else {
    form.ShowMessage("Unable to find this Asset[E2005090188] in TRANSFER Table.");
  }
  return TTaskEnd::Normal;
}

// Task 24: deletes the not-disposed movement record 12071 of A2005100071.
TTaskEnd RemoveTransfer(TForm1Logic& form) {
  TDbTable& table = form.MEDSCH;
  OpenMedschOn(form, "TRANSFER.ADT", "ASSETS_CODE;DISPOSE_DATE;LOCATION_COUNT");
  // The disposal date is the date value zero, given as a date.
  if (table.FindKey({"A2005100071", Variant::FromDateTime(0.0), 12071})) {
    table.Delete();
  } else {
    form.ShowMessage("Unable to find A2005100071'S TRANSFER in the database.");
  }
  return TTaskEnd::Normal;
}

// Task 35: a further movement record for F001745E, copied from its first
// one, marked as not disposed; the table gives the location counter.
TTaskEnd LinkMovementRecord(TForm1Logic& form) {
  TDbQuery& query = form.DbQuery1;
  query.Close();
  query.SQL().SetText("SELECT * FROM TRANSFER WHERE ASSETS_CODE='F001745E'");
  query.Open();
  // Without a movement record there is nothing to copy from.
  if (!query.HasCurrentRecord()) {
    form.ShowMessage("Unable to find this Asset[F001745E] in TRANSFER Table.");
    return TTaskEnd::Normal;
  }
  TDbTable& table = form.MEDSCH;
  table.Close();
  table.SetTableName("TRANSFER");
  table.SetIndexName("");
  table.Open();
  table.Append();
  for (size_t i = 0; i < table.FieldCount(); ++i) {
    const TField& field = query.Fields(i);
    if (field.FieldName() == "LOCATION_COUNT") continue;
    table.FieldByName(field.FieldName()).SetAsVariant(field.AsVariant());
  }
  table.FieldByName("dispose_date").SetAsDateTime(0.0);
  table.Post();
  return TTaskEnd::Normal;
}

}  // namespace

void InstallAssetTasks(TTaskDispatcher& dispatcher) {
  dispatcher.SetBody(15, UpdateNatureCode);
  dispatcher.SetBody(20, RestoreAsset);
  dispatcher.SetBody(21, RestoreCategory);
  dispatcher.SetBody(24, RemoveTransfer);
  dispatcher.SetBody(35, LinkMovementRecord);
}

}  // namespace dbu
