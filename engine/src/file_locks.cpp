#include "file_locks.h"

#include <errno.h>
#include <fcntl.h>

#include <cstring>
#include <string>

#include "error.h"

namespace eng {

namespace {
struct flock MakeLock(uint64_t offset, LockKind kind) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = kind == LockKind::kShared ? F_RDLCK : kind == LockKind::kExclusive ? F_WRLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = 1;
  return fl;
}
}  // namespace

bool TryLockRange(int fd, uint64_t offset, LockKind kind) {
  struct flock fl = MakeLock(offset, kind);
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;
  Fail(ENG_ERR_IO, std::string("Cannot lock a table file: ") + std::strerror(errno));
}

void LockRangeWait(int fd, uint64_t offset, LockKind kind) {
  struct flock fl = MakeLock(offset, kind);
  while (::fcntl(fd, F_OFD_SETLKW, &fl) != 0) {
    if (errno != EINTR) Fail(ENG_ERR_IO, std::string("Cannot lock a table file: ") + std::strerror(errno));
  }
}

}  // namespace eng
