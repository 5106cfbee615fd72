// The one error of the text module: a text or number that does not convert,
// or a date, time or amount out of range. The message names the value.
#ifndef DBU_TEXT_CONVERTERROR_H
#define DBU_TEXT_CONVERTERROR_H

#include <stdexcept>

namespace dbu {

class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dbu

#endif  // DBU_TEXT_CONVERTERROR_H
