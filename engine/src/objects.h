// The engine's handle table and the objects behind handles.
//
// Handles are 32-bit numbers (never 0 or 0xFFFFFFFF) mapped to shared
// objects; a call looks its handle up, keeps the object alive for the call
// and serializes on the object's mutex, so handles may be used from any
// thread. Closing a connection closes every object opened through it. The
// last error is kept per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine.h"
#include "table_handle.h"

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

// Typed lookups: throw EngineError(ENG_ERR_INVALID_HANDLE) on mismatch.
std::shared_ptr<ConnectionObject> FindConnection(ENGHANDLE h);
std::shared_ptr<TableObject> FindTable(ENGHANDLE h);  // tables and SQL cursors

void SetLastError(uint32_t code, const std::string& text);
uint32_t LastErrorCode();
const std::string& LastErrorText();

}  // namespace eng
