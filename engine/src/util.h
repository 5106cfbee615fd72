// Small helpers shared by the engine: case-insensitive names, paths resolved
// without regard to case (tables are named as on a case-insensitive file
// system), Julian day numbers, and little-endian load/store.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace eng {

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToUpper(std::string_view s);
std::string TrimBlanks(std::string_view s);

// Path helpers ("/" separated).
std::string JoinPath(const std::string& dir, const std::string& name);
std::string DirName(const std::string& path);   // "" when no separator
std::string BaseName(const std::string& path);
bool HasExtension(const std::string& path);     // in the last component
std::string StripExtension(const std::string& path);
// The existing path whose components equal the given ones without regard to
// case (exact matches preferred); the path unchanged when nothing matches.
std::string ResolveNoCase(const std::string& path);
// The same; *st is the status of the path returned when its lookup read
// it, else st->st_ino is 0. A name found in the kept listing of a folder
// unchanged since it was read gives only the file's device, inode and type
// (a regular file), as the listing tells them: no entry of the folder can
// have been replaced meanwhile.
std::string ResolveNoCase(const std::string& path, struct stat* st);
// Whether a file time is old enough to trust: one this recent may not yet
// show a change made in the same clock tick on a file system with coarse
// time stamps, so what was read under it is not kept.
bool FileTimeSettled(const struct timespec& when);
// Whether each file (a path and the device and inode it had when opened)
// still has that identity under its name, as one status call of their
// common folder can tell when the folder is unchanged since a kept listing
// of it (see ResolveNoCase) was read: no entry can have been replaced then.
// False when that cannot be told (no listing, a folder changed since, a
// name not listed): the caller looks at the files themselves.
struct FileAtPath {
  const std::string* path;
  dev_t dev;
  ino_t ino;
};
bool FolderVouchesFor(const std::vector<FileAtPath>& files);
// Whether each file still has its identity under its name: FolderVouchesFor
// when it can tell, else a status call of each path.
bool StillUnderTheirNames(const std::vector<FileAtPath>& files);
// The file the kept listing of path's folder names for path's last name
// (its one spelling there, and the device and inode read with it), with no
// system call. Only a guess, as the folder may have changed since: the
// caller confirms it under its lock, with FolderVouchesFor or a status call
// of the path. False when no listing holds the name as one regular file.
bool GuessFromKeptListing(const std::string& path, std::string* resolved, dev_t* dev, ino_t* ino);
bool SameFileTime(const struct timespec& a, const struct timespec& b);
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Julian day numbers (days since 1 January 4713 BC, Gregorian calendar from 1582).
int64_t JulianFromDate(int year, int month, int day);
void DateFromJulian(int64_t julian, int* year, int* month, int* day);
bool ValidDate(int year, int month, int day);

// An allocator for buffers as large as a whole table (rewrites, index
// builds): from 4 MiB on it asks for transparent huge pages, since faulting
// in fresh memory 4 KiB at a time costs more than filling it. Smaller
// requests go to the ordinary heap.
template <class T>
struct BulkAllocator {
  using value_type = T;
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kBulkBytes = size_t{4} << 20;

  BulkAllocator() = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kBulkBytes) return static_cast<T*>(::operator new(bytes));
    void* p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) & ~(kHugePage - 1));
    if (!p) throw std::bad_alloc();
    ::madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    if (n * sizeof(T) < kBulkBytes)
      ::operator delete(p);
    else
      std::free(p);
  }
  template <class U>
  bool operator==(const BulkAllocator<U>&) const { return true; }
};
using BulkBytes = std::vector<uint8_t, BulkAllocator<uint8_t>>;

inline uint16_t Load16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline uint32_t Load32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t Load64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

}  // namespace eng
