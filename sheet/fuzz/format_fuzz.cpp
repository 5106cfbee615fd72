// Feeds arbitrary format codes and values to the number formatter: any code
// must give some text, never crash or loop.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "number_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  double value;
  std::memcpy(&value, data, 8);
  const std::string_view code(reinterpret_cast<const char*>(data) + 8, size - 8);
  const dbu::sheet::FormatCode f = dbu::sheet::FormatCode::Parse(code);
  (void)f.FormatNumber(value, false);
  (void)f.FormatNumber(value, true);
  (void)f.FormatText(code);
  return 0;
}
