#include "value.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "number_text.h"

namespace eng {

const char* ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::kNull: return "null";
    case ValueType::kLogical: return "logical";
    case ValueType::kNumber: return "number";
    case ValueType::kString: return "string";
    case ValueType::kDate: return "date";
    case ValueType::kTime: return "time";
    case ValueType::kTimestamp: return "time stamp";
  }
  return "unknown";
}

Value Value::Logical(bool b) {
  Value v;
  v.type_ = ValueType::kLogical;
  v.number_ = b ? 1 : 0;
  return v;
}

Value Value::Number(double d) {
  Value v;
  v.type_ = ValueType::kNumber;
  v.number_ = d;
  return v;
}

Value Value::String(std::string s) {
  Value v;
  v.type_ = ValueType::kString;
  v.string_ = std::move(s);
  return v;
}

Value Value::Date(int32_t julian) {
  Value v;
  v.type_ = ValueType::kDate;
  v.number_ = julian;
  return v;
}

Value Value::Time(int32_t milliseconds) {
  Value v;
  v.type_ = ValueType::kTime;
  v.number_ = milliseconds;
  return v;
}

Value Value::Timestamp(double julian) {
  Value v;
  v.type_ = ValueType::kTimestamp;
  v.number_ = julian;
  return v;
}

static std::string FormatNumber(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  return GeneralNumberText(d, 15);
}

std::string Value::ToText() const {
  switch (type_) {
    case ValueType::kNull: return "NULL";
    case ValueType::kLogical: return logical() ? "TRUE" : "FALSE";
    case ValueType::kNumber: return FormatNumber(number_);
    case ValueType::kString: return string_;
    case ValueType::kDate: return FormatDate(julian());
    case ValueType::kTime: return FormatTime(milliseconds());
    case ValueType::kTimestamp: {
      if (!(std::fabs(number_) < 1e9)) return FormatNumber(number_);
      double day = std::floor(number_);
      auto ms = static_cast<int32_t>(std::llround((number_ - day) * kMillisecondsPerDay));
      if (ms >= kMillisecondsPerDay) {
        day += 1;
        ms -= kMillisecondsPerDay;
      }
      return FormatDate(static_cast<int32_t>(day)) + " " + FormatTime(ms);
    }
  }
  return "";
}

bool Value::operator==(const Value& other) const {
  if (type_ != other.type_) return false;
  if (type_ == ValueType::kString) return string_ == other.string_;
  if (type_ == ValueType::kNull) return true;
  return number_ == other.number_;
}

int ComparePadded(std::string_view a, std::string_view b) {
  size_t common = a.size() < b.size() ? a.size() : b.size();
  if (common > 0) {
    int c = std::memcmp(a.data(), b.data(), common);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  // The rest of the longer operand compares against blanks.
  for (size_t i = common; i < a.size(); ++i) {
    auto ch = static_cast<unsigned char>(a[i]);
    if (ch != ' ') return ch < ' ' ? -1 : 1;
  }
  for (size_t i = common; i < b.size(); ++i) {
    auto ch = static_cast<unsigned char>(b[i]);
    if (ch != ' ') return ch < ' ' ? 1 : -1;
  }
  return 0;
}

static int KindRank(ValueType t) {
  switch (t) {
    case ValueType::kNull: return 0;
    case ValueType::kLogical: return 1;
    case ValueType::kNumber: return 2;
    case ValueType::kDate:
    case ValueType::kTimestamp: return 3;
    case ValueType::kTime: return 4;
    case ValueType::kString: return 5;
  }
  return 6;
}

int CompareValues(const Value& a, const Value& b) {
  int ra = KindRank(a.type()), rb = KindRank(b.type());
  if (ra != rb) return ra < rb ? -1 : 1;
  if (a.is_null()) return 0;
  if (a.type() == ValueType::kString) return ComparePadded(a.string(), b.string());
  if (a.scalar() < b.scalar()) return -1;
  if (a.scalar() > b.scalar()) return 1;
  return 0;
}

// ---- Calendar ---------------------------------------------------------------

// Days from civil (H. Hinnant's algorithm), shifted to Julian day numbers:
// 1970-01-01 is Julian 2440588.
int32_t JulianFromCivil(int32_t year, int32_t month, int32_t day) {
  int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t mp = (month + 9) % 12;
  int64_t doy = (153 * mp + 2) / 5 + day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  return static_cast<int32_t>(days + 2440588);
}

void CivilFromJulian(int32_t julian, int32_t* year, int32_t* month, int32_t* day) {
  int64_t z = static_cast<int64_t>(julian) - 2440588 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int32_t>(y + (m <= 2 ? 1 : 0));
  *month = static_cast<int32_t>(m);
  *day = static_cast<int32_t>(d);
}

bool IsValidCivil(int32_t year, int32_t month, int32_t day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int max = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) max = 29;
  return day <= max;
}

