#include "formatsettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace dbu {
namespace {

// Every test starts from the application's settings and puts the process's
// settings back afterwards.
class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetFormatSettings();
    SetFormatSettings(FormatSettings{});
  }
  void TearDown() override { SetFormatSettings(saved_); }

  static DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return ComposeDateTime(EncodeDate(y, mo, d), EncodeTime(h, mi, s, ms));
  }

 private:
  FormatSettings saved_;
};

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
  EXPECT_THROW(FormatDateTime("dd/MM/yyyy", 1e9), EConvertError);
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

// ---------------------------------------------------------------- settings

TEST(SettingsTest, DateSettingsFromLocalePatterns) {
  char separator = 0;
  std::string format;
  ASSERT_TRUE(DateSettingsFromStrftime("%d.%m.%Y", separator, format));
  EXPECT_EQ(separator, '.');
  EXPECT_EQ(format, "dd/MM/yyyy");
  ASSERT_TRUE(DateSettingsFromStrftime("%m/%d/%y", separator, format));
  EXPECT_EQ(separator, '/');
  EXPECT_EQ(format, "MM/dd/yyyy");
  ASSERT_TRUE(DateSettingsFromStrftime("%Y-%m-%d", separator, format));
  EXPECT_EQ(separator, '-');
  EXPECT_EQ(format, "yyyy/MM/dd");
  ASSERT_TRUE(DateSettingsFromStrftime("%F", separator, format));
  EXPECT_EQ(separator, '-');
  EXPECT_EQ(format, "yyyy/MM/dd");
  ASSERT_TRUE(DateSettingsFromStrftime("%-d.%-m.%Y", separator, format));
  EXPECT_EQ(separator, '.');
  // A separator outside plain ASCII is not usable as a single character.
  ASSERT_TRUE(DateSettingsFromStrftime("%Y\xe5\xb9\xb4%m\xe6\x9c\x88%d\xe6\x97\xa5", separator, format));
  EXPECT_EQ(separator, '/');
  EXPECT_EQ(format, "yyyy/MM/dd");

  separator = 'x';
  format = "unchanged";
  EXPECT_FALSE(DateSettingsFromStrftime("%H:%M", separator, format));
  EXPECT_FALSE(DateSettingsFromStrftime("%d/%m", separator, format));
  EXPECT_FALSE(DateSettingsFromStrftime("%d/%d/%Y", separator, format));
  EXPECT_EQ(separator, 'x');
  EXPECT_EQ(format, "unchanged");
}

TEST(SettingsTest, CLocaleGivesTheApplicationFormat) {
  // Tests never call setlocale, so LC_TIME is "C" here.
  const FormatSettings initial = InitialFormatSettings();
  EXPECT_EQ(initial.dateSeparator, '/');
  EXPECT_EQ(initial.defaultDateFormat, "dd/MM/yyyy");
  EXPECT_EQ(initial.timeSeparator, ':');
  EXPECT_EQ(initial.longTimeFormat, "hh:nn:ss");
  EXPECT_EQ(initial.decimalSeparator, '.');
}

TEST_F(FormatTest, SettersChangeWhatGettersReturn) {
  SetDateSeparator('-');
  SetTimeSeparator('.');
  SetDecimalSeparator(',');
  SetDefaultDateFormat("yyyy/MM/dd");
  SetLongTimeFormat("hh:nn");
  EXPECT_EQ(DateSeparator(), '-');
  EXPECT_EQ(TimeSeparator(), '.');
  EXPECT_EQ(DecimalSeparator(), ',');
  EXPECT_EQ(DefaultDateFormat(), "yyyy/MM/dd");
  EXPECT_EQ(LongTimeFormat(), "hh:nn");
  EXPECT_EQ(GetFormatSettings().defaultDateFormat, "yyyy/MM/dd");
}

// ---------------------------------------------------------------- formatting

