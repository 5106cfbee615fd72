#include "table_handle.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "error.h"
#include "file_locks.h"
#include "number_text.h"
#include "record_locks.h"
#include "table_format.h"
#include "util.h"

namespace eng {

namespace {
// Releases an open descriptor unless ownership passes on.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};
}  // namespace

TableHandle::TableHandle(const std::string& path, const OpenOptions& options, const struct stat* known, bool guessed)
    : options_(options) {
  OpenShared(path, known, guessed && known != nullptr && !options.exclusive);
}

TableHandle::TableHandle(std::shared_ptr<SharedTable> in_memory) : table_(std::move(in_memory)) {
  options_.exclusive = true;
  options_.read_only = true;
  TableLock lock(*table_);
  token_ = table_->journal().NextToken();
}

void TableHandle::OpenShared(const std::string& path, const struct stat* known, bool guessed) {
  // A descriptor a closed handle of this process left behind for this
  // file: it holds no lock but its token's, so it stands for a fresh open.
  uint64_t spare_token = 0;
  const SharedTable* spare_owner = nullptr;
  FdGuard guard{-1};
  struct stat st;
  if (known != nullptr && S_ISREG(known->st_mode) &&
      SharedTable::TakeSpareDescriptor(known->st_dev, known->st_ino, &guard.fd, &spare_token, &spare_owner)) {
    st = *known;
  } else if (guessed) {
    throw GuessNotConfirmed{};
  } else {
    guard.fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  }
  bool writable = guard.fd >= 0;
  if (guard.fd < 0 && (errno == EACCES || errno == EROFS)) guard.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (guard.fd < 0) {
    int err = errno;
    if (err == ENOENT || err == EISDIR) Fail(ENG_ERR_FILE_NOT_FOUND, "Table " + path + " does not exist");
    Fail(ENG_ERR_IO, "Cannot open table " + path + ": " + std::strerror(err));
  }
  if (!writable) {
    if (options_.exclusive) Fail(ENG_ERR_READ_ONLY, "Table " + path + " is read-only and cannot be opened exclusively");
    options_.read_only = true;
  }
  if (spare_token == 0 && (::fstat(guard.fd, &st) != 0 || !S_ISREG(st.st_mode)))
    Fail(ENG_ERR_FILE_NOT_FOUND, "Table " + path + " does not exist");

  if (std::shared_ptr<SharedTable> open = SharedTable::FindOpen(st.st_dev, st.st_ino)) {
    // Another handle of this process has the table open and set up: it is
    // neither alone nor free to be opened exclusively, and holding the
    // reference keeps its files from being trimmed meanwhile. Only the
    // presence lock is needed (its owner may still have opened it
    // exclusively, or another process may just have done so).
    if (options_.exclusive)
      Fail(ENG_ERR_TABLE_LOCKED, "Table " + path + " is in use by another user and cannot be opened exclusively");
    if (!TryLockRange(guard.fd, lockpos::kPresence, LockKind::kShared))
      Fail(ENG_ERR_TABLE_LOCKED, "Table " + path + " is opened exclusively by another user");
    if (guessed && !StillUnderTheirNames({{&path, st.st_dev, st.st_ino}})) {
      TryLockRange(guard.fd, lockpos::kPresence, LockKind::kUnlock);
      throw GuessNotConfirmed{};
    }
    table_ = std::move(open);
  } else if (const bool cached = !options_.exclusive && writable && SharedTable::IsCached(st.st_dev, st.st_ino);
             cached && TryLockRange(guard.fd, lockpos::kPresence, LockKind::kShared) &&
             (table_ = SharedTable::ReviveCached(st.st_dev, st.st_ino, guessed ? &path : nullptr))) {
    // Closed in this process and unchanged since: a user again with the
    // presence lock alone. A first opener elsewhere holds the presence lock
    // exclusively until it has set the table up, so getting it shared
    // means no set-up is under way; when it is refused, the long way below
    // waits for the opening lock.
  } else {
    if (cached) TryLockRange(guard.fd, lockpos::kPresence, LockKind::kUnlock);
    // Whatever the reason the short way failed, the usual way starts with
    // the name looked up afresh.
    if (guessed) throw GuessNotConfirmed{};
    LockRangeWait(guard.fd, lockpos::kInit, writable ? LockKind::kExclusive : LockKind::kShared);
    struct InitRelease {
      int fd;
      ~InitRelease() { TryLockRange(fd, lockpos::kInit, LockKind::kUnlock); }
    } init_release{guard.fd};

    bool alone = writable && TryLockRange(guard.fd, lockpos::kPresence, LockKind::kExclusive);
    if (!alone) {
      if (options_.exclusive)
        Fail(ENG_ERR_TABLE_LOCKED, "Table " + path + " is in use by another user and cannot be opened exclusively");
      if (!TryLockRange(guard.fd, lockpos::kPresence, LockKind::kShared))
        Fail(ENG_ERR_TABLE_LOCKED, "Table " + path + " is opened exclusively by another user");
    }
    table_ = SharedTable::Acquire(path, st.st_dev, st.st_ino, alone);
    // Shared only once the table is set up (recovered, its lock created):
    // until then an opener taking the short way above must be refused.
    if (alone && !options_.exclusive) TryLockRange(guard.fd, lockpos::kPresence, LockKind::kShared);
  }
  if (!table_->writable()) options_.read_only = true;
  if (spare_token != 0 && table_.get() != spare_owner) {
    // The table was loaded afresh meanwhile: its tokens are counted anew.
    TryLockRange(guard.fd, RecordLocks::TokenLockOffset(spare_token), LockKind::kUnlock);
    spare_token = 0;
  }
  if (spare_token != 0) {
    token_ = spare_token;  // still locked by the descriptor
  } else {
    {
      TableLock lock(*table_);
      token_ = table_->journal().NextToken();
    }
    if (writable) TryLockRange(guard.fd, RecordLocks::TokenLockOffset(token_), LockKind::kExclusive);
  }
  fd_ = guard.fd;
  guard.fd = -1;
  spare_ok_ = writable;
}

TableHandle::~TableHandle() {
  if (pending_ && pending_append_) {
    try {
      TableLock lock(*table_);
      ChangeScope scope(*table_, "give up a new record of");
      table_->Unreserve(recno_);
      scope.Commit();
    } catch (...) {
      // The reserved slot stays invisible; pack removes it.
    }
  }
  if (!locks_.empty()) {
    try {
      TableLock lock(*table_);
      RecordLocks shared(table_->journal().lock_table(), Journal::kLockTableBytes, fd_);
      for (uint32_t r : locks_) shared.Release(r, token_);
    } catch (...) {
      // Entries of a closed handle count as stale anyway (once its
      // descriptor, which keeps its token alive, is closed).
      spare_ok_ = false;
    }
  }
  // The last handle anywhere gives back the room files were grown by. The
  // opening lock keeps a concurrent opener waiting (instead of finding the
  // table held exclusively) while this handle checks that it is alone.
  if (table_.use_count() == 1 && !options_.read_only && !skip_trim_ && fd_ >= 0 && table_->HasSlack()) {
    spare_ok_ = false;  // it may take the opening and presence locks
    try {
      LockRangeWait(fd_, lockpos::kInit, LockKind::kExclusive);
      if (TryLockRange(fd_, lockpos::kPresence, LockKind::kExclusive)) {
        TableLock lock(*table_);
        table_->TrimFiles();
      }
    } catch (...) {
      // Only slack stays behind.
    }
  }
  // Without its presence lock the descriptor is no user of the table any
  // more; a later open of this file may take it instead of opening anew.
  if (spare_ok_ && fd_ >= 0 && TryLockRange(fd_, lockpos::kPresence, LockKind::kUnlock) &&
      table_->KeepSpareDescriptor(fd_, token_))
    fd_ = -1;
  SharedTable::Release(std::move(table_));
  if (fd_ >= 0) ::close(fd_);  // releases this handle's locks
  if (!password_.empty()) sodium_memzero(password_.data(), password_.size());
}

uint16_t TableHandle::FieldNumber(const std::string& name) const {
  const FieldList& f = fields();
  for (size_t i = 0; i < f.size(); ++i)
    if (EqualsNoCase(f[i].name, name)) return static_cast<uint16_t>(i + 1);
  Fail(ENG_ERR_INVALID_FIELD, "Field " + name + " does not exist in table " + table_->name());
}

void TableHandle::FailNoField(uint16_t number) const {
  Fail(ENG_ERR_INVALID_FIELD, "Field number " + std::to_string(number) + " does not exist in table " + table_->name());
}

bool TableHandle::Shows(uint32_t recno) {
  const uint8_t* raw = table_->LiveRecord(recno);
  return raw && (!filter_ || filter_(recno, raw));
}

bool TableHandle::RefreshCandidates() {
  if (!candidates_source_ || !filter_) return false;
  uint64_t stamp = table_->ChangeCounter();
  if (!candidates_valid_ || stamp != candidates_stamp_) {
    candidates_.clear();
    candidates_usable_ = candidates_source_(&candidates_);
    candidates_stamp_ = stamp;
    candidates_valid_ = true;
  }
  return candidates_usable_;
}

uint32_t TableHandle::NextNatural(uint32_t from) {
  if (RefreshCandidates()) {
    for (auto it = std::upper_bound(candidates_.begin(), candidates_.end(), from); it != candidates_.end(); ++it)
      if (Shows(*it)) return *it;
    return 0;
  }
  uint64_t count = table_->SlotCount();
  for (uint64_t r = uint64_t{from} + 1; r <= count; ++r)
    if (Shows(static_cast<uint32_t>(r))) return static_cast<uint32_t>(r);
  return 0;
}

uint32_t TableHandle::PrevNatural(uint32_t from) {
  if (RefreshCandidates()) {
    auto it = from == 0 ? candidates_.end() : std::lower_bound(candidates_.begin(), candidates_.end(), from);
    while (it != candidates_.begin()) {
      --it;
      if (Shows(*it)) return *it;
    }
    return 0;
  }
  uint64_t r = from == 0 ? table_->SlotCount() : uint64_t{from} - 1;
  for (; r >= 1; --r)
    if (Shows(static_cast<uint32_t>(r))) return static_cast<uint32_t>(r);
  return 0;
}

uint32_t TableHandle::Step(RecordOrder* order, uint32_t from, bool forward) {
  if (!order) return forward ? NextNatural(from) : PrevNatural(from);
  order->Narrow(filter_serial_, filter_ && bounds_ ? &bounds_ : nullptr);
  uint32_t r = from;
  while (true) {
    r = forward ? (r == 0 ? order->First() : order->Next(r)) : (r == 0 ? order->Last() : order->Prev(r));
    if (r == 0 || !filter_ || filter_(r, table_->Record(r))) return r;
  }
}

void TableHandle::SetCrack(bool eof, bool bof) {
  recno_ = 0;
  at_eof_ = eof;
  at_bof_ = bof;
}

void TableHandle::SetOn(uint32_t recno) { SetOn(recno, table_->LiveRecord(recno)); }

void TableHandle::SetOn(uint32_t recno, const uint8_t* raw) {
  recno_ = recno;
  at_eof_ = at_bof_ = false;
  // Called under the table's lock: keep a copy for the reads that follow.
  cached_recno_ = 0;
  if (raw) KeepCopy(recno, raw);
}

void TableHandle::KeepCopy(uint32_t recno, const uint8_t* raw) {
  cached_raw_.assign(raw, raw + table_->record_length());
  cached_seq_ = table_->journal().Sequence();
  cached_recno_ = recno;
}

void TableHandle::FlushPending() {
  if (pending_) Write();
}

void TableHandle::GotoTop(RecordOrder* order) {
  RequireAccess();
  FlushPending();
  TableLock lock(*table_);
  uint32_t r = Step(order, 0, true);
  if (r) {
    SetOn(r);
    if (!order) KeepBlockCopy(r);
  } else {
    SetCrack(true, true);
  }
}

void TableHandle::KeepBlockCopy(uint32_t recno) {
  if (!table_->encrypted() || filter_) return;
  const uint32_t perBlock = table_->slots_per_block(), size = table_->slot_size();
  const uint64_t slots = table_->SlotCount();
  const uint64_t first = (uint64_t{recno} - 1) / perBlock * perBlock + 1;
  if (recno == 0 || first > slots) {
    block_count_ = 0;
    return;
  }
  // The slots of one block lie together in its decrypted copy.
  block_count_ = static_cast<uint32_t>(std::min<uint64_t>(perBlock, slots - first + 1));
  const uint8_t* from = table_->Record(first) - 1;  // the slot: its state byte, then the record
  block_slots_.assign(from, from + size_t{block_count_} * size);
  block_first_ = first;
  block_table_slots_ = slots;
  block_seq_ = table_->journal().Sequence();
}

bool TableHandle::SkipInBlockCopy(int32_t n) {
  if (block_count_ == 0 || (n != 1 && n != -1) || recno_ < block_first_ || recno_ >= block_first_ + block_count_)
    return false;
  const Journal& journal = table_->journal();
  if (journal.HasEntries() || journal.Sequence() != block_seq_) {
    block_count_ = 0;
    return false;
  }
  const uint32_t size = table_->slot_size(), length = table_->record_length();
  uint64_t r = recno_;
  for (;;) {
    if (n > 0) {
      if (r + 1 >= block_first_ + block_count_) {
        // Past the last slot of the table: at the end, as a step finds it.
        if (r + 1 > block_table_slots_) {
          SetCrack(true, false);
          return true;
        }
        return false;
      }
      ++r;
    } else {
      if (r <= block_first_) {
        if (r == 1) {
          SetCrack(false, true);
          return true;
        }
        return false;
      }
      --r;
    }
    const uint8_t* slot = block_slots_.data() + (r - block_first_) * size;
    if (slot[0] != fmt::kSlotLive) continue;
    recno_ = static_cast<uint32_t>(r);
    at_eof_ = at_bof_ = false;
    cached_raw_.assign(slot + 1, slot + 1 + length);
    cached_seq_ = block_seq_;
    cached_recno_ = recno_;
    return true;
  }
}

void TableHandle::GotoBottom(RecordOrder* order) {
  RequireAccess();
  FlushPending();
  TableLock lock(*table_);
  uint32_t r = Step(order, 0, false);
  if (r)
    SetOn(r);
  else
    SetCrack(true, true);
}

void TableHandle::Skip(RecordOrder* order, int32_t n) {
  RequireAccess();
  FlushPending();
  if (n == 0) return;
  if (!order && !filter_ && (SkipWithoutLock(n) || SkipInBlockCopy(n))) return;
  TableLock lock(*table_);
  bool forward = n > 0;
  if (forward ? at_eof_ : at_bof_) return;
  bool from_crack = recno_ == 0;
  uint32_t from = recno_;
  int64_t steps = forward ? n : -static_cast<int64_t>(n);
  for (int64_t i = 0; i < steps; ++i) {
    uint32_t r = Step(order, from, forward);
    if (r == 0) {
      bool empty = from_crack && i == 0;
      if (forward)
        SetCrack(true, empty);
      else
        SetCrack(empty, true);
      return;
    }
    from = r;
  }
  SetOn(from);
  if (!order) KeepBlockCopy(from);
}

// Skip for natural order without a filter, as the locked one does it but
// reading the slots without the table's lock (see SharedTable::PeekBegin);
// false when that cannot tell, leaving the position as it was.
bool TableHandle::SkipWithoutLock(int32_t n) {
  bool forward = n > 0;
  if (forward ? at_eof_ : at_bof_) return true;
  uint64_t seq;
  if (!table_->PeekBegin(&seq)) return false;
  bool from_crack = recno_ == 0;
  uint32_t from = recno_;
  const uint8_t* raw = nullptr;
  int64_t steps = forward ? n : -static_cast<int64_t>(n);
  for (int64_t i = 0; i < steps; ++i) {
    uint32_t r = 0;
    if (!table_->PeekStep(from, forward, &r, &raw, seq, &peek_checked_)) return false;
    if (r == 0) {
      if (!table_->PeekValid(seq)) return false;
      bool empty = from_crack && i == 0;
      if (forward)
        SetCrack(true, empty);
      else
        SetCrack(empty, true);
      return true;
    }
    from = r;
  }
  return TakePeeked(from, raw, seq);
}

// The record peeked at recno becomes the current one when the peek holds.
bool TableHandle::TakePeeked(uint32_t recno, const uint8_t* raw, uint64_t seq) {
  // The copy held already is the record as of this sequence.
  bool held = cached_recno_ == recno && cached_seq_ == seq;
  if (!held) {
    cached_recno_ = 0;
    cached_raw_.assign(raw, raw + table_->record_length());
  }
  if (!table_->PeekValid(seq)) return false;
  recno_ = recno;
  at_eof_ = at_bof_ = false;
  cached_seq_ = seq;
  cached_recno_ = recno;
  return true;
}

void TableHandle::GotoRecord(uint32_t recno) {
  RequireAccess();
  FlushPending();
  if (recno == 0) {
    SetCrack(true, false);
    return;
  }
  // A record that is not live is reported under the lock.
  uint64_t seq;
  const uint8_t* peeked = nullptr;
  if (table_->PeekBegin(&seq) && table_->PeekRecord(recno, &peeked) && peeked && TakePeeked(recno, peeked, seq))
    return;
  TableLock lock(*table_);
  const uint8_t* raw = table_->LiveRecord(recno);
  if (!raw)
    Fail(ENG_ERR_NO_SUCH_RECORD, "Record " + std::to_string(recno) + " does not exist in table " + table_->name());
  SetOn(recno, raw);
}

void TableHandle::FailNoRecord() const {
  Fail(ENG_ERR_NO_CURRENT_RECORD, "There is no current record in table " + table_->name());
}

bool TableHandle::IsVisible() {
  RequireAccess();
  RequireRecord();
  if (pending_) return true;
  TableLock lock(*table_);
  return Shows(recno_);
}

const uint8_t* TableHandle::CurrentBytesSlow() {
  RequireAccess();
  if (pending_) return pending_raw_.data();
  RequireRecord();
  Journal& journal = table_->journal();
  if (cached_recno_ == recno_ && !journal.HasEntries() && journal.Sequence() == cached_seq_) return cached_raw_.data();
  uint64_t seq;
  const uint8_t* peeked = nullptr;
  if (table_->PeekBegin(&seq) && table_->PeekRecord(recno_, &peeked) && peeked && TakePeeked(recno_, peeked, seq))
    return cached_raw_.data();
  TableLock lock(*table_);
  const uint8_t* raw = table_->LiveRecord(recno_);
  if (!raw)
    Fail(ENG_ERR_NO_CURRENT_RECORD,
         "Record " + std::to_string(recno_) + " of table " + table_->name() + " has been deleted");
  KeepCopy(recno_, raw);
  return cached_raw_.data();
}

void TableHandle::CopyCurrentRecord(uint8_t* out) { std::memcpy(out, CurrentBytes(), table_->record_length()); }

std::vector<uint8_t> TableHandle::CurrentRecord() {
  std::vector<uint8_t> raw(table_->record_length());
  CopyCurrentRecord(raw.data());
  return raw;
}

bool TableHandle::FieldIsEmpty(uint16_t field) {
  const FieldDef& f = Field(field);
  if (pending_ && IsMemoType(f.type)) {
    for (const auto& m : pending_memos_)
      if (m.first == field - 1u) return m.second.empty();
  }
  return IsEmptyField(f, CurrentBytes());
}

std::string TableHandle::FieldText(uint16_t field) {
  const FieldDef& f = Field(field);
  if (IsMemoType(f.type)) {
    if (pending_) {
      for (const auto& m : pending_memos_)
        if (m.first == field - 1u) return m.second;
    }
    // The handle's own copy: it stays put while the lock is taken.
    const uint8_t* raw = CurrentBytes();
    TableLock lock(*table_);
    return table_->ReadMemo(raw + f.offset);
  }
  return DecodeFieldText(f, CurrentBytes());
}

uint32_t TableHandle::MemoLength(uint16_t field) {
  const FieldDef& f = Field(field);
  if (!IsMemoType(f.type))
    Fail(ENG_ERR_FIELD_TYPE, "Field " + f.name + " of table " + table_->name() + " is not a memo field");
  return static_cast<uint32_t>(FieldText(field).size());
}

bool TableHandle::HoldsLock(uint32_t recno) const {
  return std::binary_search(locks_.begin(), locks_.end(), recno);
}

void TableHandle::LockRecord(uint32_t recno) {
  if (options_.exclusive) return;
  // Room first, so that a lock taken is always remembered (and given back).
  locks_.reserve(locks_.size() + 1);
  TableLock lock(*table_);
  if (!table_->IsLive(recno))
    Fail(ENG_ERR_NO_SUCH_RECORD, "Record " + std::to_string(recno) + " does not exist in table " + table_->name());
  RecordLocks shared(table_->journal().lock_table(), Journal::kLockTableBytes, fd_);
  if (!shared.Acquire(recno, token_))
    Fail(ENG_ERR_RECORD_LOCKED,
         "Record " + std::to_string(recno) + " of table " + table_->name() + " is locked by another user");
  auto at = std::lower_bound(locks_.begin(), locks_.end(), recno);
  if (at == locks_.end() || *at != recno) locks_.insert(at, recno);
}

void TableHandle::UnlockRecord(uint32_t recno) {
  if (options_.exclusive) return;
  auto at = std::lower_bound(locks_.begin(), locks_.end(), recno);
  if (at == locks_.end() || *at != recno) return;
  locks_.erase(at);
  TableLock lock(*table_);
  RecordLocks shared(table_->journal().lock_table(), Journal::kLockTableBytes, fd_);
  shared.Release(recno, token_);
}

void TableHandle::CheckNotLockedByOthers(uint32_t recno) {
  if (options_.exclusive || HoldsLock(recno)) return;
  RecordLocks shared(table_->journal().lock_table(), Journal::kLockTableBytes, fd_);
  uint64_t holder = shared.Holder(recno);
  if (holder != 0 && holder != token_)
    Fail(ENG_ERR_RECORD_LOCKED,
         "Record " + std::to_string(recno) + " of table " + table_->name() + " is locked by another user");
}

void TableHandle::FailNotWritable(const FieldDef& f) const {
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  Fail(ENG_ERR_FIELD_TYPE, "Autoincrement field " + f.name + " of table " + table_->name() + " cannot be written");
}

inline const FieldDef& TableHandle::WritableField(uint16_t field) {
  const FieldDef& f = Field(field);
  if (options_.read_only || f.type == ENG_AUTOINC) FailNotWritable(f);
  if (!pending_) BeginPending();
  set_fields_[field - 1] = true;
  return f;
}

void TableHandle::BeginPending() {
  RequireRecord();
  // Into the buffer the last change left: no allocation per record edited.
  pending_raw_.resize(table_->record_length());
  CopyCurrentRecord(pending_raw_.data());
  set_fields_.assign(fields().size(), false);
  pending_memos_.clear();
  pending_ = true;
  pending_append_ = false;
}

static void SetPendingMemo(std::vector<std::pair<size_t, std::string>>& memos, size_t index, std::string content) {
  for (auto& m : memos)
    if (m.first == index) {
      m.second = std::move(content);
      return;
    }
  memos.emplace_back(index, std::move(content));
}

void TableHandle::SetFieldText(uint16_t field, const uint8_t* value, uint32_t len) {
  const FieldDef& f = WritableField(field);
  if (IsMemoType(f.type)) {
    SetPendingMemo(pending_memos_, field - 1u, std::string(reinterpret_cast<const char*>(value), len));
    return;
  }
  uint8_t* p = pending_raw_.data() + f.offset;
  if (f.type == ENG_STRING) {
    std::memset(p, ' ', f.length);
    std::memcpy(p, value, len < f.length ? len : f.length);
    return;
  }
  EncodeFieldText(f, std::string(reinterpret_cast<const char*>(value), len), p);
}

void TableHandle::SetFieldRaw(uint16_t field, const uint8_t* value, uint32_t len) {
  const FieldDef& f = Field(field);
  if (IsMemoType(f.type))
    Fail(ENG_ERR_FIELD_TYPE, "Memo field " + f.name + " of table " + table_->name() + " takes text, not raw bytes");
  if (len != f.length)
    Fail(ENG_ERR_VALUE, "Field " + f.name + " of table " + table_->name() + " takes " + std::to_string(f.length) +
                            " raw bytes, not " + std::to_string(len));
  WritableField(field);
  std::memcpy(pending_raw_.data() + f.offset, value, len);
}

void TableHandle::SetEmpty(uint16_t field) {
  const FieldDef& f = WritableField(field);
  if (IsMemoType(f.type)) {
    SetPendingMemo(pending_memos_, field - 1u, std::string());
    return;
  }
  WriteEmptyField(f, pending_raw_.data());
}

void TableHandle::Write() {
  if (!pending_) return;
  TableLock lock(*table_);
  // Holding the table's lock for the whole write stands for the record lock.
  if (!pending_append_) CheckNotLockedByOthers(recno_);
  ChangeScope scope(*table_, pending_append_ ? "append a record to" : "update a record of");
  // Built in the copy kept for reads: once written it is the record as stored.
  cached_recno_ = 0;
  std::vector<uint8_t>& raw = cached_raw_;
  if (pending_append_) {
    raw = pending_raw_;
  } else {
    const uint8_t* now = table_->LiveRecord(recno_);
    if (!now)
      Fail(ENG_ERR_NO_SUCH_RECORD,
           "Record " + std::to_string(recno_) + " of table " + table_->name() + " has been deleted by another user");
    // Apply only the fields written, over the record as it is now.
    raw.assign(now, now + table_->record_length());
    for (size_t i = 0; i < set_fields_.size(); ++i) {
      if (!set_fields_[i] || IsMemoType(fields()[i].type)) continue;
      const FieldDef& f = fields()[i];
      std::memcpy(raw.data() + f.offset, pending_raw_.data() + f.offset, f.length);
    }
  }
  table_->Write(recno_, raw, pending_append_, pending_memos_);
  scope.Commit();
  pending_ = pending_append_ = false;
  pending_memos_.clear();
  // Still under the lock: the record as written serves the reads that follow.
  cached_seq_ = table_->journal().Sequence();
  cached_recno_ = recno_;
}

void TableHandle::CancelUpdate() {
  if (!pending_) Fail(ENG_ERR_NO_PENDING_UPDATE, "There is no pending update on table " + table_->name());
  if (pending_append_) {
    TableLock lock(*table_);
    ChangeScope scope(*table_, "give up a new record of");
    table_->Unreserve(recno_);
    scope.Commit();
    SetCrack(true, false);
  }
  pending_ = pending_append_ = false;
  pending_memos_.clear();
}

void TableHandle::Append() {
  RequireAccess();
  FlushPending();
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  std::vector<uint8_t> raw;
  uint32_t recno;
  {
    TableLock lock(*table_);
    ChangeScope scope(*table_, "append a record to");
    raw = table_->EmptyRecord();
    recno = table_->Reserve(&raw);
    scope.Commit();
  }
  pending_ = pending_append_ = true;
  pending_raw_ = std::move(raw);
  set_fields_.assign(fields().size(), false);
  pending_memos_.clear();
  recno_ = recno;  // the reserved record; its values are the pending ones
  at_eof_ = at_bof_ = false;
  cached_recno_ = 0;
  for (const auto& f : fields())
    if (f.type == ENG_AUTOINC) last_autoinc_ = Load32(pending_raw_.data() + f.offset);
}

void TableHandle::Delete() {
  if (pending_ && pending_append_) {
    CancelUpdate();
    return;
  }
  RequireAccess();
  RequireRecord();
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  pending_ = false;
  pending_memos_.clear();
  TableLock lock(*table_);
  CheckNotLockedByOthers(recno_);
  ChangeScope scope(*table_, "delete a record of");
  table_->Delete(recno_);
  scope.Commit();
}

bool TableHandle::EditInChange(uint32_t recno, const RecordEdit& edit) {
  RequireAccess();
  FlushPending();
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  Memos memos;
  const uint8_t* now = table_->LiveRecord(recno);
  if (!now) return false;
  // Built in the copy kept for reads: once written it is the record as stored.
  cached_recno_ = 0;
  std::vector<uint8_t>& raw = cached_raw_;
  raw.assign(now, now + table_->record_length());
  if (!edit(now, raw.data(), &memos)) {
    SetOn(recno, now);
    return false;
  }
  CheckNotLockedByOthers(recno);
  table_->Write(recno, raw, false, memos);
  recno_ = recno;
  at_eof_ = at_bof_ = false;
  // Valid once the change commits (the caller's commit moves the sequence
  // past this, so a copy taken within a longer change is simply not used).
  cached_seq_ = table_->journal().Sequence();
  cached_recno_ = recno;
  return true;
}

bool TableHandle::DeleteInChange(uint32_t recno, const std::function<bool(const uint8_t* now)>& still) {
  RequireAccess();
  FlushPending();
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  const uint8_t* now = table_->LiveRecord(recno);
  if (!now) return false;
  if (!still(now)) {
    SetOn(recno, now);
    return false;
  }
  CheckNotLockedByOthers(recno);
  table_->Delete(recno);
  recno_ = recno;  // as after Delete(): on the deleted record
  at_eof_ = at_bof_ = false;
  cached_recno_ = 0;
  return true;
}

uint32_t TableHandle::AppendInChange(std::vector<uint8_t>& raw, const Memos& memos) {
  RequireAccess();
  FlushPending();
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  const uint32_t recno = table_->Reserve(&raw);
  table_->Write(recno, raw, true, memos);
  for (const auto& f : fields())
    if (f.type == ENG_AUTOINC) last_autoinc_ = Load32(raw.data() + f.offset);
  recno_ = recno;
  at_eof_ = at_bof_ = false;
  cached_recno_ = 0;
  return recno;
}

void TableHandle::Zap() {
  if (!options_.exclusive)
    Fail(ENG_ERR_NEEDS_EXCLUSIVE, "Table " + table_->name() + " must be opened exclusively to remove all records");
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  RequireAccess();
  pending_ = pending_append_ = false;
  TableLock lock(*table_);
  ChangeScope scope(*table_, "remove all records of");
  table_->Zap();
  scope.Commit();
  table_->TrimFiles();
  SetCrack(true, true);
}

void TableHandle::Pack() {
  if (!options_.exclusive)
    Fail(ENG_ERR_NEEDS_EXCLUSIVE, "Table " + table_->name() + " must be opened exclusively to be packed");
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  RequireAccess();
  FlushPending();
  TableLock lock(*table_);
  ChangeScope scope(*table_, "pack");
  table_->Pack();
  scope.Commit();
  table_->TrimFiles();
  SetCrack(true, true);
}

void TableHandle::EnableEncryption(const std::string& password) {
  if (table_->encrypted() && !table_->Unlock(password))
    Fail(ENG_ERR_WRONG_PASSWORD, "The password given for table " + table_->name() + " is wrong");
  if (!password_.empty()) sodium_memzero(password_.data(), password_.size());
  password_ = password;
  crypto_enabled_ = table_->encrypted();
}

void EnableTableEncryption(TableHandle& table, const std::string& password) { table.EnableEncryption(password); }

void TableHandle::EncryptTable() {
  if (table_->encrypted()) return;
  if (!options_.exclusive)
    Fail(ENG_ERR_NEEDS_EXCLUSIVE, "Table " + table_->name() + " must be opened exclusively to be encrypted");
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  if (password_.empty())
    Fail(ENG_ERR_WRONG_PASSWORD,
         "Table " + table_->name() + " cannot be encrypted: no password was given with EngEnableEncryption");
  FlushPending();
  crypto::Params params;
  std::shared_ptr<const crypto::Cipher> cipher = crypto::NewCipher(password_, &params);  // slow: outside the lock
  TableLock lock(*table_);
  ChangeScope scope(*table_, "encrypt");
  table_->Encrypt(std::move(cipher), params);
  scope.Commit();
  table_->TrimFiles();
  crypto_enabled_ = true;
  cached_recno_ = 0;
}

void TableHandle::DecryptTable() {
  if (!table_->encrypted()) return;
  if (!options_.exclusive)
    Fail(ENG_ERR_NEEDS_EXCLUSIVE, "Table " + table_->name() + " must be opened exclusively to be decrypted");
  if (options_.read_only) Fail(ENG_ERR_READ_ONLY, "Table " + table_->name() + " is opened read-only");
  RequireAccess();
  FlushPending();
  try {
    TableLock lock(*table_);
    ChangeScope scope(*table_, "decrypt");
    table_->Decrypt();
    scope.Commit();
    table_->TrimFiles();
  } catch (...) {
    // The restored table is encrypted again: give it its key back.
    try {
      table_->Unlock(password_);
    } catch (...) {
    }
    cached_recno_ = 0;
    throw;
  }
  cached_recno_ = 0;
}

uint64_t TableHandle::RecordCount(bool respect_filter) {
  if (respect_filter && filter_) RequireAccess();  // the filter reads records
  TableLock lock(*table_);
  if (!respect_filter || !filter_) return table_->LiveCount();
  uint64_t n = 0;
  for (uint32_t r = NextNatural(0); r; r = NextNatural(r)) ++n;
  return n;
}

// ---- text conversions of EngSetField / EngGetField ----

namespace {
bool ParseYmd(const std::string& t, int* y, int* m, int* d) {
  if (t.size() < 8) return false;
  for (int i = 0; i < 8; ++i)
    if (t[i] < '0' || t[i] > '9') return false;
  *y = std::atoi(t.substr(0, 4).c_str());
  *m = std::atoi(t.substr(4, 2).c_str());
  *d = std::atoi(t.substr(6, 2).c_str());
  return ValidDate(*y, *m, *d);
}

int32_t ParseTimeMs(const std::string& t, bool* ok) {
  int h = 0, mi = 0, s = 0, ms = 0;
  int n = std::sscanf(t.c_str(), "%d:%d:%d.%d", &h, &mi, &s, &ms);
  *ok = n >= 2 && h >= 0 && h < 24 && mi >= 0 && mi < 60 && s >= 0 && s < 60 && ms >= 0 && ms < 1000;
  return ((h * 60 + mi) * 60 + s) * 1000 + ms;
}

[[noreturn]] void BadText(const FieldDef& f, const std::string& text) {
  Fail(ENG_ERR_VALUE, "'" + text + "' is not a valid value for field " + f.name + " (" + TypeName(f.type) + ")");
}

std::string Ymd(int64_t julian) {
  int y, m, d;
  DateFromJulian(julian, &y, &m, &d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return buf;
}

std::string Hms(int32_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return buf;
}
}  // namespace

void EncodeFieldText(const FieldDef& f, const std::string& text, uint8_t* raw) {
  std::string t = TrimBlanks(text);
  if (t.empty()) {
    FieldDef at = f;
    at.offset = 0;
    WriteEmptyField(at, raw);
    return;
  }
  char* end = nullptr;
  switch (f.type) {
    case ENG_LOGICAL:
      raw[0] = (t[0] == 'T' || t[0] == 't' || t[0] == 'Y' || t[0] == 'y' || t[0] == '1') ? 'T' : 'F';
      return;
    case ENG_NUMERIC: {
      double v = 0;
      if (!ParseNumberText(t, &v) || !std::isfinite(v)) BadText(f, text);
      const std::string digits = FixedNumberText(v, f.decimals);
      if (digits.empty() || digits.size() > f.length)
        Fail(ENG_ERR_VALUE, "Value " + t + " does not fit field " + f.name);
      std::memset(raw, ' ', f.length - digits.size());
      std::memcpy(raw + (f.length - digits.size()), digits.data(), digits.size());
      return;
    }
    case ENG_DATE:
    case ENG_COMPACTDATE: {
      int y, m, d;
      if (!ParseYmd(t, &y, &m, &d)) BadText(f, text);
      if (f.type == ENG_DATE) {
        Store32(raw, static_cast<uint32_t>(JulianFromDate(y, m, d)));
      } else {
        raw[0] = static_cast<uint8_t>((y * 2 + m / 8) >> 8);
        raw[1] = static_cast<uint8_t>((y * 2 + m / 8) & 0xFF);
        raw[2] = static_cast<uint8_t>((m % 8) * 32 + d);
      }
      return;
    }
    case ENG_INTEGER:
    case ENG_SHORTINT: {
      long long v = std::strtoll(t.c_str(), &end, 10);
      if (*end) BadText(f, text);
      if (f.type == ENG_INTEGER) {
        if (v < -2147483647LL || v > 2147483647LL) BadText(f, text);
        Store32(raw, static_cast<uint32_t>(static_cast<int32_t>(v)));
      } else {
        if (v < -32767 || v > 32767) BadText(f, text);
        Store16(raw, static_cast<uint16_t>(static_cast<int16_t>(v)));
      }
      return;
    }
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: {
      double v = 0;
      if (!ParseNumberText(t, &v) || !std::isfinite(v)) BadText(f, text);
      std::memcpy(raw, &v, 8);
      return;
    }
    case ENG_TIME: {
      bool ok;
      int32_t ms = ParseTimeMs(t, &ok);
      if (!ok) BadText(f, text);
      Store32(raw, static_cast<uint32_t>(ms));
      return;
    }
    case ENG_TIMESTAMP: {
      int y, m, d;
      if (!ParseYmd(t, &y, &m, &d)) BadText(f, text);
      int32_t ms = 0;
      if (t.size() > 8) {
        bool ok;
        ms = ParseTimeMs(TrimBlanks(t.substr(8)), &ok);
        if (!ok) BadText(f, text);
      }
      Store32(raw, static_cast<uint32_t>(JulianFromDate(y, m, d)));
      Store32(raw + 4, static_cast<uint32_t>(ms));
      return;
    }
    case ENG_RAW:
      std::memset(raw, 0, f.length);
      std::memcpy(raw, text.data(), text.size() < f.length ? text.size() : f.length);
      return;
    default:
      Fail(ENG_ERR_FIELD_TYPE, "Field " + f.name + " cannot be set from text");
  }
}

std::string DecodeFieldText(const FieldDef& f, const uint8_t* raw) {
  const uint8_t* p = raw + f.offset;
  if (IsEmptyField(f, raw) && f.type != ENG_STRING && f.type != ENG_RAW && f.type != ENG_NUMERIC) return "";
  switch (f.type) {
    case ENG_STRING:
    case ENG_NUMERIC:
    case ENG_RAW:
      return std::string(reinterpret_cast<const char*>(p), f.length);
    case ENG_LOGICAL:
      return (p[0] == 'T' || p[0] == 't' || p[0] == 'Y' || p[0] == 'y' || p[0] == '1') ? "T" : "F";
    case ENG_DATE:
      return Ymd(static_cast<int32_t>(Load32(p)));
    case ENG_COMPACTDATE: {
      int yy = ((p[0] << 8) | p[1]);
      int y = yy >> 1, m = ((yy & 1) << 3) | (p[2] >> 5), d = p[2] & 31;
      char buf[16];
      std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
      return buf;
    }
    case ENG_INTEGER:
    case ENG_AUTOINC:
      return std::to_string(static_cast<int32_t>(Load32(p)));
    case ENG_SHORTINT:
      return std::to_string(static_cast<int16_t>(Load16(p)));
    case ENG_DOUBLE:
    case ENG_CURDOUBLE: {
      double v;
      std::memcpy(&v, p, 8);
      return GeneralNumberText(v, 15);
    }
    case ENG_TIME:
      return Hms(static_cast<int32_t>(Load32(p)));
    case ENG_TIMESTAMP:
      return Ymd(static_cast<int32_t>(Load32(p))) + " " + Hms(static_cast<int32_t>(Load32(p + 4)));
    default:
      return "";
  }
}

}  // namespace eng
