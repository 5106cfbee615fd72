// One table as shared by every handle of this process: its mapped files
// (records, memos), its journal and its process-shared lock.
//
// A SharedTable exists while at least one handle of this process has the
// table open; handles find it by the table file's device and inode. Every
// method below except the constructor and the registry must be called while
// holding a TableLock, which serializes all threads and processes working on
// the table and, when the previous holder died, first restores the table
// from its journal. Record numbers are 1-based and never change while a
// record lives; pack and zap need the table opened exclusively.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "journal.h"
#include "mapped_file.h"
#include "schema.h"

namespace eng {

class SharedTable;
class IndexSet;

// Observes record changes so that indexes stay exact; set by the index layer.
class RecordObserver {
 public:
  virtual ~RecordObserver() = default;
  // Called before a change is applied; may refuse it by throwing (a unique
  // key violation, for instance) while nothing has been changed yet.
  virtual void CheckInsert(uint32_t recno, const uint8_t* raw) = 0;
  virtual void CheckUpdate(uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) = 0;
  virtual void Insert(uint32_t recno, const uint8_t* raw) = 0;
  virtual void Update(uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) = 0;
  virtual void Erase(uint32_t recno, const uint8_t* raw) = 0;
  virtual void Clear() = 0;
  virtual void Rebuild() = 0;
};

class SharedTable {
 public:
  enum FileId { kTableFile = 0, kMemoFile = 1, kIndexFile = 2 };

  // The table of path for this process, opening it when no handle has it
  // open. alone: the caller holds the table's presence lock exclusively, so
  // no handle anywhere has it open and the shared lock may be re-created.
  static std::shared_ptr<SharedTable> Acquire(const std::string& path, dev_t dev, ino_t ino, bool alone);

  ~SharedTable();

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }  // file name, for messages
  std::string base() const;                           // path without extension
  const FieldList& fields() const { return fields_; }
  uint32_t declared_length(size_t i) const { return declared_[i]; }
  uint32_t record_length() const { return record_length_; }
  bool has_memo() const { return memo_.IsOpen(); }
  bool writable() const { return adt_.writable(); }

  // ---- under TableLock ----
  uint64_t SlotCount();
  uint64_t LiveCount();
  uint64_t ChangeCounter();
  uint64_t Generation();
  uint8_t SlotState(uint64_t recno);  // kSlotFree beyond the end
  bool IsLive(uint64_t recno) { return SlotState(recno) == 1; }
  // The raw record of a slot (valid until the next call that may grow a file).
  const uint8_t* Record(uint64_t recno);
  // The empty record image.
  const std::vector<uint8_t>& EmptyRecord() const { return empty_record_; }

  // Memo contents of a memo-like field's raw bytes.
  std::string ReadMemo(const uint8_t* fieldRaw);
  uint32_t MemoLength(const uint8_t* fieldRaw);

  // Reserves a new record (state reserved) holding raw; returns its number.
  uint32_t Reserve(std::vector<uint8_t>* raw);
  // Makes a reserved record live with raw, or replaces a live record's raw
  // with raw. memos: field index -> new content (stored before the record).
  void Write(uint32_t recno, std::vector<uint8_t>& raw, bool append,
             const std::vector<std::pair<size_t, std::string>>& memos);
  // Drops a reserved record.
  void Unreserve(uint32_t recno);
  void Delete(uint32_t recno);
  void Zap();
  void Pack();
  // Shortens the files to what they hold (after a committed zap or pack).
  void TrimFiles();

  // Groups the journaled changes of one operation.
  void BeginChange();
  void CommitChange();
  void AbortChange();  // restores what the operation changed so far
  Journal& journal() { return journal_; }
  MappedFile& table_file() { return adt_; }
  MappedFile& memo_file() { return memo_; }

  IndexSet& indexes() { return *indexes_; }

  // Locking (use TableLock).
  void LockShared();
  void UnlockShared();

 private:
  SharedTable(const std::string& path, dev_t dev, ino_t ino);
  void Load(bool alone);
  void RecoverBeforeLoad();
  void EnsureMapped(uint64_t recno);
  uint64_t SlotOffset(uint64_t recno) const { return header_size_ + (recno - 1) * slot_size_; }
  uint8_t* Header() { return adt_.data(); }
  void SaveHeader();
  uint64_t StoreMemo(const std::string& content, uint8_t* fieldRaw);
  void BumpChange();

  std::string path_, name_;
  dev_t dev_;
  ino_t ino_;
  MappedFile adt_, memo_;
  Journal journal_;
  FieldList fields_;
  std::vector<uint32_t> declared_;
  std::vector<uint8_t> empty_record_;
  uint32_t header_size_ = 0, record_length_ = 0, slot_size_ = 0;
  bool in_change_ = false;
  bool header_saved_ = false;
  RecordObserver* observer_ = nullptr;  // the index set
  std::unique_ptr<IndexSet> indexes_;
  bool registered_ = false;
  std::mutex local_;  // guards nothing across processes; see LockShared
};

// Holds a table's lock for one operation.
class TableLock {
 public:
  explicit TableLock(SharedTable& t) : t_(t) { t_.LockShared(); }
  ~TableLock() { t_.UnlockShared(); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  SharedTable& t_;
};

// Runs BeginChange/CommitChange around a scope; an exception restores the
// table to its state before the scope.
class ChangeScope {
 public:
  explicit ChangeScope(SharedTable& t) : t_(t) { t_.BeginChange(); }
  ~ChangeScope() {
    if (!done_) t_.AbortChange();
  }
  void Commit() {
    t_.CommitChange();
    done_ = true;
  }

 private:
  SharedTable& t_;
  bool done_ = false;
};

}  // namespace eng
