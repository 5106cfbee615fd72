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

uint32_t Stored(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

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

// Four units at a time: one unit's CRC is a chain of dependent steps, so
// four chains side by side keep the instruction busy instead of waiting.
__attribute__((target("sse4.2"))) size_t HardwareRun(const uint8_t* first, size_t count, size_t stride, size_t n) {
  size_t i = 0;
#if defined(__x86_64__)
  for (; i + 4 <= count; i += 4) {
    const uint8_t* u[4] = {first + i * stride, first + (i + 1) * stride, first + (i + 2) * stride,
                           first + (i + 3) * stride};
    uint64_t c0 = 0xFFFFFFFFu, c1 = 0xFFFFFFFFu, c2 = 0xFFFFFFFFu, c3 = 0xFFFFFFFFu;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
      uint64_t v0, v1, v2, v3;
      std::memcpy(&v0, u[0] + k, 8);
      std::memcpy(&v1, u[1] + k, 8);
      std::memcpy(&v2, u[2] + k, 8);
      std::memcpy(&v3, u[3] + k, 8);
      c0 = _mm_crc32_u64(c0, v0);
      c1 = _mm_crc32_u64(c1, v1);
      c2 = _mm_crc32_u64(c2, v2);
      c3 = _mm_crc32_u64(c3, v3);
    }
    uint32_t c[4] = {static_cast<uint32_t>(c0), static_cast<uint32_t>(c1), static_cast<uint32_t>(c2),
                     static_cast<uint32_t>(c3)};
    if (k + 4 <= n) {
      for (int j = 0; j < 4; ++j) {
        uint32_t v;
        std::memcpy(&v, u[j] + k, 4);
        c[j] = _mm_crc32_u32(c[j], v);
      }
      k += 4;
    }
    if (k + 2 <= n) {
      for (int j = 0; j < 4; ++j) {
        uint16_t v;
        std::memcpy(&v, u[j] + k, 2);
        c[j] = _mm_crc32_u16(c[j], v);
      }
      k += 2;
    }
    if (k < n)
      for (int j = 0; j < 4; ++j) c[j] = _mm_crc32_u8(c[j], u[j][k]);
    for (int j = 0; j < 4; ++j)
      if (~c[j] != Stored(u[j] + n)) return i + static_cast<size_t>(j);
  }
#endif
  for (; i < count; ++i) {
    const uint8_t* u = first + i * stride;
    if (~Hardware(u, n, 0xFFFFFFFFu) != Stored(u + n)) return i;
  }
  return count;
}

bool HasCrcInstruction() {
  __builtin_cpu_init();  // may run before the constructors that would do it
  return __builtin_cpu_supports("sse4.2");
}
// Told while the program starts; a call before that (from another static
// constructor) takes the portable way, which gives the same values.
const bool g_hardware = HasCrcInstruction();
#endif
}  // namespace

uint32_t Crc32c(const uint8_t* data, size_t n, uint32_t crc) {
#ifdef DBU_CRC32C_X86
  if (g_hardware) return ~Hardware(data, n, ~crc);
#endif
  return ~Portable(data, n, ~crc);
}

void StampCrc(uint8_t* bytes, size_t n) {
  const uint32_t crc = Crc32c(bytes, n);
  for (int i = 0; i < 4; ++i) bytes[n + i] = static_cast<uint8_t>(crc >> (8 * i));
}

bool CrcMatches(const uint8_t* bytes, size_t n) { return Crc32c(bytes, n) == Stored(bytes + n); }

size_t CrcMatchingRun(const uint8_t* first, size_t count, size_t stride, size_t n) {
#ifdef DBU_CRC32C_X86
  if (g_hardware) return HardwareRun(first, count, stride, n);
#endif
  for (size_t i = 0; i < count; ++i)
    if (!CrcMatches(first + i * stride, n)) return i;
  return count;
}

uint32_t Crc32cPortable(const uint8_t* data, size_t n, uint32_t crc) { return ~Portable(data, n, ~crc); }

}  // namespace eng
