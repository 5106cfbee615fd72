// One open table as seen through one engine handle: the current position,
// the pending (not yet written) record, the record locks this handle holds,
// and the handle's filter. Positions are record numbers plus two "cracks":
// before the first record (BOF) and after the last (EOF). Skipping -1 from
// the first record goes to BOF and +1 from there back to the first record;
// EOF mirrors it. An empty table is at BOF and EOF at once.
//
// On an encrypted table a handle reads and writes records, and walks or
// seeks its tags, only after EnableEncryption() with the right password;
// the fields can be read without it. The password given is remembered (in
// memory only) so that EncryptTable() can use it.
//
// Not thread-safe by itself: the C interface serializes calls per handle.
// Every method takes the table's lock for its own duration, except that
// on a plain table going to a record, skipping in natural order without a
// filter and reading the current record are served without it when the
// journal shows that nothing changed meanwhile (see SharedTable::PeekBegin).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "table_file.h"

namespace eng {

class KeyLayout;

// Where in a tag's stored keys every record that passes a filter lies: a
// key can pass only when, for each low bound l, its first l.size() bytes
// compare (memcmp) >= l, and for each high bound h its first h.size()
// bytes compare <= h. No bounds: the filter says nothing about the keys.
struct KeyBounds {
  std::vector<std::vector<uint8_t>> low, high;
  bool empty() const { return low.empty() && high.empty(); }
};
// The bounds of a filter for the tag with the given layout.
using BoundsFor = std::function<KeyBounds(const KeyLayout& layout)>;

// A record order other than natural (an index). Returns 0 when there is no
// such record. `from` may have been deleted since it was current.
class RecordOrder {
 public:
  virtual ~RecordOrder() = default;
  virtual uint32_t First() = 0;
  virtual uint32_t Last() = 0;
  virtual uint32_t Next(uint32_t from) = 0;
  virtual uint32_t Prev(uint32_t from) = 0;
  // Called before each walk with the handle's filter bounds (null: no
  // filter); `serial` changes whenever they may. An order may then skip
  // the records outside them (the walk still tests each record it gets).
  virtual void Narrow(uint64_t serial, const BoundsFor* bounds) {
    (void)serial;
    (void)bounds;
  }
};

struct GuessNotConfirmed {};

struct OpenOptions {
  bool exclusive = false;
  bool read_only = false;
  uint16_t char_type = 1;
  uint16_t lock_type = 1;
};

class TableHandle {
 public:
  // Opens path (already resolved). Throws EngineError: the table is missing,
  // damaged, or in use in a way that conflicts with the options.
  // known: the file's status when the caller has just read it (lets a
  // descriptor this process kept from an earlier handle be used again).
  // guessed: known and path come from a kept folder listing that no status
  // call has confirmed (GuessFromKeptListing); the handle is made only when
  // a descriptor kept for that file is free and, under the presence lock,
  // the name still leads to the file. Else it throws GuessNotConfirmed,
  // having changed nothing, and the caller opens the usual way.
  TableHandle(const std::string& path, const OpenOptions& options, const struct stat* known = nullptr,
              bool guessed = false);
  // A handle on a table held in memory (SharedTable::InMemory), read only:
  // no other process can see it, so it takes no file lock.
  explicit TableHandle(std::shared_ptr<SharedTable> in_memory);
  ~TableHandle();
  TableHandle(const TableHandle&) = delete;
  TableHandle& operator=(const TableHandle&) = delete;

  SharedTable& table() { return *table_; }
  const FieldList& fields() const { return table_->fields(); }
  const OpenOptions& options() const { return options_; }
  bool exclusive() const { return options_.exclusive; }
  // 1-based field number for a name (case-insensitive); throws when unknown.
  uint16_t FieldNumber(const std::string& name) const;
  const FieldDef& Field(uint16_t number) const {
    if (number == 0 || number > fields().size()) FailNoField(number);
    return fields()[number - 1];
  }

  // Positioning (order == nullptr: natural order).
  void GotoTop(RecordOrder* order);
  void GotoBottom(RecordOrder* order);
  void Skip(RecordOrder* order, int32_t n);
  void GotoRecord(uint32_t recno);
  bool AtEof() const { return at_eof_; }
  bool AtBof() const { return at_bof_; }
  uint32_t RecNo() const { return recno_; }
  bool IsVisible();  // throws 5068 without a current record

