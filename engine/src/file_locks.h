// Open-file-description byte-range locks on a table file. They belong to the
// handle's own descriptor, so two handles conflict even inside one process,
// and the kernel drops them when the handle's descriptor closes or its
// process dies. The byte offsets lie far beyond any table data.
#pragma once

#include <cstdint>

namespace eng {

namespace lockpos {
constexpr uint64_t kBase = 0x4000000000000000ull;
constexpr uint64_t kInit = kBase;          // held while opening: serializes first-opener setup
constexpr uint64_t kPresence = kBase + 1;  // shared by every open handle, exclusive for exclusive opens
constexpr uint64_t kProcess = kBase + 2;   // network file systems: held by the one process using the table
}  // namespace lockpos

enum class LockKind { kShared, kExclusive, kUnlock };

// Non-blocking; false when another descriptor holds a conflicting lock.
bool TryLockRange(int fd, uint64_t offset, LockKind kind);
// Blocks until granted.
void LockRangeWait(int fd, uint64_t offset, LockKind kind);

}  // namespace eng