static std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Reads exactly `count` digits at `pos`.
static bool ReadDigits(std::string_view s, size_t pos, size_t count, int32_t* out) {
  if (pos + count > s.size()) return false;
  int32_t v = 0;
  for (size_t i = 0; i < count; ++i) {
    char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

bool ParseDateText(std::string_view text, int32_t* julian) {
  std::string_view s = TrimBlanks(text);
  int32_t y, m, d;
  if (s.size() == 8) {
    if (!ReadDigits(s, 0, 4, &y) || !ReadDigits(s, 4, 2, &m) || !ReadDigits(s, 6, 2, &d)) return false;
  } else if (s.size() == 10 && (s[4] == '-' || s[4] == '/') && s[7] == s[4]) {
    if (!ReadDigits(s, 0, 4, &y) || !ReadDigits(s, 5, 2, &m) || !ReadDigits(s, 8, 2, &d)) return false;
  } else {
    return false;
  }
  if (!IsValidCivil(y, m, d)) return false;
  *julian = JulianFromCivil(y, m, d);
  return true;
}

bool ParseTimeText(std::string_view text, int32_t* milliseconds) {
  std::string_view s = TrimBlanks(text);
  int32_t h, mi, sec = 0, ms = 0;
  if (!ReadDigits(s, 0, 2, &h) || s.size() < 5 || s[2] != ':' || !ReadDigits(s, 3, 2, &mi)) return false;
  size_t pos = 5;
  if (pos < s.size()) {
    if (s[pos] != ':' || !ReadDigits(s, pos + 1, 2, &sec)) return false;
    pos += 3;
    if (pos < s.size()) {
      if (s[pos] != '.') return false;
      size_t digits = s.size() - pos - 1;
      if (digits < 1 || digits > 3 || !ReadDigits(s, pos + 1, digits, &ms)) return false;
      for (size_t i = digits; i < 3; ++i) ms *= 10;
      pos = s.size();
    }
  }
  if (h > 23 || mi > 59 || sec > 59) return false;
  *milliseconds = ((h * 60 + mi) * 60 + sec) * 1000 + ms;
  return true;
}

bool ParseTimestampText(std::string_view text, double* julian) {
  std::string_view s = TrimBlanks(text);
  size_t split = s.find_first_of(" T");
  int32_t day, ms = 0;
  if (split == std::string_view::npos) {
    if (!ParseDateText(s, &day)) return false;
  } else {
    if (!ParseDateText(s.substr(0, split), &day) || !ParseTimeText(s.substr(split + 1), &ms)) return false;
  }
  *julian = day + static_cast<double>(ms) / kMillisecondsPerDay;
  return true;
}

std::string FormatDate(int32_t julian) {
  int32_t y, m, d;
  CivilFromJulian(julian, &y, &m, &d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(y), static_cast<int>(m), static_cast<int>(d));
  return buf;
}

std::string FormatTime(int32_t milliseconds) {
  int64_t ms = milliseconds;
  if (ms < 0) ms = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace eng
