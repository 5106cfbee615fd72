#include "_4passtr.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "_4pchar.h"

namespace dbu {

namespace {

// The text copied into a buffer of its length plus one, NUL-ended; the
// vector frees it on every way out.
std::vector<char> BufferOf(std::string_view text) {
  std::vector<char> buffer(text.size() + 1, '\0');
  text.copy(buffer.data(), text.size());
  return buffer;
}

std::uint8_t CheckByte(int value, const char* name) {
  if (value < 0 || value > 255) {
    throw std::out_of_range("MidText: " + std::string(name) + " " + std::to_string(value) +
                            " is outside 0 to 255");
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace

std::string TrimLeadingSpaces(std::string_view text) {
  std::vector<char> buffer = BufferOf(text);
  return SkipLeadingSpaces(buffer.data());
}

std::string TrimTrailingSpaces(std::string_view text) {
  std::vector<char> buffer = BufferOf(text);
  return CutTrailingSpaces(buffer.data());
}

std::string TrimSpaces(std::string_view text) { return TrimLeadingSpaces(TrimTrailingSpaces(text)); }

std::string MidText(std::string_view text, int start, int count) {
  const std::uint8_t first = CheckByte(start, "start");
  const std::uint8_t length = CheckByte(count, "count");
  std::vector<char> buffer = BufferOf(text);
  return MiddlePart(buffer.data(), first, length);
}

}  // namespace dbu
