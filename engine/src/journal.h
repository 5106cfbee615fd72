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
// Entries are tied to the exact files they were saved from. The table file
// (file 0) keeps two words: its identity (given on its first change) and
// the stamp of its latest change. The first entry of every change saves
// those words and gives the file a fresh stamp; the journal's header keeps
// the words before and after. A journal whose entries were saved from
// other files (a table put back from a copy beside a journal left by a
// change cut short) restores nothing: its entries are dropped with a
// warning. Journals written before this tie are judged by what the files
// show (see BelongsToFiles).
//
// A change may span many operations (an SQL statement, a transaction).
// Entries saved back to back over adjacent bytes of one file grow one entry
// instead of adding another, so a statement that rewrites a million
// neighbouring records keeps about one copy of them and no per-record
// headers. A mark (CurrentMark) is a point to come back to within a change:
// RollbackTo restores what was saved after it and drops those entries, and
// entries from before a mark are never grown.
//
// A change that belongs to a transaction over several tables carries a tag
// naming the transaction's commit record (see transaction.h): its entries
// are to be restored unless that record exists, which says the transaction
// committed (TransactionOf, CommitRecordExists).
//
// The mutex page is mapped once and never moved (a locked robust mutex must
// keep its address); the entry area is mapped separately and may grow.
//
// A commit only clears the count: the saved bytes stay in the file. A
// change of a plain table saves plain bytes, so the header notes it
// (NotePlainSaves), and once the table is encrypted its owner wipes the
// whole entry area (WipeIfPlain), so that no old value of an encrypted
// table is left readable beside it.
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
  // The journal of a table that lives in memory only, in this process: its
  // mutex and lock table in private memory, and never an entry.
  void OpenInMemory(const std::string& name);
  void Close();
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

  // The files whose bytes entries refer to, by id.
  void SetFile(int id, MappedFile* file) { files_[id] = file; }
  // Where file 0 keeps its identity and stamp (16 bytes) and its change
  // counter (8), and how long its fixed header is (a longer entry from its
  // start saved the file wholesale). Set before the first Save.
  void TieTo(uint64_t identity_offset, uint64_t counter_offset, uint64_t header_bytes) {
    identity_offset_ = identity_offset;
    counter_offset_ = counter_offset;
    header_bytes_ = header_bytes;
  }

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
  // Whether the entries were saved from the files now set, as far as file
  // 0 (mapped over its fixed header) tells; else *why says what differs.
  // A journal from before the tie belongs to an unstamped table file when
  // every entry lies within its file and the oldest saved change counter,
  // unless the file was saved wholesale, is the file's or one less.
  bool BelongsToFiles(std::string* why);
  // Clears the entries without restoring anything (they belong to other files).
  void Discard();
  // Saves the current bytes of [offset, offset+length) of file id (they must
  // lie within its mapping) before the caller changes them.
  void Save(int id, uint64_t offset, uint64_t length);
  // The next change (from its first Save) gives file 0 these words instead
  // of a fresh stamp: a change that puts the files back from a copy of them
  // takes the copy's identity and stamp, so that it ends byte for byte as
  // the copy and the files match the tie at every moment.
  void StampNextChangeWith(uint64_t identity, uint64_t stamp) {
    next_identity_ = identity;
    next_stamp_ = stamp;
    next_given_ = true;
  }
  void Commit();

  struct Mark {
    uint64_t count = 0, used = 0, last = 0;
  };
  // Under the lock, within a change: where it stands now.
  Mark CurrentMark();
  // Puts back the bytes saved after mark, newest first, and drops those
  // entries; the change goes on from there.
  void RollbackTo(const Mark& mark);

  // The transaction the next change belongs to: its commit record's path
  // and id (an empty path: none). Written to the header with the change's
  // first entry.
  void SetTransaction(const std::string& record, uint64_t id) {
    txn_record_ = record;
    txn_id_ = id;
  }
  // Of the live entries: false when they belong to no transaction.
  bool TransactionOf(std::string* record, uint64_t* id) const;
  // Whether the journal file at path still holds entries of transaction id
  // (read without its lock: a hint that only ever turns false).
  static bool HoldsTransaction(const std::string& path, uint64_t id);
  // Before a change that may save plain bytes: the entry area may then
  // hold them until WipeIfPlain. The header keeps the opposite, that the
  // area is known to hold none, so that a journal of an older version (or
  // a fresh one) counts as possibly holding plain bytes.
  void NotePlainSaves() {
    std::atomic<uint64_t>* clean = Word(kCleanOffset);
    if (clean->load(std::memory_order_relaxed) != 0) {
      clean->store(0, std::memory_order_release);
      std::atomic_thread_fence(std::memory_order_release);
    }
  }
  bool MayHoldPlain() const { return Word(kCleanOffset)->load(std::memory_order_acquire) == 0; }
  // Without live entries, under the table's lock: when the area may hold
  // plain bytes, zeroes all of it (the file keeps its length, so every
  // mapping of it stays valid) and notes it clean.
  void WipeIfPlain();

 private:
  static constexpr size_t kHeaderSize = 64 * 1024;
  static constexpr size_t kLockTableOffset = 4096;
  static constexpr size_t kTokenOffset = 272;
  static constexpr size_t kSequenceOffset = 280;
  static constexpr size_t kMutexOffset = 64;
  static constexpr size_t kCountOffset = 256;
  static constexpr size_t kUsedOffset = 264;
  // The tie of the current change: a mark, then file 0's identity, stamp
  // and change counter before it, then its identity and stamp during it.
  static constexpr size_t kTieOffset = 288;
  static constexpr uint64_t kTieMark = 0x314549544E524Aull;  // "JRNTIE1"
  static constexpr size_t kCleanOffset = 384;
  static constexpr size_t kLastOffset = 392;  // where the newest entry starts
  // The transaction tag: a mark, the id, the record path's length, the path.
  static constexpr size_t kTxnOffset = 512;
  static constexpr uint64_t kTxnMark = 0x314E58544E524Aull;  // "JRNTXN1"
  static constexpr size_t kTxnPathMax = 4096 - kTxnOffset - 24;
  void WriteTransactionTag();

  // A 64-bit word of the header page shared between processes.
  std::atomic<uint64_t>* Word(size_t offset) const { return reinterpret_cast<std::atomic<uint64_t>*>(header_ + offset); }
  void MapHeader();  // fd_ and path_ set
  void ReserveEntries(uint64_t bytes);
  void MapEntries(uint64_t length);
  void Append(int id, uint64_t offset, uint64_t length);
  void CopyIn(const uint8_t* src, uint64_t length, uint64_t at);  // into the entry area at `at`
  void Stamp();  // the first entry of a change (see the top)
  struct Entry {
    int id;
    uint64_t offset, length, at;  // at: where its bytes lie in the entry area
  };
  void RefreshEntries();  // maps the entry area as long as the file is now
  // The published entries, oldest first; false when they do not parse.
  bool ReadEntries(std::vector<Entry>* list) const;

  std::string path_;
  int fd_ = -1;
  uint8_t* header_ = nullptr;
  uint8_t* entries_ = nullptr;
  uint64_t entries_size_ = 0;
  uint64_t entries_allocated_ = 0;  // of the entry area, known to have blocks (<= entries_size_)
  MappedFile* files_[kMaxFiles] = {};
  uint64_t identity_offset_ = 0, counter_offset_ = 0, header_bytes_ = 0;  // 0: not tied
  bool next_given_ = false;  // see StampNextChangeWith
  uint64_t next_identity_ = 0, next_stamp_ = 0;
  uint64_t merge_floor_ = 0;  // entries below this count are never grown (see Mark)
  std::string txn_record_;
  uint64_t txn_id_ = 0;
};

}  // namespace eng
