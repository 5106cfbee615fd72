// The engine's raw record layout and the codec between raw field bytes and
// values.
//
// A raw record is EngGetRecordLength bytes; each field occupies its length
// at its offset. The codec works on a caller's buffer and a field definition
// and keeps no state; it never reads or writes outside the field's bytes.
// Conversions between Julian day numbers and YYYYMMDD texts belong to the
// engine and are reached through TJulianTextConverter. Multi-byte integers
// are little-endian. Thread-safe (no shared state).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "formatsettings.h"

namespace dbu {

// Field kinds as a field's DataType reports them (the codes are fixed).
enum TFieldType : int {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
};

// One engine field as read when a cursor opens.
struct TEngineFieldDef {
  std::string Name;
  uint16_t FieldNum = 0;  // 1-based
  uint16_t Type = 0;      // ENG_LOGICAL .. ENG_CURDOUBLE; others have no kind
  uint32_t Length = 0;    // bytes in the raw record
  uint16_t Decimals = 0;  // numeric fields only
  uint32_t Offset = 0;    // within the raw record
};

// The field kind an engine field becomes; ftUnknown when it has none.
TFieldType FieldKindOf(const TEngineFieldDef& def);
// Memo, binary, image and varchar fields: contents live outside the record.
bool IsBlobType(uint16_t engineType);

// Days between 30 December 1899 and Julian day 0.
constexpr int32_t kJulianOffset = 2415019;
constexpr int64_t kMillisecondsPerDay = 86400000;

// The engine's conversions between Julian day numbers and YYYYMMDD texts.
class TJulianTextConverter {
 public:
  virtual double StringToJulian(const std::string& yyyymmdd) const = 0;
  virtual std::string JulianToString(double julian) const = 0;

 protected:
  ~TJulianTextConverter() = default;
};

// A value that cannot be encoded into its field; the text is the message.
class TCodecError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace codec {

// Empty test and emptying; native is true for the engine's native tables.
bool IsEmpty(const uint8_t* record, const TEngineFieldDef& def, bool native);
void WriteEmpty(uint8_t* record, const TEngineFieldDef& def, bool native);

// Emptiness marker of a memo-like field (first 32-bit word of its bytes).
int32_t MemoMarker(const uint8_t* record, const TEngineFieldDef& def);
void SetMemoMarker(uint8_t* record, const TEngineFieldDef& def, int32_t marker);

// Decoding; callers test IsEmpty first.
bool DecodeBoolean(const uint8_t* record, const TEngineFieldDef& def);
int64_t DecodeInteger(const uint8_t* record, const TEngineFieldDef& def);  // numeric smallint, integer, short, autoinc
double DecodeFloat(const uint8_t* record, const TEngineFieldDef& def);     // numeric, double, money
DateTime DecodeDateTime(const uint8_t* record, const TEngineFieldDef& def, const TJulianTextConverter& julian);
std::string DecodeString(const uint8_t* record, const TEngineFieldDef& def);  // trailing blanks removed
// The same text as a view of the record's bytes (valid while they are).
std::string_view StringView(const uint8_t* record, const TEngineFieldDef& def);
std::string DecodeBytes(const uint8_t* record, const TEngineFieldDef& def);

// Encoding; each throws TCodecError when the value does not fit.
void EncodeBoolean(uint8_t* record, const TEngineFieldDef& def, bool value);
void EncodeInteger(uint8_t* record, const TEngineFieldDef& def, int64_t value);
void EncodeFloat(uint8_t* record, const TEngineFieldDef& def, double value);
void EncodeDateTime(uint8_t* record, const TEngineFieldDef& def, DateTime value, const TJulianTextConverter& julian);
// value is already cut to the field's size; "" on a native table empties.
// value may lie in the record itself, even in the field's own bytes.
void EncodeString(uint8_t* record, const TEngineFieldDef& def, std::string_view value, bool native);
void EncodeBytes(uint8_t* record, const TEngineFieldDef& def, std::string_view value);

// The fixed-point text of a numeric field, exactly as stored (without the
// leading blank padding); throws TCodecError "Numeric out of range.".
std::string NumericText(double value, uint32_t length, uint16_t decimals);

}  // namespace codec
}  // namespace dbu
