// Shared plumbing of the C interface: turning exceptions into result codes
// and the thread's last error, copying texts and data into caller buffers,
// and running a call on a table handle under that handle's lock.
#pragma once

#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "error.h"
#include "index_hooks.h"
#include "objects.h"

namespace eng {

template <class F>
ENGRESULT Call(F&& f) {
  try {
    f();
    return ENG_OK;
  } catch (const EngineError& e) {
    SetLastError(e.code(), e.what());
    return e.code();
  } catch (const std::bad_alloc&) {
    SetLastError(ENG_ERR_OUT_OF_MEMORY, "Out of memory");
    return ENG_ERR_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    SetLastError(ENG_ERR_INTERNAL, std::string("Internal error: ") + e.what());
    return ENG_ERR_INTERNAL;
  }
}

[[noreturn, gnu::noinline, gnu::cold]] inline void FailMissing(const char* what) {
  Fail(ENG_ERR_INVALID_ARGUMENT, std::string("Missing argument: ") + what);
}

// The failure is out of line: this check is in every call that returns a value.
inline void Need(const void* p, const char* what) {
  if (!p) [[unlikely]] FailMissing(what);
}

// Copies text with its NUL; fails with ENG_ERR_BUFFER_TOO_SMALL (after
// copying what fits) when the room is short. *len: room in, length out.
inline void PutText(const std::string& text, char* buf, uint16_t* len) {
  Need(buf, "buffer");
  Need(len, "length");
  uint16_t room = *len;
  if (text.size() > 0xFFFEu || text.size() + 1 > room) {
    if (room > 0) {
      std::memcpy(buf, text.data(), room - 1u);
      buf[room - 1] = 0;
    }
    *len = static_cast<uint16_t>(text.size() > 0xFFFEu ? 0xFFFEu : text.size());
    Fail(ENG_ERR_BUFFER_TOO_SMALL, "Buffer of " + std::to_string(room) + " characters too small for " +
                                       std::to_string(text.size() + 1));
  }
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  *len = static_cast<uint16_t>(text.size());
}

// Copies data (NUL added when there is room to spare).
inline void PutData(const void* data, size_t size, uint8_t* buf, uint32_t* len) {
  Need(buf, "buffer");
  Need(len, "length");
  uint32_t room = *len;
  if (size > room) {
    std::memcpy(buf, data, room);
    *len = static_cast<uint32_t>(size);
    Fail(ENG_ERR_BUFFER_TOO_SMALL,
         "Buffer of " + std::to_string(room) + " bytes too small for " + std::to_string(size));
  }
  std::memcpy(buf, data, size);
  if (size < room) buf[size] = 0;
  *len = static_cast<uint32_t>(size);
}

template <class T>
inline void PutValue(T* out, T value) {
  Need(out, "result");
  *out = value;
}

// A table or index handle for one call, with the order to navigate in.
// Both lookups are borrowed (see HandleRef): no reference counting.
class NavRef {
 public:
  explicit NavRef(ENGHANDLE h) : ref_(h) {
    Object* obj = ref_.get();
    if (obj && (obj->kind == ENG_HANDLE_TABLE || obj->kind == ENG_HANDLE_CURSOR)) {
      table_ = static_cast<TableObject*>(obj);
      return;
    }
    OfIndex(h);
  }
  TableObject& table() const { return *table_; }
  RecordOrder* order() const { return order_; }

 private:
  void OfIndex(ENGHANDLE h) {
    Object* obj = ref_.get();
    if (!obj || obj->kind != ENG_HANDLE_INDEX)
      Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not an open table or index");
    order_ = IndexOrder(*obj);
    owner_.emplace(IndexOwner(*obj));
    table_ = &TableOf(*owner_, IndexOwner(*obj));
  }

  HandleRef ref_;
  std::optional<HandleRef> owner_;  // an index handle's table handle
  TableObject* table_ = nullptr;
  RecordOrder* order_ = nullptr;
};

// The live table handle of a table object (a closed one fails), and the
// refusal of changes through an SQL statement's result.
[[noreturn]] inline void FailClosed(const TableObject& t) {
  Fail(ENG_ERR_INVALID_HANDLE, "Table handle " + std::to_string(t.self) + " is closed");
}
inline TableHandle& Live(TableObject& t) {
  if (!t.table) FailClosed(t);
  return *t.table;
}
[[noreturn]] inline void FailStatic() {
  Fail(ENG_ERR_STATIC_CURSOR, "The result of an SQL statement cannot be changed");
}
inline void RefuseStatic(const TableObject& t) {
  if (t.static_cursor) FailStatic();
}

}  // namespace eng