  // Reading the current record (pending changes included).
  std::vector<uint8_t> CurrentRecord();
  void CopyCurrentRecord(uint8_t* out);
  // Its bytes in the handle's own copy, valid until the handle next changes
  // position or record (no copy made for the caller).
  const uint8_t* CurrentBytes() {
    // The copy kept is still the record when nothing changed since.
    if (!pending_ && recno_ != 0 && cached_recno_ == recno_ && (crypto_enabled_ || !table_->encrypted())) {
      const Journal& journal = table_->journal();
      if (!journal.HasEntries() && journal.Sequence() == cached_seq_) return cached_raw_.data();
    }
    return CurrentBytesSlow();
  }
  bool FieldIsEmpty(uint16_t field);
  std::string FieldText(uint16_t field);  // strings as stored; memo contents
  uint32_t MemoLength(uint16_t field);

  // Editing.
  void LockRecord(uint32_t recno);
  void UnlockRecord(uint32_t recno);
  void Append();
  void SetFieldText(uint16_t field, const uint8_t* value, uint32_t len);
  void SetFieldRaw(uint16_t field, const uint8_t* value, uint32_t len);
  void SetEmpty(uint16_t field);
  void Write();
  void CancelUpdate();  // throws 5085 when nothing is pending
  void Delete();

  // Changing a record from what it holds, within a change the caller holds
  // (a TableLock and a ChangeScope on table(), as an SQL statement holds
  // them for all of its records): the record cannot change between being
  // read and being written, a condition checked in it holds when the change
  // is made, and a failure leaves undoing to the caller's change.
  // Both return false, changing nothing, when the record is gone or `edit` /
  // `still` declines; a record another handle has locked fails as Write()
  // and Delete() do. The record becomes the current one.
  // edit: gets the live record and a copy of it to change in place (and
  // memo contents to store, by field index); returns false to leave it be.
  // It runs under the table's lock: it must not call this handle.
  using Memos = std::vector<std::pair<size_t, std::string>>;
  using RecordEdit = std::function<bool(const uint8_t* now, uint8_t* raw, Memos* memos)>;
  bool EditInChange(uint32_t recno, const RecordEdit& edit);
  bool DeleteInChange(uint32_t recno, const std::function<bool(const uint8_t* now)>& still);
  // Appends a record of raw's values (autoincrement fields numbered here),
  // with memo contents by field index, within such a change; returns its number.
  uint32_t AppendInChange(std::vector<uint8_t>& raw, const Memos& memos);
  bool HasPending() const { return pending_; }
  uint32_t LastAutoinc() const { return last_autoinc_; }

  void Zap();
  void Pack();
  // The table's files were rewritten with another layout under this handle
  // (ALTER TABLE): closing must not shorten them by the old layout.
  void SkipTrimAtClose() { skip_trim_ = true; }

  // Encryption. EnableEncryption fails with ENG_ERR_WRONG_PASSWORD on an
  // encrypted table whose password is another; on a plain one it only
  // remembers the password. Encrypting and decrypting need the table opened
  // exclusively and do nothing when it is in that state already.
  void EnableEncryption(const std::string& password);
  void EncryptTable();
  void DecryptTable();
  bool IsEncrypted() const { return table_->encrypted(); }
  // Throws ENG_ERR_ENCRYPTED unless this handle may read the records.
  void RequireAccess() const {
    if (!crypto_enabled_ && table_->encrypted()) table_->FailLocked();
  }
  uint64_t RecordCount(bool respect_filter);

  // Filter: records for which it returns false are skipped by navigation.
  using Filter = std::function<bool(uint32_t recno, const uint8_t* raw)>;
  // Candidates: the only records that can pass the filter, ascending (run
  // under the table's lock; false when it has no way to tell). Natural-order
  // navigation then visits only those instead of every slot.
  using Candidates = std::function<bool(std::vector<uint32_t>* out)>;
  // Bounds: where an index walk can find the records that pass.
  void SetFilter(Filter f, Candidates candidates = nullptr, BoundsFor bounds = nullptr) {
    filter_ = std::move(f);
    candidates_source_ = std::move(candidates);
    candidates_valid_ = false;
    bounds_ = std::move(bounds);
    ++filter_serial_;
  }
  bool HasFilter() const { return static_cast<bool>(filter_); }

