// Feeds arbitrary text to the SQL parser and the parameter counter. Syntax
// errors are the expected outcome; anything else (a crash, a sanitizer
// report, another exception type) is a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine.h"
#include "error.h"
#include "sql_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)eng::sql::CountParameters(text);
  try {
    eng::sql::Statement statement = eng::sql::Parse(text);
    (void)statement;
  } catch (const eng::EngineError& e) {
    if (e.code() != ENG_ERR_SQL_SYNTAX) __builtin_trap();
  }
  return 0;
}
