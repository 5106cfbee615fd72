// Decrypted copies of the fixed-size blocks of one encrypted file (record
// blocks of a table, pages of its index file), by block number.
//
// An entry stays in place until Clear(), so a pointer into one stays valid
// for the whole engine operation that obtained it; the owner clears the
// cache only between operations (when another process changed the file, or
// when it grew too large) or when an operation is undone. Dirty entries
// are sealed back into the file before the operation commits. Not
// thread-safe: used under the table's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace eng {

class BlockCache {
 public:
  struct Entry {
    std::vector<uint8_t> plain;
    bool dirty = false;
  };

  Entry* Find(uint64_t n) { return n < entries_.size() ? entries_[n].get() : nullptr; }
  Entry* Insert(uint64_t n, std::vector<uint8_t> plain) {
    if (n >= entries_.size()) entries_.resize(n + 1);
    bytes_ += plain.size();
    entries_[n] = std::make_unique<Entry>();
    entries_[n]->plain = std::move(plain);
    return entries_[n].get();
  }
  void MarkDirty(uint64_t n, Entry* e) {
    if (e->dirty) return;
    e->dirty = true;
    dirty_.push_back(n);
  }
  const std::vector<uint64_t>& dirty() const { return dirty_; }
  void ClearDirty() {
    for (uint64_t n : dirty_)
      if (Entry* e = Find(n)) e->dirty = false;
    dirty_.clear();
  }
  void Clear() {
    entries_.clear();
    entries_.shrink_to_fit();
    dirty_.clear();
    bytes_ = 0;
  }
  uint64_t bytes() const { return bytes_; }

 private:
  std::vector<std::unique_ptr<Entry>> entries_;
  std::vector<uint64_t> dirty_;
  uint64_t bytes_ = 0;
};

}  // namespace eng
