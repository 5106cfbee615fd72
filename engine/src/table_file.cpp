#include "table_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <utility>

#include "change_hook.h"
#include "checksum.h"
#include "engine.h"
#include "error.h"
#include "file_locks.h"
#include "file_system.h"
#include "index_file.h"
#include "table_format.h"
#include "transaction.h"
#include "util.h"

namespace eng {

namespace {
// Plain bytes per sealed record block (at least one slot), and how much
// decrypted data a table may keep cached between operations.
constexpr uint32_t kBlockBytes = 4096;
constexpr uint64_t kCacheLimit = 256ull << 20;

// How many closed tables a process keeps loaded. A task that closes and
// reopens a few tables for every record it corrects needs only a handful.
constexpr size_t kCachedTables = 8;

std::mutex g_registry_mutex;
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<SharedTable>>& Registry() {
  static auto* r = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<SharedTable>>();
  return *r;
}
// Closed tables, least recently closed first. Never destroyed at exit: the
// process's end releases the mappings and descriptors.
std::vector<std::shared_ptr<SharedTable>>& ClosedTables() {
  static auto* c = new std::vector<std::shared_ptr<SharedTable>>();
  return *c;
}

void Forget(std::vector<std::shared_ptr<SharedTable>>& list, const SharedTable* t,
            std::shared_ptr<SharedTable>* out) {
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i].get() == t) {
      *out = std::move(list[i]);
      list.erase(list.begin() + static_cast<long>(i));
      return;
    }
}
}  // namespace

std::shared_ptr<SharedTable> SharedTable::Acquire(const std::string& path, dev_t dev, ino_t ino, bool alone) {
  // A stale cached table is destroyed after the registry's lock is given
  // back (its destructor takes that lock).
  std::shared_ptr<SharedTable> stale;
  std::lock_guard<std::mutex> g(g_registry_mutex);
  auto key = std::make_pair(dev, ino);
  auto& reg = Registry();
  auto it = reg.find(key);
  if (it != reg.end()) {
    if (auto existing = it->second.lock()) {
      if (!existing->cached_) return existing;
      if (TakeOutOfCache(std::move(existing), alone, &stale)) return stale;
      reg.erase(it);
    }
  }
  std::shared_ptr<SharedTable> t(new SharedTable(path, dev, ino));
  t->Load(alone);  // a failure destroys t before it is registered
  reg[key] = t;
  t->registered_ = true;
  return t;
}

namespace {
// Under the registry's lock: the table registered for that file, while it
// is alive. The caller lets go of it only after giving back the lock (the
// last reference's destructor takes the lock).
std::shared_ptr<SharedTable> RegisteredTable(dev_t dev, ino_t ino) {
  auto& reg = Registry();
  auto it = reg.find(std::make_pair(dev, ino));
  return it == reg.end() ? nullptr : it->second.lock();
}
}  // namespace

std::shared_ptr<SharedTable> SharedTable::ReviveCached(dev_t dev, ino_t ino, const std::string* confirm_path) {
  std::shared_ptr<SharedTable> stale, cached;  // destroyed after the lock is given back
  std::lock_guard<std::mutex> g(g_registry_mutex);
  cached = RegisteredTable(dev, ino);
  if (!cached || !cached->cached_) return nullptr;
  if (TakeOutOfCache(std::move(cached), false, &stale, confirm_path)) return stale;
  Registry().erase(std::make_pair(dev, ino));
  return nullptr;
}

bool SharedTable::TakeOutOfCache(std::shared_ptr<SharedTable> cached, bool alone, std::shared_ptr<SharedTable>* out,
                                 const std::string* confirm_path) {
  Forget(ClosedTables(), cached.get(), out);
  cached.reset();
  (*out)->cached_ = false;
  bool exact = false;
  try {
    exact = (*out)->Revive(alone, confirm_path);
  } catch (const EngineError&) {
    exact = false;
  }
  if (!exact) (*out)->registered_ = false;
  return exact;
}

namespace {
// Moves on in every child of fork(): a descriptor kept by the parent is
// shared with it, and locks the child took on it would outlive the child.
std::atomic<uint64_t> g_fork_generation{0};
void CountForkInChild() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

bool SharedTable::KeepSpareDescriptor(int fd, uint64_t token) {
  constexpr size_t kMaxSpare = 2;
  static const bool counted = ::pthread_atfork(nullptr, nullptr, CountForkInChild) == 0;
  std::lock_guard<std::mutex> g(g_registry_mutex);
  if (!counted || !registered_ || discard_ || spare_fds_.size() >= kMaxSpare) return false;
  spare_fds_.push_back({fd, token, g_fork_generation.load(std::memory_order_relaxed)});
  return true;
}

bool SharedTable::TakeSpareDescriptor(dev_t dev, ino_t ino, int* fd, uint64_t* token, const SharedTable** owner) {
  std::shared_ptr<SharedTable> table;  // let go of after the lock (its destructor takes it)
  std::lock_guard<std::mutex> g(g_registry_mutex);
  table = RegisteredTable(dev, ino);
  if (!table || table->spare_fds_.empty()) return false;
  if (table->spare_fds_.back().fork_generation != g_fork_generation.load(std::memory_order_relaxed)) return false;
  *fd = table->spare_fds_.back().fd;
  *token = table->spare_fds_.back().token;
  *owner = table.get();
  table->spare_fds_.pop_back();
  return true;
}

bool SharedTable::IsCached(dev_t dev, ino_t ino) {
  std::shared_ptr<SharedTable> table;  // let go of after the lock (its destructor takes it)
  std::lock_guard<std::mutex> g(g_registry_mutex);
  table = RegisteredTable(dev, ino);
  return table && table->cached_;
}

std::shared_ptr<SharedTable> SharedTable::FindOpen(dev_t dev, ino_t ino) {
  std::shared_ptr<SharedTable> table;  // let go of after the lock (its destructor takes it)
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    table = RegisteredTable(dev, ino);
    if (!table || !table->cached_) return table;
  }
  return nullptr;
}

bool SharedTable::Cacheable() const {
  // A closed table holds no lock: on a network file system another process
  // must be able to open it.
  return registered_ && !discard_ && !encrypted_ && adt_.writable() && !in_change_ && network_.empty();
}

void SharedTable::ClaimOnNetwork() {
  network_ = NetworkFileSystemOf(adt_.fd());
  if (network_.empty()) return;
  // Held on the table file's own descriptor (the file system carries the
  // lock to its server) for as long as this process has the table loaded;
  // readers share it, a writer holds it alone. The file stays untouched
  // until it is granted.
  if (!TryLockRange(adt_.fd(), lockpos::kProcess, adt_.writable() ? LockKind::kExclusive : LockKind::kShared))
    Fail(ENG_ERR_TABLE_LOCKED, "Table " + path_ + " is in use by another user: it lies on a network file system (" +
                                   network_ + "), where a table can be open in only one process at a time");
}

void SharedTable::Release(std::shared_ptr<SharedTable> table) {
  // Both are destroyed after the registry's lock is given back.
  std::shared_ptr<SharedTable> dropped, evicted;
  std::lock_guard<std::mutex> g(g_registry_mutex);
  // Only the last reference is cached; another handle may have taken one
  // meanwhile (it did so under this lock).
  if (!table || table.use_count() != 1 || !table->Cacheable()) {
    dropped = std::move(table);
    return;
  }
  table->released_seq_ = table->journal_.Sequence();
  table->released_stamp_ = Load64(table->Header() + fmt::kOffChangeStamp);
  table->cached_ = true;
  auto& closed = ClosedTables();
  if (closed.size() >= kCachedTables) {
    evicted = std::move(closed.front());
    closed.erase(closed.begin());
    evicted->cached_ = false;
  }
  closed.push_back(std::move(table));
}

bool SharedTable::SameLayout() {
  const uint8_t* h = Header();
  const size_t head = fmt::kOffSlotCount, rest = layout_.size() - head;
  return layout_.size() > head && fmt::kOffCrypto + rest <= adt_.size() &&
         std::memcmp(h, layout_.data(), head) == 0 && std::memcmp(h + fmt::kOffCrypto, layout_.data() + head, rest) == 0;
}

