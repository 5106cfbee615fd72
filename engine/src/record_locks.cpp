#include "record_locks.h"

#include <errno.h>
#include <fcntl.h>

#include <cstring>
#include <string>

#include "error.h"
#include "file_locks.h"
#include "util.h"

namespace eng {

uint32_t RecordLocks::RecAt(size_t i) const { return Load32(table_ + i * 16); }
uint64_t RecordLocks::TokenAt(size_t i) const { return Load64(table_ + i * 16 + 8); }
void RecordLocks::Set(size_t i, uint32_t recno, uint64_t token) {
  Store32(table_ + i * 16, recno);
  Store64(table_ + i * 16 + 8, token);
}

long RecordLocks::Find(uint32_t recno) const {
  size_t i = Home(recno);
  for (size_t n = 0; n < capacity_; ++n, i = (i + 1) % capacity_) {
    uint32_t r = RecAt(i);
    if (r == 0) return -1;
    if (r == recno) return static_cast<long>(i);
  }
  return -1;
}

void RecordLocks::Erase(size_t i) {
  // Backward-shift deletion keeps every probe chain unbroken.
  size_t hole = i;
  size_t j = i;
  while (true) {
    j = (j + 1) % capacity_;
    uint32_t r = RecAt(j);
    if (r == 0) break;
    size_t home = Home(r);
    bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
    if (movable) {
      Set(hole, r, TokenAt(j));
      hole = j;
    }
  }
  Set(hole, 0, 0);
}

uint64_t RecordLocks::TokenLockOffset(uint64_t token) { return lockpos::kBase + (uint64_t{1} << 40) + token; }

bool RecordLocks::TokenAlive(uint64_t token) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(TokenLockOffset(token));
  fl.l_len = 1;
  if (::fcntl(fd_, F_OFD_GETLK, &fl) != 0) return true;  // when unsure, respect the lock
  return fl.l_type != F_UNLCK;
}

uint64_t RecordLocks::Holder(uint32_t recno) {
  long i = Find(recno);
  if (i < 0) return 0;
  uint64_t token = TokenAt(static_cast<size_t>(i));
  if (TokenAlive(token)) return token;
  Erase(static_cast<size_t>(i));
  return 0;
}

bool RecordLocks::Acquire(uint32_t recno, uint64_t token) {
  long i = Find(recno);
  if (i >= 0) {
    uint64_t holder = TokenAt(static_cast<size_t>(i));
    if (holder == token) return true;
    if (TokenAlive(holder)) return false;
    Set(static_cast<size_t>(i), recno, token);
    return true;
  }
  size_t j = Home(recno);
  for (size_t n = 0; n < capacity_; ++n, j = (j + 1) % capacity_) {
    if (RecAt(j) == 0) {
      Set(j, recno, token);
      return true;
    }
  }
  // Full: drop the entries of handles that are gone, then try once more.
  for (size_t k = 0; k < capacity_;) {
    if (RecAt(k) != 0 && !TokenAlive(TokenAt(k)))
      Erase(k);  // the entry now at k is new: look at it again
    else
      ++k;
  }
  j = Home(recno);
  for (size_t n = 0; n < capacity_; ++n, j = (j + 1) % capacity_) {
    if (RecAt(j) == 0) {
      Set(j, recno, token);
      return true;
    }
  }
  Fail(ENG_ERR_RECORD_LOCKED, "Too many records are locked at once (" + std::to_string(capacity_) + ")");
}

void RecordLocks::Release(uint32_t recno, uint64_t token) {
  long i = Find(recno);
  if (i >= 0 && TokenAt(static_cast<size_t>(i)) == token) Erase(static_cast<size_t>(i));
}

}  // namespace eng
