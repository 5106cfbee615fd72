#include "datetime.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

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
  throw EConvertError("Date and time value out of range: " + NumberForMessage(value));
}

SplitTime SplitOrThrow(DateTime value) {
  SplitTime split;
  if (!TrySplit(value, split)) ThrowOutOfRange(value);
  return split;
}

}  // namespace

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

int DayOfWeek(DateTime value) {
  const std::int64_t days = SplitOrThrow(value).days;
  return static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;  // day 0 was a Saturday
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

}  // namespace dbu
