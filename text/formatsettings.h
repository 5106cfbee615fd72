// Process-wide date, time and number formatting: the format settings, and
// the conversions between texts and DateTime, double and 32-bit integers
// that use them. Including this header also gives DateTime and Currency.
//
// The format settings (separators, DefaultDateFormat, long time format) are
// one process-wide record. Reads and writes are thread-safe; every conversion
// takes one consistent snapshot of the record when it starts. The record is
// filled from the process's current LC_TIME locale the first time it is used;
// the program itself never changes LC_TIME. See InitialFormatSettings.
//
// Names of days and months and the AM/PM markers are English and fixed.
// Failures of the throwing variants are EConvertError.
#ifndef DBU_TEXT_FORMATSETTINGS_H
#define DBU_TEXT_FORMATSETTINGS_H

#include <cstdint>
#include <string>
#include <string_view>

#include "converterror.h"
#include "currency.h"
#include "datetime.h"

namespace dbu {

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
