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
// Bumped whenever a handle goes away, so that a thread's cached lookups of
// its last handles stay valid exactly as long as nothing was removed.
std::atomic<uint64_t> g_generation{1};
struct CachedLookup {
  ENGHANDLE handle = 0;
  uint64_t generation = 0;
  std::shared_ptr<Object> object;
};
// A cursor walking in an index order uses the index handle, its table
// handle and often a second table: a few entries, replaced in turn.
constexpr size_t kCachedLookups = 4;
thread_local CachedLookup t_cache[kCachedLookups];
thread_local size_t t_cache_next = 0;

struct LastError {
  uint32_t code = 0;
  std::string text;
};
thread_local LastError t_last;
}  // namespace

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
  uint64_t generation = g_generation.load(std::memory_order_acquire);
  for (const CachedLookup& c : t_cache)
    if (c.handle == h && c.generation == generation) return c.object;
  std::shared_lock<std::shared_mutex> g(g_mutex);
  auto& m = Map();
  auto it = m.find(h);
  if (it == m.end()) return nullptr;
  CachedLookup& c = t_cache[t_cache_next];
  t_cache_next = (t_cache_next + 1) % kCachedLookups;
  c.handle = h;
  c.generation = generation;
  c.object = it->second;
  return it->second;
}

std::shared_ptr<Object> Handles::Remove(ENGHANDLE h) {
  std::unique_lock<std::shared_mutex> g(g_mutex);
  auto& m = Map();
  auto it = m.find(h);
  if (it == m.end()) return nullptr;
  std::shared_ptr<Object> obj = it->second;
  m.erase(it);
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  // The caller's last reference must end the object (a cursor removes its
  // temporary folder then): this thread's lookups let go of it now.
  for (CachedLookup& c : t_cache)
    if (c.object == obj) c = CachedLookup();
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

void SetLastError(uint32_t code, const std::string& text) {
  t_last.code = code;
  t_last.text = text;
}
uint32_t LastErrorCode() { return t_last.code; }
const std::string& LastErrorText() { return t_last.text; }

}  // namespace eng
