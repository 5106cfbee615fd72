#include "record_codec.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "engine.h"
#include "error.h"
#include "number_text.h"

namespace eng {

namespace {

constexpr uint32_t kDoubleEmptyLow = 32;
constexpr uint32_t kDoubleEmptyHigh = 0x80000000u;

int32_t LoadI32(const uint8_t* p) {
  uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return static_cast<int32_t>(v);
}

int16_t LoadI16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

void StoreI32(uint8_t* p, int32_t value) {
  auto v = static_cast<uint32_t>(value);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void StoreI16(uint8_t* p, int16_t value) {
  auto v = static_cast<uint16_t>(value);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

double LoadDouble(const uint8_t* p) {
  uint64_t bits = static_cast<uint32_t>(LoadI32(p)) | static_cast<uint64_t>(static_cast<uint32_t>(LoadI32(p + 4))) << 32;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void StoreDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  StoreI32(p, static_cast<int32_t>(static_cast<uint32_t>(bits)));
  StoreI32(p + 4, static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)));
}

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

bool IsDoubleEmpty(const uint8_t* p) {
  return static_cast<uint32_t>(LoadI32(p)) == kDoubleEmptyLow && static_cast<uint32_t>(LoadI32(p + 4)) == kDoubleEmptyHigh;
}

// Parses the blank-padded decimal text of a numeric field.
bool ParseNumericText(std::string_view text, double* value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\0')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  double d = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *value = d;
  return true;
}

bool ReadTextDate(const uint8_t* p, uint32_t length, int32_t* julian) {
  std::string_view text(reinterpret_cast<const char*>(p), length);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  if (text.size() != 8) return false;
  return ParseDateText(text, julian);
}

bool UnpackCompactDate(const uint8_t* p, int32_t* julian) {
  int32_t high = p[0] << 8 | p[1];
  int32_t year = high >> 1;
  int32_t month = (high & 1) * 8 + (p[2] >> 5);
  int32_t day = p[2] & 31;
  if (!IsValidCivil(year, month, day)) return false;
  *julian = JulianFromCivil(year, month, day);
  return true;
}

std::string Describe(const FieldDef& field) {
  std::string s = "field \"" + field.name + "\" (" + FieldTypeName(field.type);
  if (field.type == ENG_STRING || field.type == ENG_RAW) s += " " + std::to_string(field.length);
  if (field.type == ENG_NUMERIC) s += " " + std::to_string(field.length) + "," + std::to_string(field.decimals);
  return s + ")";
}

[[noreturn]] void FailValue(const FieldDef& field, const Value& value, const char* why) {
  Fail(ENG_ERR_VALUE, std::string(why) + " Value " + value.ToText() + " does not fit " + Describe(field) + ".");
}

void CheckBounds(const FieldDef& field, size_t record_size) {
  if (field.length < MinimumFieldLength(field.type))
    Fail(ENG_ERR_INVALID_FIELD_DEF, "The " + Describe(field) + " is " + std::to_string(field.length) +
                                        " bytes long; its type needs " + std::to_string(MinimumFieldLength(field.type)) + ".");
  if (static_cast<uint64_t>(field.offset) + field.length > record_size)
    Fail(ENG_ERR_INTERNAL, "The " + Describe(field) + " lies outside the record of " + std::to_string(record_size) + " bytes.");
}

// Converts a value to a number for numeric-class fields.
bool ToNumber(const Value& value, double* out) {
  switch (value.type()) {
    case ValueType::kNumber:
    case ValueType::kLogical: *out = value.scalar(); return true;
    case ValueType::kString: return ParseNumericText(value.string(), out);
    default: return false;
  }
}

// Converts a value to a Julian day with fraction (date-like fields); days
// outside years 1 to 9999 do not convert.
bool ToJulian(const Value& value, double* out) {
  switch (value.type()) {
    case ValueType::kDate:
    case ValueType::kTimestamp:
      if (!(value.scalar() >= 1721426 && value.scalar() < 5373485)) return false;
      *out = value.scalar();
      return true;
    case ValueType::kString: return ParseTimestampText(value.string(), out);
    default: return false;
  }
}

int32_t WholeDay(double julian) { return static_cast<int32_t>(std::floor(julian)); }

bool ToMilliseconds(const Value& value, int32_t* out) {
  switch (value.type()) {
    case ValueType::kTime:
      if (value.scalar() < 0 || value.scalar() >= kMillisecondsPerDay) return false;
      *out = value.milliseconds();
      return true;
    case ValueType::kTimestamp: {
      double frac = value.scalar() - std::floor(value.scalar());
      auto ms = static_cast<int64_t>(std::llround(frac * kMillisecondsPerDay));
      *out = static_cast<int32_t>(ms >= kMillisecondsPerDay ? kMillisecondsPerDay - 1 : ms);
      return true;
    }
    case ValueType::kString: return ParseTimeText(value.string(), out);
    default: return false;
  }
}

bool ToInteger(const Value& value, int64_t min, int64_t max, int64_t* out) {
  double d;
  if (!ToNumber(value, &d) || !std::isfinite(d)) return false;
  d = std::round(d);
  if (d < static_cast<double>(min) || d > static_cast<double>(max)) return false;
  *out = static_cast<int64_t>(d);
  return true;
}

}  // namespace

uint32_t MinimumFieldLength(uint16_t field_type) {
  switch (field_type) {
    case ENG_LOGICAL:
    case ENG_NUMERIC: return 1;
    case ENG_COMPACTDATE: return 3;
    case ENG_DATE:
    case ENG_INTEGER:
    case ENG_TIME:
    case ENG_AUTOINC: return 4;
    case ENG_SHORTINT: return 2;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
    case ENG_TIMESTAMP: return 8;
    default: return 0;
  }
}

ValueType ValueTypeOfField(uint16_t field_type) {
  switch (field_type) {
    case ENG_LOGICAL: return ValueType::kLogical;
    case ENG_NUMERIC:
    case ENG_DOUBLE:
    case ENG_INTEGER:
    case ENG_SHORTINT:
    case ENG_AUTOINC:
    case ENG_CURDOUBLE: return ValueType::kNumber;
    case ENG_DATE:
    case ENG_COMPACTDATE: return ValueType::kDate;
    case ENG_STRING:
    case ENG_RAW:
    case ENG_MEMO:
    case ENG_BINARY:
    case ENG_IMAGE:
    case ENG_VARCHAR: return ValueType::kString;
    case ENG_TIME: return ValueType::kTime;
    case ENG_TIMESTAMP: return ValueType::kTimestamp;
    default: return ValueType::kNull;
  }
}

const char* FieldTypeName(uint16_t field_type) {
  switch (field_type) {
    case ENG_LOGICAL: return "logical";
    case ENG_NUMERIC: return "numeric";
    case ENG_DATE: return "date";
    case ENG_STRING: return "string";
    case ENG_MEMO: return "memo";
    case ENG_BINARY: return "binary";
    case ENG_IMAGE: return "image";
    case ENG_VARCHAR: return "varchar";
    case ENG_COMPACTDATE: return "compact date";
    case ENG_DOUBLE: return "double";
    case ENG_INTEGER: return "integer";
    case ENG_SHORTINT: return "short integer";
    case ENG_TIME: return "time";
    case ENG_TIMESTAMP: return "time stamp";
    case ENG_AUTOINC: return "autoinc";
    case ENG_RAW: return "raw";
    case ENG_CURDOUBLE: return "curdouble";
    default: return "unknown type";
  }
}

bool IsFieldEmpty(const FieldDef& field, const uint8_t* record) {
  const uint8_t* p = record + field.offset;
  switch (field.type) {
    case ENG_LOGICAL: return field.length == 0 || p[0] == ' ' || p[0] == 0;
    case ENG_NUMERIC:
    case ENG_STRING:
    case ENG_COMPACTDATE:
    case ENG_RAW: return AllZero(p, field.length);
    case ENG_DATE: return field.length == 4 ? LoadI32(p) == 0 : AllZero(p, field.length);
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: return IsDoubleEmpty(p);
    case ENG_INTEGER: return LoadI32(p) == std::numeric_limits<int32_t>::min();
    case ENG_SHORTINT: return LoadI16(p) == std::numeric_limits<int16_t>::min();
    case ENG_TIME:
    case ENG_AUTOINC: return LoadI32(p) == -1;
    case ENG_TIMESTAMP: return LoadI32(p) == 0;
    default: return false;
  }
}

bool ReadLogicalField(const FieldDef& field, const uint8_t* record, bool* value) {
  if (field.length == 0) return false;
  uint8_t c = record[field.offset];
  if (c == ' ' || c == 0) return false;
  *value = c == '1' || c == 'T' || c == 't' || c == 'Y' || c == 'y';
  return true;
}

bool ReadScalarField(const FieldDef& field, const uint8_t* record, double* value) {
  const uint8_t* p = record + field.offset;
  switch (field.type) {
    case ENG_NUMERIC:
      if (AllZero(p, field.length)) return false;
      return ParseNumericText(std::string_view(reinterpret_cast<const char*>(p), field.length), value);
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
      if (IsDoubleEmpty(p)) return false;
      *value = LoadDouble(p);
      return true;
    case ENG_INTEGER: {
      int32_t v = LoadI32(p);
      if (v == std::numeric_limits<int32_t>::min()) return false;
      *value = v;
      return true;
    }
    case ENG_SHORTINT: {
      int16_t v = LoadI16(p);
      if (v == std::numeric_limits<int16_t>::min()) return false;
      *value = v;
      return true;
    }
    case ENG_AUTOINC:
    case ENG_TIME: {
      int32_t v = LoadI32(p);
      if (v == -1) return false;
      *value = v;
      return true;
    }
    case ENG_DATE: {
      int32_t julian;
      if (field.length == 4) {
        julian = LoadI32(p);
        if (julian == 0) return false;
      } else if (!ReadTextDate(p, field.length, &julian)) {
        return false;
      }
      *value = julian;
      return true;
    }
    case ENG_COMPACTDATE: {
      int32_t julian;
      if (AllZero(p, 3) || !UnpackCompactDate(p, &julian)) return false;
      *value = julian;
      return true;
    }
    case ENG_TIMESTAMP: {
      int32_t day = LoadI32(p);
      if (day == 0) return false;
      int32_t ms = LoadI32(p + 4);
      if (ms < 0) ms = 0;
      *value = day + static_cast<double>(ms) / kMillisecondsPerDay;
      return true;
    }
    case ENG_LOGICAL: {
      bool b;
      if (!ReadLogicalField(field, record, &b)) return false;
      *value = b ? 1 : 0;
      return true;
    }
    default: return false;
  }
}

bool ReadTextField(const FieldDef& field, const uint8_t* record, std::string_view* value) {
  const uint8_t* p = record + field.offset;
  if (AllZero(p, field.length)) return false;
  *value = std::string_view(reinterpret_cast<const char*>(p), field.length);
  return true;
}

Value DecodeField(const FieldList& fields, size_t index, const RecordView& record) {
  const FieldDef& field = fields.at(index);
  if (IsMemoType(field.type)) {
    std::string content;
    if (record.memos == nullptr || !record.memos->ReadMemo(index, &content)) return Value::Null();
    return Value::String(std::move(content));
  }
  CheckBounds(field, record.size);
  switch (ValueTypeOfField(field.type)) {
    case ValueType::kLogical: {
      bool b;
      return ReadLogicalField(field, record.data, &b) ? Value::Logical(b) : Value::Null();
    }
    case ValueType::kString: {
      std::string_view s;
      return ReadTextField(field, record.data, &s) ? Value::String(std::string(s)) : Value::Null();
    }
    case ValueType::kNumber: {
      double d;
      return ReadScalarField(field, record.data, &d) ? Value::Number(d) : Value::Null();
    }
    case ValueType::kDate: {
      double d;
      return ReadScalarField(field, record.data, &d) ? Value::Date(static_cast<int32_t>(d)) : Value::Null();
    }
    case ValueType::kTime: {
      double d;
      return ReadScalarField(field, record.data, &d) ? Value::Time(static_cast<int32_t>(d)) : Value::Null();
    }
    case ValueType::kTimestamp: {
      double d;
      return ReadScalarField(field, record.data, &d) ? Value::Timestamp(d) : Value::Null();
    }
    case ValueType::kNull: return Value::Null();
  }
  return Value::Null();
}

bool FormatNumericText(double number, uint32_t length, uint16_t decimals, std::string* text) {
  if (!std::isfinite(number) || length == 0 || length > 64 || decimals >= 64) return false;
  // Halves round away from zero (2.5 → 3, 0.125 → 0.13), as people expect of
  // amounts; printf alone would round exact binary halves to even.
  if (decimals <= 15) {
    double scale = std::pow(10.0, decimals);
    if (std::fabs(number) * scale < 4503599627370496.0) number = std::round(number * scale) / scale;
  }
  if (number == 0) number = 0;  // no "-0.00"
  const std::string digits = FixedNumberText(number, decimals);
  if (digits.empty() || digits.size() > length) return false;
  text->assign(length - digits.size(), ' ');
  text->append(digits);
  return true;
}

void EncodeEmptyField(const FieldDef& field, uint8_t* record, size_t record_size) {
  CheckBounds(field, record_size);
  uint8_t* p = record + field.offset;
  switch (field.type) {
    case ENG_LOGICAL:
      std::memset(p, ' ', field.length);
      break;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
      if (field.length >= 8) {
        StoreI32(p, static_cast<int32_t>(kDoubleEmptyLow));
        StoreI32(p + 4, static_cast<int32_t>(kDoubleEmptyHigh));
      }
      break;
    case ENG_INTEGER:
      if (field.length >= 4) StoreI32(p, std::numeric_limits<int32_t>::min());
      break;
    case ENG_SHORTINT:
      if (field.length >= 2) StoreI16(p, std::numeric_limits<int16_t>::min());
      break;
    case ENG_TIME:
    case ENG_AUTOINC:
      if (field.length >= 4) StoreI32(p, -1);
      break;
    case ENG_TIMESTAMP:
      if (field.length >= 8) {
        StoreI32(p, 0);
        StoreI32(p + 4, -1);
      }
      break;
    default:
      std::memset(p, 0, field.length);
      break;
  }
}

void EncodeField(const FieldDef& field, const Value& value, uint8_t* record, size_t record_size) {
  if (IsMemoType(field.type))
    Fail(ENG_ERR_FIELD_TYPE, "The " + Describe(field) + " keeps its content in the memo file; it cannot be written as a record field.");
  CheckBounds(field, record_size);
  if (value.is_null()) {
    EncodeEmptyField(field, record, record_size);
    return;
  }
  uint8_t* p = record + field.offset;
  const uint32_t len = field.length;
  switch (field.type) {
    case ENG_LOGICAL: {
      bool b;
      if (value.type() == ValueType::kLogical || value.type() == ValueType::kNumber) {
        b = value.scalar() != 0;
      } else if (value.type() == ValueType::kString && value.string().size() > 0) {
        char c = value.string()[0];
        if (std::strchr("1TtYy", c) != nullptr) b = true;
        else if (std::strchr("0FfNn", c) != nullptr) b = false;
        else FailValue(field, value, "Not a logical value.");
      } else {
        FailValue(field, value, "Not a logical value.");
      }
      p[0] = b ? 'T' : 'F';
      return;
    }
    case ENG_NUMERIC: {
      double d;
      if (!ToNumber(value, &d)) FailValue(field, value, "Not a number.");
      std::string text;
      if (!FormatNumericText(d, len, field.decimals, &text)) FailValue(field, value, "Numeric out of range.");
      std::memcpy(p, text.data(), len);
      return;
    }
    case ENG_DATE: {
      double julian;
      if (!ToJulian(value, &julian)) FailValue(field, value, "Not a date.");
      int32_t day = WholeDay(julian);
      if (len == 4) {
        StoreI32(p, day);
        return;
      }
      int32_t y, m, d;
      CivilFromJulian(day, &y, &m, &d);
      if (len < 8 || y < 1 || y > 9999) FailValue(field, value, "Date out of range.");
      char buf[16];
      std::snprintf(buf, sizeof buf, "%04d%02d%02d", static_cast<int>(y), static_cast<int>(m), static_cast<int>(d));
      std::memset(p, ' ', len);
      std::memcpy(p, buf, 8);
      return;
    }
    case ENG_COMPACTDATE: {
      double julian;
      if (!ToJulian(value, &julian)) FailValue(field, value, "Not a date.");
      int32_t y, m, d;
      CivilFromJulian(WholeDay(julian), &y, &m, &d);
      if (y < 1 || y > 9999) FailValue(field, value, "Date out of range.");
      int32_t high = y * 2 + m / 8;
      p[0] = static_cast<uint8_t>(high >> 8);
      p[1] = static_cast<uint8_t>(high);
      p[2] = static_cast<uint8_t>((m % 8) * 32 + d);
      return;
    }
    case ENG_STRING: {
      std::string text = value.type() == ValueType::kString ? value.string() : value.ToText();
      if (text.empty()) {
        std::memset(p, 0, len);
        return;
      }
      if (text.size() > len) {
        // Only trailing blanks may be dropped; cutting real characters would lose data.
        for (size_t i = len; i < text.size(); ++i)
          if (text[i] != ' ') FailValue(field, value, "Text too long.");
        text.resize(len);
      }
      std::memset(p, ' ', len);
      std::memcpy(p, text.data(), text.size());
      return;
    }
    case ENG_RAW: {
      if (value.type() != ValueType::kString) FailValue(field, value, "Not raw bytes.");
      const std::string& bytes = value.string();
      if (bytes.size() > len) FailValue(field, value, "Too many bytes.");
      std::memset(p, 0, len);
      std::memcpy(p, bytes.data(), bytes.size());
      return;
    }
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: {
      double d;
      if (!ToNumber(value, &d)) FailValue(field, value, "Not a number.");
      StoreDouble(p, d);
      return;
    }
    case ENG_INTEGER:
    case ENG_AUTOINC: {
      int64_t v;
      // The lowest value is the empty pattern of integers (and -1 that of
      // autoinc): writing it empties the field, as the layout defines.
      if (!ToInteger(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), &v)) FailValue(field, value, "Integer out of range.");
      StoreI32(p, static_cast<int32_t>(v));
      return;
    }
    case ENG_SHORTINT: {
      int64_t v;
      if (!ToInteger(value, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(), &v))
        FailValue(field, value, "Short integer out of range.");
      StoreI16(p, static_cast<int16_t>(v));
      return;
    }
    case ENG_TIME: {
      int32_t ms;
      if (!ToMilliseconds(value, &ms)) FailValue(field, value, "Not a time of day.");
      StoreI32(p, ms);
      return;
    }
    case ENG_TIMESTAMP: {
      double julian;
      if (!ToJulian(value, &julian)) FailValue(field, value, "Not a time stamp.");
      // Whole milliseconds first, so that 23:59:59.9996 rolls over to the next day.
      double total = std::round(julian * kMillisecondsPerDay);
      if (!(total >= kMillisecondsPerDay && total < 2147483647.0 * kMillisecondsPerDay))
        FailValue(field, value, "Time stamp out of range.");
      auto whole = static_cast<int64_t>(total);
      StoreI32(p, static_cast<int32_t>(whole / kMillisecondsPerDay));
      StoreI32(p + 4, static_cast<int32_t>(whole % kMillisecondsPerDay));
      return;
    }
    default:
      Fail(ENG_ERR_FIELD_TYPE, "The " + Describe(field) + " has a type the engine does not know.");
  }
}

}  // namespace eng
