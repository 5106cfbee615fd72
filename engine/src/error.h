// Internal error type of the engine. Internals throw EngineError; the C
// interface (api.cpp) catches it, stores code and text as the calling
// thread's last error and returns the code. Texts name what failed (table,
// field, record, path) so that a user can act on them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine_errors.h"

namespace eng {

class EngineError : public std::runtime_error {
 public:
  EngineError(uint32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

[[noreturn]] inline void Fail(uint32_t code, const std::string& text) { throw EngineError(code, text); }

// Something the engine did on its own that an administrator should know
// about, though no call failed (a journal left beside other files, say).
// Written to the standard error stream, where the engine's own error
// display writes when no handler is set.
inline void Warn(const std::string& text) { std::fprintf(stderr, "Engine warning: %s\n", text.c_str()); }

// The operation the calling thread is carrying out on a table, for the text
// of a failure of the operating system (a full disk, say) far below it,
// where neither the table nor the operation is known. Scopes nest; the
// outermost names the operation, since that is what the user asked for.
class OperationScope {
 public:
  // operation reads before the table's name: "append a record to", "pack".
  // Both must outlive the scope.
  OperationScope(const char* operation, const std::string& table) {
    if (operation_) return;
    operation_ = operation;
    table_ = &table;
    owner_ = true;
  }
  ~OperationScope() {
    if (owner_) operation_ = nullptr;
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

  // "Cannot append a record to table T: " under a scope, else "".
  static std::string Prefix() {
    if (!operation_) return std::string();
    return std::string("Cannot ") + operation_ + " table " + *table_ + ": ";
  }

 private:
  static inline thread_local const char* operation_ = nullptr;
  static inline thread_local const std::string* table_ = nullptr;
  bool owner_ = false;
};

// Fails with ENG_ERR_IO: what failed (naming the file) and the system's
// reason, after the operation under way when there is one.
[[noreturn]] inline void FailIo(const std::string& what, int err) {
  std::string text = OperationScope::Prefix();
  if (!text.empty() && what.rfind("Cannot ", 0) == 0) text += "c" + what.substr(1);  // "...: cannot write ..."
  else text += what;
  Fail(ENG_ERR_IO, text + ": " + std::strerror(err));
}

}  // namespace eng
