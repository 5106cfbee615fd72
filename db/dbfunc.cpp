// Table maintenance operations of the table cursor: existence test, zap,
// encryption password, pack, encrypt and decrypt.
#include "dbtable.h"
#include "pathutil.h"

namespace dbu {

bool TDbExtendedTable::TableExists() const {
  if (Active()) return true;
  if (TableName().empty()) return false;
  std::string file = DatabasePath() + "/" + TableName();
  if (!HasExtension(TableName())) file += TableType() == ttNative ? ".adt" : ".dbf";
  return FileExistsNoCase(file);
}

void TDbExtendedTable::EmptyTable() {
  if (Active()) {
    SettlePendingChanges();
    Check(EngZapTable(TableHandle()));
    ShowNoRecord();
    return;
  }
  ENGHANDLE table = OpenTableAtEngine();
  ENGRESULT zapped = EngZapTable(table);
  ENGRESULT closed = EngCloseTable(table);
  Check(zapped);
  Check(closed);
}

template <typename Call>
void TDbExtendedTable::Maintain(Call&& call) {
  CheckActive();
  ReturnFromReadAhead();
  ENGRESULT r = call();
  if (r != ENG_ERR_NO_CURRENT_RECORD) Check(r);
  Reposition();
}

void TDbExtendedTable::EnableEncryption(const std::string& password) {
  CheckActive();
  SettlePendingChanges();
  Maintain([&] { return EngEnableEncryption(TableHandle(), password.c_str()); });
}

void TDbExtendedTable::PackTable() {
  CheckActive();
  SettlePendingChanges();
  Maintain([&] {
    ENGRESULT r = EngPackTable(TableHandle());
    if (r != ENG_OK && r != ENG_ERR_NO_CURRENT_RECORD) return r;
    SettlePendingChanges();
    Check(EngGotoTop(OrderHandle()));
    return r;
  });
}

void TDbExtendedTable::EncryptTable() {
  Maintain([&] { return EngEncryptTable(TableHandle()); });
}

void TDbExtendedTable::DecryptTable() {
  Maintain([&] { return EngDecryptTable(TableHandle()); });
}

}  // namespace dbu
