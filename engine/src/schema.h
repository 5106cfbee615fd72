// Field definitions of a table as every part of the engine sees them: the
// record codec, key encoding, expressions and SQL. Offsets are byte offsets
// within the raw record (the record without the engine's slot header).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace eng {

struct FieldDef {
  std::string name;       // as created; compared without regard to case
  uint16_t type = 0;      // ENG_LOGICAL .. ENG_CURDOUBLE (engine.h)
  uint32_t length = 0;    // bytes in the raw record
  uint16_t decimals = 0;  // numeric fields only
  uint32_t offset = 0;    // within the raw record
};

using FieldList = std::vector<FieldDef>;

// True for the memo-like types whose contents live in the memo companion.
inline bool IsMemoType(uint16_t type) { return type >= 5 && type <= 8; }

}  // namespace eng
