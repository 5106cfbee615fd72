#include "checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define DBU_CRC32C_X86 1
#endif

namespace eng {

namespace {
constexpr uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

// Tables for eight bytes a step: t[k][b] is the CRC of byte b followed by k
// zero bytes.
struct Tables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  Tables() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b;
      for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (kPoly & (0u - (c & 1u)));
      t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
      for (size_t k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
};

uint32_t Portable(const uint8_t* p, size_t n, uint32_t c) {
  static const Tables tables;
  const auto& t = tables.t;
  while (n >= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    lo = __builtin_bswap32(lo);
    hi = __builtin_bswap32(hi);
#endif
    lo ^= c;
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
        t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return c;
}

#ifdef DBU_CRC32C_X86
__attribute__((target("sse4.2"))) uint32_t Hardware(const uint8_t* p, size_t n, uint32_t c) {
#if defined(__x86_64__)
  uint64_t c64 = c;
  while (n >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    c64 = _mm_crc32_u64(c64, v);
    p += 8;
    n -= 8;
  }
  c = static_cast<uint32_t>(c64);
#endif
  while (n >= 4) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    c = _mm_crc32_u32(c, v);
    p += 4;
    n -= 4;
  }
  while (n--) c = _mm_crc32_u8(c, *p++);
  return c;
}

using CrcFunction = uint32_t (*)(const uint8_t*, size_t, uint32_t);
CrcFunction Choose() {
  __builtin_cpu_init();  // may run before the constructors that would do it
  return __builtin_cpu_supports("sse4.2") ? Hardware : Portable;
}
#endif
}  // namespace

uint32_t Crc32c(const uint8_t* data, size_t n, uint32_t crc) {
#ifdef DBU_CRC32C_X86
  static const CrcFunction chosen = Choose();
  return ~chosen(data, n, ~crc);
#else
  return ~Portable(data, n, ~crc);
#endif
}

void StampCrc(uint8_t* bytes, size_t n) {
  const uint32_t crc = Crc32c(bytes, n);
  for (int i = 0; i < 4; ++i) bytes[n + i] = static_cast<uint8_t>(crc >> (8 * i));
}

bool CrcMatches(const uint8_t* bytes, size_t n) {
  const uint8_t* s = bytes + n;
  const uint32_t stored = uint32_t{s[0]} | uint32_t{s[1]} << 8 | uint32_t{s[2]} << 16 | uint32_t{s[3]} << 24;
  return Crc32c(bytes, n) == stored;
}

uint32_t Crc32cPortable(const uint8_t* data, size_t n, uint32_t crc) { return ~Portable(data, n, ~crc); }

}  // namespace eng
