#include "objects.h"

#include <atomic>
#include <shared_mutex>
#include <unordered_map>

#include "error.h"

namespace eng {

namespace {
std::shared_mutex g_mutex;
std::unordered_map<ENGHANDLE, std::shared_ptr<Object>>& Map() {
  static auto* m = new std::unordered_map<ENGHANDLE, std::shared_ptr<Object>>();
  return *m;
}
ENGHANDLE g_next = 0x100;

using lookup::kEntries;
using lookup::t_cache;
// The references behind the thread's cached lookups, entry by entry.
thread_local std::shared_ptr<Object> t_holders[kEntries];

size_t Index(const lookup::Entry& e) { return static_cast<size_t>(&e - t_cache.entries); }

// The entry holding h's object at this generation, or -1.
int CachedSlot(ENGHANDLE h, uint64_t generation) {
  for (size_t i = 0; i < kEntries; ++i)
    if (t_cache.entries[i].handle == h && t_cache.entries[i].generation == generation) return static_cast<int>(i);
  return -1;
}

// Puts a fresh lookup into the next entry no call is using; -1 when every
// entry is pinned. The object it replaces is let go of after the entry is
// set, so that its destructor finds the cache consistent.
int CacheLookup(ENGHANDLE h, uint64_t generation, const std::shared_ptr<Object>& obj) {
  for (size_t n = 0; n < kEntries; ++n) {
    size_t i = (t_cache.next + n) % kEntries;
    lookup::Entry& e = t_cache.entries[i];
    if (e.pins) continue;
    t_cache.next = (i + 1) % kEntries;
    std::shared_ptr<Object> old = std::move(t_holders[i]);
    t_holders[i] = obj;
    e.handle = h;
    e.generation = generation;
    e.object = obj.get();
    return static_cast<int>(i);
  }
  return -1;
}

std::shared_ptr<Object> Lookup(ENGHANDLE h) {
  std::shared_lock<std::shared_mutex> g(g_mutex);
  auto& m = Map();
  auto it = m.find(h);
  return it == m.end() ? nullptr : it->second;
}

struct LastError {
  uint32_t code = 0;
  std::string text;
};
thread_local LastError t_last;
}  // namespace

std::atomic<uint64_t> lookup::g_generation{1};

ENGHANDLE Handles::Add(std::shared_ptr<Object> obj, uint16_t kind, ENGHANDLE owner) {
  std::unique_lock<std::shared_mutex> g(g_mutex);
  auto& m = Map();
  ENGHANDLE h;
  do {
    h = g_next++;
    if (g_next >= 0x7FFFFFF0u) g_next = 0x100;
  } while (m.count(h));
  obj->kind = kind;
  obj->self = h;
  obj->connection = owner;
  m[h] = obj;
  return h;
}

std::shared_ptr<Object> Handles::Find(ENGHANDLE h) {
  uint64_t generation = lookup::g_generation.load(std::memory_order_acquire);
  int slot = CachedSlot(h, generation);
  if (slot >= 0) return t_holders[slot];
  std::shared_ptr<Object> obj = Lookup(h);
  if (obj) CacheLookup(h, generation, obj);
  return obj;
}

void HandleRef::LookUp(ENGHANDLE h, uint64_t generation) {
  std::shared_ptr<Object> obj = Lookup(h);
  if (!obj) return;
  int slot = CacheLookup(h, generation, obj);
  if (slot < 0) {
    held_ = std::move(obj);
    obj_ = held_.get();
    return;
  }
  entry_ = &t_cache.entries[slot];
  ++entry_->pins;
  obj_ = entry_->object;
}

void HandleRef::Unpinned() {
  entry_->object = nullptr;
  t_holders[Index(*entry_)].reset();
}

std::shared_ptr<Object> Handles::Remove(ENGHANDLE h) {
  std::unique_lock<std::shared_mutex> g(g_mutex);
  auto& m = Map();
  auto it = m.find(h);
  if (it == m.end()) return nullptr;
  std::shared_ptr<Object> obj = it->second;
  m.erase(it);
  lookup::g_generation.fetch_add(1, std::memory_order_acq_rel);
  // The caller's last reference must end the object (a cursor removes its
  // temporary folder then): this thread's lookups let go of it now, except
  // that an entry a call still uses keeps it until that call ends.
  for (size_t i = 0; i < kEntries; ++i) {
    lookup::Entry& e = t_cache.entries[i];
    if (e.object != obj.get()) continue;
    e.handle = 0;
    if (!e.pins) {
      e.object = nullptr;
      t_holders[i].reset();
    }
  }
  return obj;
}

std::shared_ptr<ConnectionObject> FindConnection(ENGHANDLE h) {
  auto obj = Handles::Find(h);
  if (!obj || obj->kind != ENG_HANDLE_CONNECTION)
    Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not an open connection");
  return std::static_pointer_cast<ConnectionObject>(obj);
}

std::shared_ptr<TableObject> FindTable(ENGHANDLE h) {
  auto obj = Handles::Find(h);
  if (!obj || (obj->kind != ENG_HANDLE_TABLE && obj->kind != ENG_HANDLE_CURSOR))
    Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not an open table");
  return std::static_pointer_cast<TableObject>(obj);
}

void FailNotATable(ENGHANDLE h) {
  Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not an open table");
}

void SetLastError(uint32_t code, const std::string& text) {
  t_last.code = code;
  t_last.text = text;
}
uint32_t LastErrorCode() { return t_last.code; }
const std::string& LastErrorText() { return t_last.text; }

}  // namespace eng
