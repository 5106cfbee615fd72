#include "currency.h"

#include <cmath>
#include <string>

namespace dbu {

bool Currency::TryFromDouble(double amount, Currency& result) {
  if (!std::isfinite(amount)) return false;
  const double scaled = std::round(amount * static_cast<double>(kScale));
  // 2^63 is exact as a double; anything from it upwards does not fit.
  if (scaled < -9223372036854775808.0 || scaled >= 9223372036854775808.0) return false;
  result.value = static_cast<std::int64_t>(scaled);
  return true;
}

Currency Currency::FromDouble(double amount) {
  Currency result;
  if (!TryFromDouble(amount, result)) {
    throw EConvertError("Currency value out of range: " + NumberForMessage(amount));
  }
  return result;
}

double Currency::ToDouble() const { return static_cast<double>(value) / static_cast<double>(kScale); }

Currency operator+(Currency a, Currency b) {
  Currency sum;
  if (__builtin_add_overflow(a.value, b.value, &sum.value)) throw EConvertError("Currency overflow in addition");
  return sum;
}

Currency operator-(Currency a, Currency b) {
  Currency difference;
  if (__builtin_sub_overflow(a.value, b.value, &difference.value)) {
    throw EConvertError("Currency overflow in subtraction");
  }
  return difference;
}

}  // namespace dbu
