// One table as shared by every handle of this process: its mapped files
// (records, memos), its journal and its process-shared lock.
//
// A SharedTable exists while at least one handle of this process has the
// table open; handles find it by the table file's device and inode. After
// the last handle closes, a few plain (unencrypted, writable) tables stay
// loaded in a small per-process cache, holding no file lock, so that
// reopening them costs no mapping or header reading. A cached table is
// handed out again only when its journal's sequence shows that nothing
// changed it since (any change of layout, tags or mode is a committed
// change), its companion files are still the ones it has open, its table
// file still carries the change stamp it had (files put back from a copy
// carry their own), its headers still pass the checks of opening (bytes
// written outside the engine move no sequence), and after its mappings are
// sized to the files again (another process may have trimmed them);
// otherwise it is loaded afresh.
// Every
// method below except the constructor and the registry must be called while
// holding a TableLock, which serializes all threads and processes working on
// the table and, when the previous holder died, first restores the table
// from its journal. Record numbers are 1-based and never change while a
// record lives; pack and zap need the table opened exclusively.
//
// An encrypted table (see crypto.h) keeps its slots in sealed blocks of
// about 4 KiB and its memo contents and index pages sealed one by one.
// Record() then points into a decrypted copy of the slot's block, kept in a
// per-process cache that is dropped whenever the journal's sequence shows
// that another process changed the table; blocks changed by an operation
// are sealed back into the file (their old bytes saved in the journal) when
// it commits. Reading an encrypted table needs its cipher, set by Unlock().
//
// A plain table with checksums (see table_format.h) checks a slot's CRC32C
// whenever it reads the slot: under the lock a mismatch is reported as
// ENG_ERR_CORRUPT naming the file and the record; a read without the lock
// that meets one only gives up (it may have met a write under way) and the
// caller reads again under the lock. A walk forward checks the slots ahead
// of it together (up to 16, within 4 KiB) and remembers which held: under
// the lock until the lock is given up or a slot changes, without it for as
// long as the journal's sequence stays. Every change of a slot stamps its
// checksum anew within the same journaled change.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "crypto.h"
#include "crypto_cache.h"
#include "error.h"
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
  // False when no change needs to be seen (a table without tags): writes
  // then skip the calls and the copy of the record's old bytes.
  virtual bool Watching() const { return true; }
};

class SharedTable {
 public:
  enum FileId { kTableFile = 0, kMemoFile = 1, kIndexFile = 2 };

  // The table of path for this process, opening it when no handle has it
  // open. alone: the caller holds the table's presence lock exclusively, so
  // no handle anywhere has it open and the shared lock may be re-created.
  static std::shared_ptr<SharedTable> Acquire(const std::string& path, dev_t dev, ino_t ino, bool alone);
  // The table of that file when a handle of this process has it open now
  // (not merely kept closed in the cache); else null.
  static std::shared_ptr<SharedTable> FindOpen(dev_t dev, ino_t ino);
  // Takes the table of that file out of the cache of closed tables when it
  // is there and nothing changed it since (as Acquire checks); else null
  // (and a cached table that changed is dropped). The caller holds the
  // presence lock, shared, and is not known to be alone. confirm_path: a
  // name the caller guessed is this file's (see GuessFromKeptListing); the
  // table is handed out only when that name still leads to it.
  static std::shared_ptr<SharedTable> ReviveCached(dev_t dev, ino_t ino, const std::string* confirm_path = nullptr);
  // Whether the cache of closed tables holds that file (a hint: it may be
  // gone by the time ReviveCached runs).
  static bool IsCached(dev_t dev, ino_t ino);
  // Descriptors of closed handles kept for reuse: each holds only the lock
  // of its handle's token (no record of the lock table names that token
  // any more). Kept while this table object lives, a few at most; closed
  // with it. Keep returns false when there is no room (the caller closes).
  bool KeepSpareDescriptor(int fd, uint64_t token);
  // *owner: the table object that kept it (its tokens count only there).
  static bool TakeSpareDescriptor(dev_t dev, ino_t ino, int* fd, uint64_t* token, const SharedTable** owner);
  // Gives back a handle's reference; the last one may keep the table in
  // the process's cache of closed tables (see above).
  static void Release(std::shared_ptr<SharedTable> table);

