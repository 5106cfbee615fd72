// Number texts of the engine: numeric fields' stored digits, number literals
// of expressions and statements, field texts, and numbers in result texts and
// messages. They always use "." as the decimal point: the process locale
// (LC_NUMERIC, which a GUI toolkit may take from the desktop) never enters,
// so that stored bytes and statements read the same on every machine.
#pragma once

#include <string>
#include <string_view>

namespace eng {

// [+|-] digits [. digits] [e|E [+|-] digits] (a mantissa of "." and digits
// with at least one digit), and nothing around it. A value too large for a
// double gives an infinity and one too small a zero, both signed, as strtod.
// False, *value untouched, for any other text.
bool ParseNumberText(std::string_view text, double* value);

// printf's "%.*f" and "%.*g" in the "C" locale ("" for a value whose fixed
// form would exceed 500 characters).
std::string FixedNumberText(double value, int decimals);
std::string GeneralNumberText(double value, int significantDigits);

}  // namespace eng