bool SharedTable::Revive(bool alone, const std::string* confirm_path) {
  // Any committed or undone change anywhere moves the sequence; entries
  // left behind mean a change died half-way: a fresh load recovers it.
  if (journal_.Sequence() != released_seq_ || journal_.HasEntries()) return false;
  // The companions must still be the files under their names: one status
  // call of their folder tells for all of them when it is unchanged since
  // its kept listing was read (the caller holds the presence lock already).
  // So does the same call for a name the caller guessed leads to the table.
  std::vector<FileAtPath> companions{{&journal_.path(), journal_id_.dev, journal_id_.ino}};
  if (confirm_path != nullptr) companions.push_back({confirm_path, dev_, ino_});
  if (memo_.IsOpen()) companions.push_back({&memo_.path(), memo_id_.dev, memo_id_.ino});
  if (indexes_->HasFile()) companions.push_back({&indexes_->path(), tags_id_.dev, tags_id_.ino});
  if (!StillUnderTheirNames(companions)) return false;
  // The caller holds the presence lock: nobody can trim the files from here
  // on, but others may be adding records. A plain table's file grows before
  // its count does, so the counts are read first and the length after them.
  const uint64_t slots = SlotCount(), live = LiveCount();
  std::atomic_thread_fence(std::memory_order_acquire);
  adt_.Refresh();
  if (adt_.size() < header_size_) return false;
  // Bytes written outside the engine move no sequence: what opening checks
  // must still hold, else a fresh load reports the damage.
  if (!SameLayout()) return false;
  // Nor do files put back from a copy; they carry the stamp of their own
  // last change.
  if (Load64(Header() + fmt::kOffChangeStamp) != released_stamp_) return false;
  if (slots > 0x7FFFFFFFull || slots > (adt_.size() - header_size_) / slot_size_ || live > slots) return false;
  if (memo_.IsOpen()) {
    memo_.Refresh();
    if (memo_.size() < fmt::kMemoHeader || std::memcmp(memo_.data(), fmt::kMemoMagic, 8) != 0) return false;
  }
  if (!indexes_->RefreshMapping()) return false;
  if (alone) journal_.InitMutex();
  return true;
}

SharedTable::SharedTable(const std::string& path, dev_t dev, ino_t ino)
    : path_(path), name_(BaseName(path)), dev_(dev), ino_(ino) {
  adt_.KeepReplacedMappings();  // for the reads without the lock
  journal_.TieTo(fmt::kOffTableId, fmt::kOffChangeCounter, fmt::kFixedHeader);
}

void SharedTable::RecoverJournal() {
  if (!journal_.HasEntries()) return;
  // Not a table (too short to be one): opening fails; the entries wait
  // until the file is put right.
  if (adt_.size() < fmt::kFixedHeader) return;
  std::string why;
  if (journal_.BelongsToFiles(&why)) {
    std::string record;
    uint64_t id = 0;
    if (journal_.TransactionOf(&record, &id) && CommitRecordExists(record, id)) {
      // A transaction that committed before its owner died: its changes
      // stand; the entries only go.
      journal_.Discard();
      ForgetCommitRecord(record, id);
      return;
    }
    journal_.Recover();
    return;
  }
  Warn("The journal " + journal_.path() + " was written for other files than those of table " + path_ + " now (" +
       why + "): its saved bytes were not put back, and it was cleared");
  journal_.Discard();
}

void SharedTable::LendIdentity(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const uint8_t* words = Header() + fmt::kOffTableId;
  const bool ok = fd >= 0 && ::pwrite(fd, words, 16, fmt::kOffTableId) == 16;
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) Fail(ENG_ERR_IO, "Cannot write " + path + ": " + std::strerror(err));
}

SharedTable::~SharedTable() {
  for (const SpareDescriptor& spare : spare_fds_) ::close(spare.fd);
  if (!registered_) return;
  std::lock_guard<std::mutex> g(g_registry_mutex);
  auto& reg = Registry();
  auto it = reg.find({dev_, ino_});
  if (it != reg.end() && it->second.expired()) reg.erase(it);
}

std::string SharedTable::base() const { return StripExtension(path_); }

// A change that died halfway may have rewritten the header itself (ALTER
// TABLE replaces the whole file under the journal): restore the old bytes
// before the layout is read from them.
void SharedTable::RecoverBeforeLoad() {
  std::string jrn = ResolveNoCase(base() + ".jrn");
  if (!FileExists(jrn) || !adt_.writable()) return;
  journal_.SetFile(kTableFile, &adt_);
  std::string memo_path = ResolveNoCase(base() + ".memo");
  if (FileExists(memo_path)) {
    memo_.Open(memo_path, false);
    journal_.SetFile(kMemoFile, &memo_);
  }
  MappedFile tags;
  std::string tags_path = ResolveNoCase(base() + ".tags");
  if (FileExists(tags_path)) {
    tags.Open(tags_path, false);
    journal_.SetFile(kIndexFile, &tags);
  }
  journal_.Open(jrn);
  journal_.InitMutex();
  RecoverJournal();
  journal_.Close();
  journal_.SetFile(kMemoFile, nullptr);
  journal_.SetFile(kIndexFile, nullptr);
  memo_.Close();
  adt_.Open(path_, false);
}

std::function<void()> g_table_mapped_for_load;

void SharedTable::Load(bool alone) {
  adt_.Open(path_, false);
  if (alone) RecoverBeforeLoad();
  ClaimOnNetwork();
  if (g_table_mapped_for_load) g_table_mapped_for_load();
  ReadLayout(alone);
  journal_.Open(ResolveNoCase(base() + ".jrn"));
  LoadFiles(alone);
}

// The header's sizes and field definitions, checked against the file.
void SharedTable::ReadLayout(bool alone) {
  const std::string bad = "Table " + path_ + " is damaged or not a table: ";
  uint64_t file_len = adt_.size();
  if (file_len < fmt::kFixedHeader || std::memcmp(adt_.data(), fmt::kTableMagic, 8) != 0)
    Fail(ENG_ERR_CORRUPT, "File " + path_ + " is not a table");
  const uint8_t* h = adt_.data();
  if (Load32(h + fmt::kOffVersion) != fmt::kVersion)
    Fail(ENG_ERR_CORRUPT, bad + "unknown format version " + std::to_string(Load32(h + fmt::kOffVersion)));
  header_size_ = Load32(h + fmt::kOffHeaderSize);
  record_length_ = Load32(h + fmt::kOffRecordLength);
  slot_size_ = Load32(h + fmt::kOffSlotSize);
  uint32_t nfields = Load16(h + fmt::kOffFieldCount);
  if (nfields == 0 || nfields > fmt::kMaxFields) Fail(ENG_ERR_CORRUPT, bad + "field count");
  if (header_size_ < fmt::kFixedHeader + nfields * fmt::kFieldDescSize || header_size_ % 4096 != 0 ||
      header_size_ > file_len)
    Fail(ENG_ERR_CORRUPT, bad + "header size");
  checksums_ = (Load16(h + fmt::kOffFlags) & fmt::kFlagChecksums) != 0;
  if (record_length_ == 0 || record_length_ > fmt::kMaxRecordLength ||
      slot_size_ != record_length_ + 1 + (checksums_ ? fmt::kSlotCrcBytes : 0))
    Fail(ENG_ERR_CORRUPT, bad + "record length");
  check_window_ = std::max<uint32_t>(1, std::min<uint32_t>(16, 4096 / slot_size_));
  // Alone, nobody else can change the counts; otherwise another process may
  // be adding records right now, and the counts are checked under the lock.
  if (alone) CheckCounts();

  std::vector<FieldDecl> field_decls;
  uint32_t offset = 0;
  for (uint32_t i = 0; i < nfields; ++i) {
    const uint8_t* d = h + fmt::kFixedHeader + i * fmt::kFieldDescSize;
    if (std::memchr(d + fmt::kDescName, 0, 129) == nullptr) Fail(ENG_ERR_CORRUPT, bad + "field name");
    FieldDef f;
    f.name = reinterpret_cast<const char*>(d + fmt::kDescName);
    f.type = Load16(d + fmt::kDescType);
    f.decimals = Load16(d + fmt::kDescDecimals);
    f.length = Load32(d + fmt::kDescLength);
    f.offset = Load32(d + fmt::kDescOffset);
    uint32_t declared = Load32(d + fmt::kDescDeclared);
    FieldDecl s{f.name, f.type, f.type == ENG_VARCHAR ? declared : f.length, f.decimals};
    field_decls.push_back(s);
    if (f.type < ENG_LOGICAL || f.type > ENG_CURDOUBLE) Fail(ENG_ERR_CORRUPT, bad + "type of field " + f.name);
    if (f.offset != offset) Fail(ENG_ERR_CORRUPT, bad + "layout of field " + f.name);
    offset += f.length;
  }
  // The stored layout must be exactly the one the definitions give.
  fields_ = LayoutFields(field_decls, &declared_);
  for (uint32_t i = 0; i < nfields; ++i) {
    const uint8_t* d = h + fmt::kFixedHeader + i * fmt::kFieldDescSize;
    if (fields_[i].length != Load32(d + fmt::kDescLength)) Fail(ENG_ERR_CORRUPT, bad + "length of field " + fields_[i].name);
  }
  if (offset != record_length_) Fail(ENG_ERR_CORRUPT, bad + "record length");

  empty_record_.assign(record_length_, 0);
  for (const auto& f : fields_) WriteEmptyField(f, empty_record_.data());
}

