// Calendar arithmetic on DateTime, the date-and-time value shared by the
// data access layer, the workbook reader and the tasks.
//
// DateTime is a double: whole days since 30 December 1899, the fraction being
// the time of day. For a date before that day the whole part is negative and
// the fraction still counts forwards from midnight (-1.25 is 29 December 1899,
// 06:00). Dates run from 1 January 0001 to 31 December 9999 in the Gregorian
// calendar. Every routine that splits a DateTime first rounds it to the
// millisecond, so 23:59:59.9996 is midnight of the next day everywhere
// (decoding, DateOf, TimeOf, formatting). Values that are not finite or lie
// outside the calendar fail with EConvertError, never with a wrong date.
// Stateless and thread-safe.
#ifndef DBU_TEXT_DATETIME_H
#define DBU_TEXT_DATETIME_H

#include <cstdint>

#include "converterror.h"

namespace dbu {

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
// False (and the outputs untouched) for values outside the calendar.
bool TryDecodeDate(DateTime value, int& year, int& month, int& day);
void DecodeDate(DateTime value, int& year, int& month, int& day);  // throws
// 1 = Sunday ... 7 = Saturday; throws for values outside the calendar.
int DayOfWeek(DateTime value);

// Hours 0-23, minutes and seconds 0-59, milliseconds 0-999.
bool TryEncodeTime(int hour, int minute, int second, int msec, DateTime& result);
DateTime EncodeTime(int hour, int minute, int second, int msec);  // throws
// The time of day of any DateTime in the calendar; throws otherwise.
void DecodeTime(DateTime value, int& hour, int& minute, int& second, int& msec);

// A date (whole days) and a time of day (0 <= time < 1) joined the way
// DateTime counts: for negative dates the time is subtracted.
DateTime ComposeDateTime(DateTime date, DateTime time);
DateTime DateOf(DateTime value);  // the date at midnight; throws out of range
DateTime TimeOf(DateTime value);  // the time of day, 0 <= result < 1; throws

DateTime Today();  // local date at midnight
DateTime Now();    // local date and time, to the millisecond

// A two-digit year as written in a date text: the century is chosen so that
// the year lies in [currentYear - 50, currentYear + 49].
int ExpandTwoDigitYear(int twoDigitYear, int currentYear);

}  // namespace dbu

#endif  // DBU_TEXT_DATETIME_H
