#include "formatsettings.h"

#include <langinfo.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <shared_mutex>

namespace dbu {

namespace {

// 1899-12-30, day 0 of DateTime, counted from 1970-01-01.
constexpr std::int64_t kEpochOffset = 25569;

// Proleptic Gregorian calendar <-> days since 1970-01-01 (H. Hinnant's
// algorithms, exact for every year in our range).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// A DateTime rounded to the millisecond and split into whole days and the
// milliseconds of the day. A time that rounds up to a whole day moves the
// date on (backwards for negative dates, whose time counts the other way).
struct SplitTime {
  std::int64_t days;
  std::int64_t msOfDay;
};

bool TrySplit(DateTime value, SplitTime& out) {
  if (!std::isfinite(value) || value <= kMinDateTime - 1.0 || value >= kMaxDateTime + 1.0) {
    return false;
  }
  std::int64_t days = static_cast<std::int64_t>(std::trunc(value));
  const double fraction = std::fabs(value - static_cast<double>(days));
  std::int64_t ms = std::llround(fraction * static_cast<double>(kMSecsPerDay));
  if (ms >= kMSecsPerDay) {
    ms = 0;
    days += value < 0 ? -1 : 1;
  }
  if (days < static_cast<std::int64_t>(kMinDateTime) || days > static_cast<std::int64_t>(kMaxDateTime)) {
    return false;
  }
  out = {days, ms};
  return true;
}

[[noreturn]] void ThrowOutOfRange(DateTime value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.17g", value);
  throw EConvertError(std::string("Date and time value out of range: ") + number);
}

SplitTime SplitOrThrow(DateTime value) {
  SplitTime split;
  if (!TrySplit(value, split)) ThrowOutOfRange(value);
  return split;
}

int CurrentYear() {
  int y, m, d;
  DecodeDate(Today(), y, m, d);
  return y;
}

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view prefix) {
  if (text.size() - pos < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ToUpperAscii(text[pos + i]) != ToUpperAscii(prefix[i])) return false;
  }
  return true;
}

// ------------------------------------------------------------ settings store

struct SettingsStore {
  std::shared_mutex mutex;
  FormatSettings settings{InitialFormatSettings()};
};

SettingsStore& Store() {
  static SettingsStore store;
  return store;
}

template <typename Field>
Field ReadSetting(Field FormatSettings::*field) {
  SettingsStore& store = Store();
  std::shared_lock lock(store.mutex);
  return store.settings.*field;
}

template <typename Field, typename Value>
void WriteSetting(Field FormatSettings::*field, Value value) {
  SettingsStore& store = Store();
  std::unique_lock lock(store.mutex);
  store.settings.*field = Field(value);
}

}  // namespace

// ---------------------------------------------------------------- DateTime

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, DateTime& result) {
  const int daysInMonth = DaysInMonth(year, month);
  if (daysInMonth == 0 || day < 1 || day > daysInMonth) return false;
  result = static_cast<DateTime>(DaysFromCivil(year, month, day) + kEpochOffset);
  return true;
}

DateTime EncodeDate(int year, int month, int day) {
  DateTime result;
  if (!TryEncodeDate(year, month, day, result)) {
    throw EConvertError("Invalid argument to date encode: year " + std::to_string(year) + ", month " +
                        std::to_string(month) + ", day " + std::to_string(day));
  }
  return result;
}

bool TryDecodeDate(DateTime value, int& year, int& month, int& day) {
  SplitTime split;
  if (!TrySplit(value, split)) return false;
  CivilFromDays(split.days - kEpochOffset, year, month, day);
  return true;
}

void DecodeDate(DateTime value, int& year, int& month, int& day) {
  if (!TryDecodeDate(value, year, month, day)) ThrowOutOfRange(value);
}

bool TryEncodeTime(int hour, int minute, int second, int msec, DateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999) {
    return false;
  }
  const std::int64_t ms = ((hour * 60 + minute) * 60 + second) * std::int64_t{1000} + msec;
  result = static_cast<double>(ms) / static_cast<double>(kMSecsPerDay);
  return true;
}

DateTime EncodeTime(int hour, int minute, int second, int msec) {
  DateTime result;
  if (!TryEncodeTime(hour, minute, second, msec, result)) {
    throw EConvertError("Invalid argument to time encode: " + std::to_string(hour) + ":" +
                        std::to_string(minute) + ":" + std::to_string(second) + "." + std::to_string(msec));
  }
  return result;
}