  // A table held in memory only, as the result of an SQL statement:
  // adt_fd (and memo_fd, or -1) are files without a name (memfd_create)
  // holding a table file image; the table takes them over. It belongs to
  // no registry or cache; its handles are made with TableHandle's
  // constructor for it.
  static std::shared_ptr<SharedTable> InMemory(const std::string& name, int adt_fd, int memo_fd);

  ~SharedTable();

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }  // file name, for messages
  std::string base() const;                           // path without extension
  const FieldList& fields() const { return fields_; }
  uint32_t declared_length(size_t i) const { return declared_[i]; }
  uint32_t record_length() const { return record_length_; }
  bool has_memo() const { return memo_.IsOpen(); }
  bool has_checksums() const { return checksums_; }  // slots end with a CRC32C
  bool writable() const { return adt_.writable(); }
  bool in_memory() const { return in_memory_; }
  // The table file's device and inode: an order of tables the same in
  // every process, for taking several tables' locks.
  std::pair<uint64_t, uint64_t> file_id() const { return {static_cast<uint64_t>(dev_), static_cast<uint64_t>(ino_)}; }

  // ---- under TableLock ----
  uint64_t SlotCount();
  uint64_t LiveCount();
  uint64_t ChangeCounter();
  uint64_t Generation();
  // Unique in the process to this loaded table's fields and index tags:
  // the fields never change while it is loaded (a new layout loads the
  // table afresh); a tag made or dropped gives a new number.
  uint64_t LayoutStamp();
  uint8_t SlotState(uint64_t recno);  // kSlotFree beyond the end
  bool IsLive(uint64_t recno) { return SlotState(recno) == 1; }
  // The raw record of a slot (valid until the next call that may grow a file).
  const uint8_t* Record(uint64_t recno);
  // The raw record of a live slot, or null when the slot is not live: what
  // IsLive() then Record() tell, finding the slot once.
  const uint8_t* LiveRecord(uint64_t recno);
  // Copies the slots [first, first + count) to out, slot_size() bytes each
  // (the state byte, then the raw record). A plain table's slots are read
  // from the file: a one-off scan through a fresh mapping would fault in
  // its pages one by one, which costs several times more than the copy.
  void ReadSlots(uint64_t first, uint64_t count, uint8_t* out);
  // An encrypted table's slots from `first` on that lie in one decrypted
  // block, in place (valid until the operation ends); *count is cut to how
  // many. Null for a plain table, whose slots ReadSlots copies best.
  const uint8_t* SlotsInPlace(uint64_t first, uint64_t* count);
  uint32_t slot_size() const { return slot_size_; }
  // Bytes of decrypted record blocks held (0 for a plain table).
  uint64_t DecryptedBytes() const { return blocks_.bytes(); }
  // Record blocks decrypted since the table was loaded.
  uint64_t BlocksDecrypted() const { return blocks_decrypted_; }
  // Walked blocks kept per table: a table up to this size is decrypted once
  // however often it is walked; a larger one holds this much while walked.
  static constexpr uint64_t kWalkCacheBytes = 32ull << 20;
  // Tests walk past the limit with a smaller one.
  void SetWalkCacheBytes(uint64_t bytes) { walk_cache_bytes_ = bytes; }
  // Slots per sealed block of an encrypted table (1 for a plain one).
  uint32_t slots_per_block() const { return slots_per_block_; }
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
  // Keeps an encrypted table encrypted.
  void Pack();
  // Encryption. Encrypt and Decrypt rewrite every file in place within the
  // current change (the whole old contents saved in the journal first), so
  // a crash leaves the old state or the new; record numbers and tags stay.
  bool encrypted() const { return encrypted_; }
  bool unlocked() const { return cipher_ != nullptr; }
  const crypto::Cipher* cipher() const { return cipher_.get(); }
  const crypto::Params& crypto_params() const { return crypto_params_; }
  // Slots per sealed record block of an encrypted table (at least one).
  static uint32_t SlotsPerSealedBlock(uint32_t slot_size);
  void Encrypt(std::shared_ptr<const crypto::Cipher> cipher, const crypto::Params& params);
  void Decrypt();
  // Checks password against the header and keeps the cipher; false when it
  // is wrong. Takes the table's lock itself (the key is derived outside it).
  bool Unlock(const std::string& password);
  // Throws ENG_ERR_ENCRYPTED: the table's data cannot be read without a key.
  [[noreturn]] void FailLocked() const;
  // Throws ENG_ERR_NOT_SUPPORTED when the table's cipher cannot run on this
  // processor (see crypto.h).
  void RequireRunnableCipher() const;
  // Shortens the files to what they hold (after a committed zap or pack).
  void TrimFiles();
  // True when a file is longer than what it holds, so that TrimFiles has
  // work. Read without the lock: only a hint, since a file grows only
  // while some handle has the table open (and then that handle trims).
  bool HasSlack();

  // ---- without TableLock (plain tables) ----
  // Reads that take no lock, in the manner of a sequence lock. PeekBegin
  // gives the journal's sequence, or false when the table is encrypted or
  // a change is under way (or was cut short): every change of the table's
  // file is published in the journal before its bytes change and moves the
  // sequence when it ends. The peeks that follow then tell the table as it
  // was at that sequence exactly when PeekValid(seq) holds afterwards; until
  // then what they return is only a guess. A peek returns false where it
  // would need the lock (a slot beyond this process's mapping). Record
  // bytes peeked must be copied before PeekValid, not used after it.
  bool PeekBegin(uint64_t* seq) {
    if (encrypted_) return false;
    *seq = journal_.Sequence();
    return !journal_.HasEntries();
  }
  bool PeekValid(uint64_t seq) {
    // The slot reads before come before the second look at the journal.
    std::atomic_thread_fence(std::memory_order_acquire);
    return !journal_.HasEntries() && journal_.Sequence() == seq;
  }
  // *raw: the record's bytes when it is live, null when it is not.
  bool PeekRecord(uint64_t recno, const uint8_t** raw);
  // Slots whose checksums held when last read at a sequence: a walk checks
  // the slots ahead together, which costs less than one by one.
  struct CheckedSlots {
    uint64_t seq = 0;
    uint64_t from = 0, to = 0;  // [from, to)
  };
  // The next (forward) or previous live record from `from` in natural
  // order (from 0: the first or last), 0 when there is none; *raw as above.
  // seq: PeekBegin's; *checked: the caller's, kept between steps.
  bool PeekStep(uint32_t from, bool forward, uint32_t* out, const uint8_t** raw, uint64_t seq,
                CheckedSlots* checked);

  // Groups the journaled changes of one operation. Changes nest: one begun
  // inside another (an operation inside an SQL statement, a statement
  // inside a transaction) is a point to come back to: aborting it restores
  // what was changed since it began, committing it leaves its changes to
  // the enclosing change, and only the outermost commit makes them durable.
  // The outermost begins by telling the thread's change hook (AnnounceChange).
  void BeginChange();
  // Under TableLock, before anything of the table changes: tells the
  // calling thread's change hook (see change_hook.h), once per setting of
  // it. Throws when the hook refuses; nothing has changed then.
  void AnnounceChange();
  // Puts the table's files back from copies (the table file at adt, memo
  // and tags "" for files the copy lacks) in one journaled change that
  // carries the copy's identity and stamp, so that the files end byte for
  // byte as the copy. The caller holds the table exclusively, without the
  // lock, and closes its handle right after (skipping the trim): the table
  // is loaded afresh by its next user. Memo and tags files the copy lacks
  // are left for the caller to remove after that close.
  void RestoreFrom(const std::string& adt, const std::string& memo, const std::string& tags);
  void CommitChange();
  void AbortChange();  // restores what the innermost change changed so far
  // The outermost commit in two steps, for a transaction over several
  // tables: PrepareCommit does what may fail (an encrypted table's changed
  // blocks sealed into the file, under the journal); FinishCommit only
  // clears the journal.
  void PrepareCommit();
  void FinishCommit();
  int ChangeDepth() const { return change_depth_; }
  Journal& journal() { return journal_; }
  MappedFile& table_file() { return adt_; }
  MappedFile& memo_file() { return memo_; }

  IndexSet& indexes() { return *indexes_; }
  // Keeps this table out of the cache of closed tables, so that the next
  // open loads it afresh (ALTER TABLE replaced its files wholesale).
  void DiscardWhenClosed() { discard_ = true; }
  // ALTER TABLE, inside its change: the table file at path, about to be
  // copied over this one, takes this file's identity and change stamp, so
  // that the journal knows the files as its own should the change be cut
  // short half-way through the copy.
  void LendIdentity(const std::string& path);

  // Locking (use TableLock). The lock is recursive for the thread that
  // holds it (a transaction holds its tables' locks across statements).
  // wait_ms >= 0: gives up after that long with ENG_ERR_TABLE_LOCKED.
  void LockShared(int64_t wait_ms = -1);
  void UnlockShared();
  bool HeldByThisThread() const;

 private:
  // Under the registry's lock: moves a cached table out of the cache into
  // *out and revives it; false (and no longer registered) when it changed,
  // for the caller to drop from the registry.
  static bool TakeOutOfCache(std::shared_ptr<SharedTable> cached, bool alone, std::shared_ptr<SharedTable>* out,
                             const std::string* confirm_path = nullptr);
  SharedTable(const std::string& path, dev_t dev, ino_t ino);
  void Load(bool alone);
  void ReadLayout(bool alone);
  void LoadFiles(bool alone);  // after ReadLayout, with the journal open
  void RecoverBeforeLoad();
  // Restores what a change cut short saved in the journal when the entries
  // were saved from these files; otherwise drops them with a warning (see
  // journal.h).
  void RecoverJournal();
  // On a network file system: the lock that keeps every other process,
  // here or on another machine, from loading the table (see file_system.h).
  void ClaimOnNetwork();
  // A cached table about to be handed out again: true when it is still
  // exact (see above), with its mappings refreshed and, when alone, its
  // lock re-created as a first opener does.
  bool Revive(bool alone, const std::string* confirm_path);
  bool Cacheable() const;
  // The header's sizes, flags, encryption area and field definitions are
  // those this table was loaded with.
  bool SameLayout();
  void EnsureMapped(uint64_t recno);
  uint64_t SlotOffset(uint64_t recno) const { return header_size_ + (recno - 1) * slot_size_; }
  uint8_t* Header() { return adt_.data(); }
  // A slot's bytes (state byte, raw record), to read or to change. The
  // changed range [from, from+length) is journaled (plain tables) or the
  // slot's block is marked for sealing (encrypted ones); journaled=false
  // for slots beyond the count, which need no before-image.
  const uint8_t* Slot(uint64_t recno);
  uint8_t* MutableSlot(uint64_t recno, uint32_t from, uint32_t length, bool journaled = true);
  // Checksums (no-ops for a table without them). Stamp after changing a
  // slot got from MutableSlot; Check throws ENG_ERR_CORRUPT for a slot
  // whose bytes do not match their checksum.
  bool SlotIntact(const uint8_t* slot) const;
  void CheckSlot(uint64_t recno, const uint8_t* slot) const;
  void StampSlot(uint8_t* slot) const;
  // Checks recno's slot (throwing when it is damaged) and, on a walk
  // forward, the ones after it, remembering those that matched.
  void CheckSlots(uint64_t recno, const uint8_t* slot);
  // How many slots from recno to check at once: 1, or when ahead a few
  // (within the count and the mapped bytes).
  uint64_t CheckAhead(uint64_t recno, bool ahead, uint64_t slots, uint64_t mapped) const;
  // PeekStep's check of a slot not yet found intact at seq; false when it
  // does not match (now).
  bool PeekCheck(uint64_t recno, const uint8_t* slot, bool forward, uint64_t slots, uint64_t mapped, uint64_t seq,
                 CheckedSlots* checked) const;
  BlockCache::Entry* RecordBlock(uint64_t block);
  // Opens a sealed record block of the file into out (slots_per_block_ slots).
  void OpenRecordBlock(uint64_t block, uint8_t* out);
  uint64_t BlockOffset(uint64_t block) const { return header_size_ + block * block_stored_; }
  uint64_t DataEnd(uint64_t slots) const;  // end of the slot area holding that many slots
  void SealBlocks();                      // before commit: dirty blocks back into the file
  void SyncCaches();                      // on locking: drop copies another process made stale
  void LoadCryptoState();                 // encryption mode and geometry from the header
  // The header's record counts fit the table file as it is now (alone, or
  // under the lock: a count and a length read apart may disagree while
  // another handle adds records).
  void CheckCounts();
  // The MAC of what opening trusts in clear: the header's sizes and flags
  // and the field definitions (not the counts, which change with records).
  void HeaderMac(const crypto::Cipher& cipher, uint8_t* out);
  void Rewrite(std::shared_ptr<const crypto::Cipher> cipher, const crypto::Params* params, bool pack);
  void SaveHeader();
  uint64_t StoreMemo(const std::string& content, uint8_t* fieldRaw);
  uint64_t PlaceMemo(const std::string& content, uint64_t block);  // writes it; returns blocks used
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
  bool encrypted_ = false;
  bool checksums_ = false;       // fixed at load (the flags bit never changes)
  CheckedSlots checked_;         // checked under this lock, unchanged since (seq unused)
  uint32_t check_window_ = 1;    // slots a walk checks at once
  crypto::Params crypto_params_;
  std::shared_ptr<const crypto::Cipher> cipher_;
  BlockCache blocks_;            // decrypted record blocks
  uint64_t last_opened_ = ~uint64_t{0} - 1;  // the record block decrypted last (none: neighbours no block)
  uint64_t blocks_decrypted_ = 0;
  uint64_t walk_cache_bytes_ = kWalkCacheBytes;
  uint64_t cache_seq_ = 0;       // journal sequence the caches are valid for
  uint32_t slots_per_block_ = 1;
  uint64_t block_stored_ = 0;    // sealed size of a record block
  bool in_change_ = false;
  bool header_saved_ = false;
  uint64_t announced_ = 0;  // generation of the change hook last told of this table
  bool counter_saved_ = false;  // the change counter's bytes are in the journal
  int change_depth_ = 0;
  std::vector<Journal::Mark> marks_;  // of the nested changes, innermost last
  std::atomic<uint64_t> holder_{0};   // the thread holding the lock (see ThisThread), 0: none
  int lock_depth_ = 0;                // under the lock: its holder's nested holds
  bool broken_ = false;               // undoing a nested change failed: the outermost may not commit
  RecordObserver* observer_ = nullptr;  // the index set
  std::vector<uint8_t> old_raw_;        // Write: a record's bytes before the change
  std::unique_ptr<IndexSet> indexes_;
  struct SpareDescriptor {
    int fd;
    uint64_t token;
    uint64_t fork_generation;  // a child of fork() shares the descriptor: not for its use
  };
  std::vector<SpareDescriptor> spare_fds_;  // under the registry's lock
  bool registered_ = false;
  bool in_memory_ = false;           // see InMemory
  uint64_t layout_stamp_ = 0;        // see LayoutStamp; 0: none given yet
  uint64_t layout_tags_generation_ = 0;
  bool cached_ = false;              // in the cache of closed tables
  bool discard_ = false;             // never cached (see DiscardWhenClosed)
  std::string network_;              // the network file system it lies on, or ""
  uint64_t released_seq_ = 0;        // journal sequence when it was cached
  uint64_t released_stamp_ = 0;      // the table file's change stamp then
  struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
  };
  FileIdentity journal_id_, memo_id_, tags_id_;  // of the companions as opened
  std::vector<uint8_t> layout_;                   // see SameLayout()
  std::mutex local_;  // guards nothing across processes; see LockShared
};