std::shared_ptr<SharedTable> SharedTable::InMemory(const std::string& name, int adt_fd, int memo_fd) {
  struct FdGuard {
    int fd;
    ~FdGuard() {
      if (fd >= 0) ::close(fd);
    }
  } adt{adt_fd}, memo{memo_fd};
  struct stat st {};
  if (::fstat(adt_fd, &st) != 0) FailIo("Cannot read the size of " + name, errno);
  std::shared_ptr<SharedTable> t(new SharedTable(name, st.st_dev, st.st_ino));
  t->in_memory_ = true;
  t->adt_.OpenDescriptor(std::exchange(adt.fd, -1), name);
  t->ReadLayout(true);
  t->journal_.OpenInMemory(name);
  t->LoadCryptoState();
  t->journal_.SetFile(kTableFile, &t->adt_);
  if (memo.fd >= 0) {
    t->memo_.OpenDescriptor(std::exchange(memo.fd, -1), name + " (memo)");
    if (t->memo_.size() < fmt::kMemoHeader || std::memcmp(t->memo_.data(), fmt::kMemoMagic, 8) != 0)
      Fail(ENG_ERR_INTERNAL, "The memo contents of " + name + " are damaged");
    t->journal_.SetFile(kMemoFile, &t->memo_);
  }
  t->indexes_ = std::make_unique<IndexSet>(*t, t->journal_);
  t->observer_ = t->indexes_.get();
  t->cache_seq_ = t->journal_.Sequence();
  return t;
}

void SharedTable::LoadFiles(bool alone) {
  bool memo = false;
  for (const FieldDef& f : fields_) memo = memo || IsMemoType(f.type);
  // A change that died half-way (an encryption, say) may have left the
  // header between two modes; the journal restores it below.
  bool recovering = alone && journal_.HasEntries();
  if (alone) {
    try {
      LoadCryptoState();
    } catch (const EngineError&) {
      if (!recovering) throw;
      encrypted_ = false;
      cipher_.reset();
    }
  }

  journal_.SetFile(kTableFile, &adt_);
  if (memo) {
    // A table gets its memo file when first opened. Once it holds records
    // the file must be there: an empty one made now would turn every memo
    // it held into an empty value.
    std::string memo_path = ResolveNoCase(base() + ".memo");
    const bool holds_records = SlotCount() > 0;
    if (holds_records && !FileExists(memo_path))
      Fail(ENG_ERR_CORRUPT, "Memo file " + memo_path + " of table " + name_ + " is missing");
    memo_.Open(memo_path, !holds_records);
    if (memo_.size() == 0) {
      if (!memo_.writable() || holds_records) Fail(ENG_ERR_CORRUPT, "Memo file " + memo_path + " is empty");
      memo_.Reserve(fmt::kMemoHeader);
      std::memcpy(memo_.data(), fmt::kMemoMagic, 8);
      Store64(memo_.data() + fmt::kOffMemoNext, 1);
    }
    if (memo_.size() < fmt::kMemoHeader || std::memcmp(memo_.data(), fmt::kMemoMagic, 8) != 0)
      Fail(ENG_ERR_CORRUPT, "Memo file " + memo_path + " is damaged");
    journal_.SetFile(kMemoFile, &memo_);
  }
  indexes_ = std::make_unique<IndexSet>(*this, journal_);
  observer_ = indexes_.get();
  if (!alone) {
    // Other handles may be growing the files meanwhile: a count read
    // without the lock may already cover bytes a length measured before it
    // does not (an encrypted table even stores its count before the file
    // grows). Under the lock both are read as of one moment. The journal
    // knows every file first, in case the lock's last holder died.
    indexes_->OpenFile();
    TableLock lock(*this);
    adt_.Refresh();
    CheckCounts();
    LoadCryptoState();
    if (memo_.IsOpen()) memo_.Refresh();
    indexes_->Reload();
  } else {
    indexes_->Open();
    journal_.InitMutex();
    if (journal_.HasEntries()) {
      RecoverJournal();
      adt_.Refresh();
      LoadCryptoState();
      indexes_->Reload();
    }
    // An encryption killed after its commit left the plain old bytes.
    if (encrypted_) journal_.WipeIfPlain();
  }
  cache_seq_ = journal_.Sequence();
  auto identity = [](int fd) {
    struct stat st;
    FileIdentity id;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
      id.dev = st.st_dev;
      id.ino = st.st_ino;
    }
    return id;
  };
  const uint8_t* h = Header();
  layout_.assign(h, h + fmt::kOffSlotCount);
  layout_.insert(layout_.end(), h + fmt::kOffCrypto, h + fmt::kFixedHeader + fields_.size() * fmt::kFieldDescSize);
  journal_id_ = identity(journal_.fd());
  memo_id_ = identity(memo_.fd());
  tags_id_ = identity(indexes_->FileDescriptor());
}

void SharedTable::CheckCounts() {
  const uint64_t slots = SlotCount(), file_len = adt_.FileLength();
  if (slots > 0x7FFFFFFFull || file_len < header_size_ || slots > (file_len - header_size_) / slot_size_)
    Fail(ENG_ERR_CORRUPT, "Table " + path_ + " is damaged or not a table: record count exceeds the file");
  if (LiveCount() > slots) Fail(ENG_ERR_CORRUPT, "Table " + path_ + " is damaged or not a table: live record count");
}

void SharedTable::LoadCryptoState() {
  const std::string bad = "Table " + path_ + " is damaged or not a table: ";
  const uint8_t* h = Header();
  blocks_.Clear();
  if (!(Load16(h + fmt::kOffFlags) & crypto::kFlagEncrypted)) {
    if (!crypto::Params::AreaIsEmpty(h + fmt::kOffCrypto)) Fail(ENG_ERR_CORRUPT, bad + "encryption flag");
    encrypted_ = false;
    cipher_.reset();
    return;
  }
  crypto::Params p;
  if (!p.Read(h + fmt::kOffCrypto)) Fail(ENG_ERR_CORRUPT, bad + "encryption parameters");
  if (!encrypted_ || std::memcmp(p.salt, crypto_params_.salt, crypto::kSaltBytes) != 0) cipher_.reset();
  encrypted_ = true;
  crypto_params_ = p;
  slots_per_block_ = SlotsPerSealedBlock(slot_size_);
  block_stored_ = uint64_t{slots_per_block_} * slot_size_ + crypto::kOverhead;
  if (DataEnd(SlotCount()) > adt_.FileLength()) Fail(ENG_ERR_CORRUPT, bad + "record count exceeds the file");
}

uint32_t SharedTable::SlotsPerSealedBlock(uint32_t slot_size) {
  return slot_size >= kBlockBytes ? 1 : kBlockBytes / slot_size;
}

uint64_t SharedTable::DataEnd(uint64_t slots) const {
  if (!encrypted_) return header_size_ + slots * slot_size_;
  return BlockOffset((slots + slots_per_block_ - 1) / slots_per_block_);
}

void SharedTable::FailLocked() const {
  RequireRunnableCipher();
  Fail(ENG_ERR_ENCRYPTED, "Table " + name_ + " is encrypted: its password must be given (EngEnableEncryption) first");
}

