#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "currency.h"
#include "datetime.h"

namespace dbu {
namespace {

// ---------------------------------------------------------------- calendar

TEST(CalendarTest, LeapYearsAndMonthLengths) {
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_TRUE(IsLeapYear(2004));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_FALSE(IsLeapYear(2005));
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(1900, 2), 28);
  EXPECT_EQ(DaysInMonth(2005, 4), 30);
  EXPECT_EQ(DaysInMonth(2005, 12), 31);
  EXPECT_EQ(DaysInMonth(2005, 13), 0);
  EXPECT_EQ(DaysInMonth(0, 1), 0);
}

TEST(CalendarTest, KnownDayNumbers) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2006, 1, 1), 38718.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), kMinDateTime);
  EXPECT_EQ(EncodeDate(9999, 12, 31), kMaxDateTime);
  EXPECT_EQ(DayOfWeek(0), 7);  // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(2006, 1, 1)), 1);
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 24)), 1);
  EXPECT_EQ(DayOfWeek(-1.5), 6);
}

TEST(CalendarTest, InvalidDatesAreRejected) {
  DateTime out = 123;
  EXPECT_FALSE(TryEncodeDate(2005, 4, 31, out));
  EXPECT_FALSE(TryEncodeDate(2005, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(2005, 0, 1, out));
  EXPECT_FALSE(TryEncodeDate(2005, 1, 0, out));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, out));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, out));
  EXPECT_EQ(out, 123);
  EXPECT_TRUE(TryEncodeDate(2004, 2, 29, out));
  EXPECT_THROW(EncodeDate(2005, 4, 31), EConvertError);
}

TEST(CalendarTest, EveryDayRoundTripsAndFollowsTheDayBefore) {
  int y = 1, m = 1, d = 1;
  for (DateTime day = kMinDateTime; day <= kMaxDateTime; day += 1) {
    int year, month, dayOfMonth;
    ASSERT_TRUE(TryDecodeDate(day, year, month, dayOfMonth)) << day;
    ASSERT_EQ(year * 10000 + month * 100 + dayOfMonth, y * 10000 + m * 100 + d) << day;
    ASSERT_EQ(EncodeDate(year, month, dayOfMonth), day);
    if (++d > DaysInMonth(y, m)) {
      d = 1;
      if (++m > 12) m = 1, ++y;
    }
  }
  EXPECT_EQ(y, 10000);
}

TEST(CalendarTest, TimesAndRoundingToTheMillisecond) {
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  DateTime out;
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, out));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, out));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, out));
  EXPECT_FALSE(TryEncodeTime(-1, 0, 0, 0, out));

  int h, n, s, ms;
  DecodeTime(EncodeDate(2005, 5, 24) + EncodeTime(14, 5, 9, 7), h, n, s, ms);
  EXPECT_EQ((h * 100 + n) * 100 + s, 140509);
  EXPECT_EQ(ms, 7);

  // 0.4 ms rounds down, 0.6 ms up; just before midnight rounds into the next day.
  const double msDay = 1.0 / kMSecsPerDay;
  DecodeTime(0.5 + 0.4 * msDay, h, n, s, ms);
  EXPECT_EQ(ms, 0);
  DecodeTime(0.5 + 0.6 * msDay, h, n, s, ms);
  EXPECT_EQ(ms, 1);
  const DateTime almostMidnight = EncodeDate(2005, 12, 31) + EncodeTime(23, 59, 59, 999) + 0.6 * msDay;
  EXPECT_EQ(DateOf(almostMidnight), EncodeDate(2006, 1, 1));
  EXPECT_EQ(TimeOf(almostMidnight), 0.0);
}

TEST(CalendarTest, NegativeDatesCountTheTimeForwards) {
  const DateTime value = ComposeDateTime(EncodeDate(1899, 12, 29), EncodeTime(6, 0, 0, 0));
  EXPECT_EQ(value, -1.25);
  int y, m, d, h, n, s, ms;
  DecodeDate(value, y, m, d);
  DecodeTime(value, h, n, s, ms);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
  EXPECT_EQ(h, 6);
  EXPECT_EQ(DateOf(value), -1.0);
  EXPECT_EQ(TimeOf(value), 0.25);
}

