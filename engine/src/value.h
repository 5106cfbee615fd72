// A single typed value as expressions, the record codec and SQL see it, and
// the calendar arithmetic behind dates.
//
// Dates are Julian day numbers (1 January 2006 is 2453737); a DateTime (days
// since 30 December 1899, fraction = time of day) relates to them as
// Julian = whole days + 2415019. Time stamps are Julian days with the time of
// day as fraction; times of day are milliseconds since midnight. Strings
// hold raw bytes (no character set), also for raw and binary contents.
//
// A Value owns its text. It is a plain value type: not synchronised, safe to
// copy between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace eng {

enum class ValueType : uint8_t {
  kNull,
  kLogical,
  kNumber,     // double
  kString,     // bytes
  kDate,       // Julian day number
  kTime,       // milliseconds since midnight
  kTimestamp,  // Julian day number plus the time of day as fraction
};

const char* ValueTypeName(ValueType type);

class Value {
 public:
  Value() = default;  // null
  static Value Null() { return Value(); }
  static Value Logical(bool b);
  static Value Number(double d);
  static Value String(std::string s);
  static Value Date(int32_t julian);
  static Value Time(int32_t milliseconds);
  static Value Timestamp(double julian);

  ValueType type() const { return type_; }
  bool is_null() const { return type_ == ValueType::kNull; }

  bool logical() const { return number_ != 0; }
  double number() const { return number_; }
  const std::string& string() const { return string_; }
  int32_t julian() const { return static_cast<int32_t>(number_); }
  int32_t milliseconds() const { return static_cast<int32_t>(number_); }
  double timestamp() const { return number_; }
  // The numeric payload of every non-string type: the number, the Julian day
  // (with fraction for time stamps), milliseconds for times, 1/0 for logicals.
  double scalar() const { return number_; }

  // Readable form for messages and results: dates as YYYY-MM-DD, times as
  // HH:MM:SS.mmm, logicals TRUE/FALSE, numbers without needless zeros,
  // NULL for null.
  std::string ToText() const;

  bool operator==(const Value& other) const;

 private:
  ValueType type_ = ValueType::kNull;
  double number_ = 0;
  std::string string_;
};

// Orders two values: nulls first, then by value. Values of different kinds
// order by kind (numbers, dates and time stamps compare by their numbers;
// strings compare byte-wise with the shorter padded with blanks).
int CompareValues(const Value& a, const Value& b);

// Byte-wise comparison with the shorter operand padded with blanks, so
// "ASSET" equals "ASSET     ". Returns <0, 0 or >0.
int ComparePadded(std::string_view a, std::string_view b);

// ---- Calendar ---------------------------------------------------------------

constexpr int32_t kJulianOfDateTimeZero = 2415019;  // 30 December 1899
constexpr int32_t kMillisecondsPerDay = 86400000;

// Proleptic Gregorian calendar. JulianFromCivil does not validate; use
// IsValidCivil first where the parts come from input.
int32_t JulianFromCivil(int32_t year, int32_t month, int32_t day);
void CivilFromJulian(int32_t julian, int32_t* year, int32_t* month, int32_t* day);
bool IsValidCivil(int32_t year, int32_t month, int32_t day);

// Date texts accepted wherever a text stands for a date: YYYY-MM-DD,
// YYYYMMDD and YYYY/MM/DD (surrounding blanks ignored). False when the text
// is not a valid date.
bool ParseDateText(std::string_view text, int32_t* julian);
// HH:MM[:SS[.mmm]] → milliseconds since midnight.
bool ParseTimeText(std::string_view text, int32_t* milliseconds);
// A date, a blank or "T", then a time → Julian day with fraction.
bool ParseTimestampText(std::string_view text, double* julian);

std::string FormatDate(int32_t julian);  // YYYY-MM-DD
std::string FormatTime(int32_t milliseconds);  // HH:MM:SS.mmm

}  // namespace eng