void DecodeTime(DateTime value, int& hour, int& minute, int& second, int& msec) {
  const SplitTime split = SplitOrThrow(value);
  const auto ms = static_cast<int>(split.msOfDay);
  hour = ms / 3600000;
  minute = ms / 60000 % 60;
  second = ms / 1000 % 60;
  msec = ms % 1000;
}

DateTime ComposeDateTime(DateTime date, DateTime time) { return date < 0 ? date - time : date + time; }

DateTime DateOf(DateTime value) { return static_cast<DateTime>(SplitOrThrow(value).days); }

DateTime TimeOf(DateTime value) {
  return static_cast<double>(SplitOrThrow(value).msOfDay) / static_cast<double>(kMSecsPerDay);
}

DateTime Today() { return DateOf(Now()); }

DateTime Now() {
  const auto now = std::chrono::system_clock::now();
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const int ms = static_cast<int>(((sinceEpoch.count() % 1000) + 1000) % 1000);
  return ComposeDateTime(EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                         EncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59), ms));
}

int ExpandTwoDigitYear(int twoDigitYear, int currentYear) {
  const int pivot = currentYear - 50;
  int year = twoDigitYear + pivot / 100 * 100;
  if (year < pivot) year += 100;
  return year;
}

// ---------------------------------------------------------------- Currency

bool Currency::TryFromDouble(double amount, Currency& result) {
  if (!std::isfinite(amount)) return false;
  const double scaled = std::round(amount * static_cast<double>(kScale));
  // 2^63 is exact as a double; anything from it upwards does not fit.
  if (scaled < -9223372036854775808.0 || scaled >= 9223372036854775808.0) return false;
  result.value = static_cast<std::int64_t>(scaled);
  return true;
}

Currency Currency::FromDouble(double amount) {
  Currency result;
  if (!TryFromDouble(amount, result)) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", amount);
    throw EConvertError(std::string("Currency value out of range: ") + number);
  }
  return result;
}

double Currency::ToDouble() const { return static_cast<double>(value) / static_cast<double>(kScale); }

Currency operator+(Currency a, Currency b) {
  Currency sum;
  if (__builtin_add_overflow(a.value, b.value, &sum.value)) throw EConvertError("Currency overflow in addition");
  return sum;
}

Currency operator-(Currency a, Currency b) {
  Currency difference;
  if (__builtin_sub_overflow(a.value, b.value, &difference.value)) {
    throw EConvertError("Currency overflow in subtraction");
  }
  return difference;
}

// ---------------------------------------------------------------- settings

bool DateSettingsFromStrftime(std::string_view pattern, char& separator, std::string& shortDateFormat) {
  std::string order;  // 'd', 'm', 'y' in the order they appear
  char foundSeparator = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%') {
      const bool usable = c == ' ' || (c > ' ' && c < 127 && !IsDigit(c) && !IsLetter(c));
      if (foundSeparator == 0 && !order.empty() && usable) foundSeparator = c;
      continue;
    }
    ++i;
    while (i < pattern.size() && std::strchr("EO-_0^#", pattern[i]) != nullptr) ++i;
    if (i >= pattern.size()) break;
    switch (pattern[i]) {
      case 'd': case 'e': order += 'd'; break;
      case 'm': order += 'm'; break;
      case 'y': case 'Y': order += 'y'; break;
      case 'D': order += "mdy"; if (!foundSeparator) foundSeparator = '/'; break;
      case 'F': order += "ymd"; if (!foundSeparator) foundSeparator = '-'; break;
      default: break;
    }
  }
  if (order.size() != 3 || order.find('d') == std::string::npos || order.find('m') == std::string::npos ||
      order.find('y') == std::string::npos) {
    return false;
  }
  std::string format;
  for (char part : order) {
    if (!format.empty()) format += '/';
    format += part == 'd' ? "dd" : part == 'm' ? "MM" : "yyyy";
  }
  separator = foundSeparator ? foundSeparator : '/';
  shortDateFormat = std::move(format);
  return true;
}

FormatSettings InitialFormatSettings() {
  FormatSettings settings;
  const char* localeName = std::setlocale(LC_TIME, nullptr);
  if (localeName == nullptr || std::strcmp(localeName, "C") == 0 || std::strcmp(localeName, "POSIX") == 0) {
    return settings;
  }
  const char* pattern = nl_langinfo(D_FMT);
  if (pattern != nullptr) {
    DateSettingsFromStrftime(pattern, settings.dateSeparator, settings.defaultDateFormat);
  }
  return settings;
}

FormatSettings GetFormatSettings() {
  SettingsStore& store = Store();
  std::shared_lock lock(store.mutex);
  return store.settings;
}

