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

namespace {
uint64_t RoundUp(uint64_t n, uint64_t unit) { return (n + unit - 1) / unit * unit; }
}  // namespace

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

void MappedFile::OpenDescriptor(int fd, const std::string& name) {
  Close();
  path_ = name;
  fd_ = fd;
  writable_ = true;
  Map(FileLength());
}

void MappedFile::Close() {
  Unmap();
  views_.clear();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  allocated_ = 0;
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
  if (::fstat(fd_, &st) != 0) FailIo("Cannot read the size of " + path_, errno);
  return static_cast<uint64_t>(st.st_size);
}

void MappedFile::Map(uint64_t length) {
  if (allocated_ > length) allocated_ = length;
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
    if (p == MAP_FAILED) FailIo("Cannot map " + path_, errno);
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
  if (p == MAP_FAILED) FailIo("Cannot map " + path_, errno);
  base_ = static_cast<uint8_t*>(p);
  size_ = length;
}

uint64_t AllocateRange(int fd, const std::string& path, uint64_t from, uint64_t to, uint64_t least) {
  while (from < to) {
    if (::fallocate(fd, 0, static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0) return to;
    const int err = errno;
    if (err == EINTR) continue;
    if ((err == ENOSPC || err == EDQUOT) && least < to) {
      to = least;  // no room for the step ahead: what is needed now
      continue;
    }
    if (err != EOPNOTSUPP && err != ENOSYS)
      FailIo("Cannot reserve " + std::to_string(to - from) + " bytes at offset " + std::to_string(from) + " of " + path,
             err);
    break;
  }
  if (from >= to) return to;
  // No allocation ahead here: zeros written beyond the end take their blocks
  // now. A hole before the end stays a hole: it cannot be filled without
  // racing readers of the mapping, and only files from older versions have one.
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    FailIo("Cannot read the size of " + path, err);
  }
  uint64_t at = std::max<uint64_t>(from, static_cast<uint64_t>(st.st_size));
  static const std::vector<uint8_t> zeros(64 * 1024, 0);
  while (at < to) {
    ssize_t n = ::pwrite(fd, zeros.data(), std::min<uint64_t>(zeros.size(), to - at), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 && least < to && at >= least) return at;  // what is needed now is there
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      FailIo("Cannot extend " + path + " to " + std::to_string(to) + " bytes", err);
    }
    at += static_cast<uint64_t>(n);
  }
  return to;
}

uint64_t MappedFile::KnownAllocated(uint64_t length) const {
  // This handle's knowledge, and what the file system reports as data from
  // there: what another process allocated and wrote. (An allocated page
  // never written may count as a hole, which only costs a second
  // allocation of it.)
  uint64_t known = allocated_;
  if (known < length) {
    off_t hole = ::lseek(fd_, static_cast<off_t>(known), SEEK_HOLE);
    if (hole > static_cast<off_t>(known)) known = std::min(static_cast<uint64_t>(hole), length);
  }
  return known;
}

void MappedFile::Allocate(uint64_t needed) {
  uint64_t current = FileLength();
  if (!writable_) {
    if (needed <= size_) return;
    if (needed > current) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
    Map(current);
    return;
  }
  // The length grows in steps of a quarter (at least 64 KiB), so that the
  // mapping moves seldom, and all of it gets blocks: with no part of a
  // mapping left without them, neither a store nor a load through it can
  // meet a full disk (on tmpfs a load from a hole takes a block too). When
  // the disk has no room for a step, only the pages needed now.
  uint64_t length = current;
  if (needed > current) length = RoundUp(std::max(needed, current + std::max<uint64_t>(current / 4, 65536)), 65536);
  const uint64_t known = KnownAllocated(current);
  uint64_t end = known;
  if (needed > known) {
    end = AllocateRange(fd_, path_, known, length, std::max(known, RoundUp(needed, 4096)));
    length = std::max(current, end);
  }
  // A mapping that already covers what is needed stays where it is: the
  // caller may hold pointers into it.
  if (needed > size_ && length != size_) Map(length);
  allocated_ = std::min<uint64_t>(end, size_);
}

void MappedFile::AllocateMapped(uint64_t end) {
  if (!writable_) return;
  const uint64_t known = KnownAllocated(size_);
  if (end > known) allocated_ = std::min<uint64_t>(AllocateRange(fd_, path_, known, size_, RoundUp(end, 4096)), size_);
  else allocated_ = known;
}

void MappedFile::WriteAt(uint64_t offset, const uint8_t* bytes, size_t n) {
  if (!writable_) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::pwrite(fd_, bytes + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0)
      FailIo("Cannot write " + std::to_string(n) + " bytes at offset " + std::to_string(offset) + " of " + path_,
             w < 0 ? errno : ENOSPC);
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
      FailIo("Cannot copy " + path + " into " + path_, n < 0 ? errno : EIO);
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

void MappedFile::Refresh(struct stat* status) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) FailIo("Cannot read the size of " + path_, errno);
  if (status != nullptr) *status = st;
  const uint64_t current = static_cast<uint64_t>(st.st_size);
  if (current != size_) Map(current);
}

void MappedFile::Truncate(uint64_t length) {
  if (!writable_) Fail(ENG_ERR_READ_ONLY, "File " + path_ + " is read-only");
  // Closing a table trims it every time: most times there is nothing to do.
  if (length == size_ && FileLength() == length) return;
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
    FailIo("Cannot resize " + path_, errno);
  // No reader without the lock exists now (see the header): the kept
  // mappings, some now beyond the end of the file, can go.
  Unmap();
  Map(length);
}

}  // namespace eng