// Test hook: runs while a table is loaded, after its file is mapped and
// before its header is checked against the file.
extern std::function<void()> g_table_mapped_for_load;

// Within its scope, the table locks this thread takes without a wait of
// their own give up after wait_ms (an SQL statement's lock wait: so that a
// statement never waits for a transaction's table without end).
class LockWaitScope {
 public:
  explicit LockWaitScope(int64_t wait_ms);
  ~LockWaitScope();
  LockWaitScope(const LockWaitScope&) = delete;
  LockWaitScope& operator=(const LockWaitScope&) = delete;

 private:
  int64_t saved_;
};

// Holds a table's lock for one operation.
class TableLock {
 public:
  explicit TableLock(SharedTable& t, int64_t wait_ms = -1) : t_(t) { t_.LockShared(wait_ms); }
  ~TableLock() { t_.UnlockShared(); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  SharedTable& t_;
};

// Runs BeginChange/CommitChange around a scope; an exception restores the
// table to its state before the scope. operation names the change in the
// text of a failure of the system within it (see OperationScope).
class ChangeScope {
 public:
  explicit ChangeScope(SharedTable& t, const char* operation = "change") : t_(t), operation_(operation, t.name()) { t_.BeginChange(); }
  ~ChangeScope() {
    if (!done_) t_.AbortChange();
  }
  void Commit() {
    t_.CommitChange();
    done_ = true;
  }

 private:
  SharedTable& t_;
  OperationScope operation_;
  bool done_ = false;
};

}  // namespace eng
