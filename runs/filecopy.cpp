#include "filecopy.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "runerror.h"

namespace dbu {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

[[noreturn]] void Failed(const std::string& from, const std::string& to, int err) {
  throw ERunError("Cannot copy " + from + " to " + to + ": " + std::strerror(err));
}

// Copies the whole of in to out, both open; the way it took.
TCopyWay CopyContents(int in, int out, uint64_t length, const std::string& from, const std::string& to) {
  if (::ioctl(out, FICLONE, in) == 0) return TCopyWay::Clone;
  uint64_t done = 0;
  TCopyWay way = TCopyWay::Kernel;
  while (done < length) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, length - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      way = TCopyWay::ReadWrite;
      break;
    }
    if (n < 0) Failed(from, to, errno);
    if (n == 0) break;  // shorter than it was a moment ago
    done += static_cast<uint64_t>(n);
  }
  if (way == TCopyWay::Kernel) return way;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t n = ::pread(in, buffer.data(), buffer.size(), static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Failed(from, to, errno);
    if (n == 0) break;
    for (ssize_t put = 0; put < n;) {
      ssize_t w = ::pwrite(out, buffer.data() + put, static_cast<size_t>(n - put), static_cast<off_t>(done + put));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) Failed(from, to, w < 0 ? errno : ENOSPC);
      put += w;
    }
    done += static_cast<uint64_t>(n);
  }
  return way;
}

}  // namespace

TCopyWay CopyFileCloning(const std::string& from, const std::string& to) {
  Fd in;
  in.fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) Failed(from, to, errno);
  struct stat st;
  if (::fstat(in.fd, &st) != 0) Failed(from, to, errno);
  const std::string tmp = to + ".copying";
  Fd out;
  out.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out.fd < 0) Failed(from, to, errno);
  TCopyWay way;
  try {
    way = CopyContents(in.fd, out.fd, static_cast<uint64_t>(st.st_size), from, to);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  if (::close(out.fd) != 0) {
    out.fd = -1;
    const int err = errno;
    ::unlink(tmp.c_str());
    Failed(from, to, err);
  }
  out.fd = -1;
  if (::rename(tmp.c_str(), to.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    Failed(from, to, err);
  }
  return way;
}

const char* CopyWayName(TCopyWay way) {
  switch (way) {
    case TCopyWay::Clone: return "clone";
    case TCopyWay::Kernel: return "kernel copy";
    case TCopyWay::ReadWrite: return "copy";
  }
  return "copy";
}

void RemoveTree(const std::string& folder) {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

uint64_t TreeBytes(const std::string& folder) {
  uint64_t total = 0;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

}  // namespace dbu
