// Runs part of a test under the comma-decimal locale de_DE.UTF-8, which
// ./test.sh generates (tools/deps.sh): stored numbers, SQL and filter texts
// and the program's own number texts must read the same under it as under
// "C". A machine without the locale fails the test rather than skipping it,
// since the check would otherwise pass unseen.
//
// The process-wide format settings are taken (from the locale in force
// before) and given back unchanged, so that a test under the comma locale
// does not leave the date format of that locale to later tests.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "formatsettings.h"

namespace dbu::test {

inline constexpr char kCommaLocale[] = "de_DE.UTF-8";

class CommaDecimalLocale {
 public:
  CommaDecimalLocale() : settings_(GetFormatSettings()) {
    const char* before = std::setlocale(LC_ALL, nullptr);
    before_ = before != nullptr ? before : "C";
    active_ = std::setlocale(LC_ALL, kCommaLocale) != nullptr &&
              std::strcmp(std::localeconv()->decimal_point, ",") == 0;
  }
  ~CommaDecimalLocale() {
    std::setlocale(LC_ALL, before_.c_str());
    SetFormatSettings(settings_);
  }
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

  // Whether the process now runs under the comma locale.
  bool Active() const { return active_; }

 private:
  FormatSettings settings_;
  std::string before_;
  bool active_ = false;
};

}  // namespace dbu::test

// Puts the calling test under the comma locale until the end of its scope.
#define DBU_UNDER_COMMA_LOCALE()                                                                      \
  ::dbu::test::CommaDecimalLocale commaLocale_;                                                       \
  ASSERT_TRUE(commaLocale_.Active()) << "locale " << ::dbu::test::kCommaLocale                        \
                                     << " is missing or has no decimal comma; tools/deps.sh makes it " \
                                        "(dbu_ensure_test_locale)"
