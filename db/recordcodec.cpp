#include "recordcodec.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"

namespace dbu {
namespace {

static_assert(std::endian::native == std::endian::little, "the raw record is little-endian");

// Offset of 1 January of year 1 from 30 December 1899, in days, and the
// Julian day of the day before it.
constexpr int64_t kDaysBeforeEpoch = 693594;
constexpr int64_t kJulianOfYearZero = 1721425;

const char* const kNumericOutOfRange = "Numeric out of range.";
const char* const kEngineDateFailure = "Something's wrong with the engine date functions";

int32_t ReadInt32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void WriteInt32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }
int16_t ReadInt16(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
void WriteInt16(uint8_t* p, int16_t v) { std::memcpy(p, &v, 2); }

bool AllBytes(const uint8_t* p, uint32_t n, bool allowBlank) {
  for (uint32_t i = 0; i < n; ++i)
    if (p[i] != 0 && !(allowBlank && p[i] == ' ')) return false;
  return true;
}

// Fixed-width layouts: a field shorter than its type needs is treated as
// empty and never written, so a damaged definition cannot overrun a record.
bool Fits(const TEngineFieldDef& def, uint32_t need) { return def.Length >= need; }

std::string TrimmedText(const uint8_t* p, uint32_t n) {
  size_t end = 0;
  while (end < n && p[end] != 0) ++end;
  size_t begin = 0;
  while (begin < end && p[begin] == ' ') ++begin;
  while (end > begin && p[end - 1] == ' ') --end;
  return std::string(reinterpret_cast<const char*>(p) + begin, end - begin);
}

// The text may overlap the field (a value read from the same record): it
// is moved into place before the padding is written around it.
void PutText(uint8_t* field, uint32_t length, std::string_view text, char pad, bool rightAlign) {
  size_t n = std::min<size_t>(text.size(), length);
  if (rightAlign) {
    std::memmove(field + (length - n), text.data(), n);
    std::memset(field, pad, length - n);
  } else {
    std::memmove(field, text.data(), n);
    std::memset(field + n, pad, length - n);
  }
}

DateTime FromJulian(double julian) { return static_cast<DateTime>(julian - kJulianOffset); }
int64_t WholeDays(double value) { return static_cast<int64_t>(std::trunc(value)); }
// Milliseconds of the time of day, rounded; may reach a whole day.
int64_t RoundedTimeMs(double value) {
  double fraction = std::fabs(value - std::trunc(value));
  return std::llround(fraction * kMillisecondsPerDay);
}

std::string EightDigits(int year, int month, int day) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
  return text;
}

}  // namespace

TFieldType FieldKindOf(const TEngineFieldDef& def) {
  switch (def.Type) {
    case ENG_LOGICAL: return ftBoolean;
    case ENG_NUMERIC: return (def.Decimals == 0 && def.Length <= 4) ? ftSmallint : ftFloat;
    case ENG_DATE: return ftDate;
    case ENG_STRING: return ftString;
    case ENG_MEMO: return ftMemo;
    case ENG_BINARY: return ftBlob;
    case ENG_IMAGE: return ftBlob;
    case ENG_VARCHAR: return ftMemo;
    case ENG_COMPACTDATE: return ftDate;
    case ENG_DOUBLE: return ftFloat;
    case ENG_INTEGER: return ftInteger;
    case ENG_SHORTINT: return ftSmallint;
    case ENG_TIME: return ftTime;
    case ENG_TIMESTAMP: return ftDateTime;
    case ENG_AUTOINC: return ftAutoInc;
    case ENG_RAW: return ftBytes;
    case ENG_CURDOUBLE: return ftCurrency;
    default: return ftUnknown;
  }
}

bool IsBlobType(uint16_t engineType) { return engineType >= ENG_MEMO && engineType <= ENG_VARCHAR; }

