// Internal error type of the engine. Internals throw EngineError; the C
// interface (api.cpp) catches it, stores code and text as the calling
// thread's last error and returns the code. Texts name what failed (table,
// field, record, path) so that a user can act on them.
#pragma once

#include <cstdint>
#include <cstdio>
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

}  // namespace eng
