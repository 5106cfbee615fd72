// The process locale with a decimal comma: number texts follow the program's
// own format settings, and the messages name numbers with a point; the date
// format still takes the locale's separator.
#include <gtest/gtest.h>

#include "commalocale.h"
#include "formatsettings.h"

namespace dbu {
namespace {

template <typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(CommaLocaleTest, NumbersFollowTheFormatSettingsNotTheLocale) {
  DBU_UNDER_COMMA_LOCALE();
  const FormatSettings initial = InitialFormatSettings();
  EXPECT_EQ(initial.decimalSeparator, '.');
  EXPECT_EQ(initial.dateSeparator, '.') << "de_DE writes 24.05.2005";
  EXPECT_EQ(initial.defaultDateFormat, "dd/MM/yyyy");

  SetFormatSettings(FormatSettings{});
  EXPECT_EQ(FloatToStr(12.5), "12.5");
  EXPECT_EQ(StrToFloat("12.9"), 12.9);
  EXPECT_EQ(MessageOf([] { Currency::FromDouble(1.5e300); }),
            "Currency value out of range: 1.5000000000000001e+300");
  int y = 0, m = 0, d = 0;
  EXPECT_EQ(MessageOf([&] { DecodeDate(12345678.5, y, m, d); }), "Date and time value out of range: 12345678.5");
}

}  // namespace
}  // namespace dbu
