#include "tablemake.h"

#include <algorithm>

namespace dbu {

TTableMakeCache& TTableMakeCache::Instance() {
  static auto* cache = new TTableMakeCache();  // never destroyed: cursors may close at exit
  return *cache;
}

TTableMakeCache::Entry* TTableMakeCache::Find(uint64_t stamp) {
  if (stamp == 0) return nullptr;
  for (Entry& e : entries_)
    if (e.Stamp == stamp) {
      e.LastUse = ++uses_;
      return &e;
    }
  return nullptr;
}

TTableMakeCache::Entry& TTableMakeCache::FindOrAdd(uint64_t stamp) {
  if (Entry* e = Find(stamp)) return *e;
  if (entries_.size() < kEntries) {
    entries_.emplace_back();
  } else {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const Entry& a, const Entry& b) { return a.LastUse < b.LastUse; });
    *oldest = Entry();
    std::rotate(oldest, oldest + 1, entries_.end());
  }
  Entry& e = entries_.back();
  e.Stamp = stamp;
  e.LastUse = ++uses_;
  return e;
}

std::shared_ptr<const TTableMake> TTableMakeCache::Make(uint64_t stamp) {
  std::lock_guard<std::mutex> g(mutex_);
  Entry* e = Find(stamp);
  return e ? e->Make : nullptr;
}

std::optional<std::vector<TIndexDef>> TTableMakeCache::Indexes(uint64_t stamp) {
  std::lock_guard<std::mutex> g(mutex_);
  Entry* e = Find(stamp);
  return e ? e->Indexes : std::nullopt;
}

void TTableMakeCache::KeepMake(uint64_t stamp, TTableMake make) {
  if (stamp == 0) return;
  std::lock_guard<std::mutex> g(mutex_);
  FindOrAdd(stamp).Make = std::make_shared<const TTableMake>(std::move(make));
}

void TTableMakeCache::KeepIndexes(uint64_t stamp, std::vector<TIndexDef> defs) {
  if (stamp == 0) return;
  std::lock_guard<std::mutex> g(mutex_);
  FindOrAdd(stamp).Indexes = std::move(defs);
}

}  // namespace dbu
