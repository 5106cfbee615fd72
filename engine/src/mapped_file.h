// A file mapped into memory with MAP_SHARED, so that every handle in every
// process sees each change at once and a change survives the death of the
// process that made it. Not thread-safe: the owner (a shared table) calls it
// under the table's lock. The mapping may move when the file grows: callers
// keep offsets, never pointers, across Grow() and Refresh().
//
// Readers that do not hold the owner's lock use view(), the mapping as
// last published. With KeepReplacedMappings() a mapping that a larger one
// replaces stays mapped until the file is closed or truncated, so that such
// a reader, which may still be using an older view, reads valid memory: the
// same pages of the same file. (A file is truncated only while its owner
// has no such readers.)
//
// A store through a shared mapping into a page the file system has no
// block for takes one when it faults (on tmpfs so does a load); on a full
// disk that kills the process with SIGBUS. So a file grows only with blocks
// for all of its new length (Reserve), where a full disk is an ordinary
// error and the file stays as it was.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace eng {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens (and with create, creates when missing) the file read-write, or
  // read-only when writing is refused. Throws EngineError.
  void Open(const std::string& path, bool create);
  // Takes over fd, a read-write descriptor of a file that has no name to
  // open it by (memfd_create); `name` stands for it in messages.
  void OpenDescriptor(int fd, const std::string& name);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  bool writable() const { return writable_; }

  uint8_t* data() { return base_; }
  size_t size() const { return size_; }  // mapped bytes (= file size at last map)

  struct View {
    const uint8_t* base;
    size_t size;
  };
  // The current mapping for a reader without the lock (never null).
  const View* view() const { return view_.load(std::memory_order_acquire); }
  void KeepReplacedMappings() { keep_replaced_ = true; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Makes the file at least `needed` bytes long (growing in large steps),
  // with blocks for all of it, and maps all of it. Cheap when they are
  // known to be there already.
  void Reserve(uint64_t needed) {
    if (needed > allocated_) Allocate(needed);
  }
  // Gives blocks to the first `end` bytes of the mapping (end <= size())
  // without moving it or growing the file: only a file left by an older
  // version has parts without them.
  void EnsureBlocks(uint64_t end) {
    if (end > allocated_) AllocateMapped(end);
  }
  // Maps the file's current length when another process has grown it;
  // status: the file's status as read for that (may be null).
  void Refresh(struct stat* status = nullptr);
  // Writes n bytes at offset through the file rather than the mapping, which
  // every mapping still sees at once: a bulk write then costs no page fault
  // per page. bytes must not point into this file's own mapping.
  void WriteAt(uint64_t offset, const uint8_t* bytes, size_t n);
  // Overwrites the start of the file with the whole file at path (growing
  // this one as needed, never shrinking it), copied by the kernel where it
  // can; returns the length copied.
  uint64_t CopyFrom(const std::string& path);
  // Sets the file length exactly (used when a table shrinks under exclusive use).
  void Truncate(uint64_t length);
  uint64_t FileLength() const;

 private:
  void Allocate(uint64_t needed);
  void AllocateMapped(uint64_t end);
  uint64_t KnownAllocated(uint64_t length) const;
  void Map(uint64_t length);
  void Unmap();  // the current mapping and every kept one

  std::string path_;
  int fd_ = -1;
  bool writable_ = false;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  // The file's first allocated_ bytes have blocks (allocated_ <= size_):
  // what this handle saw or made; another process may have made more.
  uint64_t allocated_ = 0;
  bool keep_replaced_ = false;
  std::vector<std::pair<uint8_t*, size_t>> replaced_;  // kept mapped (see above)
  // Every view published since the file was opened; they are few (a file
  // grows in large steps) and a reader may hold any of them.
  std::vector<std::unique_ptr<View>> views_;
  static const View kNoView;
  std::atomic<const View*> view_{&kNoView};
};

// Gives the file at fd real blocks for [from, to), growing it to `to` when it
// is shorter (never shrinking it), and returns `to`. When the disk has no
// room for that much but has for [from, least), that is done instead and
// least returned. Where the file system cannot allocate ahead, the part
// beyond the end is written with zeros. A full disk fails with ENG_ERR_IO
// naming path; the file's contents stay as they were (its length may grow).
uint64_t AllocateRange(int fd, const std::string& path, uint64_t from, uint64_t to, uint64_t least);

}  // namespace eng
