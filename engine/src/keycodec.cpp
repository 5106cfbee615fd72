#include "keycodec.h"

#include <cstring>

#include "engine.h"
#include "error.h"

namespace eng {
namespace {

int32_t LoadI32(const uint8_t* p) {
  uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  return static_cast<int32_t>(v);
}

uint64_t LoadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void StoreBE32(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v >> 24);
  out[1] = static_cast<uint8_t>(v >> 16);
  out[2] = static_cast<uint8_t>(v >> 8);
  out[3] = static_cast<uint8_t>(v);
}

void StoreBE64(uint8_t* out, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

// Maps a signed 32-bit value to an unsigned one of the same order, except
// that the field's empty value becomes 0 and so sorts first. All 2^32
// values stay distinct: those below the empty value move up by one.
uint32_t OrderWithEmptyFirst(int32_t v, int32_t empty) {
  if (v == empty) return 0;
  uint32_t biased = static_cast<uint32_t>(v) ^ 0x80000000u;
  return v < empty ? biased + 1 : biased;
}

// Numeric fields hold right-aligned decimal text. The segment is one class
// byte and then the field length's worth of bytes holding two digits each:
// length digits of integer part (right-aligned) and length digits of
// fraction (left-aligned), which covers every number the text can spell.
// Negative numbers store the complemented digits so that larger magnitudes
// sort first. Text that is no number keeps its bytes under its own class,
// after empty values and before all numbers, so that it still orders
// deterministically.
enum NumericClass : uint8_t { kNumEmpty = 0, kNumText = 1, kNumNegative = 2, kNumPositive = 3 };

void EncodeNumeric(const uint8_t* raw, size_t len, uint8_t* out) {
  std::memset(out, 0, len + 1);
  size_t i = 0;
  while (i < len && (raw[i] == ' ' || raw[i] == 0)) ++i;
  if (i == len) return;  // zero bytes or blanks only: empty

  auto asText = [&] {
    out[0] = kNumText;
    std::memcpy(out + 1, raw, len);
  };
  bool negative = false;
  if (raw[i] == '-' || raw[i] == '+') {
    negative = raw[i] == '-';
    ++i;
  }
  size_t intBegin = i;
  while (i < len && raw[i] >= '0' && raw[i] <= '9') ++i;
  size_t intEnd = i;
  size_t fracBegin = i, fracEnd = i;
  if (i < len && raw[i] == '.') {
    fracBegin = ++i;
    while (i < len && raw[i] >= '0' && raw[i] <= '9') ++i;
    fracEnd = i;
  }
  size_t digits = (intEnd - intBegin) + (fracEnd - fracBegin);
  while (i < len && (raw[i] == ' ' || raw[i] == 0)) ++i;
  if (digits == 0 || i != len) return asText();

  // Nibble k of the magnitude: k < len integer digits, then len fraction digits.
  bool nonZero = false;
  auto putNibble = [&](size_t k, uint8_t digit) {
    if (digit) nonZero = true;
    uint8_t& b = out[1 + k / 2];
    b = static_cast<uint8_t>(b | ((k % 2) ? digit : digit << 4));
  };
  size_t intDigits = intEnd - intBegin;
  for (size_t d = 0; d < intDigits; ++d) putNibble(len - intDigits + d, static_cast<uint8_t>(raw[intBegin + d] - '0'));
  for (size_t d = 0; d < fracEnd - fracBegin; ++d) putNibble(len + d, static_cast<uint8_t>(raw[fracBegin + d] - '0'));

  if (negative && nonZero) {  // -0 equals 0
    out[0] = kNumNegative;
    for (size_t k = 1; k <= len; ++k) out[k] = static_cast<uint8_t>(~out[k]);
  } else {
    out[0] = kNumPositive;
  }
}

// Doubles: the native empty pattern (first word 32, second word 0x80000000)
// becomes all zeros; -0 equals 0; every NaN sorts after +infinity. The rest
// is the usual sign-magnitude to unsigned mapping, which never yields zero
// for a non-NaN value.
void EncodeDouble(const uint8_t* raw, uint8_t* out) {
  uint64_t bits = LoadU64(raw);
  constexpr uint64_t kEmpty = 0x8000000000000020ull;
  constexpr uint64_t kSign = 0x8000000000000000ull;
  if (bits == kEmpty) return StoreBE64(out, 0);
  if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0x000FFFFFFFFFFFFFull) != 0) {
    return StoreBE64(out, 0xFFFFFFFFFFFFFFFFull);  // NaN
  }
  if (bits == kSign) bits = 0;  // -0
  StoreBE64(out, (bits & kSign) ? ~bits : bits ^ kSign);
}

[[noreturn]] void BadLength(const FieldDef& field, const char* what) {
  Fail(ENG_ERR_INVALID_FIELD_DEF,
       "field '" + field.name + "' of length " + std::to_string(field.length) + " cannot be indexed: " + what);
}

}  // namespace

