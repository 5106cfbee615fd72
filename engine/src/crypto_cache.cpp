#include "crypto_cache.h"

#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <new>

namespace eng {

namespace {
constexpr size_t kArenaBytes = 2u << 20;
constexpr size_t kPoolArenas = 64;  // at most 128 MiB kept for reuse

struct ArenaPool {
  std::mutex mu;
  std::vector<uint8_t*> free;

  uint8_t* Get() {
    {
      std::lock_guard<std::mutex> g(mu);
      if (!free.empty()) {
        uint8_t* a = free.back();
        free.pop_back();
        return a;
      }
    }
    void* p = std::aligned_alloc(kArenaBytes, kArenaBytes);
    if (!p) throw std::bad_alloc();
    ::madvise(p, kArenaBytes, MADV_HUGEPAGE);
    return static_cast<uint8_t*>(p);
  }
  void Put(uint8_t* a) {
    {
      std::lock_guard<std::mutex> g(mu);
      if (free.size() < kPoolArenas) {
        free.push_back(a);
        return;
      }
    }
    std::free(a);
  }
};

ArenaPool& Pool() {
  static ArenaPool* pool = new ArenaPool();  // outlives every cache
  return *pool;
}
}  // namespace

uint8_t* BlockCache::Carve(size_t size) {
  size = (size + 63) & ~size_t{63};
  if (arenas_.empty() || arena_used_ + size > kArenaBytes) {
    arenas_.push_back(Pool().Get());
    arena_used_ = 0;
  }
  uint8_t* p = arenas_.back() + arena_used_;
  arena_used_ += size;
  return p;
}

BlockCache::Entry* BlockCache::Insert(uint64_t n, size_t size, bool passing) {
  if (n >= entries_.size()) entries_.resize(n + 1);
  auto e = std::make_unique<Entry>();
  if (passing) {
    passing_.emplace_back(n, size);
    passing_bytes_ += size;
  }
  if (!spare_.empty() && spare_.back().second == size) {
    e->data_ = spare_.back().first;
    spare_.pop_back();
  } else if (size > kArenaBytes / 4) {
    e->own_.reset(new uint8_t[size]);
    e->data_ = e->own_.get();
  } else {
    e->data_ = Carve(size);
  }
  e->size_ = size;
  bytes_ += size;
  entries_[n] = std::move(e);
  return entries_[n].get();
}

void BlockCache::ClearDirty() {
  for (uint64_t n : dirty_)
    if (Entry* e = Find(n)) e->dirty = false;
  dirty_.clear();
}

void BlockCache::RecyclePassing(uint64_t budget) {
  // Dirty entries hold a change not yet sealed: they go to the back and stay.
  for (size_t left = passing_.size(); left > 0 && passing_bytes_ > budget; --left) {
    const auto [n, size] = passing_.front();
    passing_.pop_front();
    Entry* e = Find(n);
    if (e != nullptr && e->dirty) {
      passing_.emplace_back(n, size);
      continue;
    }
    passing_bytes_ -= size;
    // Gone (dropped, or listed twice after being read again) or no longer
    // the entry listed: nothing to give back.
    if (e == nullptr || e->size_ != size) continue;
    if (!e->own_) spare_.emplace_back(e->data_, e->size_);
    bytes_ -= e->size_;
    entries_[n].reset();
  }
}

void BlockCache::Clear() {
  entries_.clear();
  passing_.clear();
  passing_bytes_ = 0;
  spare_.clear();
  entries_.shrink_to_fit();
  dirty_.clear();
  for (uint8_t* a : arenas_) Pool().Put(a);
  arenas_.clear();
  arena_used_ = 0;
  bytes_ = 0;
}

}  // namespace eng