TEST_F(FormatTest, DatePatternsAndSeparators) {
  const DateTime d = At(2005, 5, 24, 14, 5, 9, 7);
  EXPECT_EQ(FormatDateTime("dd/MM/yyyy", d), "24/05/2005");
  EXPECT_EQ(FormatDateTime("d/m/yy", At(2005, 1, 2)), "2/1/05");
  EXPECT_EQ(FormatDateTime("dd/mm/y", At(2005, 1, 2)), "02/01/05");
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", d), "Tue Tuesday May May");
  EXPECT_EQ(FormatDateTime("mmm mmmm", At(2005, 9, 1)), "Sep September");
  EXPECT_EQ(FormatDateTime("yyyyMM", d), "200505");
  EXPECT_EQ(FormatDateTime("DD-MM-YYYY", d), "24-05-2005");
  EXPECT_EQ(FormatDateTime("yyyy", At(5, 1, 1)), "0005");
  EXPECT_EQ(FormatDateTime("dddd", EncodeDate(2006, 1, 1)), "Sunday");
  EXPECT_EQ(FormatDateTime("dddd", 0), "Saturday");

  SetDateSeparator('-');
  EXPECT_EQ(FormatDateTime("dd/MM/yyyy", d), "24-05-2005");
  SetDateSeparator('.');
  EXPECT_EQ(DateToStr(d), "24.05.2005");
}

TEST_F(FormatTest, TimePatternsAndTwelveHourClock) {
  const DateTime d = At(2005, 5, 24, 14, 5, 9, 7);
  EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz", d), "14:05:09.007");
  EXPECT_EQ(FormatDateTime("h:n:s.z", d), "14:5:9.7");
  EXPECT_EQ(FormatDateTime("h:mm", d), "14:05");        // m after h is minutes
  EXPECT_EQ(FormatDateTime("hh:mm:ss", d), "14:05:09");
  EXPECT_EQ(FormatDateTime("hh dd mm", d), "14 24 05");  // ...but not after another letter
  EXPECT_EQ(FormatDateTime("h:nn am/pm", d), "2:05 pm");
  EXPECT_EQ(FormatDateTime("hh:nn AM/PM", d), "02:05 PM");
  EXPECT_EQ(FormatDateTime("h:nn AM/PM", At(2005, 5, 24, 0, 30)), "12:30 AM");
  EXPECT_EQ(FormatDateTime("h:nn AM/PM", At(2005, 5, 24, 12, 0)), "12:00 PM");
  EXPECT_EQ(FormatDateTime("h a/p", d), "2 p");
  EXPECT_EQ(FormatDateTime("h a/p", At(2005, 5, 24, 9)), "9 a");
  EXPECT_EQ(FormatDateTime("hh \"am/pm\" hh", d), "14 am/pm 14");  // a quoted marker is text

  SetTimeSeparator('.');
  EXPECT_EQ(FormatDateTime("hh:nn", d), "14.05");
}

TEST_F(FormatTest, QuotedTextAndOtherCharactersAreCopied) {
  const DateTime d = At(2005, 5, 24);
  EXPECT_EQ(FormatDateTime("'Date:' dd", d), "Date: 24");
  EXPECT_EQ(FormatDateTime("\"yyyy\" yyyy", d), "yyyy 2005");
  EXPECT_EQ(FormatDateTime("'/' /", d), "/ /");
  EXPECT_EQ(FormatDateTime("dd 'open", d), "24 open");
  EXPECT_EQ(FormatDateTime("[dd] #x", d), "[24] #x");
  EXPECT_EQ(FormatDateTime("", d), "");
}

TEST_F(FormatTest, DefaultTextsAndMidnight) {
  EXPECT_EQ(DateToStr(At(2005, 5, 24, 14)), "24/05/2005");
  EXPECT_EQ(TimeToStr(At(2005, 5, 24, 14, 5, 9)), "14:05:09");
  EXPECT_EQ(DateTimeToStr(At(2005, 5, 24, 14, 5, 9)), "24/05/2005 14:05:09");
  EXPECT_EQ(DateTimeToStr(At(2005, 5, 24)), "24/05/2005");
  EXPECT_EQ(DateTimeToStr(0.5), "30/12/1899 12:00:00");
  // 23:59:59.9996 shows as the next midnight, not as 24:00:00 or 23:59:60.
  const DateTime almost = EncodeDate(2005, 12, 31) + (kMSecsPerDay - 0.4) / kMSecsPerDay;
  EXPECT_EQ(DateTimeToStr(almost), "01/01/2006");
  SetDefaultDateFormat("yyyy/MM/dd");
  SetDateSeparator('-');
  EXPECT_EQ(DateToStr(EncodeDate(2005, 5, 24)), "2005-05-24");
}

// ---------------------------------------------------------------- parsing