size_t EncodedWidth(const FieldDef& field) {
  auto fixed = [&](uint32_t size, const char* what) -> size_t {
    if (field.length != size) BadLength(field, what);
    return size;
  };
  if (IsMemoType(field.type)) {
    Fail(ENG_ERR_FIELD_TYPE, "field '" + field.name + "' is a memo, binary, image or varchar field and cannot be part of an index key");
  }
  switch (field.type) {
    case ENG_LOGICAL: return fixed(1, "a logical field holds 1 byte");
    case ENG_NUMERIC:
      if (field.length == 0 || field.length > kMaxKeyBytes) BadLength(field, "numeric length out of range");
      return field.length + 1;
    case ENG_DATE:
    case ENG_STRING:
    case ENG_COMPACTDATE:
    case ENG_RAW:
      if (field.length == 0 || field.length > kMaxKeyBytes) BadLength(field, "length out of range for a key");
      return field.length;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: return fixed(8, "a double field holds 8 bytes");
    case ENG_INTEGER: return fixed(4, "an integer field holds 4 bytes");
    case ENG_AUTOINC: return fixed(4, "an autoincrement field holds 4 bytes");
    case ENG_SHORTINT: return fixed(2, "a short integer field holds 2 bytes");
    case ENG_TIME: return fixed(4, "a time field holds 4 bytes");
    case ENG_TIMESTAMP: return fixed(8, "a time stamp field holds 8 bytes");
    default:
      Fail(ENG_ERR_FIELD_TYPE, "field '" + field.name + "' has type " + std::to_string(field.type) +
                                   ", which cannot be part of an index key");
  }
}

void EncodeSegment(const FieldDef& field, const uint8_t* raw, uint8_t* out) {
  switch (field.type) {
    case ENG_LOGICAL: {
      uint8_t c = raw[0];
      bool isTrue = c == '1' || c == 'T' || c == 't' || c == 'Y' || c == 'y';
      out[0] = c == ' ' ? 0 : isTrue ? 2 : 1;
      return;
    }
    case ENG_NUMERIC: return EncodeNumeric(raw, field.length, out);
    case ENG_DATE:
      if (field.length == 4) return StoreBE32(out, OrderWithEmptyFirst(LoadI32(raw), 0));
      std::memcpy(out, raw, field.length);  // YYYYMMDD text: orders as text
      return;
    case ENG_STRING:
    case ENG_COMPACTDATE:  // big-endian year, month, day bits: orders as bytes
    case ENG_RAW: std::memcpy(out, raw, field.length); return;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: return EncodeDouble(raw, out);
    case ENG_INTEGER: return StoreBE32(out, OrderWithEmptyFirst(LoadI32(raw), INT32_MIN));
    case ENG_AUTOINC:
    case ENG_TIME: return StoreBE32(out, OrderWithEmptyFirst(LoadI32(raw), -1));
    case ENG_SHORTINT: {
      uint16_t v = static_cast<uint16_t>(raw[0] | raw[1] << 8) ^ 0x8000u;  // -32768 (empty) becomes 0
      out[0] = static_cast<uint8_t>(v >> 8);
      out[1] = static_cast<uint8_t>(v);
      return;
    }
    case ENG_TIMESTAMP: {
      int32_t day = LoadI32(raw);
      if (day == 0) return StoreBE64(out, 0);  // empty whatever the milliseconds
      StoreBE32(out, OrderWithEmptyFirst(day, 0));
      StoreBE32(out + 4, static_cast<uint32_t>(LoadI32(raw + 4)) ^ 0x80000000u);
      return;
    }
    default: EncodedWidth(field);  // throws the error naming the field
  }
}

KeyLayout::KeyLayout(std::vector<FieldDef> segments, bool descending, const std::string& tagName)
    : segments_(std::move(segments)), descending_(descending) {
  std::string tag = tagName.empty() ? std::string("index") : "tag '" + tagName + "'";
  if (segments_.empty()) Fail(ENG_ERR_KEY, tag + " has no key fields");
  offsets_.push_back(0);
  for (const FieldDef& f : segments_) {
    keyLength_ += EncodedWidth(f);
    offsets_.push_back(keyLength_);
  }
  if (keyLength_ > kMaxKeyBytes) {
    Fail(ENG_ERR_KEY, "the key of " + tag + " would take " + std::to_string(keyLength_) + " bytes; at most " +
                          std::to_string(kMaxKeyBytes) + " are allowed");
  }
}

void KeyLayout::EncodeSegmentAt(size_t i, const uint8_t* raw, uint8_t* key) const {
  uint8_t* out = key + offsets_[i];
  EncodeSegment(segments_[i], raw, out);
  if (descending_) {
    for (size_t k = 0, n = SegmentWidth(i); k < n; ++k) out[k] = static_cast<uint8_t>(~out[k]);
  }
}

void KeyLayout::EncodeRecord(const uint8_t* record, uint8_t* key) const {
  for (size_t i = 0; i < segments_.size(); ++i) EncodeSegmentAt(i, record + segments_[i].offset, key);
}

size_t KeyLayout::EncodePrefix(const uint8_t* const* segmentRaw, size_t n, uint8_t* key) const {
  if (n > segments_.size()) {
    Fail(ENG_ERR_KEY, std::to_string(n) + " key values given for an index of " + std::to_string(segments_.size()) +
                          " fields");
  }
  for (size_t i = 0; i < n; ++i) EncodeSegmentAt(i, segmentRaw[i], key);
  return offsets_[n];
}

}  // namespace eng
