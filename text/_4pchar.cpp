#include "_4pchar.h"

#include <cstring>

namespace dbu {

char* SkipLeadingSpaces(char* buffer) {
  while (*buffer == ' ') ++buffer;
  return buffer;
}

char* CutTrailingSpaces(char* buffer) {
  const std::size_t length = std::strlen(buffer);
  if (length == 0) return buffer;
  std::size_t last = length - 1;
  while (last > 0 && buffer[last] == ' ') --last;
  buffer[last + 1] = '\0';
  return buffer;
}

char* CutAtLength(char* buffer, std::uint16_t n) {
  // strnlen stops at n + 1, so a long buffer is not walked to its end.
  if (strnlen(buffer, std::size_t{n} + 1) > n) buffer[n] = '\0';
  return buffer;
}

char* RightmostPart(char* buffer, std::uint16_t n) {
  const std::size_t length = std::strlen(buffer);
  return length > n ? buffer + (length - n) : buffer;
}

char* MiddlePart(char* buffer, std::uint16_t start, std::uint16_t count) {
  const std::size_t length = std::strlen(buffer);
  if (length < start) {
    buffer[0] = '\0';
    return buffer;
  }
  // The position RightmostPart(buffer, length - start + 1) gives, worked out
  // directly so that a buffer longer than 16 bits cannot wrap the count.
  char* part = start == 0 ? buffer : buffer + (start - 1);
  return CutAtLength(part, count);
}

}  // namespace dbu