void SetFormatSettings(const FormatSettings& settings) {
  SettingsStore& store = Store();
  std::unique_lock lock(store.mutex);
  store.settings = settings;
}

char DateSeparator() { return ReadSetting(&FormatSettings::dateSeparator); }
void SetDateSeparator(char separator) { WriteSetting(&FormatSettings::dateSeparator, separator); }
char TimeSeparator() { return ReadSetting(&FormatSettings::timeSeparator); }
void SetTimeSeparator(char separator) { WriteSetting(&FormatSettings::timeSeparator, separator); }
char DecimalSeparator() { return ReadSetting(&FormatSettings::decimalSeparator); }
void SetDecimalSeparator(char separator) { WriteSetting(&FormatSettings::decimalSeparator, separator); }
std::string DefaultDateFormat() { return ReadSetting(&FormatSettings::defaultDateFormat); }
void SetDefaultDateFormat(std::string_view format) { WriteSetting(&FormatSettings::defaultDateFormat, format); }
std::string LongTimeFormat() { return ReadSetting(&FormatSettings::longTimeFormat); }
void SetLongTimeFormat(std::string_view format) { WriteSetting(&FormatSettings::longTimeFormat, format); }

// ---------------------------------------------------------------- formatting

namespace {

constexpr std::array<const char*, 12> kShortMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 12> kLongMonths = {"January", "February", "March",     "April",
                                                     "May",     "June",     "July",      "August",
                                                     "September", "October", "November", "December"};
constexpr std::array<const char*, 7> kShortDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};

void AppendNumber(std::string& out, int value, int minDigits) {
  const std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < minDigits) out.append(minDigits - digits.size(), '0');
  out += digits;
}

// True when an "am/pm" or "a/p" marker follows before the next hour letter,
// which makes the hour a 12-hour one.
bool TwelveHourClockFollows(std::string_view pattern, std::size_t pos) {
  char quote = 0;
  for (; pos < pattern.size(); ++pos) {
    const char c = pattern[pos];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == 'h' || c == 'H') {
      return false;
    } else if ((c == 'a' || c == 'A') &&
               (StartsWithNoCase(pattern, pos, "am/pm") || StartsWithNoCase(pattern, pos, "a/p"))) {
      return true;
    }
  }
  return false;
}

std::string Format(const FormatSettings& fs, std::string_view pattern, DateTime value) {
  const SplitTime split = SplitOrThrow(value);
  int year, month, day;
  CivilFromDays(split.days - kEpochOffset, year, month, day);
  const int weekday = static_cast<int>(((split.days % 7) + 7 + 6) % 7);  // day 0 was a Saturday
  const auto ms = static_cast<int>(split.msOfDay);
  const int hour = ms / 3600000, minute = ms / 60000 % 60, second = ms / 1000 % 60, msec = ms % 1000;

  std::string out;
  char lastLetter = 0;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'' || c == '"') {
      const std::size_t close = pattern.find(c, i + 1);
      const std::size_t end = close == std::string_view::npos ? pattern.size() : close;
      out.append(pattern.substr(i + 1, end - i - 1));
      i = end == pattern.size() ? end : end + 1;
      continue;
    }
    if (!IsLetter(c)) {
      out += c == '/' ? fs.dateSeparator : c == ':' ? fs.timeSeparator : c;
      ++i;
      continue;
    }
    std::size_t count = 1;
    while (i + count < pattern.size() && pattern[i + count] == c) ++count;
    char token = ToUpperAscii(c);
    if (token == 'M' && lastLetter == 'H') token = 'N';
    lastLetter = token;
    switch (token) {
      case 'Y':
        if (count <= 2) AppendNumber(out, year % 100, 2);
        else AppendNumber(out, year, 4);
        break;
      case 'M':
        if (count <= 2) AppendNumber(out, month, static_cast<int>(count));
        else out += (count == 3 ? kShortMonths : kLongMonths)[month - 1];
        break;
      case 'D':
        if (count <= 2) AppendNumber(out, day, static_cast<int>(count));
        else out += (count == 3 ? kShortDays : kLongDays)[weekday];
        break;
      case 'H': {
        int shown = hour;
        if (TwelveHourClockFollows(pattern, i + count)) shown = hour % 12 == 0 ? 12 : hour % 12;
        AppendNumber(out, shown, count == 1 ? 1 : 2);
        break;
      }
      case 'N': AppendNumber(out, minute, count == 1 ? 1 : 2); break;
      case 'S': AppendNumber(out, second, count == 1 ? 1 : 2); break;
      case 'Z': AppendNumber(out, msec, count == 1 ? 1 : 3); break;
      case 'A':
        if (StartsWithNoCase(pattern, i, "am/pm")) {
          out.append(pattern.substr(hour < 12 ? i : i + 3, 2));
          count = 5;
        } else if (StartsWithNoCase(pattern, i, "a/p")) {
          out += pattern[hour < 12 ? i : i + 2];
          count = 3;
        } else {
          out += c;
          count = 1;
        }
        break;
      default:
        out.append(count, c);
        break;
    }
    i += count;
  }
  return out;
}

}  // namespace

