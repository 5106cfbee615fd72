#include "mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "error.h"

namespace eng {

const MappedFile::View MappedFile::kNoView{nullptr, 0};

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
  Unmap();
  views_.clear();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void MappedFile::Unmap() {
  view_.store(&kNoView, std::memory_order_release);
  if (base_) ::munmap(base_, size_);
  base_ = nullptr;
  size_ = 0;
  for (const auto& m : replaced_) ::munmap(m.first, m.second);
  replaced_.clear();
}

uint64_t MappedFile::FileLength() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail(ENG_ERR_IO, "Cannot read the size of " + path_ + ": " + std::strerror(errno));
  return static_cast<uint64_t>(st.st_size);
}

void MappedFile::Map(uint64_t length) {
  if (keep_replaced_) {
    // Room first: a mapping made must be published, and one replaced kept.
    replaced_.reserve(replaced_.size() + 1);
    views_.reserve(views_.size() + 1);
    auto view = std::make_unique<View>(View{nullptr, 0});
    // The old view stays published (and valid) until the new one is.
    if (base_) replaced_.emplace_back(base_, size_);
    base_ = nullptr;
    size_ = 0;
    if (length == 0) {
      view_.store(&kNoView, std::memory_order_release);
      return;
    }
    int prot = PROT_READ | (writable_ ? PROT_WRITE : 0);
    void* p = ::mmap(nullptr, length, prot, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) Fail(ENG_ERR_IO, "Cannot map " + path_ + ": " + std::strerror(errno));
    base_ = static_cast<uint8_t*>(p);
    size_ = length;
    *view = View{base_, size_};
    views_.push_back(std::move(view));
    view_.store(views_.back().get(), std::memory_order_release);
    return;
  }
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

void MappedFile::WriteAt(uint64_t offset, const uint8_t* bytes, size_t n) {
  if (!writable_) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::pwrite(fd_, bytes + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0)
      Fail(ENG_ERR_IO, "Cannot write " + std::to_string(n) + " bytes at offset " + std::to_string(offset) + " of " +
                           path_ + ": " + std::strerror(w < 0 ? errno : ENOSPC));
    done += static_cast<size_t>(w);
  }
}

uint64_t MappedFile::CopyFrom(const std::string& path) {
  if (!writable_) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
  int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail(ENG_ERR_IO, "Cannot read " + path + ": " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{in};
  struct stat st;
  if (::fstat(in, &st) != 0) Fail(ENG_ERR_IO, "Cannot read the size of " + path + ": " + std::strerror(errno));
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  Reserve(length);
  uint64_t done = 0;
  bool kernel_copy = true;
  while (done < length && kernel_copy) {
    loff_t from = static_cast<loff_t>(done), to = static_cast<loff_t>(done);
    ssize_t n = ::copy_file_range(in, &from, fd_, &to, length - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      kernel_copy = false;  // another file system, or a kernel without it: copy by hand below
      break;
    }
    if (n <= 0)
      Fail(ENG_ERR_IO, "Cannot copy " + path + " into " + path_ + ": " + std::strerror(n < 0 ? errno : EIO));
    done += static_cast<uint64_t>(n);
  }
  std::vector<uint8_t> buffer;
  while (done < length) {
    buffer.resize(std::min<uint64_t>(length - done, 1u << 20));
    ssize_t n = ::pread(in, buffer.data(), buffer.size(), static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(ENG_ERR_IO, "Cannot read " + path + ": " + std::strerror(n < 0 ? errno : EIO));
    WriteAt(done, buffer.data(), static_cast<size_t>(n));
    done += static_cast<uint64_t>(n);
  }
  return length;
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
  // No reader without the lock exists now (see the header): the kept
  // mappings, some now beyond the end of the file, can go.
  Unmap();
  Map(length);
}

}  // namespace eng