TEST_F(FormatTest, DatesFollowTheDefaultFormatAndSeparator) {
  DateTime out = -7;
  ASSERT_TRUE(TryStrToDate("24/05/2005", out));
  EXPECT_EQ(out, EncodeDate(2005, 5, 24));
  ASSERT_TRUE(TryStrToDate("  1/2/2005 ", out));
  EXPECT_EQ(out, EncodeDate(2005, 2, 1));
  ASSERT_TRUE(TryStrToDate("30/12/1899", out));
  EXPECT_EQ(out, 0.0);

  SetDateSeparator('.');
  EXPECT_FALSE(TryStrToDate("30/12/1899", out));
  ASSERT_TRUE(TryStrToDate("30.12.1899", out));
  SetDateSeparator('-');
  ASSERT_TRUE(TryStrToDate("24-05-2005", out));
  EXPECT_EQ(out, EncodeDate(2005, 5, 24));
  EXPECT_FALSE(TryStrToDate("24/05/2005", out));

  SetDateSeparator('/');
  SetDefaultDateFormat("MM/dd/yyyy");
  ASSERT_TRUE(TryStrToDate("05/24/2005", out));
  EXPECT_EQ(out, EncodeDate(2005, 5, 24));
  EXPECT_FALSE(TryStrToDate("24/05/2005", out));
  SetDefaultDateFormat("yyyy/MM/dd");
  ASSERT_TRUE(TryStrToDate("2005/05/24", out));
  EXPECT_EQ(out, EncodeDate(2005, 5, 24));
}

TEST_F(FormatTest, BadDateTextsAreRejected) {
  DateTime out = -7;
  for (const char* text : {"", " ", "24/05", "24/05/", "/05/2005", "24//2005", "24/05/2005x", "a4/05/2005",
                           "24/05/20055", "24 /05/2005", "31/04/2005", "29/02/2005", "29/02/1900",
                           "00/01/2005", "01/13/2005", "01/01/0000", "+1/01/2005", "24/05/2005 12:00"}) {
    EXPECT_FALSE(TryStrToDate(text, out)) << text;
  }
  EXPECT_EQ(out, -7);
  EXPECT_TRUE(TryStrToDate("29/02/2004", out));
  try {
    StrToDate("31/04/2005");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'31/04/2005' is not a valid date");
  }
}

TEST_F(FormatTest, TwoDigitYearsInDateTexts) {
  DateTime out;
  ASSERT_TRUE(TryStrToDate("01/01/05", out));
  EXPECT_EQ(out, EncodeDate(2005, 1, 1));
  ASSERT_TRUE(TryStrToDate("01/01/0005", out));  // four digits are taken as written
  EXPECT_EQ(out, EncodeDate(5, 1, 1));
  ASSERT_TRUE(TryStrToDate("01/01/205", out));
  EXPECT_EQ(out, EncodeDate(205, 1, 1));
}

TEST_F(FormatTest, TimeTexts) {
  DateTime out = -7;
  ASSERT_TRUE(TryStrToTime("14:05", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 0, 0));
  ASSERT_TRUE(TryStrToTime(" 14:05:09 ", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 9, 0));
  ASSERT_TRUE(TryStrToTime("14:05:09.5", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 9, 500));
  ASSERT_TRUE(TryStrToTime("14:05:09.007", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 9, 7));
  ASSERT_TRUE(TryStrToTime("2:05 pm", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 0, 0));
  ASSERT_TRUE(TryStrToTime("12:00AM", out));
  EXPECT_EQ(out, 0.0);
  ASSERT_TRUE(TryStrToTime("12:30 PM", out));
  EXPECT_EQ(out, EncodeTime(12, 30, 0, 0));

  out = -7;
  for (const char* text : {"", "14", "14:", "24:00", "14:60", "14:05:60", "13:00 PM", "0:10 AM",
                           "14:05:09.1234", "14:05:09.", "14:05 XM", "14:05:09:01", "14-05"}) {
    EXPECT_FALSE(TryStrToTime(text, out)) << text;
  }
  EXPECT_EQ(out, -7);
  EXPECT_THROW(StrToTime("25:00"), EConvertError);

  SetTimeSeparator('.');
  SetDecimalSeparator(',');
  ASSERT_TRUE(TryStrToTime("14.05.09,25", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 9, 250));
}

