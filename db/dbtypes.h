// Small enumerations and option records shared by the cursor classes.
#pragma once

#include <cstdint>

namespace dbu {

enum TDataSetState { StateInactive, StateBrowse, StateEdit, StateInsert, StateSetKey };

// File format of a table; the engine's type code is EngineTableType().
enum TTableType { ttCDX, ttNTX, ttNative, ttDefault };
inline uint16_t EngineTableType(TTableType type) {
  switch (type) {
    case ttCDX: return 2;
    case ttNTX: return 1;
    default: return 3;
  }
}

enum TDbLockType { Proprietary, Compatible };
enum TDbCharType { ANSI, OEM };
enum TDbCountOption { ignore, respect };

// Open options of a cursor (DbTableOptions). Lock type, character type and
// rights checking may change only while the cursor is closed.
struct TDbTableOptions {
  TDbLockType DbLockType = Proprietary;
  TDbCharType DbCharType = ANSI;
  bool DbRightsCheck = true;
  bool DbOptimizedFilters = true;
  bool DbFilterResolveImmediate = false;
  uint32_t DbIndexPageSize = 512;  // replaced at open by the first index's page size
  TDbCountOption DbFilterOptions = ignore;
  TDbCountOption DbScopeOptions = ignore;
  bool DbFreshRecordCount = false;

  uint16_t EngineLockType() const { return DbLockType == Proprietary ? 1 : 0; }
  uint16_t EngineCharType() const { return DbCharType == ANSI ? 1 : 2; }
  uint32_t EngineRights() const { return DbRightsCheck ? 1 : 2; }
};

}  // namespace dbu
