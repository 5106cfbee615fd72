// Copies of files for backups and previews: a copy-on-write clone
// (FICLONE) where the file system can make one (btrfs, XFS with reflink),
// else a copy in the kernel (copy_file_range), else by reading and
// writing. A clone costs no data blocks and almost no time, whatever the
// file's size; the others cost its size.
//
// A copy is made under a temporary name beside its destination and renamed
// there only when whole, so the destination holds the whole copy or is
// missing. Failures throw ERunError naming both files and the reason.
// Stateless and thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace dbu {

enum class TCopyWay { Clone, Kernel, ReadWrite };

// Copies from to to (replacing to); the way it was done.
TCopyWay CopyFileCloning(const std::string& from, const std::string& to);
const char* CopyWayName(TCopyWay way);

// Removes a folder and everything under it; missing is no error.
void RemoveTree(const std::string& folder);
// Bytes of the files under folder (their lengths, not their blocks).
uint64_t TreeBytes(const std::string& folder);

}  // namespace dbu
