// The one error of the text module: a text or number that does not convert,
// or a date, time or amount out of range. The message names the value.
#ifndef DBU_TEXT_CONVERTERROR_H
#define DBU_TEXT_CONVERTERROR_H

#include <charconv>
#include <stdexcept>
#include <string>

namespace dbu {

class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A double as messages name it: every digit ("%.17g"), with "." whatever
// the process locale says.
inline std::string NumberForMessage(double value) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
  return std::string(text, written.ptr);
}

}  // namespace dbu

#endif  // DBU_TEXT_CONVERTERROR_H
