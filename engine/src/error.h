// Internal error type of the engine. Internals throw EngineError; the C
// interface (api.cpp) catches it, stores code and text as the calling
// thread's last error and returns the code. Texts name what failed (table,
// field, record, path) so that a user can act on them.
#pragma once

#include <cstdint>
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

}  // namespace eng
