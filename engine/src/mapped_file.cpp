#include "mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "error.h"

namespace eng {

MappedFile::~MappedFile() { Close(); }

void MappedFile::Open(const std::string& path, bool create) {
  Close();
  path_ = path;
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  fd_ = ::open(path.c_str(), flags, 0644);
  writable_ = fd_ >= 0;
  if (fd_ < 0 && (errno == EACCES || errno == EROFS) && !create) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd_ < 0) {
    int err = errno;
    Fail(err == ENOENT ? ENG_ERR_FILE_NOT_FOUND : ENG_ERR_IO,
         "Cannot open file " + path + ": " + std::strerror(err));
  }
  Map(FileLength());
}

void MappedFile::Close() {
  if (base_) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint64_t MappedFile::FileLength() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail(ENG_ERR_IO, "Cannot read the size of " + path_ + ": " + std::strerror(errno));
  return static_cast<uint64_t>(st.st_size);
}

void MappedFile::Map(uint64_t length) {
  if (base_) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
  if (length == 0) return;
  int prot = PROT_READ | (writable_ ? PROT_WRITE : 0);
  void* p = ::mmap(nullptr, length, prot, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) Fail(ENG_ERR_IO, "Cannot map " + path_ + ": " + std::strerror(errno));
  base_ = static_cast<uint8_t*>(p);
  size_ = length;
}

void MappedFile::Reserve(uint64_t needed) {
  if (needed <= size_) return;
  uint64_t current = FileLength();
  if (needed > current) {
    if (!writable_) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
    uint64_t grow = current / 4;
    if (grow < (1u << 20)) grow = 1u << 20;
    uint64_t target = needed > current + grow ? needed : current + grow;
    target = (target + 65535) & ~uint64_t{65535};
    if (::ftruncate(fd_, static_cast<off_t>(target)) != 0)
      Fail(ENG_ERR_IO, "Cannot extend " + path_ + ": " + std::strerror(errno));
    current = target;
  }
  Map(current);
}

void MappedFile::Refresh() {
  uint64_t current = FileLength();
  if (current != size_) Map(current);
}

void MappedFile::Truncate(uint64_t length) {
  if (!writable_) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
  // Closing a table trims it every time: most times there is nothing to do.
  if (length == size_ && FileLength() == length) return;
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
    Fail(ENG_ERR_IO, "Cannot resize " + path_ + ": " + std::strerror(errno));
  Map(length);
}

}  // namespace eng