namespace codec {

int32_t MemoMarker(const uint8_t* record, const TEngineFieldDef& def) {
  const uint8_t* p = record + def.Offset;
  if (Fits(def, 4)) return ReadInt32(p);
  return AllBytes(p, def.Length, false) ? 0 : -1;
}

void SetMemoMarker(uint8_t* record, const TEngineFieldDef& def, int32_t marker) {
  uint8_t* p = record + def.Offset;
  if (Fits(def, 4))
    WriteInt32(p, marker);
  else
    std::memset(p, marker == 0 ? 0 : 0xFF, def.Length);
}

bool IsEmpty(const uint8_t* record, const TEngineFieldDef& def, bool native) {
  const uint8_t* p = record + def.Offset;
  const uint32_t n = def.Length;
  if (IsBlobType(def.Type)) return MemoMarker(record, def) == 0;
  if (native) {
    switch (def.Type) {
      case ENG_LOGICAL: return n == 0 || p[0] == ' ';
      case ENG_NUMERIC:
      case ENG_DATE:
      case ENG_STRING:
      case ENG_COMPACTDATE:
      case ENG_RAW: return AllBytes(p, n, false);
      case ENG_DOUBLE:
      case ENG_CURDOUBLE:
        return !Fits(def, 8) || (ReadInt32(p) == 32 && static_cast<uint32_t>(ReadInt32(p + 4)) == 0x80000000u);
      case ENG_INTEGER: return !Fits(def, 4) || ReadInt32(p) == INT32_MIN;
      case ENG_SHORTINT: return !Fits(def, 2) || ReadInt16(p) == INT16_MIN;
      case ENG_TIME:
      case ENG_AUTOINC: return !Fits(def, 4) || ReadInt32(p) == -1;
      case ENG_TIMESTAMP: return !Fits(def, 8) || ReadInt32(p) == 0;
      default: return true;
    }
  }
  switch (def.Type) {
    case ENG_LOGICAL:
    case ENG_NUMERIC:
    case ENG_STRING: return AllBytes(p, n, true);
    case ENG_DATE: return n == 4 ? ReadInt32(p) == 0 : AllBytes(p, n, true);
    case ENG_COMPACTDATE: return AllBytes(p, n, false);
    case ENG_DOUBLE: return !Fits(def, 8);
    case ENG_CURDOUBLE: return !Fits(def, 8);
    case ENG_INTEGER: return !Fits(def, 4);
    case ENG_SHORTINT: return !Fits(def, 2);
    default: return true;
  }
}

void WriteEmpty(uint8_t* record, const TEngineFieldDef& def, bool native) {
  uint8_t* p = record + def.Offset;
  const uint32_t n = def.Length;
  if (IsBlobType(def.Type)) {
    SetMemoMarker(record, def, 0);
    return;
  }
  if (!native) {
    bool zeros = (def.Type >= ENG_MEMO && def.Type <= ENG_SHORTINT) || def.Type == ENG_CURDOUBLE;
    std::memset(p, zeros ? 0 : ' ', n);
    return;
  }
  switch (def.Type) {
    case ENG_LOGICAL: std::memset(p, ' ', n); return;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
      if (!Fits(def, 8)) break;
      WriteInt32(p, 32);
      WriteInt32(p + 4, static_cast<int32_t>(0x80000000u));
      return;
    case ENG_INTEGER:
      if (!Fits(def, 4)) break;
      WriteInt32(p, INT32_MIN);
      return;
    case ENG_SHORTINT:
      if (!Fits(def, 2)) break;
      WriteInt16(p, INT16_MIN);
      return;
    case ENG_TIME:
    case ENG_AUTOINC:
      if (!Fits(def, 4)) break;
      WriteInt32(p, -1);
      return;
    case ENG_TIMESTAMP:
      if (!Fits(def, 8)) break;
      WriteInt32(p, 0);
      WriteInt32(p + 4, -1);
      return;
    default: break;
  }
  std::memset(p, 0, n);
}

bool DecodeBoolean(const uint8_t* record, const TEngineFieldDef& def) {
  if (def.Length == 0) return false;
  char c = static_cast<char>(record[def.Offset]);
  return c == '1' || c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

int64_t DecodeInteger(const uint8_t* record, const TEngineFieldDef& def) {
  const uint8_t* p = record + def.Offset;
  switch (def.Type) {
    case ENG_NUMERIC: {
      std::string text = TrimmedText(p, def.Length);
      int64_t value = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (ec == std::errc() && end == text.data() + text.size()) return value;
      return std::llround(DecodeFloat(record, def));
    }
    case ENG_INTEGER:
    case ENG_AUTOINC:
    case ENG_TIME: return Fits(def, 4) ? ReadInt32(p) : 0;
    case ENG_SHORTINT: return Fits(def, 2) ? ReadInt16(p) : 0;
    default: return 0;
  }
}

double DecodeFloat(const uint8_t* record, const TEngineFieldDef& def) {
  const uint8_t* p = record + def.Offset;
  if (def.Type == ENG_NUMERIC) {
    std::string text = TrimmedText(p, def.Length);
    if (!text.empty() && text[0] == '+') text.erase(0, 1);
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    // Characters that do not form a number read as 0.
    return (ec == std::errc() && end == text.data() + text.size()) ? value : 0.0;
  }
  if ((def.Type == ENG_DOUBLE || def.Type == ENG_CURDOUBLE) && Fits(def, 8)) {
    double value;
    std::memcpy(&value, p, 8);
    return value;
  }
  return static_cast<double>(DecodeInteger(record, def));
}

DateTime DecodeDateTime(const uint8_t* record, const TEngineFieldDef& def, const TJulianTextConverter& julian) {
  const uint8_t* p = record + def.Offset;
  switch (def.Type) {
    case ENG_DATE:
      if (def.Length == 4) return FromJulian(ReadInt32(p));
      return FromJulian(julian.StringToJulian(std::string(reinterpret_cast<const char*>(p), def.Length)));
    case ENG_COMPACTDATE: {
      if (!Fits(def, 3)) return 0;
      unsigned high = (static_cast<unsigned>(p[0]) << 8) | p[1];
      int year = static_cast<int>(high >> 1);
      int month = static_cast<int>(((high & 1u) << 3) | (p[2] >> 5));
      int day = p[2] & 31;
      return FromJulian(julian.StringToJulian(EightDigits(year, month, day)));
    }
    case ENG_TIME:
      if (!Fits(def, 4)) return 0;
      return static_cast<DateTime>(static_cast<double>(ReadInt32(p)) / kMillisecondsPerDay);
    case ENG_TIMESTAMP:
      if (!Fits(def, 8)) return 0;
      return static_cast<DateTime>(static_cast<double>(ReadInt32(p)) - kJulianOffset +
                                   static_cast<double>(ReadInt32(p + 4)) / kMillisecondsPerDay);
    default: return 0;
  }
}

std::string_view StringView(const uint8_t* record, const TEngineFieldDef& def) {
  // Eight bytes at a time: fields are short, and a call to memchr would
  // cost more than the scan.
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  constexpr uint64_t kBlanks = 0x2020202020202020ull;
  const char* p = reinterpret_cast<const char*>(record + def.Offset);
  const size_t n = def.Length;
  size_t end = 0;
  for (; end + 8 <= n; end += 8) {
    uint64_t w;
    std::memcpy(&w, p + end, 8);
    if (((w - kOnes) & ~w & kHighs) != 0) break;  // a NUL among these eight
  }
  while (end < n && p[end] != 0) ++end;
  for (; end >= 8; end -= 8) {
    uint64_t w;
    std::memcpy(&w, p + end - 8, 8);
    if (w != kBlanks) break;
  }
  while (end > 0 && p[end - 1] == ' ') --end;
  return std::string_view(p, end);
}

std::string DecodeString(const uint8_t* record, const TEngineFieldDef& def) {
  return std::string(StringView(record, def));
}

std::string DecodeBytes(const uint8_t* record, const TEngineFieldDef& def) {
  return std::string(reinterpret_cast<const char*>(record + def.Offset), def.Length);
}

void EncodeBoolean(uint8_t* record, const TEngineFieldDef& def, bool value) {
  if (def.Length == 0) return;
  record[def.Offset] = value ? 'T' : 'F';
}

std::string NumericText(double value, uint32_t length, uint16_t decimals) {
  int precision = decimals > 0 ? static_cast<int>(length) - 1 : static_cast<int>(length);
  if (!std::isfinite(value) || precision < 1 || decimals > 30) throw TCodecError(kNumericOutOfRange);
  // std::to_chars and std::from_chars: the stored digits take "." whatever
  // the process locale says.
  char buffer[128];
  char* const bufferEnd = buffer + sizeof buffer;
  const auto scientific =
      std::to_chars(buffer, bufferEnd, value, std::chars_format::scientific, std::min(precision, 30) - 1);
  if (scientific.ec != std::errc()) throw TCodecError(kNumericOutOfRange);
  double rounded = 0;
  // Out of range: rounding went past the largest double, far beyond any field.
  if (std::from_chars(buffer, scientific.ptr, rounded).ec != std::errc()) throw TCodecError(kNumericOutOfRange);
  if (rounded != 0) {
    const char* e = std::find(buffer, scientific.ptr, 'e');  // "d.ddde+XX" or "d.ddde-XX", as printf's %e
    int exponent = 0;
    std::from_chars(e + 2, scientific.ptr, exponent);
    if (e[1] == '-') exponent = -exponent;
    if (exponent + 1 > precision) throw TCodecError(kNumericOutOfRange);
  } else {
    rounded = 0;  // no "-0"
  }
  const auto fixed = std::to_chars(buffer, bufferEnd, rounded, std::chars_format::fixed, static_cast<int>(decimals));
  if (fixed.ec != std::errc()) throw TCodecError(kNumericOutOfRange);
  std::string text(buffer, fixed.ptr);
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  if (text.size() > length) throw TCodecError(kNumericOutOfRange);
  return text;
}

void EncodeInteger(uint8_t* record, const TEngineFieldDef& def, int64_t value) {
  uint8_t* p = record + def.Offset;
  switch (def.Type) {
    case ENG_NUMERIC: {
      if (FieldKindOf(def) != ftSmallint) {
        EncodeFloat(record, def, static_cast<double>(value));
        return;
      }
      std::string text = std::to_string(value);
      if (text.size() > def.Length) throw TCodecError(kNumericOutOfRange);
      PutText(p, def.Length, text, ' ', true);
      return;
    }
    case ENG_INTEGER:
    case ENG_AUTOINC:
    case ENG_TIME:
      if (Fits(def, 4)) WriteInt32(p, static_cast<int32_t>(value));
      return;
    case ENG_SHORTINT:
      if (Fits(def, 2)) WriteInt16(p, static_cast<int16_t>(value));
      return;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: EncodeFloat(record, def, static_cast<double>(value)); return;
    default: return;
  }
}

void EncodeFloat(uint8_t* record, const TEngineFieldDef& def, double value) {
  uint8_t* p = record + def.Offset;
  if (def.Type == ENG_NUMERIC) {
    if (FieldKindOf(def) == ftSmallint) {
      if (!std::isfinite(value) || std::fabs(value) > 1e15) throw TCodecError(kNumericOutOfRange);
      EncodeInteger(record, def, std::llround(value));
      return;
    }
    PutText(p, def.Length, NumericText(value, def.Length, def.Decimals), ' ', true);
    return;
  }
  if (def.Type == ENG_DOUBLE || def.Type == ENG_CURDOUBLE) {
    if (Fits(def, 8)) std::memcpy(p, &value, 8);
    return;
  }
  if (!std::isfinite(value) || std::fabs(value) > 9.2e18) throw TCodecError(kNumericOutOfRange);
  EncodeInteger(record, def, std::llround(value));
}

void EncodeDateTime(uint8_t* record, const TEngineFieldDef& def, DateTime value, const TJulianTextConverter& julian) {
  uint8_t* p = record + def.Offset;
  const double d = static_cast<double>(value);
  if (!std::isfinite(d) || std::fabs(d) > 3.0e6) throw TCodecError("Invalid date value");
  const int64_t julianDay = WholeDays(d) + kJulianOffset;
  switch (def.Type) {
    case ENG_DATE: {
      if (def.Length == 4) {
        WriteInt32(p, static_cast<int32_t>(julianDay));
        return;
      }
      std::string text = julian.JulianToString(static_cast<double>(julianDay));
      if (text.size() > def.Length) throw TCodecError(kEngineDateFailure);
      PutText(p, def.Length, text, ' ', false);
      return;
    }
    case ENG_COMPACTDATE: {
      if (!Fits(def, 3)) return;
      std::string text = julian.JulianToString(static_cast<double>(julianDay));
      int year = 0, month = 0, day = 0;
      if (text.size() != 8 || std::sscanf(text.c_str(), "%4d%2d%2d", &year, &month, &day) != 3 || year < 0 ||
          year > 32767 || month < 0 || month > 15 || day < 0 || day > 31)
        throw TCodecError(kEngineDateFailure);
      unsigned high = (static_cast<unsigned>(year) << 1) | (static_cast<unsigned>(month) >> 3);
      p[0] = static_cast<uint8_t>(high >> 8);
      p[1] = static_cast<uint8_t>(high & 0xFF);
      p[2] = static_cast<uint8_t>(((month & 7) << 5) | day);
      return;
    }
    case ENG_TIME:
      if (Fits(def, 4)) WriteInt32(p, static_cast<int32_t>(RoundedTimeMs(d) % kMillisecondsPerDay));
      return;
    case ENG_TIMESTAMP: {
      if (!Fits(def, 8)) return;
      int64_t total = (WholeDays(d) + kDaysBeforeEpoch) * kMillisecondsPerDay + RoundedTimeMs(d);
      int64_t day = total / kMillisecondsPerDay;
      int64_t ms = total % kMillisecondsPerDay;
      if (ms < 0) {
        ms += kMillisecondsPerDay;
        --day;
      }
      WriteInt32(p, static_cast<int32_t>(day + kJulianOfYearZero));
      WriteInt32(p + 4, static_cast<int32_t>(ms));
      return;
    }
    default: return;
  }
}

void EncodeString(uint8_t* record, const TEngineFieldDef& def, std::string_view value, bool native) {
  uint8_t* p = record + def.Offset;
  if (value.empty() && native) {
    std::memset(p, 0, def.Length);
    return;
  }
  PutText(p, def.Length, value, ' ', false);
}

void EncodeBytes(uint8_t* record, const TEngineFieldDef& def, std::string_view value) {
  PutText(record + def.Offset, def.Length, value, '\0', false);
}

}  // namespace codec
}  // namespace dbu
