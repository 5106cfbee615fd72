// Decoding and encoding of single fields of a raw record, for the engine's
// own use (expressions, SQL results and SQL writes).
//
// A raw record is the table's record bytes without the slot header; each
// field occupies FieldDef::length bytes at FieldDef::offset, laid out as its
// engine type prescribes (multi-byte integers little-endian):
//   logical "T"/"F" (blank = empty); numeric right-aligned fixed-point text
//   with "." (all zero bytes = empty); date Julian int32 for length 4, else
//   YYYYMMDD text; string blank-padded (all zero bytes = empty); compact date
//   3 bytes (year*2 + month/8 big-endian, then (month%8)*32 + day); double
//   and curdouble IEEE (empty = words 32, 0x80000000); integer
//   (INT32_MIN = empty); short (INT16_MIN = empty); time milliseconds
//   (-1 = empty); time stamp Julian int32 + milliseconds int32 (day 0 =
//   empty); autoinc int32 (-1 = empty); raw bytes (all zero = empty).
// Memo-like fields (memo, binary, image, varchar) hold a reference owned by
// the storage; their contents come through a MemoSource.
//
// Every function is a pure function of its arguments; nothing is shared.
// Functions that check bounds throw EngineError naming the field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "schema.h"
#include "value.h"

namespace eng {

// Supplies the contents of memo-like fields of the record being read.
class MemoSource {
 public:
  virtual ~MemoSource() = default;
  // Content of the memo-like field with index `field` (0-based into the
  // table's FieldList). Returns false when the field is empty.
  virtual bool ReadMemo(size_t field, std::string* content) const = 0;
};

// One record as expressions read it. The bytes must stay valid while the
// view is in use; `memos` may be null when no field is memo-like (memo
// fields then read as empty).
struct RecordView {
  const uint8_t* data = nullptr;
  size_t size = 0;
  const MemoSource* memos = nullptr;
  // Values an SQL expression reads beside the record (BindScope slots).
  const Value* values = nullptr;
};

// The kind of Value a field of the engine type decodes to (kString for
// string, raw and memo-like types; kNull for unknown type codes).
ValueType ValueTypeOfField(uint16_t field_type);
// Lower-case engine type name for messages ("string", "numeric", ...).
const char* FieldTypeName(uint16_t field_type);

// The fewest bytes a field of the type can have (4 for integers, 8 for
// doubles, ...). A FieldDef shorter than this is invalid: the functions below
// refuse it rather than read past it.
uint32_t MinimumFieldLength(uint16_t field_type);

// Emptiness of fixed-size fields as the table of layouts says. Memo-like
// fields are not decided here (false); ask the MemoSource.
bool IsFieldEmpty(const FieldDef& field, const uint8_t* record);

// Allocation-free readers used by expression evaluation. Each returns false
// when the field is empty (or, for numeric and text dates, unreadable). The
// caller has checked that the field lies within the record.
bool ReadLogicalField(const FieldDef& field, const uint8_t* record, bool* value);
// Numbers, dates (Julian day), time stamps (Julian day with fraction) and
// times (milliseconds) as one double.
bool ReadScalarField(const FieldDef& field, const uint8_t* record, double* value);
// String and raw fields: the bytes as stored, blanks kept.
bool ReadTextField(const FieldDef& field, const uint8_t* record, std::string_view* value);

// The field's value (null when empty). Memo-like fields are read through
// record.memos. Throws EngineError(ENG_ERR_INTERNAL) when the field does not
// lie within the record, ENG_ERR_INVALID_FIELD_DEF when it is shorter than
// its type needs.
Value DecodeField(const FieldList& fields, size_t index, const RecordView& record);

// Writes `value` into the field's bytes within `record` (record_size bytes).
// A null value, and the empty string for string fields, writes the field's
// empty pattern. Values of another kind are converted where the meaning is
// plain (texts to numbers, dates, times, logicals; dates to time stamps).
// Throws EngineError: ENG_ERR_VALUE when the value does not fit or convert
// (the text names the field and the value; numbers too wide for a numeric
// field say "Numeric out of range."), ENG_ERR_FIELD_TYPE for memo-like
// fields, whose contents the storage writes.
void EncodeField(const FieldDef& field, const Value& value, uint8_t* record, size_t record_size);

// Writes the field's empty pattern (memo-like fields: zero bytes, the empty
// reference).
void EncodeEmptyField(const FieldDef& field, uint8_t* record, size_t record_size);

// Formats a number as a numeric field stores it: exactly `decimals` digits
// after ".", right-aligned with leading blanks to `length`. False when it
// does not fit (or is not finite).
bool FormatNumericText(double number, uint32_t length, uint16_t decimals, std::string* text);

}  // namespace eng