std::string FormatDateTime(std::string_view pattern, DateTime value) {
  return Format(GetFormatSettings(), pattern, value);
}

std::string DateToStr(DateTime value) {
  const FormatSettings fs = GetFormatSettings();
  return Format(fs, fs.defaultDateFormat, value);
}

std::string TimeToStr(DateTime value) {
  const FormatSettings fs = GetFormatSettings();
  return Format(fs, fs.longTimeFormat, value);
}

std::string DateTimeToStr(DateTime value) {
  const FormatSettings fs = GetFormatSettings();
  std::string text = Format(fs, fs.defaultDateFormat, value);
  if (SplitOrThrow(value).msOfDay != 0) text += ' ' + Format(fs, fs.longTimeFormat, value);
  return text;
}

// ---------------------------------------------------------------- parsing

namespace {

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  std::size_t Position() const { return pos_; }
  void Restore(std::size_t position) { pos_ = position; }

  std::size_t SkipSpaces() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
    return pos_ - start;
  }

  bool Char(char expected) {
    if (pos_ < text_.size() && text_[pos_] == expected) {
      ++pos_;
      return true;
    }
    return false;
  }

  // 1 to maxDigits digits; more digits in a row fail.
  bool Number(int maxDigits, int& value, int& digits) {
    value = 0;
    digits = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_])) {
      if (++digits > maxDigits) return false;
      value = value * 10 + (text_[pos_++] - '0');
    }
    return digits > 0;
  }

  bool Word(std::string_view word) {
    if (!StartsWithNoCase(text_, pos_, word)) return false;
    pos_ += word.size();
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Positions of day, month and year in the date format (d, m, y in order);
// day-month-year when the format leaves any of them out.
std::array<char, 3> DateOrder(std::string_view format) {
  std::array<char, 3> order{};
  std::size_t found = 0;
  char quote = 0;
  for (char c : format) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    const char part = static_cast<char>(ToUpperAscii(c) - 'A' + 'a');
    if ((part == 'd' || part == 'm' || part == 'y') && IsLetter(c) &&
        std::find(order.begin(), order.begin() + found, part) == order.begin() + found) {
      order[found++] = part;
      if (found == 3) return order;
    }
  }
  return {'d', 'm', 'y'};
}

bool ScanDate(Scanner& in, const FormatSettings& fs, DateTime& result) {
  int values[3], digits[3];
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && !in.Char(fs.dateSeparator)) return false;
    if (!in.Number(4, values[i], digits[i])) return false;
  }
  const std::array<char, 3> order = DateOrder(fs.defaultDateFormat);
  int day = 0, month = 0, year = 0, yearDigits = 0;
  for (int i = 0; i < 3; ++i) {
    if (order[i] == 'd') day = values[i];
    if (order[i] == 'm') month = values[i];
    if (order[i] == 'y') year = values[i], yearDigits = digits[i];
  }
  if (yearDigits <= 2) year = ExpandTwoDigitYear(year, CurrentYear());
  return TryEncodeDate(year, month, day, result);
}

bool ScanTime(Scanner& in, const FormatSettings& fs, DateTime& result) {
  int hour, minute, second = 0, msec = 0, digits;
  if (!in.Number(2, hour, digits) || !in.Char(fs.timeSeparator) || !in.Number(2, minute, digits)) return false;
  if (in.Char(fs.timeSeparator)) {
    if (!in.Number(2, second, digits)) return false;
    if (in.Char(fs.decimalSeparator)) {
      if (!in.Number(3, msec, digits)) return false;
      for (; digits < 3; ++digits) msec *= 10;
    }
  }
  const std::size_t beforeMarker = in.Position();
  in.SkipSpaces();
  const bool am = in.Word("AM");
  const bool pm = !am && in.Word("PM");
  if (am || pm) {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (pm ? 12 : 0);
  } else {
    in.Restore(beforeMarker);
  }
  return TryEncodeTime(hour, minute, second, msec, result);
}

}  // namespace