void SharedTable::RequireRunnableCipher() const {
  if (encrypted_ && !crypto::Runnable(crypto_params_.algorithm))
    Fail(ENG_ERR_NOT_SUPPORTED, "Table " + name_ + " is encrypted with " +
                                    crypto::AlgorithmName(crypto_params_.algorithm) +
                                    ", which this processor cannot run (it needs AES-NI and PCLMUL)");
}

bool SharedTable::Unlock(const std::string& password) {
  crypto::Params params;
  {
    TableLock lock(*this);
    if (!encrypted_) return true;
    RequireRunnableCipher();
    params = crypto_params_;
  }
  std::shared_ptr<const crypto::Cipher> cipher = crypto::Unlock(password, params);
  if (!cipher) return false;
  TableLock lock(*this);
  if (encrypted_ && std::memcmp(params.salt, crypto_params_.salt, crypto::kSaltBytes) == 0 && !cipher_) {
    uint8_t mac[crypto::kCheckBytes];
    HeaderMac(*cipher, mac);
    if (sodium_memcmp(mac, crypto_params_.header_mac, sizeof mac) != 0)
      Fail(ENG_ERR_TAMPERED, "The header of table " + path_ + " fails authentication (the file was changed outside the engine)");
    cipher_ = std::move(cipher);
  }
  return true;
}

void SharedTable::HeaderMac(const crypto::Cipher& cipher, uint8_t* out) {
  const uint8_t* h = Header();
  cipher.Mac(h, fmt::kOffSlotCount, h + fmt::kFixedHeader, header_size_ - fmt::kFixedHeader, out);
}

void SharedTable::SyncCaches() {
  uint64_t seq = journal_.Sequence();
  if (seq == cache_seq_ && blocks_.bytes() + indexes_->CacheBytes() <= kCacheLimit) {
    blocks_.RecyclePassing(walk_cache_bytes_);  // a new operation: no pointer into them is held
    return;
  }
  blocks_.Clear();
  indexes_->ClearCache();
  cache_seq_ = seq;
}

BlockCache::Entry* SharedTable::RecordBlock(uint64_t block) {
  if (BlockCache::Entry* e = blocks_.Find(block)) return e;
  if (!cipher_) FailLocked();
  size_t size = size_t{slots_per_block_} * slot_size_;
  uint64_t first = block * slots_per_block_ + 1;
  // A block that starts beyond the count has never been sealed: it is new.
  if (first > SlotCount()) {
    BlockCache::Entry* e = blocks_.Insert(block, size);
    std::memset(e->data(), 0, size);
    return e;
  }
  // A block next to the one read before is a walk passing by: its memory
  // serves the walk's next block (see BlockCache).
  const bool passing = block == last_opened_ + 1 || block + 1 == last_opened_;
  last_opened_ = block;
  ++blocks_decrypted_;
  BlockCache::Entry* e = blocks_.Insert(block, size, passing);
  try {
    OpenRecordBlock(block, e->data());
  } catch (...) {
    blocks_.Drop(block);
    throw;
  }
  return e;
}

void SharedTable::OpenRecordBlock(uint64_t block, uint8_t* out) {
  if (!cipher_) FailLocked();
  const size_t size = size_t{slots_per_block_} * slot_size_;
  const uint64_t first = block * slots_per_block_ + 1;
  uint64_t end = BlockOffset(block) + block_stored_;
  if (end > adt_.size()) adt_.Refresh();
  if (end > adt_.size()) Fail(ENG_ERR_CORRUPT, "Table " + path_ + " is shorter than its record count");
  if (!cipher_->Open(crypto::Kind::kRecords, block, adt_.data() + BlockOffset(block), size, out))
    Fail(ENG_ERR_TAMPERED, "Table " + path_ + ": records " + std::to_string(first) + " to " +
                               std::to_string(first + slots_per_block_ - 1) +
                               " fail authentication (the file was changed outside the engine)");
}

const uint8_t* SharedTable::Slot(uint64_t recno) {
  if (!encrypted_) {
    EnsureMapped(recno);
    const uint8_t* slot = adt_.data() + SlotOffset(recno);
    if (checksums_ && (recno < checked_.from || recno >= checked_.to)) CheckSlots(recno, slot);
    return slot;
  }
  uint64_t i = recno - 1;
  return RecordBlock(i / slots_per_block_)->data() + (i % slots_per_block_) * slot_size_;
}

uint8_t* SharedTable::MutableSlot(uint64_t recno, uint32_t from, uint32_t length, bool journaled) {
  checked_ = {};
  if (!encrypted_) {
    uint64_t off = SlotOffset(recno);
    // The checksum at the slot's end changes with any of its bytes.
    if (checksums_) length = slot_size_ - from;
    if (journaled) journal_.Save(kTableFile, off + from, length);
    return adt_.data() + off;
  }
  uint64_t i = recno - 1, block = i / slots_per_block_;
  BlockCache::Entry* e = RecordBlock(block);
  blocks_.MarkDirty(block, e);
  return e->data() + (i % slots_per_block_) * slot_size_;
}

bool SharedTable::SlotIntact(const uint8_t* slot) const {
  return !checksums_ || CrcMatches(slot, slot_size_ - fmt::kSlotCrcBytes);
}

void SharedTable::CheckSlot(uint64_t recno, const uint8_t* slot) const {
  if (!SlotIntact(slot))
    Fail(ENG_ERR_CORRUPT, "Table " + path_ + " is damaged: record " + std::to_string(recno) +
                              " does not match its checksum (the file was changed outside the engine)");
}

uint64_t SharedTable::CheckAhead(uint64_t recno, bool ahead, uint64_t slots, uint64_t mapped) const {
  // Read one by one, slots are checked one at a time; a walk forward (the
  // slot after the last one checked) checks the next ones along with it.
  if (!ahead) return 1;
  uint64_t n = std::min<uint64_t>(check_window_, slots - recno + 1);
  const uint64_t offset = SlotOffset(recno);
  if (offset + n * slot_size_ > mapped) n = offset + slot_size_ <= mapped ? (mapped - offset) / slot_size_ : 1;
  return n;
}

void SharedTable::CheckSlots(uint64_t recno, const uint8_t* slot) {
  const uint64_t n = CheckAhead(recno, recno == checked_.to, SlotCount(), adt_.size());
  const size_t good = CrcMatchingRun(slot, n, slot_size_, slot_size_ - fmt::kSlotCrcBytes);
  if (good == 0) CheckSlot(recno, slot);  // throws
  // A damaged slot further on is reported when it is read itself.
  checked_ = {0, recno, recno + good};
}

void SharedTable::StampSlot(uint8_t* slot) const {
  if (checksums_) StampCrc(slot, slot_size_ - fmt::kSlotCrcBytes);
}

void SharedTable::SealBlocks() {
  for (uint64_t block : blocks_.dirty()) {
    BlockCache::Entry* e = blocks_.Find(block);
    uint64_t off = BlockOffset(block);
    adt_.Reserve(off + block_stored_);
    journal_.Save(kTableFile, off, block_stored_);
    cipher_->Seal(crypto::Kind::kRecords, block, e->data(), e->size(), adt_.data() + off);
  }
  blocks_.ClearDirty();
}

namespace {
// Moves on in every child of fork(), which inherits the tables loaded by
// its parent, and with them who held their locks: none of those holds is
// the child's.
std::atomic<uint64_t> g_lock_fork_generation{0};
void NextLockGeneration() { g_lock_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// A word that tells the threads of this process apart (never 0): the
// address of a thread-local variable (below 2^56), and the fork generation.
uint64_t ThisThread() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, NextLockGeneration) == 0;
  (void)registered;
  static thread_local char tag;
  return reinterpret_cast<uint64_t>(&tag) + (g_lock_fork_generation.load(std::memory_order_relaxed) << 56);
}
}  // namespace

namespace {
thread_local int64_t t_lock_wait_ms = -1;
}  // namespace

LockWaitScope::LockWaitScope(int64_t wait_ms) : saved_(t_lock_wait_ms) { t_lock_wait_ms = wait_ms; }
LockWaitScope::~LockWaitScope() { t_lock_wait_ms = saved_; }

