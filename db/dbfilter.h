// Preparation of a record filter's text before it goes to the engine: a
// "*" at the end of a quoted literal asks for a partial match, which the
// engine expresses by the exactness flag rather than in the text.
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace dbu {

struct TPreparedFilter {
  std::string Expression;
  uint16_t Exact = 1;  // 0 once a trailing "*" was taken out of a literal
};

// Scans the text's quoted literals ('...' or "..."); in each, a "*" right
// before the closing quote is removed and the exactness flag cleared,
// unless the literal holds nothing but "*" characters.
TPreparedFilter PrepareFilterText(const std::string& text);

}  // namespace dbu