TEST(CalendarTest, ValuesOutsideTheCalendarFailCleanly) {
  int y = 0, m = 0, d = 0;
  EXPECT_FALSE(TryDecodeDate(std::nan(""), y, m, d));
  EXPECT_FALSE(TryDecodeDate(std::numeric_limits<double>::infinity(), y, m, d));
  EXPECT_FALSE(TryDecodeDate(1e300, y, m, d));
  EXPECT_FALSE(TryDecodeDate(kMaxDateTime + 1, y, m, d));
  EXPECT_FALSE(TryDecodeDate(kMinDateTime - 1, y, m, d));
  EXPECT_EQ(y + m + d, 0);
  EXPECT_THROW(DecodeDate(-1e18, y, m, d), EConvertError);
  EXPECT_THROW(DateOf(std::nan("")), EConvertError);
  EXPECT_THROW(DayOfWeek(kMaxDateTime + 1), EConvertError);
}

TEST(CalendarTest, TwoDigitYearsLieWithinFiftyYearsOfNow) {
  EXPECT_EQ(ExpandTwoDigitYear(5, 2026), 2005);
  EXPECT_EQ(ExpandTwoDigitYear(75, 2026), 2075);
  EXPECT_EQ(ExpandTwoDigitYear(76, 2026), 1976);
  EXPECT_EQ(ExpandTwoDigitYear(99, 2000), 1999);
  EXPECT_EQ(ExpandTwoDigitYear(49, 2000), 2049);
  EXPECT_EQ(ExpandTwoDigitYear(50, 2000), 1950);
}

TEST(CalendarTest, TodayIsNowWithoutTheTime) {
  const DateTime now = Now();
  const DateTime today = Today();
  EXPECT_EQ(today, std::floor(today));
  EXPECT_LE(today, now);
  EXPECT_LT(now - today, 1.0 + 1e-6);  // a midnight between the two calls leaves them a day apart
  EXPECT_GT(today, EncodeDate(2020, 1, 1));
}

// ---------------------------------------------------------------- currency

TEST(CurrencyTest, ConversionsRoundToTheNearestTenThousandth) {
  Currency out = Currency::FromRaw(7);
  EXPECT_EQ(Currency::FromDouble(1.23456).value, 12346);
  EXPECT_EQ(Currency::FromDouble(-1.23456).value, -12346);
  EXPECT_EQ(Currency::FromDouble(1.23454).value, 12345);
  EXPECT_EQ(Currency::FromDouble(0.1 + 0.2).value, 3000);
  EXPECT_EQ(Currency::FromDouble(900000000000000.0).value, 9000000000000000000);
  EXPECT_FALSE(Currency::TryFromDouble(922337203685478.0, out));  // just past the 64-bit range
  EXPECT_EQ(Currency::FromRaw(12345).ToDouble(), 1.2345);
  EXPECT_EQ(Currency::FromRaw(-5).ToDouble(), -0.0005);

  EXPECT_FALSE(Currency::TryFromDouble(std::nan(""), out));
  EXPECT_FALSE(Currency::TryFromDouble(1e300, out));
  EXPECT_FALSE(Currency::TryFromDouble(-1e15, out));
  EXPECT_EQ(out.value, 7);
  EXPECT_THROW(Currency::FromDouble(std::numeric_limits<double>::infinity()), EConvertError);
}

TEST(CurrencyTest, AdditionIsExactAndChecked) {
  Currency sum;
  for (int i = 0; i < 10; ++i) sum += Currency::FromDouble(0.1);
  EXPECT_EQ(sum, Currency::FromRaw(10000));
  EXPECT_EQ(Currency::FromRaw(3) - Currency::FromRaw(5), Currency::FromRaw(-2));
  EXPECT_LT(Currency::FromRaw(-1), Currency::FromRaw(0));
  const Currency max = Currency::FromRaw(std::numeric_limits<std::int64_t>::max());
  const Currency min = Currency::FromRaw(std::numeric_limits<std::int64_t>::min());
  EXPECT_THROW(max + Currency::FromRaw(1), EConvertError);
  EXPECT_THROW(min - Currency::FromRaw(1), EConvertError);
  EXPECT_EQ(max + min, Currency::FromRaw(-1));
}

}  // namespace
}  // namespace dbu
