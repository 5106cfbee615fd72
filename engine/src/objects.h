// The engine's handle table and the objects behind handles.
//
// Handles are 32-bit numbers (never 0 or 0xFFFFFFFF) mapped to shared
// objects; a call looks its handle up, keeps the object alive for the call
// and serializes on the object's mutex, so handles may be used from any
// thread. Closing a connection closes every object opened through it. The
// last error is kept per thread.
//
// Each thread keeps its last few lookups. The calls made for every record
// borrow the object from there (HandleRef) rather than copying a shared
// pointer: counting references costs two atomic operations per copy, which
// is a good part of such a call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine.h"
#include "table_handle.h"
#include "transaction.h"

namespace eng {

struct Object {
  virtual ~Object() = default;
  uint16_t kind = 0;
  ENGHANDLE self = 0;
  ENGHANDLE connection = 0;  // owning connection (0 for a connection)
  std::mutex mu;
};

struct ConnectionObject : Object {
  std::string folder;      // folder of free tables (or of the dictionary)
  std::string dictionary;  // dictionary file, empty for a folder connection
  std::vector<ENGHANDLE> children;
  // The open transaction of the connection's SQL statements, or null.
  std::shared_ptr<Transaction> transaction;
  // How long a statement or transaction waits for a table another one holds.
  int64_t lock_wait_ms = 10000;
};

struct TableObject : Object {
  std::unique_ptr<TableHandle> table;
  std::string path;
  uint32_t open_options = 0;
  uint16_t table_type = ENG_TABLE_NATIVE;
  bool static_cursor = false;  // an SQL result: read-only, locks refused
  bool exact = false;          // exactness of string comparisons in this handle's filter
  std::vector<ENGHANDLE> children;  // index handles
};

class Handles {
 public:
  static ENGHANDLE Add(std::shared_ptr<Object> obj, uint16_t kind, ENGHANDLE owner);
  static std::shared_ptr<Object> Find(ENGHANDLE h);
  // Removes the handle (and, for a connection or table, its children).
  static std::shared_ptr<Object> Remove(ENGHANDLE h);
};

// Each thread's last lookups. Plain data, so that reading it costs no
// thread-local initialization check; the references that keep the objects
// alive are kept beside it, in objects.cpp.
namespace lookup {
struct Entry {
  ENGHANDLE handle = 0;  // 0: matches no lookup (the object may still be pinned)
  uint32_t pins = 0;     // HandleRefs using the entry
  uint64_t generation = 0;
  Object* object = nullptr;
};
// A cursor walking in an index order uses the index handle, its table
// handle and often a second table: a few entries, replaced in turn.
constexpr size_t kEntries = 4;
struct Cache {
  Entry entries[kEntries];
  size_t next = 0;
};
inline thread_local Cache t_cache;
// Bumped whenever a handle goes away, so that a thread's cached lookups of
// its last handles stay valid exactly as long as nothing was removed.
extern std::atomic<uint64_t> g_generation;
}  // namespace lookup

// The object of a handle for the length of one call on this thread (null
// when the handle is not open). The thread's lookup cache holds the object
// meanwhile: an entry in use is neither replaced by other lookups nor let
// go of by closing the handle on this thread until every HandleRef on it
// has ended. Other threads closing the handle do not touch this thread's
// cache, so the object stays valid; the call itself then fails cleanly
// (a closed table object has no TableHandle any more).
class HandleRef {
 public:
  explicit HandleRef(ENGHANDLE h) {
    uint64_t generation = lookup::g_generation.load(std::memory_order_acquire);
    for (lookup::Entry& e : lookup::t_cache.entries)
      if (e.handle == h && e.generation == generation) {
        ++e.pins;
        entry_ = &e;
        obj_ = e.object;
        return;
      }
    LookUp(h, generation);
  }
  ~HandleRef() {
    if (entry_ && --entry_->pins == 0 && entry_->handle == 0) Unpinned();
  }
  HandleRef(const HandleRef&) = delete;
  HandleRef& operator=(const HandleRef&) = delete;
  Object* get() const { return obj_; }

 private:
  void LookUp(ENGHANDLE h, uint64_t generation);  // not cached yet
  void Unpinned();                                 // the handle was closed meanwhile on this thread

  Object* obj_ = nullptr;
  lookup::Entry* entry_ = nullptr;  // the pinned cache entry
  std::shared_ptr<Object> held_;    // when every entry is pinned already
};

// Typed lookups: throw EngineError(ENG_ERR_INVALID_HANDLE) on mismatch.
std::shared_ptr<ConnectionObject> FindConnection(ENGHANDLE h);
std::shared_ptr<TableObject> FindTable(ENGHANDLE h);  // tables and SQL cursors
// The table or SQL cursor object of ref (looked up for handle h).
[[noreturn]] void FailNotATable(ENGHANDLE h);
inline TableObject& TableOf(const HandleRef& ref, ENGHANDLE h) {
  Object* obj = ref.get();
  if (!obj || (obj->kind != ENG_HANDLE_TABLE && obj->kind != ENG_HANDLE_CURSOR)) FailNotATable(h);
  return static_cast<TableObject&>(*obj);
}

void SetLastError(uint32_t code, const std::string& text);
uint32_t LastErrorCode();
const std::string& LastErrorText();

}  // namespace eng
