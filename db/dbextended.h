// The layer of the cursor classes that tables and queries share beyond the
// base cursor: index selection and key search (IndexName, IndexFieldNames,
// the dictionary default index, FindKey), record editing (Edit, Append,
// Post, Cancel, Delete with record locks) and record filters. Edit locks
// and reads in one engine call, Post of an edited record writes every field
// in one, and Delete in browsing deletes and moves on in one.
//
// Invariants: outside StateEdit and StateInsert no change is pending at the
// engine; a non-exclusive cursor holds a record lock exactly while it is in
// StateEdit. IndexName, IndexFieldNames, IndexMode, Filter and Filtered
// outlive Close and changes of TableName. Ownership and threading as for
// every dataset (dbdataset.h).
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "dbdataset.h"
#include "dbfilter.h"
#include "dbindex.h"

namespace dbu {

enum class TIndexMode { None, ByName, ByFieldList, DictionaryDefault };

// Index name standing for the dictionary's default index of the table.
inline constexpr const char* kDictionaryDefaultIndex = "DB_DEFAULT";

class TDbExtendedDataSet : public TDbDataSet {
 public:
  using TDbDataSet::TDbDataSet;
  ~TDbExtendedDataSet() override;

  // ---- index selection and key search ----
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);
  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const std::string& names);
  TIndexMode IndexMode() const { return indexMode_; }
  const std::string& DefaultIndexName() const { return defaultIndexName_; }
  // The indexes of the table, read from the engine when stale.
  const TIndexDefs& IndexDefs();
  // Extra index files opened with the table (sorted, no duplicates); while
  // the table is open, adding opens the file at the engine and deleting
  // closes it.
  const std::vector<std::string>& IndexFiles() const { return indexFiles_; }
  void AddIndexFile(const std::string& name);
  void DeleteIndexFile(const std::string& name);
  void ClearIndexFiles();

  bool FindKey(const std::vector<TKeyValue>& values);
  bool FindKey(std::initializer_list<TKeyValue> values) { return FindKey(std::vector<TKeyValue>(values)); }
  const TKeyBuffer& LookupKey() const { return keyBuffer_; }

  // ---- editing ----
  void Edit();
  void Append();
  void Post();
  void Cancel();
  void Delete();

  // ---- filters ----
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& text);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool value);
  void SetDbOptimizedFilters(bool value);

 protected:
  void PrepareKeyBuffers() override;
  void SelectOrder() override;
  void ApplyFilterAtOpen() override;
  bool RecordsMayBeHidden() const override { return filterApplied_; }
  void SettlePendingChanges() override;
  void DiscardPendingChanges() override;
  void RefreshDictionaryDefaultIndex() override;
  void TableNameChanged(bool differs) override;
  uint8_t* KeyBuffer() override;
  void KeyFieldWritten(const TField& field, size_t writtenLength) override;

  // Opens the table at the engine only to read its index definitions;
  // kNoHandle when this kind of cursor cannot (the table is closed after).
  virtual ENGHANDLE OpenTableForDefinitions() { return kNoHandle; }
  // Queries have no dictionary default index.
  virtual bool FollowsDictionaryDefault() const { return true; }

  void ApplyFilter();
  void ClearFilter();
  // Opens one index file on the table: the name as given when it holds a
  // folder, else in DatabasePath.
  void OpenIndexFile(ENGHANDLE table, const std::string& name);

 private:
  ENGHANDLE IndexHandleFor(TIndexMode mode);
  // Selects the order for a property just set on an open cursor; on failure
  // restores what restore() puts back and raises.
  template <typename Restore>
  void ReselectOrder(Restore&& restore);
  void ReadIndexDefs(ENGHANDLE table);
  std::string KeyFieldList();
  void FillKeyBuffer(const std::vector<TKeyValue>& values, const std::vector<std::string>& names);
  bool SeekKey();
  void PlaceAfterFailedSearch(bool eofBefore, bool bofBefore, uint32_t recNo);

  void CheckModifiable();
  void BeginInsert();
  // Post of an edited record: one engine call.
  void PostEdit();
  // Post of a new record: the fields one call each, then the write.
  void WriteFieldsToEngine();
  // After a write, cancel or delete: the record at the engine position, else
  // the next, else the previous one becomes current; false when none.
  bool ReadNearestRecord();
  void UnlockCurrent();

  std::string indexName_;
  std::string indexFieldNames_;
  TIndexMode indexMode_ = TIndexMode::None;
  std::string defaultIndexName_;
  TIndexDefs indexDefs_;
  TKeyBuffer keyBuffer_;
  // Derived from the engine once per open table or order, for FindKey.
  std::vector<uint8_t> nullRecord_;
  ENGHANDLE segmentsOf_ = kNoHandle;
  std::vector<const TEngineFieldDef*> segmentDefs_;  // nullptr: not a field of the cursor
  std::string keyListSource_;
  std::vector<std::string> keyNames_;
  std::vector<uint8_t> editCopy_;
  std::vector<ENGFIELDTEXT> memoWrites_;  // PostEdit's changed memo contents

  std::vector<std::string> indexFiles_;
  std::string filter_;
  bool filtered_ = false;
  bool filterApplied_ = false;
};

}  // namespace dbu