bool SharedTable::HeldByThisThread() const { return holder_.load(std::memory_order_relaxed) == ThisThread(); }

void SharedTable::LockShared(int64_t wait_ms) {
  const uint64_t self = ThisThread();
  // Only this thread stores its own word here, so reading it back tells.
  if (holder_.load(std::memory_order_relaxed) == self) {
    ++lock_depth_;
    return;
  }
  int rc;
  if (wait_ms < 0) wait_ms = t_lock_wait_ms;
  if (wait_ms < 0) {
    rc = pthread_mutex_lock(journal_.mutex());
  } else {
    struct timespec deadline;
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(wait_ms / 1000);
    deadline.tv_nsec += static_cast<long>(wait_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_timedlock(journal_.mutex(), &deadline);
    if (rc == ETIMEDOUT)
      Fail(ENG_ERR_TABLE_LOCKED, "Table " + name_ + " is in use by another transaction or statement: gave up after waiting " +
                                     std::to_string(wait_ms) + " ms (two transactions that wait for each other's tables end so)");
  }
  if (rc == EOWNERDEAD) {
    // The previous holder died in the middle of a change: undo it.
    try {
      RecoverJournal();
    } catch (...) {
      pthread_mutex_consistent(journal_.mutex());
      pthread_mutex_unlock(journal_.mutex());
      throw;
    }
    pthread_mutex_consistent(journal_.mutex());
  } else if (rc != 0) {
    Fail(ENG_ERR_INTERNAL, "Cannot lock table " + path_ + ": " + std::strerror(rc));
  }
  holder_.store(self, std::memory_order_relaxed);
  lock_depth_ = 1;
  in_change_ = false;
  header_saved_ = false;
  counter_saved_ = false;
  change_depth_ = 0;
  marks_.clear();
  broken_ = false;
  checked_ = {};  // another process may have changed any slot since
  try {
    if (encrypted_) {
      SyncCaches();
      journal_.WipeIfPlain();  // a holder killed between an encryption's commit and its wipe
    }
  } catch (...) {
    UnlockShared();
    throw;
  }
}

void SharedTable::UnlockShared() {
  if (--lock_depth_ > 0) return;
  holder_.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(journal_.mutex());
}

uint64_t SharedTable::SlotCount() { return Load64(Header() + fmt::kOffSlotCount); }
uint64_t SharedTable::LiveCount() { return Load64(Header() + fmt::kOffLiveCount); }
uint64_t SharedTable::ChangeCounter() { return Load64(Header() + fmt::kOffChangeCounter); }
uint64_t SharedTable::Generation() { return Load64(Header() + fmt::kOffGeneration); }

uint64_t SharedTable::LayoutStamp() {
  static std::atomic<uint64_t> next{1};
  const uint64_t tags = indexes_ ? indexes_->Generation() : 0;
  if (layout_stamp_ == 0 || tags != layout_tags_generation_) {
    layout_stamp_ = next.fetch_add(1, std::memory_order_relaxed);
    layout_tags_generation_ = tags;
  }
  return layout_stamp_;
}

void SharedTable::EnsureMapped(uint64_t recno) {
  uint64_t end = SlotOffset(recno) + slot_size_;
  if (end > adt_.size()) {
    adt_.Refresh();
    if (end > adt_.size()) Fail(ENG_ERR_CORRUPT, "Table " + path_ + " is shorter than its record count");
  }
}

uint8_t SharedTable::SlotState(uint64_t recno) {
  if (recno == 0 || recno > SlotCount()) return fmt::kSlotFree;
  return Slot(recno)[0];
}

const uint8_t* SharedTable::Record(uint64_t recno) { return Slot(recno) + 1; }

bool SharedTable::PeekRecord(uint64_t recno, const uint8_t** raw) {
  const MappedFile::View* view = adt_.view();
  if (view->size < fmt::kFixedHeader) return false;
  uint64_t count = Load64(view->base + fmt::kOffSlotCount);
  if (recno == 0 || recno > count) {
    *raw = nullptr;
    return true;
  }
  uint64_t offset = SlotOffset(recno);
  if (offset + slot_size_ > view->size) return false;  // grown elsewhere: mapping it needs the lock
  const uint8_t* slot = view->base + offset;
  // A mismatch may be a write under way: the read under the lock tells.
  if (!SlotIntact(slot)) return false;
  *raw = slot[0] == fmt::kSlotLive ? slot + 1 : nullptr;
  return true;
}

bool SharedTable::PeekCheck(uint64_t recno, const uint8_t* slot, bool forward, uint64_t slots, uint64_t mapped,
                            uint64_t seq, CheckedSlots* checked) const {
  const bool ahead = forward && checked->seq == seq && recno == checked->to;
  const uint64_t n = CheckAhead(recno, ahead, slots, mapped);
  const size_t good = CrcMatchingRun(slot, n, slot_size_, slot_size_ - fmt::kSlotCrcBytes);
  if (good == 0) return false;
  *checked = {seq, recno, recno + good};
  return true;
}

bool SharedTable::PeekStep(uint32_t from, bool forward, uint32_t* out, const uint8_t** raw, uint64_t seq,
                           CheckedSlots* checked) {
  const MappedFile::View* view = adt_.view();
  if (view->size < fmt::kFixedHeader) return false;
  uint64_t count = Load64(view->base + fmt::kOffSlotCount);
  if (count > 0x7FFFFFFFull) return false;  // read in the middle of a change
  auto live = [&](uint64_t r, bool* known) -> bool {
    uint64_t offset = SlotOffset(r);
    if (offset + slot_size_ > view->size) {
      *known = false;
      return true;
    }
    const uint8_t* slot = view->base + offset;
    // As in PeekRecord; slots passed over are checked too.
    if (checksums_ && (r - checked->from >= checked->to - checked->from || checked->seq != seq) &&
        !PeekCheck(r, slot, forward, count, view->size, seq, checked)) {
      *known = false;
      return true;
    }
    if (slot[0] != fmt::kSlotLive) return false;
    *raw = slot + 1;
    return true;
  };
  bool known = true;
  if (forward) {
    for (uint64_t r = uint64_t{from} + 1; r <= count; ++r)
      if (live(r, &known)) {
        *out = static_cast<uint32_t>(r);
        return known;
      }
  } else {
    for (uint64_t r = from == 0 ? count : uint64_t{from} - 1; r >= 1; --r)
      if (live(r, &known)) {
        *out = static_cast<uint32_t>(r);
        return known;
      }
  }
  *out = 0;
  return true;
}

const uint8_t* SharedTable::LiveRecord(uint64_t recno) {
  if (recno == 0 || recno > SlotCount()) return nullptr;
  const uint8_t* slot = Slot(recno);
  return slot[0] == fmt::kSlotLive ? slot + 1 : nullptr;
}

const uint8_t* SharedTable::SlotsInPlace(uint64_t first, uint64_t* count) {
  if (!encrypted_ || *count == 0) return nullptr;
  if (first == 0 || first + *count - 1 > SlotCount())
    Fail(ENG_ERR_INTERNAL, "Table " + path_ + " has no records " + std::to_string(first) + " to " +
                               std::to_string(first + *count - 1));
  const uint64_t i = first - 1, in_block = i % slots_per_block_;
  *count = std::min<uint64_t>(slots_per_block_ - in_block, *count);
  return RecordBlock(i / slots_per_block_)->data() + in_block * slot_size_;
}

void SharedTable::ReadSlots(uint64_t first, uint64_t count, uint8_t* out) {
  if (count == 0) return;
  if (first == 0 || first + count - 1 > SlotCount())
    Fail(ENG_ERR_INTERNAL, "Table " + path_ + " has no records " + std::to_string(first) + " to " +
                               std::to_string(first + count - 1));
  if (encrypted_) {
    // Runs of slots that lie in one decrypted block, copied at once.
    for (uint64_t r = first; r < first + count;) {
      const uint64_t i = r - 1, in_block = i % slots_per_block_;
      const uint64_t n = std::min<uint64_t>(slots_per_block_ - in_block, first + count - r);
      std::memcpy(out, RecordBlock(i / slots_per_block_)->data() + in_block * slot_size_, n * slot_size_);
      out += n * slot_size_;
      r += n;
    }
    return;
  }
  // MAP_SHARED: the file reads back what the mapping holds.
  uint8_t* const start = out;
  uint64_t offset = SlotOffset(first);
  size_t length = static_cast<size_t>(count * slot_size_);
  while (length > 0) {
    ssize_t n = ::pread(adt_.fd(), out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(ENG_ERR_IO, "Cannot read table " + path_ + ": " + std::strerror(errno));
    if (n == 0) Fail(ENG_ERR_CORRUPT, "Table " + path_ + " is shorter than its record count");
    out += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  if (checksums_) {
    const size_t good = CrcMatchingRun(start, count, slot_size_, slot_size_ - fmt::kSlotCrcBytes);
    if (good < count) CheckSlot(first + good, start + good * slot_size_);
  }
}

void SharedTable::BeginChange() {
  if (!adt_.writable()) Fail(ENG_ERR_READ_ONLY, "Table " + path_ + " is read-only");
  if (change_depth_ > 0) {
    // A point to come back to. An encrypted table's changed blocks and
    // pages go into the file first, under the journal, so that undoing to
    // the mark may drop every decrypted copy.
    if (encrypted_) {
      SealBlocks();
      indexes_->SealPages();
    }
    marks_.push_back(journal_.CurrentMark());
    ++change_depth_;
    // Bytes saved before the mark and changed after it must be saved again,
    // or undoing to the mark could not put them back.
    header_saved_ = false;
    counter_saved_ = false;
    indexes_->NewSavepoint();
    return;
  }
  AnnounceChange();  // the outermost change: the run's backup is taken before it
  change_depth_ = 1;
  marks_.clear();
  broken_ = false;
  in_change_ = true;
  header_saved_ = false;
  counter_saved_ = false;
  if (!encrypted_) journal_.NotePlainSaves();
  if (indexes_) indexes_->ResetChange();
}

void SharedTable::AnnounceChange() {
  const ChangeHook& hook = ThreadChangeHook();
  if (hook.hook == nullptr || announced_ == hook.generation) return;
  eng::AnnounceChange(ENG_CHANGE_TABLE, path_);
  announced_ = hook.generation;
}

void SharedTable::SaveHeader() {
  if (!header_saved_) {
    journal_.Save(kTableFile, 0, fmt::kFixedHeader);
    header_saved_ = true;
  }
}

void SharedTable::BumpChange() {
  // An operation that changed nothing else in the header (a record
  // rewritten) saves only the counter; should a later step save the whole
  // header, undoing newest first still ends on the old counter.
  if (!header_saved_ && !counter_saved_) {
    journal_.Save(kTableFile, fmt::kOffChangeCounter, 8);
    counter_saved_ = true;
  }
  Store64(Header() + fmt::kOffChangeCounter, ChangeCounter() + 1);
}

void SharedTable::CommitChange() {
  if (change_depth_ > 1) {
    // The enclosing change carries it on.
    marks_.pop_back();
    --change_depth_;
    return;
  }
  PrepareCommit();
  FinishCommit();
}

void SharedTable::PrepareCommit() {
  if (broken_)
    Fail(ENG_ERR_IO, "The change of table " + path_ + " cannot be committed: undoing a failed part of it failed");
  if (encrypted_) SealBlocks();
  indexes_->SealPages();  // sealed (encrypted) or their checksums stamped
}

void SharedTable::FinishCommit() {
  journal_.Commit();
  change_depth_ = 0;
  marks_.clear();
  in_change_ = false;
  header_saved_ = false;
  counter_saved_ = false;
  cache_seq_ = journal_.Sequence();
  // The old bytes of a table just encrypted (or of its plain past) must
  // not stay readable beside it; a failure leaves the wipe to the next locker.
  if (encrypted_) {
    try {
      journal_.WipeIfPlain();
    } catch (const EngineError&) {
    }
  }
}

void SharedTable::AbortChange() {
  if (change_depth_ > 1) {
    const Journal::Mark mark = marks_.back();
    marks_.pop_back();
    --change_depth_;
    // Decrypted copies changed since the mark are not in the file: void.
    blocks_.Clear();
    if (indexes_) indexes_->ClearCache();
    try {
      journal_.RollbackTo(mark);
      LoadCryptoState();
      if (indexes_) indexes_->Reload(/*keep_changed=*/true);
    } catch (...) {
      // The entries stay, and the enclosing change may not commit: its
      // abort, or the next locker, restores them.
      broken_ = true;
    }
    // What was saved after the mark is saved again when changed again.
    header_saved_ = false;
    counter_saved_ = false;
    checked_ = {};
    if (indexes_) indexes_->NewSavepoint();
    return;
  }
  change_depth_ = 0;
  marks_.clear();
  broken_ = false;
  counter_saved_ = false;
  try {
    journal_.Recover();
    // The restored files may differ in mode from what the failed change
    // left in memory; decrypted copies of changed blocks are void.
    LoadCryptoState();
    // A failed change of the tag set must not stay in the cached directory.
    if (indexes_) indexes_->Reload();
  } catch (...) {
    // Leave the entries: the next locker retries the restore.
  }
  blocks_.Clear();
  if (indexes_) indexes_->ClearCache();
  in_change_ = false;
  header_saved_ = false;
  checked_ = {};
}

uint32_t SharedTable::Reserve(std::vector<uint8_t>* raw) {
  uint64_t count = SlotCount();
  if (count >= 0x7FFFFFFFull) Fail(ENG_ERR_VALUE, "Table " + path_ + " is full");
  uint64_t recno = count + 1;
  if (!encrypted_) adt_.Reserve(SlotOffset(recno) + slot_size_);
  SaveHeader();
  uint8_t* h = Header();
  // Autoincrement fields take the next value now, so that the caller sees it.
  for (const auto& f : fields_) {
    if (f.type != ENG_AUTOINC) continue;
    uint32_t next = Load32(h + fmt::kOffNextAutoinc);
    if (next == 0) next = 1;
    Store32(raw->data() + f.offset, next);
    Store32(h + fmt::kOffNextAutoinc, next + 1);
  }
  uint8_t* slot = MutableSlot(recno, 0, slot_size_, false);
  slot[0] = fmt::kSlotReserved;
  std::memcpy(slot + 1, raw->data(), record_length_);
  StampSlot(slot);
  Store64(h + fmt::kOffSlotCount, recno);
  BumpChange();
  return static_cast<uint32_t>(recno);
}

uint64_t SharedTable::StoreMemo(const std::string& content, uint8_t* fieldRaw) {
  if (content.empty()) {
    Store32(fieldRaw, 0);
    Store32(fieldRaw + 4, 0);
    return 0;
  }
  if (content.size() > 0x7FFFFFF0u) Fail(ENG_ERR_VALUE, "Memo content too large for " + path_);
  journal_.Save(kMemoFile, 0, fmt::kMemoHeader);
  uint64_t block = Load64(memo_.data() + fmt::kOffMemoNext);
  if (block == 0 || block > 0xFFFFFFFFull) Fail(ENG_ERR_CORRUPT, "Memo file " + memo_.path() + " of table " + name_ + " is damaged");
  uint64_t blocks = PlaceMemo(content, block);
  Store64(memo_.data() + fmt::kOffMemoNext, block + blocks);
  Store32(fieldRaw, static_cast<uint32_t>(block));
  Store32(fieldRaw + 4, static_cast<uint32_t>(content.size()));
  return block;
}

uint64_t SharedTable::PlaceMemo(const std::string& content, uint64_t block) {
  uint64_t stored = content.size() + (encrypted_ ? crypto::kOverhead : 0);
  uint64_t blocks = (stored + fmt::kMemoBlock - 1) / fmt::kMemoBlock;
  memo_.Reserve((block + blocks) * fmt::kMemoBlock);
  uint8_t* at = memo_.data() + block * fmt::kMemoBlock;
  if (encrypted_) {
    if (!cipher_) FailLocked();
    cipher_->Seal(crypto::Kind::kMemo, block, reinterpret_cast<const uint8_t*>(content.data()), content.size(), at);
    // The rest of the last block may hold older contents, in clear when the
    // table was plain before.
    std::memset(at + stored, 0, blocks * fmt::kMemoBlock - stored);
  } else {
    std::memcpy(at, content.data(), content.size());
  }
  return blocks;
}

uint32_t SharedTable::MemoLength(const uint8_t* fieldRaw) { return Load32(fieldRaw + 4); }

std::string SharedTable::ReadMemo(const uint8_t* fieldRaw) {
  uint32_t block = Load32(fieldRaw), len = Load32(fieldRaw + 4);
  if (len == 0) return std::string();
  if (!memo_.IsOpen() || block == 0) Fail(ENG_ERR_CORRUPT, "Memo reference of " + path_ + " is damaged");
  uint64_t start = uint64_t{block} * fmt::kMemoBlock;
  uint64_t stored = uint64_t{len} + (encrypted_ ? crypto::kOverhead : 0);
  if (start + stored > memo_.size()) memo_.Refresh();
  if (start + stored > memo_.size())
    Fail(ENG_ERR_CORRUPT, "Memo file " + memo_.path() + " is cut short: a memo of table " + name_ + " at block " +
                              std::to_string(block) + " (" + std::to_string(len) + " bytes) lies beyond its end");
  if (!encrypted_) return std::string(reinterpret_cast<const char*>(memo_.data() + start), len);
  if (!cipher_) FailLocked();
  std::string out(len, '\0');
  if (!cipher_->Open(crypto::Kind::kMemo, block, memo_.data() + start, len, reinterpret_cast<uint8_t*>(out.data())))
    Fail(ENG_ERR_TAMPERED, "Memo file of " + path_ + ": the content at block " + std::to_string(block) +
                               " fails authentication (the file was changed outside the engine)");
  return out;
}

void SharedTable::Write(uint32_t recno, std::vector<uint8_t>& raw, bool append,
                        const std::vector<std::pair<size_t, std::string>>& memos) {
  uint8_t state = SlotState(recno);
  if (append ? state != fmt::kSlotReserved : state != fmt::kSlotLive)
    Fail(ENG_ERR_NO_SUCH_RECORD, "Record " + std::to_string(recno) + " of " + path_ + " no longer exists");
  RecordObserver* observer = observer_ && observer_->Watching() ? observer_ : nullptr;
  const uint8_t* old = nullptr;
  if (observer && !append) {
    const uint8_t* now = Record(recno);
    old_raw_.assign(now, now + record_length_);
    old = old_raw_.data();
  }
  for (const auto& m : memos) {
    const FieldDef& f = fields_[m.first];
    uint32_t old_len = Load32(raw.data() + f.offset + 4);
    if (old_len) {
      journal_.Save(kMemoFile, 0, fmt::kMemoHeader);
      Store64(memo_.data() + fmt::kOffMemoDead, Load64(memo_.data() + fmt::kOffMemoDead) + old_len);
    }
    StoreMemo(m.second, raw.data() + f.offset);
  }
  if (observer) {
    if (append)
      observer->CheckInsert(recno, raw.data());
    else
      observer->CheckUpdate(recno, old, raw.data());
  }
  uint8_t* slot = MutableSlot(recno, 0, slot_size_);
  std::memcpy(slot + 1, raw.data(), record_length_);
  if (append) slot[0] = fmt::kSlotLive;
  StampSlot(slot);
  if (append) {
    SaveHeader();
    Store64(Header() + fmt::kOffLiveCount, LiveCount() + 1);
  }
  if (observer) {
    if (append)
      observer->Insert(recno, raw.data());
    else
      observer->Update(recno, old, raw.data());
  }
  BumpChange();
}

void SharedTable::Unreserve(uint32_t recno) {
  if (SlotState(recno) != fmt::kSlotReserved) return;
  SaveHeader();
  if (recno == SlotCount()) {
    Store64(Header() + fmt::kOffSlotCount, recno - 1);
  } else {
    uint8_t* slot = MutableSlot(recno, 0, 1);
    slot[0] = fmt::kSlotDeleted;
    StampSlot(slot);
  }
  BumpChange();
}

void SharedTable::Delete(uint32_t recno) {
  if (SlotState(recno) != fmt::kSlotLive)
    Fail(ENG_ERR_NO_SUCH_RECORD, "Record " + std::to_string(recno) + " of " + path_ + " no longer exists");
  if (observer_) observer_->Erase(recno, Record(recno));
  uint8_t* slot = MutableSlot(recno, 0, 1);
  slot[0] = fmt::kSlotDeleted;
  StampSlot(slot);
  SaveHeader();
  Store64(Header() + fmt::kOffLiveCount, LiveCount() - 1);
  BumpChange();
}

void SharedTable::Zap() {
  SaveHeader();
  uint8_t* h = Header();
  Store64(h + fmt::kOffSlotCount, 0);
  Store64(h + fmt::kOffLiveCount, 0);
  Store64(h + fmt::kOffGeneration, Generation() + 1);
  if (memo_.IsOpen()) {
    journal_.Save(kMemoFile, 0, fmt::kMemoHeader);
    Store64(memo_.data() + fmt::kOffMemoNext, 1);
    Store64(memo_.data() + fmt::kOffMemoDead, 0);
  }
  if (observer_) observer_->Clear();
  if (encrypted_) blocks_.Clear();  // no block of the old records may be sealed again
  BumpChange();
}

void SharedTable::Pack() {
  // Every slot live and no memo file to compact: nothing would move, so
  // the files, the record numbers and the indexes stay as they are.
  if (!memo_.IsOpen() && LiveCount() == SlotCount()) {
    BumpChange();
    return;
  }
  if (encrypted_) {
    Rewrite(cipher_, &crypto_params_, true);
    return;
  }
  uint64_t count = SlotCount();
  if (count) EnsureMapped(count);
  // Keep the whole old contents so that a crash or a failure undoes the pack.
  journal_.Save(kTableFile, 0, SlotOffset(count + 1));
  header_saved_ = true;
  if (memo_.IsOpen()) journal_.Save(kMemoFile, 0, memo_.size());
  uint8_t* base = adt_.data();
  uint64_t out = 0;
  checked_ = {};
  for (uint64_t r = 1; r <= count; ++r) {
    uint8_t* src = base + SlotOffset(r);
    CheckSlot(r, src);  // a damaged state byte must not drop or keep a record
    if (src[0] != fmt::kSlotLive) continue;
    ++out;
    if (out != r) std::memmove(base + SlotOffset(out), src, slot_size_);
  }
  if (memo_.IsOpen()) {
    // Move every referenced content down, in order of position, so that no
    // content is overwritten before it has moved.
    struct Ref {
      uint64_t block;
      uint32_t len;
      uint64_t slot;
      uint32_t offset;
    };
    std::vector<Ref> refs;
    for (uint64_t r = 1; r <= out; ++r)
      for (const auto& f : fields_)
        if (IsMemoType(f.type)) {
          const uint8_t* p = base + SlotOffset(r) + 1 + f.offset;
          if (Load32(p + 4)) refs.push_back({Load32(p), Load32(p + 4), r, f.offset});
        }
    std::sort(refs.begin(), refs.end(), [](const Ref& a, const Ref& b) { return a.block < b.block; });
    uint64_t next = 1;
    for (const Ref& ref : refs) {
      uint64_t from = ref.block * fmt::kMemoBlock;
      if (from + ref.len > memo_.size()) Fail(ENG_ERR_CORRUPT, "Memo file " + memo_.path() + " of table " + name_ + " is damaged");
      if (ref.block != next) std::memmove(memo_.data() + next * fmt::kMemoBlock, memo_.data() + from, ref.len);
      Store32(base + SlotOffset(ref.slot) + 1 + ref.offset, static_cast<uint32_t>(next));
      StampSlot(base + SlotOffset(ref.slot));
      next += (ref.len + fmt::kMemoBlock - 1) / fmt::kMemoBlock;
    }
    Store64(memo_.data() + fmt::kOffMemoNext, next);
    Store64(memo_.data() + fmt::kOffMemoDead, 0);
  }
  uint8_t* h = Header();
  Store64(h + fmt::kOffSlotCount, out);
  Store64(h + fmt::kOffLiveCount, out);
  Store64(h + fmt::kOffGeneration, Generation() + 1);
  if (observer_) observer_->Rebuild();
  BumpChange();
}

void SharedTable::Encrypt(std::shared_ptr<const crypto::Cipher> cipher, const crypto::Params& params) {
  if (!encrypted_) Rewrite(std::move(cipher), &params, false);
}

void SharedTable::Decrypt() {
  if (!encrypted_) return;
  if (!cipher_) FailLocked();
  Rewrite(nullptr, nullptr, false);
}

void SharedTable::Rewrite(std::shared_ptr<const crypto::Cipher> cipher, const crypto::Params* params, bool pack) {
  // Everything in clear, read in the current mode. Encrypted blocks are
  // opened into one buffer rather than the block cache: each is read once,
  // and filling the cache would touch as much fresh memory as the table.
  uint64_t count = SlotCount();
  BulkBytes slots;
  slots.reserve(count * slot_size_);
  auto keep = [&](const uint8_t* s) {
    if (pack && s[0] != fmt::kSlotLive) return;
    slots.insert(slots.end(), s, s + slot_size_);
  };
  if (encrypted_) {
    std::vector<uint8_t> plain(size_t{slots_per_block_} * slot_size_);
    for (uint64_t first = 1; first <= count; first += slots_per_block_) {
      const uint64_t block = (first - 1) / slots_per_block_;
      const uint8_t* data = plain.data();
      if (BlockCache::Entry* e = blocks_.Find(block))
        data = e->data();  // may hold changes of this operation
      else
        OpenRecordBlock(block, plain.data());
      const uint64_t n = std::min<uint64_t>(slots_per_block_, count - first + 1);
      for (uint64_t k = 0; k < n; ++k) keep(data + k * slot_size_);
    }
  } else {
    for (uint64_t r = 1; r <= count; ++r) keep(Slot(r));
  }
  const uint64_t kept = slots.size() / slot_size_;
  const bool to_encrypted = cipher != nullptr;
  const uint64_t overhead = to_encrypted ? crypto::kOverhead : 0;
  std::vector<std::string> memos;
  uint64_t memo_end = fmt::kMemoBlock;  // block 0 is the header
  if (memo_.IsOpen()) {
    for (uint64_t k = 0; k < kept; ++k)
      for (const auto& f : fields_)
        if (IsMemoType(f.type)) {
          memos.push_back(ReadMemo(&slots[k * slot_size_ + 1 + f.offset]));
          if (!memos.back().empty())
            memo_end += (memos.back().size() + overhead + fmt::kMemoBlock - 1) / fmt::kMemoBlock * fmt::kMemoBlock;
        }
  }
  std::vector<uint8_t> pages;
  if (!pack) pages = indexes_->ReadAllPages();

  // The whole old contents into the journal, then room for the new layout
  // before the header claims it (an interrupted rewrite must still open).
  if (DataEnd(count) > adt_.size()) adt_.Refresh();
  journal_.Save(kTableFile, 0, DataEnd(count));
  header_saved_ = true;
  if (memo_.IsOpen()) journal_.Save(kMemoFile, 0, memo_.size());
  if (!pack) indexes_->SaveAllPages();
  uint32_t per_block = SlotsPerSealedBlock(slot_size_);
  uint64_t stored = uint64_t{per_block} * slot_size_ + crypto::kOverhead;
  adt_.Reserve(to_encrypted ? header_size_ + (kept + per_block - 1) / per_block * stored
                            : header_size_ + kept * slot_size_);
  if (memo_.IsOpen()) memo_.Reserve(memo_end);
  if (!pack) indexes_->ReserveFor(to_encrypted);

  // Switch the mode.
  uint8_t* h = Header();
  uint16_t flags = Load16(h + fmt::kOffFlags) & ~crypto::kFlagEncrypted;
  Store16(h + fmt::kOffFlags, static_cast<uint16_t>(flags | (to_encrypted ? crypto::kFlagEncrypted : 0)));
  if (to_encrypted) {
    crypto_params_ = *params;
    HeaderMac(*cipher, crypto_params_.header_mac);
    crypto_params_.Write(h + fmt::kOffCrypto);
  } else {
    std::memset(h + fmt::kOffCrypto, 0, crypto::kAreaBytes);
  }
  encrypted_ = to_encrypted;
  cipher_ = std::move(cipher);
  slots_per_block_ = per_block;
  block_stored_ = stored;
  blocks_.Clear();
  indexes_->ClearCache();

  // Memo contents from the start of the file, references patched in the slots.
  if (memo_.IsOpen()) {
    uint64_t next = 1;
    size_t m = 0;
    for (uint64_t k = 0; k < kept; ++k) {
      for (const auto& f : fields_)
        if (IsMemoType(f.type)) {
          uint8_t* ref = &slots[k * slot_size_ + 1 + f.offset];
          const std::string& content = memos[m++];
          Store32(ref, content.empty() ? 0 : static_cast<uint32_t>(next));
          Store32(ref + 4, static_cast<uint32_t>(content.size()));
          if (!content.empty()) next += PlaceMemo(content, next);
        }
      StampSlot(&slots[k * slot_size_]);
    }
    Store64(memo_.data() + fmt::kOffMemoNext, next);
    Store64(memo_.data() + fmt::kOffMemoDead, 0);
  }
  // Written through the file in large pieces: writing through the mapping
  // would fault once per page.
  if (to_encrypted) {
    std::vector<uint8_t> plain(uint64_t{per_block} * slot_size_);
    const uint64_t blocks = (kept + per_block - 1) / per_block;
    const uint64_t chunk_blocks = std::max<uint64_t>(1, (1u << 20) / stored);
    std::vector<uint8_t> sealed(chunk_blocks * stored);
    for (uint64_t first = 0; first < blocks; first += chunk_blocks) {
      const uint64_t in_chunk = std::min(chunk_blocks, blocks - first);
      for (uint64_t k = 0; k < in_chunk; ++k) {
        const uint64_t b = first + k;
        uint64_t n = std::min<uint64_t>(per_block, kept - b * per_block) * slot_size_;
        if (n < plain.size()) std::fill(plain.begin() + static_cast<std::ptrdiff_t>(n), plain.end(), 0);
        std::memcpy(plain.data(), &slots[b * per_block * slot_size_], n);
        cipher_->Seal(crypto::Kind::kRecords, b, plain.data(), plain.size(), sealed.data() + k * stored);
      }
      adt_.WriteAt(BlockOffset(first), sealed.data(), in_chunk * stored);
    }
  } else if (kept) {
    adt_.WriteAt(header_size_, slots.data(), slots.size());
  }
  if (to_encrypted) {
    // Whatever lies beyond the new contents (slack, contents moved or
    // dropped) is old bytes, in clear when the table was plain: gone
    // within the change, since the journal holds what an undo needs.
    adt_.Truncate(header_size_ + (kept + per_block - 1) / per_block * stored);
    if (memo_.IsOpen()) memo_.Truncate(Load64(memo_.data() + fmt::kOffMemoNext) * fmt::kMemoBlock);
    if (!pack) indexes_->TrimFile();
  }
  if (pack) {
    h = Header();
    Store64(h + fmt::kOffSlotCount, kept);
    Store64(h + fmt::kOffLiveCount, kept);
    Store64(h + fmt::kOffGeneration, Generation() + 1);
    if (observer_) observer_->Rebuild();
  } else {
    indexes_->WriteAllPages(pages);
  }
  BumpChange();
}

}  // namespace eng

namespace eng {
bool SharedTable::HasSlack() {
  try {
    if (adt_.FileLength() > DataEnd(SlotCount())) return true;
    return memo_.IsOpen() && memo_.FileLength() > Load64(memo_.data() + fmt::kOffMemoNext) * fmt::kMemoBlock;
  } catch (const EngineError&) {
    return true;  // let TrimFiles decide under the lock
  }
}

void SharedTable::TrimFiles() {
  // Only ever shorter: a file shorter than its header claims was cut
  // outside the engine, and lengthening it would turn what was lost into
  // zeros that read as empty values without an error.
  const uint64_t table_end = DataEnd(SlotCount());
  if (adt_.FileLength() > table_end) adt_.Truncate(table_end);
  if (!memo_.IsOpen()) return;
  const uint64_t memo_end = Load64(memo_.data() + fmt::kOffMemoNext) * fmt::kMemoBlock;
  if (memo_.FileLength() > memo_end) memo_.Truncate(memo_end);
}
}  // namespace eng
