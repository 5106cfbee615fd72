// The engine's number texts: the C library under the "C" locale is the
// oracle (strtod, printf's %.*f and %.15g), and the same texts must come out
// under a locale with a decimal comma.
#include "number_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "commalocale.h"

namespace eng {
namespace {

std::vector<std::string> WellFormedTexts() {
  std::vector<std::string> texts = {"0", "12.9", ".5", "5.", "-0", "+1e5", "-.5E-3", "00012.50", "0e999",
                                    "1.7976931348623157e308", "1.8e308", "1e999", "-1e999",  // overflow
                                    "1e-320", "123456789012345678901234567890e-350",         // subnormal
                                    "1e-400", "-1e-400", "0.0001e-330", "1e-99999999999"};   // underflow
  std::mt19937 random(20260101);
  auto digits = [&](int most) {
    std::string out(std::uniform_int_distribution<int>(0, most)(random), '0');
    for (char& c : out) c = static_cast<char>('0' + random() % 10);
    return out;
  };
  while (texts.size() < 3000) {
    std::string text = std::vector<const char*>{"", "-", "+"}[random() % 3];
    std::string whole = digits(20), fraction = random() % 2 ? "." + digits(20) : "";
    if (whole.empty() && fraction.size() < 2) whole = "7";
    text += whole + fraction;
    if (random() % 2) text += (random() % 2 ? "e" : "E") + std::string(random() % 2 ? "-" : "") +
                              std::to_string(random() % 400);
    texts.push_back(text);
  }
  return texts;
}

TEST(NumberText, ReadsAsStrtodAndWritesAsPrintfOfTheCLocaleUnderAnyLocale) {
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C") << "the oracle needs the C library's own rules";
  struct Expected {
    std::string text;
    double value;
    std::string fixed, general;
  };
  std::vector<Expected> cases;
  int decimals = 0;
  for (const std::string& text : WellFormedTexts()) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    ASSERT_EQ(*end, '\0') << text;
    char fixed[600], general[64];
    decimals = (decimals + 1) % 7;
    std::snprintf(fixed, sizeof fixed, "%.*f", decimals, value);
    std::snprintf(general, sizeof general, "%.15g", value);
    cases.push_back({text, value, fixed, general});
  }
  const std::vector<std::string> malformed = {"", ".", "-", "+", "e5", "1e", "1e+", "--1", "+-1", "-+1", "1.2.3",
                                              " 1", "1 ", "inf", "nan", "0x10", "1,5", "1e5.5"};
  auto check = [&] {
    int d = 0;
    for (const Expected& e : cases) {
      double value = 0;
      ASSERT_TRUE(ParseNumberText(e.text, &value)) << e.text;
      EXPECT_EQ(std::bit_cast<uint64_t>(value), std::bit_cast<uint64_t>(e.value)) << e.text;
      d = (d + 1) % 7;
      EXPECT_EQ(FixedNumberText(e.value, d), e.fixed) << e.text;
      EXPECT_EQ(GeneralNumberText(e.value, 15), e.general) << e.text;
    }
    for (const std::string& text : malformed) {
      double value = 42;
      EXPECT_FALSE(ParseNumberText(text, &value)) << text;
      EXPECT_EQ(value, 42);
    }
  };
  check();
  DBU_UNDER_COMMA_LOCALE();
  check();
}

}  // namespace
}  // namespace eng
