// Filters of table handles: an expression compiled against the table's
// fields and installed as the handle's TableHandle::Filter, so that
// navigation skips the records it rejects. The filter owns its compiled
// expression; it is evaluated only under the handle's lock (one thread at a
// time), which is what CompiledExpression requires.
#pragma once

#include <string>

#include "expr.h"
#include "keycodec.h"
#include "objects.h"
#include "record_codec.h"

namespace eng {

// Compiles `expression` for t's table and installs it (replacing any filter).
// Throws EngineError(ENG_ERR_EXPRESSION) naming the table when it does not
// compile; the previous filter then stays.
void InstallFilter(TableObject& t, const std::string& expression);
// Removes the filter; throws ENG_ERR_NO_FILTER when none is set.
void RemoveFilter(TableObject& t);

// Where in the stored keys of the tag with `layout` the records lie that
// can satisfy every hint (FindSeekHints of a filter on a table with
// `fields`): bounds from the hints on the tag's leading field.
KeyBounds FilterBounds(const FieldList& fields, const std::vector<SeekHint>& hints, const KeyLayout& layout);

// Reads memo-like fields of a raw record of a shared table (under its lock).
class TableMemoSource : public MemoSource {
 public:
  TableMemoSource(SharedTable& table, const uint8_t* raw) : table_(table), raw_(raw) {}
  bool ReadMemo(size_t field, std::string* content) const override;

 private:
  SharedTable& table_;
  const uint8_t* raw_;
};

}  // namespace eng
