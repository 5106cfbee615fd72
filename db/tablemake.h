// What the data access layer reads of a table's make at each open (its
// fields, record and bookmark lengths, index page size, index list), kept
// per process by the engine's layout stamp (EngGetLayoutStamp), so that a
// cursor closed and reopened many times over the same tables asks the
// engine once. Invariant: an entry holds exactly what the engine told for
// that stamp; a table changed in make gets a new stamp and so a new entry.
// Thread-safe; a few entries, the least recently used going first.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "dbindex.h"
#include "recordcodec.h"

namespace dbu {

struct TTableMake {
  uint32_t RecordLength = 0;
  uint32_t IndexPageSize = 0;
  uint32_t BookmarkLength = 0;
  std::vector<TEngineFieldDef> FieldDefs;
};

class TTableMakeCache {
 public:
  static TTableMakeCache& Instance();
  // null / empty when not kept (stamp 0 is never kept).
  std::shared_ptr<const TTableMake> Make(uint64_t stamp);
  std::optional<std::vector<TIndexDef>> Indexes(uint64_t stamp);
  void KeepMake(uint64_t stamp, TTableMake make);
  void KeepIndexes(uint64_t stamp, std::vector<TIndexDef> defs);

 private:
  struct Entry {
    uint64_t Stamp = 0;
    uint64_t LastUse = 0;
    std::shared_ptr<const TTableMake> Make;
    std::optional<std::vector<TIndexDef>> Indexes;
  };
  Entry* Find(uint64_t stamp);       // under mutex_
  Entry& FindOrAdd(uint64_t stamp);  // under mutex_
  static constexpr size_t kEntries = 16;
  std::mutex mutex_;
  std::vector<Entry> entries_;
  uint64_t uses_ = 0;
};

}  // namespace dbu
