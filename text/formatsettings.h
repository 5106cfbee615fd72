// Process-wide date, time and number formatting, and the value types they
// work on.
//
// DateTime is a double: whole days since 30 December 1899, the fraction being
// the time of day. For a date before that day the whole part is negative and
// the fraction still counts forwards from midnight (-1.25 is 29 December 1899,
// 06:00). Dates run from 1 January 0001 to 31 December 9999; every routine that
// splits a DateTime first rounds it to the millisecond, so 23:59:59.9999 is
// midnight of the next day everywhere (formatting, DateOf, TimeOf).
//
// Currency is a 64-bit count of ten-thousandths; additions are exact and
// checked for overflow.
//
// The format settings (separators, DefaultDateFormat, long time format) are
// one process-wide record. Reads and writes are thread-safe; every conversion
// takes one consistent snapshot of the record when it starts. The record is
// filled from the process's current LC_TIME locale the first time it is used;
// the program itself never calls setlocale. See InitialFormatSettings.
//
// Names of days and months and the AM/PM markers are English and fixed.
// Failures of the throwing variants are EConvertError.
#ifndef DBU_TEXT_FORMATSETTINGS_H
#define DBU_TEXT_FORMATSETTINGS_H

#include <compare>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dbu {

// A text or number that does not convert, or a date or time out of range.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- DateTime

using DateTime = double;

constexpr int kMinYear = 1;
constexpr int kMaxYear = 9999;
constexpr DateTime kMinDateTime = -693593.0;  // 0001-01-01
constexpr DateTime kMaxDateTime = 2958465.0;  // 9999-12-31 (whole day)
constexpr std::int64_t kMSecsPerDay = 86400000;

bool IsLeapYear(int year);
// 0 when year or month is out of range.
int DaysInMonth(int year, int month);

bool TryEncodeDate(int year, int month, int day, DateTime& result);
DateTime EncodeDate(int year, int month, int day);  // throws EConvertError
// False (and the outputs untouched) when the value is not finite or lies
// outside the years 1 to 9999.
bool TryDecodeDate(DateTime value, int& year, int& month, int& day);
void DecodeDate(DateTime value, int& year, int& month, int& day);  // throws

// Hours 0-23, minutes and seconds 0-59, milliseconds 0-999.
bool TryEncodeTime(int hour, int minute, int second, int msec, DateTime& result);
DateTime EncodeTime(int hour, int minute, int second, int msec);  // throws
// The time of day of any DateTime, rounded to the millisecond. Throws for
// values that TryDecodeDate rejects.
void DecodeTime(DateTime value, int& hour, int& minute, int& second, int& msec);

// A date (whole days) and a time of day (0 <= time < 1) joined the way
// DateTime counts: for negative dates the time is subtracted.
DateTime ComposeDateTime(DateTime date, DateTime time);
DateTime DateOf(DateTime value);  // the date at midnight; throws out of range
DateTime TimeOf(DateTime value);  // the time of day, 0 <= result < 1; throws

DateTime Today();  // local date at midnight
DateTime Now();    // local date and time, to the millisecond

// A two-digit year as written in a date text: the century is chosen so the
// year lies in [currentYear - 50, currentYear + 49].
int ExpandTwoDigitYear(int twoDigitYear, int currentYear);

// ---------------------------------------------------------------- Currency

struct Currency {
  static constexpr std::int64_t kScale = 10000;

  std::int64_t value = 0;  // ten-thousandths

  static constexpr Currency FromRaw(std::int64_t tenThousandths) { return Currency{tenThousandths}; }
  // Rounds to the nearest ten-thousandth, halves away from zero. False for
  // NaN, infinities and amounts beyond the 64-bit range.
  static bool TryFromDouble(double amount, Currency& result);
  static Currency FromDouble(double amount);  // throws EConvertError
  double ToDouble() const;

  // Exact; throws EConvertError on overflow.
  friend Currency operator+(Currency a, Currency b);
  friend Currency operator-(Currency a, Currency b);
  Currency& operator+=(Currency other) { return *this = *this + other; }
  friend constexpr auto operator<=>(Currency, Currency) = default;
};

// ---------------------------------------------------------------- settings