TEST_F(FormatTest, DateAndTimeTexts) {
  DateTime out = -7;
  ASSERT_TRUE(TryStrToDateTime("24/05/2005 14:05:09", out));
  EXPECT_EQ(out, At(2005, 5, 24, 14, 5, 9));
  ASSERT_TRUE(TryStrToDateTime("24/05/2005", out));
  EXPECT_EQ(out, EncodeDate(2005, 5, 24));
  ASSERT_TRUE(TryStrToDateTime("14:05", out));
  EXPECT_EQ(out, EncodeTime(14, 5, 0, 0));
  ASSERT_TRUE(TryStrToDateTime("29/12/1899 06:00", out));
  EXPECT_EQ(out, -1.25);

  out = -7;
  for (const char* text : {"24/05/2005 junk", "24/05/200514:05", "24/05/2005 25:00", "31/04/2005 10:00", ""}) {
    EXPECT_FALSE(TryStrToDateTime(text, out)) << text;
  }
  EXPECT_EQ(out, -7);
  try {
    StrToDateTime("24/05/2005 x");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'24/05/2005 x' is not a valid date and time");
  }

  // What DateTimeToStr writes reads back, under other separators too.
  SetDateSeparator('.');
  SetTimeSeparator('.');
  for (DateTime value : {At(2005, 5, 24, 14, 5, 9), At(1899, 12, 29, 6), At(2006, 1, 1)}) {
    ASSERT_TRUE(TryStrToDateTime(DateTimeToStr(value), out)) << DateTimeToStr(value);
    EXPECT_EQ(out, value);
  }
}

// ---------------------------------------------------------------- numbers

TEST_F(FormatTest, FloatTextsAreShortestUpToFifteenDigits) {
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FloatToStr(2.0 / 3), "0.666666666666667");
  EXPECT_EQ(FloatToStr(100), "100");
  EXPECT_EQ(FloatToStr(-2.5), "-2.5");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(123456.789), "123456.789");
  EXPECT_EQ(FloatToStr(1e14), "100000000000000");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(123456789012345678.0), "1.23456789012346E17");
  EXPECT_EQ(FloatToStr(0.0001), "0.0001");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(-1.5e-7), "-1.5E-7");
  EXPECT_EQ(FloatToStr(1e-300), "1E-300");
  EXPECT_EQ(FloatToStr(std::nan("")), "NAN");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  SetDecimalSeparator(',');
  EXPECT_EQ(FloatToStr(2.5), "2,5");
}

TEST_F(FormatTest, FloatTexts) {
  double out = -7;
  ASSERT_TRUE(TryStrToFloat("2.5", out));
  EXPECT_EQ(out, 2.5);
  ASSERT_TRUE(TryStrToFloat(" -2.5 ", out));
  EXPECT_EQ(out, -2.5);
  ASSERT_TRUE(TryStrToFloat("+1e3", out));
  EXPECT_EQ(out, 1000);
  ASSERT_TRUE(TryStrToFloat(".5", out));
  EXPECT_EQ(out, 0.5);
  ASSERT_TRUE(TryStrToFloat("5.", out));
  EXPECT_EQ(out, 5);
  ASSERT_TRUE(TryStrToFloat("1.5E-7", out));
  EXPECT_EQ(out, 1.5e-7);
  ASSERT_TRUE(TryStrToFloat(FloatToStr(1.0 / 3), out));
  EXPECT_EQ(FloatToStr(out), "0.333333333333333");

  out = -7;
  for (const char* text : {"", " ", ".", "-", "e5", "1e", "1e+", "2,5", "1.2.3", "abc", "1 2", "0x10", "1e999",
                           "-1e999", "nan", "inf", "--1", "1d"}) {
    EXPECT_FALSE(TryStrToFloat(text, out)) << text;
  }
  EXPECT_EQ(out, -7);

  SetDecimalSeparator(',');
  ASSERT_TRUE(TryStrToFloat("2,5", out));
  EXPECT_EQ(out, 2.5);
  EXPECT_FALSE(TryStrToFloat("2.5", out));
  try {
    StrToFloat("2.5");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'2.5' is not a valid floating point value");
  }
}

TEST(NumberTest, IntegerTexts) {
  std::int32_t out = -7;
  ASSERT_TRUE(TryStrToInt("2147483647", out));
  EXPECT_EQ(out, 2147483647);
  ASSERT_TRUE(TryStrToInt("-2147483648", out));
  EXPECT_EQ(out, std::numeric_limits<std::int32_t>::min());
  ASSERT_TRUE(TryStrToInt(" +42 ", out));
  EXPECT_EQ(out, 42);
  ASSERT_TRUE(TryStrToInt("007", out));
  EXPECT_EQ(out, 7);

  out = -7;
  for (const char* text : {"2147483648", "-2147483649", "99999999999999999999999", "", " ", "-", "+", "12a",
                           "1 2", "1.0", "0x10", "--1"}) {
    EXPECT_FALSE(TryStrToInt(text, out)) << text;
  }
  EXPECT_EQ(out, -7);
  try {
    StrToInt("12a");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
  }
}

}  // namespace
}  // namespace dbu
