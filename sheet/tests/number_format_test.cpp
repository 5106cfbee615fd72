// Number format codes rendered as a spreadsheet shows them.
#include <gtest/gtest.h>

#include "number_format.h"

namespace dbu::sheet {
namespace {

std::string Fmt(const std::string& code, double v, bool date1904 = false) {
  return FormatCode::Parse(code).FormatNumber(v, date1904);
}

TEST(FormatGeneralTest, ShowsNumbersInElevenCharacters) {
  EXPECT_EQ(FormatGeneral(0), "0");
  EXPECT_EQ(FormatGeneral(3.5), "3.5");
  EXPECT_EQ(FormatGeneral(-2.5), "-2.5");
  EXPECT_EQ(FormatGeneral(1234567), "1234567");
  EXPECT_EQ(FormatGeneral(1.0 / 3), "0.333333333");
  EXPECT_EQ(FormatGeneral(2.0 / 3), "0.666666667");
  EXPECT_EQ(FormatGeneral(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatGeneral(12345678901.0), "12345678901");
  EXPECT_EQ(FormatGeneral(123456789012.0), "1.23457E+11");
  EXPECT_EQ(FormatGeneral(1e15), "1E+15");
  EXPECT_EQ(FormatGeneral(-1e15), "-1E+15");
  EXPECT_EQ(FormatGeneral(1.5e-7), "1.5E-07");
  EXPECT_EQ(FormatGeneral(123456.7891234), "123456.7891");
  EXPECT_EQ(FormatGeneral(99999999999.6), "1E+11");
}

TEST(FormatCodeTest, FixedDecimalsThousandsAndRounding) {
  EXPECT_EQ(Fmt("0.00", 1234.567), "1234.57");
  EXPECT_EQ(Fmt("#,##0.00", 1234.567), "1,234.57");
  EXPECT_EQ(Fmt("#,##0", 1234567.4), "1,234,567");
  EXPECT_EQ(Fmt("#,##0", 0), "0");
  EXPECT_EQ(Fmt("0.00", 2.675), "2.68");  // 15-digit value, not the binary one
  EXPECT_EQ(Fmt("0", 2.5), "3");
  EXPECT_EQ(Fmt("0", -2.5), "-3");
  EXPECT_EQ(Fmt("000000", 42), "000042");
  EXPECT_EQ(Fmt("#.##", 0.5), ".5");
  EXPECT_EQ(Fmt("#.##", 2), "2.");
  EXPECT_EQ(Fmt("0.0#", 1.5), "1.5");
  EXPECT_EQ(Fmt("0.0?", 1.5), "1.5 ");
  EXPECT_EQ(Fmt("000-00-0000", 123456789), "123-45-6789");
  EXPECT_EQ(Fmt("0.00", 9.999), "10.00");
}

TEST(FormatCodeTest, ScalingPercentScientific) {
  EXPECT_EQ(Fmt("#,##0,", 1234567), "1,235");
  EXPECT_EQ(Fmt("0.0,,\"M\"", 1234567), "1.2M");
  EXPECT_EQ(Fmt("0%", 0.256), "26%");
  EXPECT_EQ(Fmt("0.00%", 0.256), "25.60%");
  EXPECT_EQ(Fmt("0.00E+00", 12345), "1.23E+04");
  EXPECT_EQ(Fmt("0.00E+00", 0.00012345), "1.23E-04");
  EXPECT_EQ(Fmt("0.00E-00", 12345), "1.23E04");
  EXPECT_EQ(Fmt("0.00E+00", 9.999e5), "1.00E+06");
  EXPECT_EQ(Fmt("##0.0E+0", 12345.678), "12.3E+3");
  EXPECT_EQ(Fmt("0.00E+00", 0), "0.00E+00");
}

TEST(FormatCodeTest, SectionsConditionsLiteralsAndText) {
  EXPECT_EQ(Fmt("#,##0.00;[Red](#,##0.00)", -1234.5), "(1,234.50)");
  EXPECT_EQ(Fmt("#,##0.00;[Red](#,##0.00)", 1234.5), "1,234.50");
  EXPECT_EQ(Fmt("0.00;-0.00;\"zero\"", 0), "zero");
  EXPECT_EQ(Fmt("0;-0;0;@", -5), "-5");
  EXPECT_EQ(Fmt("0;0", -5), "5");
  EXPECT_EQ(Fmt("[>100]\"big\";[<=100]\"small\"", 150), "big");
  EXPECT_EQ(Fmt("[>100]\"big\";[<=100]\"small\"", 50), "small");
  EXPECT_EQ(Fmt("[<100]\"small \"0;0", 12), "small 12");
  EXPECT_EQ(Fmt("[<100]\"small \"0;0", 120), "120");
  EXPECT_EQ(Fmt("\"Total: \"0", 5), "Total: 5");
  EXPECT_EQ(Fmt("0 \"units\"", 3), "3 units");
  EXPECT_EQ(Fmt("\\$0.00", 3), "$3.00");
  EXPECT_EQ(Fmt("[Red]0", 50), "50");
  EXPECT_EQ(Fmt("\"$\"#,##0.00_);(\"$\"#,##0.00)", 1234.5), "$1,234.50 ");
  EXPECT_EQ(Fmt("[$\xE2\x82\xAC-407] #,##0", 1234), "\xE2\x82\xAC 1,234");
  EXPECT_EQ(Fmt("_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)", -1234), " (1,234)");
  EXPECT_EQ(Fmt("General", 123.456), "123.456");
  EXPECT_EQ(Fmt("\"x\"General", -2), "-x2");
  EXPECT_EQ(Fmt("@", 5), "5");
  EXPECT_EQ(FormatCode::Parse("\"<\"@\">\"").FormatText("abc"), "<abc>");
  EXPECT_EQ(FormatCode::Parse("0;0;0;\"t:\"@").FormatText("abc"), "t:abc");
  EXPECT_EQ(FormatCode::Parse("0.00").FormatText("abc"), "abc");
}

TEST(FormatCodeTest, Fractions) {
  EXPECT_EQ(Fmt("# ?/?", 1.5), "1 1/2");
  EXPECT_EQ(Fmt("?/?", 0.75), "3/4");
  EXPECT_EQ(Fmt("# ?\?/?\?", 3.14159), "3 14/99");
  EXPECT_EQ(Fmt("# ?\?/?\?", 2.5), "2  1/2 ");
  EXPECT_EQ(Fmt("# ?/8", 2.4), "2 3/8");
  EXPECT_EQ(Fmt("?/?", 1.5), "3/2");
  EXPECT_EQ(Fmt("# ?/?", 3), "3    ");
}

TEST(FormatCodeTest, DatesAndTimes) {
  const double may24 = 38496;  // 24 May 2005
  const double t = (13 * 3600 + 45 * 60 + 30) / 86400.0;
  EXPECT_EQ(Fmt("yyyy-mm-dd", may24), "2005-05-24");
  EXPECT_EQ(Fmt("dd/mm/yy", may24), "24/05/05");
  EXPECT_EQ(Fmt("d-mmm-yy", may24), "24-May-05");
  EXPECT_EQ(Fmt("dddd, mmmm d, yyyy", may24), "Tuesday, May 24, 2005");
  EXPECT_EQ(Fmt("ddd mmmmm", may24), "Tue M");
  EXPECT_EQ(Fmt("h:mm:ss", t), "13:45:30");
  EXPECT_EQ(Fmt("hh:mm AM/PM", t), "01:45 PM");
  EXPECT_EQ(Fmt("h:mm a/p", 0.25), "6:00 a");
  EXPECT_EQ(Fmt("h AM/PM", 0), "12 AM");
  EXPECT_EQ(Fmt("yyyy-mm-dd hh:mm", may24 + t), "2005-05-24 13:45");
  EXPECT_EQ(Fmt("[h]:mm:ss", 1.5), "36:00:00");
  EXPECT_EQ(Fmt("[mm]:ss", 1.0 / 24), "60:00");
  EXPECT_EQ(Fmt("mm:ss.0", 65.25 / 86400), "01:05.3");
  EXPECT_EQ(Fmt("h:mm:ss", 0.99999999), "0:00:00");  // rounds into the next day
  EXPECT_EQ(Fmt("yyyy-mm-dd", 60), "1900-02-29");
  EXPECT_EQ(Fmt("yyyy-mm-dd", 59), "1900-02-28");
  EXPECT_EQ(Fmt("yyyy-mm-dd", 61), "1900-03-01");
  EXPECT_EQ(Fmt("d/m/yyyy", 0), "0/1/1900");
  EXPECT_EQ(Fmt("dddd", 1), "Sunday");
  EXPECT_EQ(Fmt("yyyy-mm-dd", -1), "########");
  EXPECT_EQ(Fmt("yyyy-mm-dd", 3e6), "########");
  // 1904 date system: day 0 is 1 January 1904.
  EXPECT_EQ(Fmt("yyyy-mm-dd", 0, true), "1904-01-01");
  EXPECT_EQ(Fmt("yyyy-mm-dd", 37034, true), "2005-05-24");
}

TEST(FormatCodeTest, BuiltinShortDateFollowsSystemSettings) {
  DateSettings s;
  EXPECT_EQ(Fmt(BuiltinFormatCode(14, s), 38496), "24/05/2005");
  s.date_separator = "-";
  EXPECT_EQ(Fmt(BuiltinFormatCode(14, s), 38496), "24-05-2005");
  s.short_date_format = "yyyy/MM/dd";
  s.date_separator = ".";
  EXPECT_EQ(Fmt(BuiltinFormatCode(14, s), 38496), "2005.05.24");
  EXPECT_EQ(Fmt(BuiltinFormatCode(22, s), 38496.5), "2005.05.24 12:00");
  EXPECT_EQ(Fmt(BuiltinFormatCode(3, s), 1234), "1,234");
  EXPECT_EQ(Fmt(BuiltinFormatCode(200, s), 1.5), "1.5");  // unknown id: General
}

TEST(FormatCodeTest, MalformedCodesDoNotFail) {
  for (const char* code : {"", "\"unterminated", "[", "0.0.0", "E+", "#,##0.00;;;;;", "\\", "[h", "?/", "/?",
                           "0/0", "[<]0", "yyyy;;", "_", "*"}) {
    const FormatCode f = FormatCode::Parse(code);
    EXPECT_NO_THROW(f.FormatNumber(1234.5, false)) << code;
    EXPECT_NO_THROW(f.FormatNumber(-1, false)) << code;
    EXPECT_NO_THROW(f.FormatText("x")) << code;
  }
  EXPECT_EQ(Fmt("", 5), "");
}

}  // namespace
}  // namespace dbu::sheet
