#include "formatsettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

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
  // Tests run under "C" (those under another locale give it back), so LC_TIME is "C" here.
  const FormatSettings initial = InitialFormatSettings();
  EXPECT_EQ(initial.dateSeparator, '/');
  EXPECT_EQ(initial.defaultDateFormat, "dd/MM/yyyy");
  EXPECT_EQ(initial.timeSeparator, ':');
  EXPECT_EQ(initial.longTimeFormat, "hh:nn:ss");
  EXPECT_EQ(initial.decimalSeparator, '.');
}

// Each conversion works from one snapshot: while another thread switches
// between two whole settings records, a formatted date is always wholly in
// one of them, never a mix of one's separator and the other's order.
TEST_F(FormatTest, ConversionsSeeOneConsistentSnapshot) {
  FormatSettings dotted;
  dotted.dateSeparator = '.';
  FormatSettings iso;
  iso.dateSeparator = '-';
  iso.defaultDateFormat = "yyyy/MM/dd";
  SetFormatSettings(iso);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) SetFormatSettings(i % 2 ? dotted : iso);
  });
  const DateTime d = EncodeDate(2005, 5, 24);
  std::string mixed;
  for (int i = 0; i < 200000 && mixed.empty(); ++i) {
    const std::string text = DateToStr(d);
    if (text != "24.05.2005" && text != "2005-05-24") mixed = text;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(mixed, "");
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

TEST_F(FormatTest, ValuesOutsideTheCalendarDoNotFormat) {
  EXPECT_THROW(FormatDateTime("dd/MM/yyyy", 1e9), EConvertError);
  EXPECT_THROW(DateTimeToStr(std::nan("")), EConvertError);
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
