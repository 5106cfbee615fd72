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
// Bumped whenever a handle goes away, so that a thread's cached lookup of
// its last handle stays valid exactly as long as nothing was removed.
std::atomic<uint64_t> g_generation{1};
struct CachedLookup {
  ENGHANDLE handle = 0;
  uint64_t generation = 0;
  std::shared_ptr<Object> object;
};
thread_local CachedLookup t_cache;

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
  if (t_cache.handle == h && t_cache.generation == generation) return t_cache.object;
  std::shared_lock<std::shared_mutex> g(g_mutex);
  auto& m = Map();
  auto it = m.find(h);
  if (it == m.end()) return nullptr;
  t_cache.handle = h;
  t_cache.generation = generation;
  t_cache.object = it->second;
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
