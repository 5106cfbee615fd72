// Crash safety and cross-process exclusion for one table.
//
// Each table has a journal file beside it. Its first page holds a robust,
// process-shared mutex that serializes every operation on the table across
// threads and processes, and the count of journal entries. Before an
// operation changes bytes of the table's files it saves their old contents
// as an entry (Save); when the operation is complete it clears the entries
// (Commit). A process killed in between leaves entries behind: the next
// locker (told by the robust mutex that the owner died) or the next first
// opener restores the old bytes in reverse order (Recover), so every change
// is all or nothing. Entries are published only after their bytes are
// written, so a half-written entry is never replayed, and the files are
// changed only after the entry covering them is published.
//
// The mutex page is mapped once and never moved (a locked robust mutex must
// keep its address); the entry area is mapped separately and may grow.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace eng {

class MappedFile;

class Journal {
 public:
  static constexpr int kMaxFiles = 4;

  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (creating when missing) the journal file.
  void Open(const std::string& path);
  void Close();
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

  // The files whose bytes entries refer to, by id.
  void SetFile(int id, MappedFile* file) { files_[id] = file; }

  // Re-creates the mutex; only while no other handle anywhere has the table open.
  void InitMutex();
  pthread_mutex_t* mutex() { return reinterpret_cast<pthread_mutex_t*>(header_ + kMutexOffset); }

  bool HasEntries() const { return Word(kCountOffset)->load(std::memory_order_acquire) != 0; }
  // The shared record lock table (see record_locks.h) and a counter that
  // gives every handle a token of its own; both live beside the mutex.
  uint8_t* lock_table() { return header_ + kLockTableOffset; }
  static constexpr size_t kLockTableBytes = 60 * 1024;
  uint64_t NextToken();  // under the mutex
  // Grows with every completed or undone change. Together with HasEntries()
  // it lets a reader tell, without the lock, that nothing changed since it
  // last looked (this page never moves, so reading it needs no lock).
  uint64_t Sequence() const { return Word(kSequenceOffset)->load(std::memory_order_acquire); }
  // Where Sequence() and the entry count live, for lock-free watchers;
  // the header page stays mapped at one place while the journal is open.
  const std::atomic<uint64_t>* SequenceWord() const { return Word(kSequenceOffset); }
  const std::atomic<uint64_t>* EntryCountWord() const { return Word(kCountOffset); }
  // Restores the saved bytes, newest first, and clears the entries.
  void Recover();
  // Saves the current bytes of [offset, offset+length) of file id (they must
  // lie within its mapping) before the caller changes them.
  void Save(int id, uint64_t offset, uint64_t length);
  void Commit();

 private:
  static constexpr size_t kHeaderSize = 64 * 1024;
  static constexpr size_t kLockTableOffset = 4096;
  static constexpr size_t kTokenOffset = 272;
  static constexpr size_t kSequenceOffset = 280;
  static constexpr size_t kMutexOffset = 64;
  static constexpr size_t kCountOffset = 256;
  static constexpr size_t kUsedOffset = 264;

  // A 64-bit word of the header page shared between processes.
  std::atomic<uint64_t>* Word(size_t offset) const { return reinterpret_cast<std::atomic<uint64_t>*>(header_ + offset); }
  void ReserveEntries(uint64_t bytes);
  void MapEntries(uint64_t length);

  std::string path_;
  int fd_ = -1;
  uint8_t* header_ = nullptr;
  uint8_t* entries_ = nullptr;
  uint64_t entries_size_ = 0;
  uint64_t entries_allocated_ = 0;  // of the entry area, known to have blocks (<= entries_size_)
  MappedFile* files_[kMaxFiles] = {};
};

}  // namespace eng
