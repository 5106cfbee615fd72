// Decrypted copies of the fixed-size blocks of one encrypted file (record
// blocks of a table, pages of its index file), by block number.
//
// An entry stays in place until Clear(), so a pointer into one stays valid
// for the whole engine operation that obtained it; the owner clears the
// cache only between operations (when another process changed the file, or
// when it grew too large) or when an operation is undone. Dirty entries
// are sealed back into the file before the operation commits.
//
// Entries met in passing (blocks read one after another by a walk) stay
// while they fit a budget, so that walking a small table again (a query
// sent once per section, say) decrypts nothing; beyond it RecyclePassing(),
// between operations, gives back the oldest, and their memory serves the
// next ones: a walk of any length holds at most the budget, and decrypts
// into memory it already touched instead of faulting in fresh pages (which
// costs about as much as decrypting, or more).
//
// Entries are carved from 2 MiB arenas (huge pages where the system offers
// them) that a process-wide pool keeps for reuse after Clear(): faulting in
// fresh memory page by page costs more than decrypting into it, and tables
// are opened and closed over and over. The pool is thread-safe; a
// BlockCache is not (used under the table's lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace eng {

class BlockCache {
 public:
  class Entry {
   public:
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    bool dirty = false;

   private:
    friend class BlockCache;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    std::unique_ptr<uint8_t[]> own_;  // entries too large for an arena
  };

  BlockCache() = default;
  ~BlockCache() { Clear(); }
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  Entry* Find(uint64_t n) { return n < entries_.size() ? entries_[n].get() : nullptr; }
  // A new entry of size bytes, not initialized: the caller fills it.
  // passing: RecyclePassing() may take it back (see above).
  Entry* Insert(uint64_t n, size_t size, bool passing = false);
  // Forgets an entry whose filling failed.
  void Drop(uint64_t n) {
    if (n >= entries_.size() || !entries_[n]) return;
    bytes_ -= entries_[n]->size_;
    entries_[n].reset();
  }
  void MarkDirty(uint64_t n, Entry* e) {
    if (e->dirty) return;
    e->dirty = true;
    dirty_.push_back(n);
  }
  const std::vector<uint64_t>& dirty() const { return dirty_; }
  void ClearDirty();
  // Forgets the oldest clean entries inserted in passing until those left
  // hold at most budget bytes, keeping their memory for new ones. Only
  // between operations: pointers into them become invalid.
  void RecyclePassing(uint64_t budget);
  void Clear();
  uint64_t bytes() const { return bytes_; }

 private:
  uint8_t* Carve(size_t size);

  std::vector<std::unique_ptr<Entry>> entries_;
  std::vector<uint64_t> dirty_;
  std::deque<std::pair<uint64_t, size_t>> passing_;  // blocks inserted in passing, oldest first, and sizes
  uint64_t passing_bytes_ = 0;                        // sizes summed over passing_
  std::vector<std::pair<uint8_t*, size_t>> spare_;  // recycled memory (carved)
  std::vector<uint8_t*> arenas_;
  size_t arena_used_ = 0;  // bytes used of arenas_.back()
  uint64_t bytes_ = 0;
};

}  // namespace eng