struct FormatSettings {
  char dateSeparator = '/';
  char timeSeparator = ':';
  char decimalSeparator = '.';
  std::string defaultDateFormat = "dd/MM/yyyy";  // short date format
  std::string longTimeFormat = "hh:nn:ss";
};

// What the settings start as: the date separator and the order of day, month
// and year come from nl_langinfo(D_FMT) of the current LC_TIME; day and month
// are always written with two digits and the year with four. In the C and
// POSIX locales (whose D_FMT is the US "%m/%d/%y") the format is the
// application's own "dd/MM/yyyy" with "/". Time separator ":", long time
// format "hh:nn:ss" and decimal separator "." are fixed.
FormatSettings InitialFormatSettings();
// The part of the above that reads a strftime date pattern; false (outputs
// untouched) when the pattern does not name day, month and year.
bool DateSettingsFromStrftime(std::string_view pattern, char& separator,
                              std::string& shortDateFormat);

FormatSettings GetFormatSettings();
void SetFormatSettings(const FormatSettings& settings);

char DateSeparator();
void SetDateSeparator(char separator);
char TimeSeparator();
void SetTimeSeparator(char separator);
char DecimalSeparator();
void SetDecimalSeparator(char separator);
std::string DefaultDateFormat();
void SetDefaultDateFormat(std::string_view format);
std::string LongTimeFormat();
void SetLongTimeFormat(std::string_view format);

// ---------------------------------------------------------------- formatting

// Pattern letters (case does not matter except in am/pm):
//   d dd ddd dddd   day; two digits; short name; long name
//   m mm mmm mmmm   month; two digits; short name; long name (also M, MM);
//                   m or mm whose previous pattern letter is h means minutes
//   n nn            minutes      s ss   seconds      z zzz   milliseconds
//   yy yyyy         two- or four-digit year (y counts as yy)
//   h hh            hour; 12-hour when "am/pm" or "a/p" follows before the
//                   next h; the marker is written in the case it is given
//   /  :            the date separator, the time separator
//   '...' "..."     copied without the quotes
// Any other character is copied. Throws EConvertError when the value lies
// outside the years 1 to 9999.
std::string FormatDateTime(std::string_view pattern, DateTime value);
std::string DateToStr(DateTime value);      // DefaultDateFormat
std::string TimeToStr(DateTime value);      // long time format
std::string DateTimeToStr(DateTime value);  // date, blank, time; no time at midnight

// ---------------------------------------------------------------- parsing

// Day, month and year in the order of DefaultDateFormat, separated by the
// date separator; spaces around the text are ignored. A year of one or two
// digits is expanded with ExpandTwoDigitYear. All three parts are required.
bool TryStrToDate(std::string_view text, DateTime& result);
// h:n, h:n:s or h:n:s.fff (time separator; the fraction after the decimal
// separator is a fraction of a second), optionally followed by AM or PM
// (any case, after optional spaces), which then needs an hour of 1 to 12.
bool TryStrToTime(std::string_view text, DateTime& result);
// A date, optionally followed by spaces and a time; or a time alone.
bool TryStrToDateTime(std::string_view text, DateTime& result);

// Throwing forms, with the texts "'%s' is not a valid date", "... time",
// "... date and time".
DateTime StrToDate(std::string_view text);
DateTime StrToTime(std::string_view text);
DateTime StrToDateTime(std::string_view text);

// ---------------------------------------------------------------- numbers

// The shortest text that reads back as the value rounded to 15 significant
// digits, with the decimal separator. Exponent form ("1E15", "1.5E-7") once
// the decimal exponent reaches 15 or falls below -4, as "%.15g" would choose.
// "NAN", "INF" and "-INF" for the special values; -0 gives "0".
std::string FloatToStr(double value);
// [spaces][sign]digits[sep digits][e|E[sign]digits][spaces], where sep is
// the decimal separator and at least one mantissa digit is present. False
// when the value overflows a double.
bool TryStrToFloat(std::string_view text, double& result);
// [spaces][sign]digits[spaces] within the 32-bit range.
bool TryStrToInt(std::string_view text, std::int32_t& result);

double StrToFloat(std::string_view text);       // "'%s' is not a valid floating point value"
std::int32_t StrToInt(std::string_view text);   // "'%s' is not a valid integer value"

}  // namespace dbu

#endif  // DBU_TEXT_FORMATSETTINGS_H
