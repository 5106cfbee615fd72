#include "formatsettings.h"

#include <langinfo.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace dbu {

namespace {

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
  int year, month, day, hour, minute, second, msec;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, msec);
  const int weekday = DayOfWeek(value) - 1;

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
  if (TimeOf(value) != 0) text += ' ' + Format(fs, fs.longTimeFormat, value);
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

// Day, month and year in the order the date format names them; day-month-
// year when the format leaves any of them out.
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
    const char part = ToUpperAscii(c);
    if (part != 'D' && part != 'M' && part != 'Y') continue;
    if (std::find(order.begin(), order.begin() + found, part) != order.begin() + found) continue;
    order[found++] = part;
    if (found == 3) return order;
  }
  return {'D', 'M', 'Y'};
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
    if (order[i] == 'D') day = values[i];
    if (order[i] == 'M') month = values[i];
    if (order[i] == 'Y') year = values[i], yearDigits = digits[i];
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

// A date, then either nothing more or spaces and a time.
bool ScanDateAndTime(Scanner& in, const FormatSettings& fs, DateTime& result) {
  DateTime date, time = 0;
  if (!ScanDate(in, fs, date)) return false;
  if (in.SkipSpaces() > 0 && !in.AtEnd() && !ScanTime(in, fs, time)) return false;
  result = ComposeDateTime(date, time);
  return true;
}

using ScanFunction = bool (*)(Scanner&, const FormatSettings&, DateTime&);

// The whole text, spaces around it aside, read by one scan function.
bool ParseWhole(std::string_view text, const FormatSettings& fs, ScanFunction scan, DateTime& result) {
  Scanner in(text);
  in.SkipSpaces();
  DateTime value;
  if (!scan(in, fs, value)) return false;
  in.SkipSpaces();
  if (!in.AtEnd()) return false;
  result = value;
  return true;
}

}  // namespace

bool TryStrToDate(std::string_view text, DateTime& result) {
  return ParseWhole(text, GetFormatSettings(), ScanDate, result);
}

bool TryStrToTime(std::string_view text, DateTime& result) {
  return ParseWhole(text, GetFormatSettings(), ScanTime, result);
}

bool TryStrToDateTime(std::string_view text, DateTime& result) {
  const FormatSettings fs = GetFormatSettings();
  return ParseWhole(text, fs, ScanDateAndTime, result) || ParseWhole(text, fs, ScanTime, result);
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