  // Where a record is shown: live and passing the filter (lock held).
  bool Shows(uint32_t recno);
  // Writes a pending change (as any move does).
  void Settle() { FlushPending(); }
  // Positions set by an index seek.
  void PositionOn(uint32_t recno) { SetOn(recno); }
  void PositionAtEof() { SetCrack(true, false); }

 private:
  [[noreturn]] void FailNoField(uint16_t number) const;
  [[noreturn]] void FailNotWritable(const FieldDef& f) const;
  const uint8_t* CurrentBytesSlow();
  void OpenShared(const std::string& path, const struct stat* known, bool guessed);
  void RequireRecord() const {
    if (recno_ == 0) FailNoRecord();
  }
  [[noreturn]] void FailNoRecord() const;
  void BeginPending();
  void FlushPending();  // writes a pending change before moving
  uint32_t NextNatural(uint32_t from);
  uint32_t PrevNatural(uint32_t from);
  uint32_t Step(RecordOrder* order, uint32_t from, bool forward);
  void SetCrack(bool eof, bool bof);
  void SetOn(uint32_t recno);
  void SetOn(uint32_t recno, const uint8_t* raw);  // raw: the live record, or null
  void KeepCopy(uint32_t recno, const uint8_t* raw);  // under the table's lock
  bool SkipWithoutLock(int32_t n);
  // Encrypted tables in natural order: the decrypted slots of the block of
  // the record just reached, kept so that the steps that follow within the
  // block take no lock (and decrypt nothing) while the journal's sequence
  // stays where it was when they were copied. Memory only.
  void KeepBlockCopy(uint32_t recno);  // under the table's lock
  bool SkipInBlockCopy(int32_t n);
  bool TakePeeked(uint32_t recno, const uint8_t* raw, uint64_t seq);
  const FieldDef& WritableField(uint16_t field);
  void CheckNotLockedByOthers(uint32_t recno);  // under the table lock

  OpenOptions options_;
  int fd_ = -1;  // own descriptor: carries this handle's locks
  std::shared_ptr<SharedTable> table_;
  uint32_t recno_ = 0;
  bool at_eof_ = true, at_bof_ = true;
  bool pending_ = false, pending_append_ = false;
  std::vector<uint8_t> pending_raw_;
  std::vector<bool> set_fields_;
  std::vector<std::pair<size_t, std::string>> pending_memos_;
  // The records this handle has locked, ascending: a flat list, since a
  // handle holds few and taking or giving back one must not allocate.
  std::vector<uint32_t> locks_;
  bool HoldsLock(uint32_t recno) const;
  uint64_t token_ = 0;  // this handle's owner token in the shared lock table
  bool spare_ok_ = false;  // the descriptor may be kept for a later open
  // A copy of the current record as of the table's change sequence
  // cached_seq_ (taken under the lock, or by a peek that held), valid while
  // the sequence stays there: reads skip the lock then. cached_recno_ 0:
  // no valid copy.
  std::vector<uint8_t> cached_raw_;
  uint32_t cached_recno_ = 0;
  uint64_t cached_seq_ = 0;
  std::vector<uint8_t> block_slots_;  // see KeepBlockCopy
  uint64_t block_first_ = 0;          // record number of its first slot
  uint32_t block_count_ = 0;          // slots held; 0: none
  uint64_t block_table_slots_ = 0;    // the table's slot count then
  uint64_t block_seq_ = 0;
  SharedTable::CheckedSlots peek_checked_;  // slots a walk without the lock found intact
  Filter filter_;
  bool RefreshCandidates();  // under the table lock; false: walk every slot
  Candidates candidates_source_;
  BoundsFor bounds_;
  uint64_t filter_serial_ = 0;
  std::vector<uint32_t> candidates_;
  bool candidates_valid_ = false, candidates_usable_ = false;
  uint64_t candidates_stamp_ = 0;
  uint32_t last_autoinc_ = 0;
  bool skip_trim_ = false;
  bool crypto_enabled_ = false;
  std::string password_;  // given to EnableEncryption; never written anywhere
};

// Lets a handle read and write an encrypted table, as EnableEncryption does
// (the SQL layer calls it for the tables a statement has passwords for).
void EnableTableEncryption(TableHandle& table, const std::string& password);

// Parses text into a field's raw bytes as EngSetField does for non-string types.
void EncodeFieldText(const FieldDef& f, const std::string& text, uint8_t* raw);
// The text form of a field (EngGetField on a non-memo field).
std::string DecodeFieldText(const FieldDef& f, const uint8_t* raw);

}  // namespace eng
