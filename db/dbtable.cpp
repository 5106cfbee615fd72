#include "dbtable.h"

#include "dbconnection.h"
#include "dynconnlist.h"
#include "pathutil.h"

namespace dbu {

ENGHANDLE TDbExtendedTable::EngineConnection() {
  ENGHANDLE handle = 0;
  if (TDbConnection* connection = DbConnection()) {
    if (!connection->IsConnected()) connection->Connect();
    handle = connection->ConnectionHandle();
  } else {
    handle = TDynamicConnList::Obtain(DatabasePath());
  }
  if (handle == 0 || handle == kNoHandle) DataLayerError("Internal Error: invalid connection handle.");
  return handle;
}

std::string TDbExtendedTable::FreeTableFileName(const std::string& path) const {
  // The databases come from a system that ignores letter case: find the
  // file as it is spelled on disk, else let the engine report the name.
  std::string name = path + "/" + TableName();
  std::string file = HasExtension(TableName()) ? name : name + ".adt";
  if (std::optional<std::string> found = ResolvePathNoCase(file)) return *found;
  return name;
}

ENGHANDLE TDbExtendedTable::OpenTableAtEngine() {
  if (TableName().empty()) DataLayerError("Missing TableName property");
  uint32_t openOptions = (Exclusive() ? ENG_OPEN_EXCLUSIVE : 0u) | (ReadOnly() ? ENG_OPEN_READONLY : 0u);
  if (DbConnection() != nullptr && DbConnection()->ReadOnly()) {
    openOptions |= ENG_OPEN_READONLY;
    ForceReadOnly();
  }
  const TDbTableOptions& options = DbTableOptions();
  std::string path = DatabasePath();
  if (path.empty()) DataLayerError("One of the DatabaseName property or the DbConnection property must have a value.");
  const bool dictionary = OnDictionaryConnection();
  // The engine finds a free table's file without regard to case itself;
  // the spelling on disk is looked up here only for the fallback below.
  std::string name = dictionary ? TableName() : path + "/" + TableName();
  ENGHANDLE connection = EngineConnection();

  ENGHANDLE table = kNoHandle;
  uint16_t type = dictionary ? ENG_TABLE_DEFAULT : EngineTableType(TableType());
  ENGRESULT r = EngOpenTable(connection, name.c_str(), nullptr, type, options.EngineCharType(),
                             options.EngineLockType(), options.EngineRights(), openOptions, &table);
  if (dictionary && r == ENG_ERR_NOT_IN_DICTIONARY) {
    // A free table beside the dictionary.
    table = kNoHandle;
    const std::string freeName = FreeTableFileName(path);
    r = EngOpenTable(connection, freeName.c_str(), nullptr, EngineTableType(TableType()), options.EngineCharType(),
                     options.EngineLockType(), options.EngineRights(), openOptions, &table);
  }
  Require(r);
  try {
    if (dictionary) {
      uint16_t engineType = ENG_TABLE_NATIVE;
      Require(EngGetTableType(table, &engineType));
      SetTableTypeFromEngine(engineType);
    }
    OpenIndexFiles(table);
  } catch (...) {
    EngCloseTable(table);
    throw;
  }
  return table;
}

}  // namespace dbu
