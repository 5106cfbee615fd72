// The error of the safe-run machinery (backups, undo, history, previews):
// a message that names the run, table or file concerned and what to do.
#pragma once

#include <cstdint>
#include <string>

#include "dberrors.h"
#include "engine.h"

namespace dbu {

class ERunError : public Exception {
 public:
  using Exception::Exception;
};

// The text of the engine's last error on this thread ("error N" when it
// has none), to carry into an ERunError.
inline std::string EngineErrorText() {
  uint32_t code = 0;
  char text[1024] = {};
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  return text[0] ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace dbu
