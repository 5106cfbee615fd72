// Record locks of a table, kept in shared memory beside the table's mutex so
// that taking and releasing one costs no system call.
//
// An open-addressing hash table of (record number, owner token) entries,
// changed only under the table's lock. Each handle has a token of its own
// and holds an open-file-description lock on the byte that stands for it,
// so a token whose byte is no longer locked belongs to a handle that is gone
// (closed without cleaning up, or its process died): its entries are stale
// and any handle may take them over. Checking that costs one system call,
// and only on a conflict.
#pragma once

#include <cstddef>
#include <cstdint>

namespace eng {

class RecordLocks {
 public:
  // table: the shared region; fd: a descriptor of the table file to probe
  // other handles' token bytes with.
  RecordLocks(uint8_t* table, size_t bytes, int fd) : table_(table), capacity_(bytes / 16), fd_(fd) {}

  // The token of the handle that holds recno, or 0 when none (stale holders
  // count as none).
  uint64_t Holder(uint32_t recno);
  // Takes recno for token; false when another live handle holds it. Throws
  // when the table is full.
  bool Acquire(uint32_t recno, uint64_t token);
  void Release(uint32_t recno, uint64_t token);

  static uint64_t TokenLockOffset(uint64_t token);
  bool TokenAlive(uint64_t token);

 private:
  size_t Home(uint32_t recno) const { return (recno * 2654435761u) % capacity_; }
  uint32_t RecAt(size_t i) const;
  uint64_t TokenAt(size_t i) const;
  void Set(size_t i, uint32_t recno, uint64_t token);
  long Find(uint32_t recno) const;
  void Erase(size_t i);

  uint8_t* table_;
  size_t capacity_;
  int fd_;
};

}  // namespace eng
