// Currency: a fixed-point amount held as a 64-bit count of ten-thousandths,
// the value type of currency fields. Conversions from double round to the
// nearest ten-thousandth; additions and subtractions are exact and fail with
// EConvertError instead of wrapping. A plain value type; thread-safe.
#ifndef DBU_TEXT_CURRENCY_H
#define DBU_TEXT_CURRENCY_H

#include <compare>
#include <cstdint>

#include "converterror.h"

namespace dbu {

struct Currency {
  static constexpr std::int64_t kScale = 10000;

  std::int64_t value = 0;  // ten-thousandths

  static constexpr Currency FromRaw(std::int64_t tenThousandths) { return Currency{tenThousandths}; }
  // Rounds to the nearest ten-thousandth, halves away from zero. False for
  // NaN, infinities and amounts beyond the 64-bit range.
  static bool TryFromDouble(double amount, Currency& result);
  static Currency FromDouble(double amount);  // throws EConvertError
  double ToDouble() const;

  friend Currency operator+(Currency a, Currency b);  // throws on overflow
  friend Currency operator-(Currency a, Currency b);  // throws on overflow
  Currency& operator+=(Currency other) { return *this = *this + other; }
  friend constexpr auto operator<=>(Currency, Currency) = default;
};

}  // namespace dbu

#endif  // DBU_TEXT_CURRENCY_H
