#include "file_system.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>

namespace eng {

namespace {

// statfs types (linux/magic.h and the file systems' own headers).
constexpr long kFuse = 0x65735546;
struct NetworkType {
  long type;
  const char* name;
};
constexpr NetworkType kNetworkTypes[] = {
    {0x6969, "nfs"},
    {0x517B, "smb"},
    {static_cast<long>(0xFE534D42), "smb2"},
    {static_cast<long>(0xFF534D42), "cifs"},
    {0x01021997, "9p"},
    {0x00C36400, "ceph"},
    {0x5346414F, "afs"},
    {0x6B414653, "afs"},
    {0x73757245, "coda"},
    {0x564C, "ncp"},
    {0x0BD00BD0, "lustre"},
    {0x47504653, "gpfs"},
    {0x20030528, "orangefs"},
    {0x19830326, "beegfs"},
    // Shared-disk cluster file systems: every node has its own memory too.
    {0x01161970, "gfs2"},
    {0x7461636F, "ocfs2"},
};
// FUSE file systems that reach other machines. Other FUSE mounts (NTFS
// drives, overlays of containers) are local.
constexpr const char* kNetworkFuse[] = {"sshfs",  "glusterfs", "ceph-fuse", "s3fs",      "rclone", "gcsfuse",
                                        "goofys", "juicefs",   "mfs",       "curlftpfs", "smbnetfs", "davfs"};

std::mutex g_testing_mutex;
std::atomic<long> g_testing_type{0};
std::string g_testing_subtype;

// The subtype of the FUSE mount holding device dev, from the process's
// mount table ("fuse.sshfs" gives "sshfs").
std::string FuseSubtype(dev_t dev) {
  std::ifstream in("/proc/self/mountinfo");
  const std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    if (!(fields >> id >> parent >> numbers) || numbers != device) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    return type.rfind("fuse.", 0) == 0 ? type.substr(5) : std::string();
  }
  return std::string();
}

}  // namespace

void SetFileSystemTypeForTesting(long type, const std::string& fuse_subtype) {
  std::lock_guard<std::mutex> g(g_testing_mutex);
  g_testing_subtype = fuse_subtype;
  g_testing_type.store(type);
}

std::string NetworkFileSystemOf(int fd) {
  long type = g_testing_type.load();
  std::string subtype;
  if (type != 0) {
    std::lock_guard<std::mutex> g(g_testing_mutex);
    subtype = g_testing_subtype;
  } else {
    struct statfs sfs;
    if (::fstatfs(fd, &sfs) != 0) return std::string();
    type = static_cast<long>(sfs.f_type);
    if (type == kFuse) {
      struct stat st;
      if (::fstat(fd, &st) == 0) subtype = FuseSubtype(st.st_dev);
    }
  }
  // f_type is a signed word on some targets: compare the low 32 bits.
  const uint32_t word = static_cast<uint32_t>(type);
  for (const NetworkType& t : kNetworkTypes)
    if (static_cast<uint32_t>(t.type) == word) return t.name;
  if (word == static_cast<uint32_t>(kFuse))
    for (const char* name : kNetworkFuse)
      if (subtype == name) return "fuse." + subtype;
  return std::string();
}

}  // namespace eng
