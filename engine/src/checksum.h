// CRC32C (Castagnoli), the checksum that guards the plain (unencrypted)
// files' record slots and index pages against bytes changed outside the
// engine: a damaged disk block, a stray write, a hand edit. It catches
// every change of up to 32 consecutive bits, so every single-byte edit.
// Encrypted tables need none: their blocks are authenticated (crypto.h).
//
// Computed with the processor's crc32 instruction where it has one (SSE
// 4.2, told once at start-up), else with tables, eight bytes a step; both
// give the same values. Values are the usual ones: Crc32c("123456789") is
// 0xE3069283.
#pragma once

#include <cstddef>
#include <cstdint>

namespace eng {

// The CRC32C of n bytes; crc continues an earlier value (the result of a
// call over the bytes before), 0 to start.
uint32_t Crc32c(const uint8_t* data, size_t n, uint32_t crc = 0);
// The same without the crc32 instruction (what machines without it use).
uint32_t Crc32cPortable(const uint8_t* data, size_t n, uint32_t crc = 0);

// A guarded unit (a record slot, an index page) keeps the CRC32C of its n
// bytes in the 4 bytes after them, little-endian.
void StampCrc(uint8_t* bytes, size_t n);
bool CrcMatches(const uint8_t* bytes, size_t n);
// Of count such units of n bytes, stride bytes apart, how many from the
// first on match their CRC32C (count when all do). Checking a run at once
// costs about a third of checking its units one by one.
size_t CrcMatchingRun(const uint8_t* first, size_t count, size_t stride, size_t n);

}  // namespace eng
