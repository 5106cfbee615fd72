// Table cursors: TDbExtendedTable opens one engine table by name (through
// its connection object, or an implicit connection by path) and carries the
// table maintenance operations; TDbTable is the class the application uses.
//
// Ownership and threading as for every dataset (dbdataset.h).
#pragma once

#include <string>

#include "dbextended.h"

namespace dbu {

class TDbExtendedTable : public TDbExtendedDataSet {
 public:
  using TDbExtendedDataSet::TDbExtendedDataSet;

  // True when open; else whether the table's file exists in DatabasePath
  // (".adt" or ".dbf" added to a name without extension; letter case of
  // the file name does not matter).
  bool TableExists() const;
  // Removes every record (the table must be openable exclusively).
  void EmptyTable();
  // Gives the engine the password of the open table and re-reads.
  void EnableEncryption(const std::string& password);
  void PackTable();
  void EncryptTable();
  void DecryptTable();

 protected:
  ENGHANDLE CreateCursorHandle() override { return OpenTableAtEngine(); }
  // Opens the table at the engine (Open up to the index files) and returns
  // the table handle; throws when it cannot.
  ENGHANDLE OpenTableAtEngine();
  // Opens the extra index files (IndexFiles) with the table.
  virtual void OpenIndexFiles(ENGHANDLE table) {
    for (const std::string& name : IndexFiles()) OpenIndexFile(table, name);
  }
  ENGHANDLE OpenTableForDefinitions() override { return OpenTableAtEngine(); }

 private:
  ENGHANDLE EngineConnection();
  std::string FreeTableFileName(const std::string& path) const;
  // Runs a maintenance call on the open table and re-positions after it.
  template <typename Call>
  void Maintain(Call&& call);
};

class TDbTable : public TDbExtendedTable {
 public:
  using TDbExtendedTable::TDbExtendedTable;
};

}  // namespace dbu
