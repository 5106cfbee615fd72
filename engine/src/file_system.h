// Which kind of file system a table lies on, as far as sharing it goes.
//
// Handles in several processes share a table through the memory of one
// machine: mapped files, a process-shared mutex and a lock table. On a
// network file system (NFS, SMB/CIFS, 9p, Ceph, AFS, a cluster file system,
// a network FUSE mount such as sshfs) two machines would each have their
// own copies of these and write the same table at once; there a table is
// open in one process at a time (see SharedTable::Load).
#pragma once

#include <string>

namespace eng {

// The name of the network file system the open file lies on ("nfs",
// "cifs", "fuse.sshfs", ...), or "" when it lies on a local one.
std::string NetworkFileSystemOf(int fd);

// For tests: the statfs type reported instead of the real one (0: the real
// one again) and, for FUSE, the subtype its mount would show.
void SetFileSystemTypeForTesting(long type, const std::string& fuse_subtype = "");

}  // namespace eng
