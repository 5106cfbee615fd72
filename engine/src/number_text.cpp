#include "number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace eng {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The power of ten of the first non-zero digit of a well-formed number text
// without sign: above 0 when from_chars found it too large, else too small.
long long LeadingPowerOfTen(std::string_view text) {
  const size_t exponentAt = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, exponentAt);
  size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  const size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return 0;
  long long power = first < point ? static_cast<long long>(point - first) - 1
                                  : -static_cast<long long>(first - point);
  if (exponentAt != std::string_view::npos) {
    size_t i = exponentAt + 1;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    long long exponent = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
    }
    power += negative ? -exponent : exponent;
  }
  return power;
}

}  // namespace

bool ParseNumberText(std::string_view text, double* value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars reads its own sign and the words inf and nan, which are not numbers here.
  if (text.empty() || !(IsDigit(text.front()) || text.front() == '.')) return false;
  double d = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d, std::chars_format::general);
  if (end != text.data() + text.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    d = LeadingPowerOfTen(text) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc()) {
    return false;
  }
  *value = negative ? -d : d;
  return true;
}

std::string FixedNumberText(double value, int decimals) {
  char buffer[512];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::string GeneralNumberText(double value, int significantDigits) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, significantDigits);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

}  // namespace eng