bool TryStrToDate(std::string_view text, DateTime& result) {
  const FormatSettings fs = GetFormatSettings();
  Scanner in(text);
  in.SkipSpaces();
  DateTime date;
  if (!ScanDate(in, fs, date)) return false;
  in.SkipSpaces();
  if (!in.AtEnd()) return false;
  result = date;
  return true;
}

bool TryStrToTime(std::string_view text, DateTime& result) {
  const FormatSettings fs = GetFormatSettings();
  Scanner in(text);
  in.SkipSpaces();
  DateTime time;
  if (!ScanTime(in, fs, time)) return false;
  in.SkipSpaces();
  if (!in.AtEnd()) return false;
  result = time;
  return true;
}

bool TryStrToDateTime(std::string_view text, DateTime& result) {
  const FormatSettings fs = GetFormatSettings();
  Scanner in(text);
  in.SkipSpaces();
  DateTime date, time = 0;
  if (ScanDate(in, fs, date)) {
    const bool spaced = in.SkipSpaces() > 0;
    if (!in.AtEnd() && !(spaced && ScanTime(in, fs, time))) return false;
    in.SkipSpaces();
    if (!in.AtEnd()) return false;
    result = ComposeDateTime(date, time);
    return true;
  }
  return TryStrToTime(text, result);
}

namespace {

template <typename Parse>
DateTime ParseOrThrow(std::string_view text, Parse parse, const char* what) {
  DateTime result;
  if (!parse(text, result)) throw EConvertError("'" + std::string(text) + "' is not a valid " + what);
  return result;
}

}  // namespace

DateTime StrToDate(std::string_view text) { return ParseOrThrow(text, TryStrToDate, "date"); }
DateTime StrToTime(std::string_view text) { return ParseOrThrow(text, TryStrToTime, "time"); }
DateTime StrToDateTime(std::string_view text) { return ParseOrThrow(text, TryStrToDateTime, "date and time"); }

// ---------------------------------------------------------------- numbers

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string digits(buffer, written.ptr);
  std::string text;
  const std::size_t exponentAt = digits.find('e');
  text = digits.substr(0, exponentAt);
  if (exponentAt != std::string::npos) {
    // "e+15" -> "E15", "e-07" -> "E-7"
    std::size_t pos = exponentAt + 1;
    const bool negative = digits[pos] == '-';
    if (digits[pos] == '-' || digits[pos] == '+') ++pos;
    while (pos + 1 < digits.size() && digits[pos] == '0') ++pos;
    text += negative ? "E-" : "E";
    text += digits.substr(pos);
  }
  const char separator = DecimalSeparator();
  for (char& c : text) {
    if (c == '.') c = separator;
  }
  return text;
}

bool TryStrToFloat(std::string_view text, double& result) {
  const char separator = DecimalSeparator();
  std::size_t pos = 0;
  const auto skipSpaces = [&] { while (pos < text.size() && text[pos] == ' ') ++pos; };
  const auto copyDigits = [&](std::string& into) {
    std::size_t count = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos, ++count) into += text[pos];
    return count;
  };
  std::string normal;  // the number in the form std::from_chars reads
  skipSpaces();
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    if (text[pos] == '-') normal += '-';
    ++pos;
  }
  std::size_t mantissaDigits = copyDigits(normal);
  if (pos < text.size() && text[pos] == separator) {
    ++pos;
    normal += '.';
    mantissaDigits += copyDigits(normal);
  }
  if (mantissaDigits == 0) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    normal += 'e';
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) normal += text[pos++];
    if (copyDigits(normal) == 0) return false;
  }
  skipSpaces();
  if (pos != text.size()) return false;
  double value;
  const auto parsed = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != normal.data() + normal.size()) return false;
  result = value;
  return true;
}

bool TryStrToInt(std::string_view text, std::int32_t& result) {
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  const std::int64_t limit = negative ? std::int64_t{2147483648} : std::int64_t{2147483647};
  std::int64_t magnitude = 0;
  std::size_t digits = 0;
  for (; pos < text.size() && IsDigit(text[pos]); ++pos, ++digits) {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > limit) return false;
  }
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (digits == 0 || pos != text.size()) return false;
  result = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

double StrToFloat(std::string_view text) {
  double result;
  if (!TryStrToFloat(text, result)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  }
  return result;
}

std::int32_t StrToInt(std::string_view text) {
  std::int32_t result;
  if (!TryStrToInt(text, result)) throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return result;
}

}  // namespace dbu
