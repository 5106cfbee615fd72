#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "error.h"
#include "mapped_file.h"
#include "util.h"

namespace eng {

namespace {
constexpr char kMagic[8] = {'D', 'B', 'U', 'J', 'R', 'N', 'L', 1};
constexpr size_t kEntryHeader = 24;
// Saves from this size on are written with pwrite rather than through the map.
constexpr uint64_t kBulkBytes = 256 * 1024;

uint64_t Padded(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

}  // namespace

Journal::~Journal() { Close(); }

void Journal::Open(const std::string& path) {
  Close();
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) Fail(ENG_ERR_IO, "Cannot open journal " + path + ": " + std::strerror(errno));
  MapHeader();
}

void Journal::OpenInMemory(const std::string& name) {
  Close();
  path_ = name;
  // Private zero pages, touched only where used: no entries are ever saved
  // for a table no one else can see or change.
  void* p = ::mmap(nullptr, kHeaderSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) FailIo("Cannot make the journal of " + name, errno);
  header_ = static_cast<uint8_t*>(p);
  std::memcpy(header_, kMagic, sizeof kMagic);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(mutex(), &attr);
  pthread_mutexattr_destroy(&attr);
}

void Journal::MapHeader() {
  const std::string& path = path_;
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail(ENG_ERR_IO, "Cannot read journal " + path + ": " + std::strerror(errno));
  // The header page is written through the mapping: its blocks first (see
  // AllocateRange).
  if (static_cast<uint64_t>(st.st_size) < kHeaderSize) AllocateRange(fd_, path, 0, kHeaderSize, kHeaderSize);
  void* p = ::mmap(nullptr, kHeaderSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) Fail(ENG_ERR_IO, "Cannot map journal " + path + ": " + std::strerror(errno));
  header_ = static_cast<uint8_t*>(p);
  uint64_t length = static_cast<uint64_t>(st.st_size) > kHeaderSize ? st.st_size - kHeaderSize : 0;
  MapEntries(length);
}

void Journal::Close() {
  if (entries_) ::munmap(entries_, entries_size_);
  entries_ = nullptr;
  entries_size_ = 0;
  if (header_) ::munmap(header_, kHeaderSize);
  header_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  entries_allocated_ = 0;
}

void Journal::MapEntries(uint64_t length) {
  if (entries_) ::munmap(entries_, entries_size_);
  entries_ = nullptr;
  entries_size_ = 0;
  if (entries_allocated_ > length) entries_allocated_ = length;
  if (length == 0) return;
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, kHeaderSize);
  if (p == MAP_FAILED) Fail(ENG_ERR_IO, "Cannot map journal " + path_ + ": " + std::strerror(errno));
  entries_ = static_cast<uint8_t*>(p);
  entries_size_ = length;
}

void Journal::InitMutex() {
  // A fresh, unlocked mutex: the previous one may be stale (its owner long gone).
  uint64_t token = Load64(header_ + kTokenOffset);
  std::memset(header_, 0, kCountOffset);
  std::memcpy(header_, kMagic, sizeof kMagic);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(mutex(), &attr);
  pthread_mutexattr_destroy(&attr);
  Store64(header_ + kTokenOffset, token);  // tokens are never reused
  // Record locks of handles that are gone mean nothing now.
  std::memset(lock_table(), 0, kLockTableBytes);
}

uint64_t Journal::NextToken() {
  uint64_t t = Load64(header_ + kTokenOffset) + 1;
  Store64(header_ + kTokenOffset, t);
  return t;
}


void Journal::ReserveEntries(uint64_t bytes) {
  if (bytes <= entries_allocated_) return;
  // Entries are written through the mapping: the area gets its blocks
  // first, so that a full disk fails the save, before the caller changes
  // anything, instead of killing the process. Never shrunk here: another
  // process may use more of the area than this one has mapped.
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    int err = errno;
    FailIo("Cannot read journal " + path_, err);
  }
  const uint64_t area = static_cast<uint64_t>(st.st_size) > kHeaderSize ? st.st_size - kHeaderSize : 0;
  // What has blocks already: this handle's knowledge, and the data the
  // file system reports from there.
  uint64_t known = entries_allocated_;
  if (known < area) {
    off_t hole = ::lseek(fd_, static_cast<off_t>(kHeaderSize + known), SEEK_HOLE);
    if (hole > static_cast<off_t>(kHeaderSize + known)) known = std::min<uint64_t>(hole - kHeaderSize, area);
  }
  // The area doubles, so that the mapping moves seldom, with blocks for all
  // of it (see MappedFile); only the pages this entry needs when the disk
  // has no room for more.
  uint64_t length = area, allocated = known;
  if (bytes > area) length = std::max<uint64_t>({area * 2, (bytes + 65535) & ~uint64_t{65535}, 64u << 10});
  if (bytes > known) {
    const uint64_t least = std::max(known, (bytes + 4095) & ~uint64_t{4095});
    allocated = AllocateRange(fd_, path_, kHeaderSize + known, kHeaderSize + length, kHeaderSize + least) - kHeaderSize;
    length = std::max(area, allocated);
  }
  if (length != entries_size_) MapEntries(length);
  entries_allocated_ = std::min(allocated, entries_size_);
}

void Journal::Save(int id, uint64_t offset, uint64_t length) {
  if (Word(kCountOffset)->load(std::memory_order_relaxed) == 0) {
    // The tag is read only while entries are live: it is in place before
    // the first one is published.
    WriteTransactionTag();
    if (identity_offset_ != 0) Stamp();
  }
  Append(id, offset, length);
}

void Journal::WriteTransactionTag() {
  uint8_t* tag = header_ + kTxnOffset;
  if (txn_record_.empty()) {
    if (Load64(tag) != 0) Store64(tag, 0);
    return;
  }
  if (txn_record_.size() > kTxnPathMax)
    Fail(ENG_ERR_INTERNAL, "The path of transaction record " + txn_record_ + " is too long for journal " + path_);
  Store64(tag + 8, txn_id_);
  Store64(tag + 16, txn_record_.size());
  std::memcpy(tag + 24, txn_record_.data(), txn_record_.size());
  Store64(tag, kTxnMark);
}

bool Journal::TransactionOf(std::string* record, uint64_t* id) const {
  const uint8_t* tag = header_ + kTxnOffset;
  if (Load64(tag) != kTxnMark) return false;
  const uint64_t length = Load64(tag + 16);
  if (length == 0 || length > kTxnPathMax) return false;
  *id = Load64(tag + 8);
  record->assign(reinterpret_cast<const char*>(tag + 24), length);
  return true;
}

bool Journal::HoldsTransaction(const std::string& path, uint64_t id) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;  // cannot tell: assume it does
  uint8_t head[kTxnOffset + 16];
  const bool read = ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
  ::close(fd);
  if (!read) return false;  // no header: no entries
  return Load64(head + kCountOffset) != 0 && Load64(head + kTxnOffset) == kTxnMark && Load64(head + kTxnOffset + 8) == id;
}

Journal::Mark Journal::CurrentMark() {
  Mark m;
  m.count = Word(kCountOffset)->load(std::memory_order_relaxed);
  m.used = m.count == 0 ? 0 : Load64(header_ + kUsedOffset);
  m.last = m.count == 0 ? 0 : Load64(header_ + kLastOffset);
  merge_floor_ = std::max(merge_floor_, m.count);
  return m;
}

void Journal::RollbackTo(const Mark& mark) {
  const uint64_t count = Word(kCountOffset)->load(std::memory_order_acquire);
  if (count <= mark.count) return;
  RefreshEntries();
  std::vector<Entry> list;
  if (!ReadEntries(&list) || list.size() != count) Fail(ENG_ERR_CORRUPT, "Journal " + path_ + " is damaged");
  for (uint64_t i = count; i-- > mark.count;) {
    const Entry& e = list[i];
    MappedFile* file = files_[e.id];
    const uint8_t* src = entries_ + e.at;
    uint64_t done = 0;
    while (done < e.length) {
      ssize_t n = ::pwrite(file->fd(), src + done, e.length - done, static_cast<off_t>(e.offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Fail(ENG_ERR_IO, "Cannot restore " + file->path() + " from its journal: " + std::strerror(errno));
      done += static_cast<uint64_t>(n);
    }
  }
  if (mark.count == 0) {
    Commit();  // as a change undone whole
    return;
  }
  // The restored bytes reach the pages before the entries go.
  Word(kCountOffset)->store(mark.count, std::memory_order_release);
  std::atomic_thread_fence(std::memory_order_release);
  Store64(header_ + kUsedOffset, mark.used);
  Store64(header_ + kLastOffset, mark.last);
}

namespace {
// Stamps come from a sequence seeded once per process from the system's
// random source (a call of it per change would cost more than the change)
// and seeded anew in every child of fork(), which would repeat it.
std::atomic<uint64_t> g_stamp_state{0};
void ReseedStampsInChild() { g_stamp_state.store(0, std::memory_order_relaxed); }

// A random nonzero word (zero means "none" in a table file's identity).
uint64_t NewStamp() {
  static const bool reseeded_after_fork = ::pthread_atfork(nullptr, nullptr, ReseedStampsInChild) == 0;
  (void)reseeded_after_fork;
  constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ull;
  uint64_t state = g_stamp_state.load(std::memory_order_relaxed);
  if (state == 0) {
    uint64_t seed = 0;
    randombytes_buf(&seed, sizeof seed);
    g_stamp_state.compare_exchange_strong(state, seed | 1, std::memory_order_relaxed);
  }
  // SplitMix64: distinct states give distinct outputs.
  uint64_t x = g_stamp_state.fetch_add(kGamma, std::memory_order_relaxed) + kGamma;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x != 0 ? x : kGamma;
}
}  // namespace

void Journal::Stamp() {
  MappedFile* table = files_[0];
  if (!table || identity_offset_ + 16 > table->size() || counter_offset_ + 8 > table->size())
    Fail(ENG_ERR_INTERNAL, "Journal " + path_ + " has no table header to stamp");
  uint8_t* words = table->data() + identity_offset_;
  uint8_t* tie = header_ + kTieOffset;
  const uint64_t id = Load64(words);
  Store64(tie + 8, id);
  Store64(tie + 16, Load64(words + 8));
  Store64(tie + 24, Load64(table->data() + counter_offset_));
  uint64_t new_id = id != 0 ? id : NewStamp(), new_stamp = NewStamp();
  if (next_given_) {
    new_id = next_identity_;
    new_stamp = next_stamp_;
    next_given_ = false;
  }
  Store64(tie + 32, new_id);
  Store64(tie + 40, new_stamp);
  Store64(tie, kTieMark);
  // No entry is published yet, so nothing reads the tie before the entry
  // below publishes it; the file changes only after that.
  Append(0, identity_offset_, 16);
  Store64(words, new_id);
  Store64(words + 8, new_stamp);
}

void Journal::CopyIn(const uint8_t* src, uint64_t length, uint64_t at) {
  if (length < kBulkBytes) {
    std::memcpy(entries_ + at, src, length);
    return;
  }
  // Through the file: copying a whole table into fresh mapped pages would
  // fault on every one of them.
  const uint64_t pos = kHeaderSize + at;
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd_, src + done, length - done, static_cast<off_t>(pos + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) FailIo("Cannot write journal " + path_, n < 0 ? errno : ENOSPC);
    done += static_cast<uint64_t>(n);
  }
}

void Journal::Append(int id, uint64_t offset, uint64_t length) {
  MappedFile* file = files_[id];
  if (!file || offset + length > file->size()) Fail(ENG_ERR_INTERNAL, "Journal range outside " + path_);
  // The bytes are read through the mapping: a part without blocks (in a
  // file from an older version) gets them first, as a full disk would
  // otherwise fault there.
  file->EnsureBlocks(offset + length);
  std::atomic<uint64_t>* count = Word(kCountOffset);
  // No live entry: the area is free from its start, whatever a commit that
  // was cut short left in the used mark (recovery reads from the start).
  uint64_t entries = count->load(std::memory_order_relaxed);
  uint64_t used = entries == 0 ? 0 : Load64(header_ + kUsedOffset);
  if (entries > merge_floor_) {
    // The newest entry ends where these bytes begin: it grows over them.
    const uint64_t last = Load64(header_ + kLastOffset);
    if (last + kEntryHeader <= used && last + kEntryHeader <= entries_size_) {
      uint8_t* e = entries_ + last;
      const uint64_t old_length = Load64(e + 16);
      if (static_cast<int>(Load32(e)) == id && Load64(e + 8) + old_length == offset &&
          last + kEntryHeader + Padded(old_length) == used) {
        const uint64_t at = last + kEntryHeader + old_length;
        ReserveEntries(last + kEntryHeader + Padded(old_length + length));
        e = entries_ + last;  // the area may have moved
        CopyIn(file->data() + offset, length, at);
        // The longer entry covers the bytes only once they are in place,
        // and before the caller changes them (see the publication below).
        std::atomic_thread_fence(std::memory_order_release);
        reinterpret_cast<std::atomic<uint64_t>*>(e + 16)->store(old_length + length, std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_release);
        Store64(header_ + kUsedOffset, last + kEntryHeader + Padded(old_length + length));
        return;
      }
    }
  }
  uint64_t entry = kEntryHeader + Padded(length);
  ReserveEntries(used + entry);
  uint8_t* e = entries_ + used;
  Store32(e, static_cast<uint32_t>(id));
  Store32(e + 4, 0);
  Store64(e + 8, offset);
  Store64(e + 16, length);
  CopyIn(file->data() + offset, length, used + kEntryHeader);
  Store64(header_ + kUsedOffset, used + entry);
  Store64(header_ + kLastOffset, used);
  // Publish the entry only once its bytes are in place, and before the
  // caller changes the bytes it covers. What matters is the order in which
  // the stores reach the shared pages (a killed process leaves exactly
  // those behind): the release store keeps the entry before the count, and
  // the release fence keeps the count before the stores that follow (no
  // instruction on x86, whose stores stay in program order; a full barrier
  // where they do not). The count has one writer at a time, the holder of
  // the table's lock, so it needs no read-modify-write.
  count->store(entries + 1, std::memory_order_release);
  std::atomic_thread_fence(std::memory_order_release);
}


void Journal::Commit() {
  next_given_ = false;
  // Every change of the operation reaches the pages before the sequence
  // moves and the entries go (release stores, one writer: see Save).
  std::atomic<uint64_t>* sequence = Word(kSequenceOffset);
  sequence->store(sequence->load(std::memory_order_relaxed) + 1, std::memory_order_release);
  Word(kCountOffset)->store(0, std::memory_order_release);
  std::atomic_thread_fence(std::memory_order_release);
  Store64(header_ + kUsedOffset, 0);
  merge_floor_ = 0;
}

void Journal::WipeIfPlain() {
  if (!MayHoldPlain() || HasEntries()) return;
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail(ENG_ERR_IO, "Cannot read journal " + path_ + ": " + std::strerror(errno));
  const uint64_t end = static_cast<uint64_t>(st.st_size);
  if (end > kHeaderSize &&
      ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, kHeaderSize, static_cast<off_t>(end - kHeaderSize)) != 0) {
    // A file system without holes: zeros written over the area.
    const std::vector<uint8_t> zeros(std::min<uint64_t>(end - kHeaderSize, 1u << 20), 0);
    for (uint64_t at = kHeaderSize; at < end;) {
      ssize_t n = ::pwrite(fd_, zeros.data(), std::min<uint64_t>(zeros.size(), end - at), static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Fail(ENG_ERR_IO, "Cannot wipe journal " + path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC));
      at += static_cast<uint64_t>(n);
    }
  }
  // Noted only once the bytes are gone: a kill before leaves the wipe to
  // the next locker.
  Word(kCleanOffset)->store(1, std::memory_order_release);
}

void Journal::RefreshEntries() {
  // Another process may have grown the file.
  struct stat st;
  if (::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) > kHeaderSize)
    MapEntries(static_cast<uint64_t>(st.st_size) - kHeaderSize);
}

bool Journal::ReadEntries(std::vector<Entry>* list) const {
  const uint64_t count = Word(kCountOffset)->load(std::memory_order_acquire);
  uint64_t pos = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (pos + kEntryHeader > entries_size_) return false;
    const uint8_t* e = entries_ + pos;
    Entry en{static_cast<int>(Load32(e)), Load64(e + 8), Load64(e + 16), pos + kEntryHeader};
    if (en.id < 0 || en.id >= kMaxFiles || !files_[en.id] || en.length > entries_size_ - en.at) return false;
    list->push_back(en);
    pos = en.at + Padded(en.length);
  }
  return true;
}

void Journal::Recover() {
  next_given_ = false;
  uint64_t count = Word(kCountOffset)->load(std::memory_order_acquire);
  if (count == 0) return;
  RefreshEntries();
  std::vector<Entry> list;
  if (!ReadEntries(&list)) Fail(ENG_ERR_CORRUPT, "Journal " + path_ + " is damaged");
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    MappedFile* file = files_[it->id];
    const uint8_t* src = entries_ + it->at;
    uint64_t done = 0;
    while (done < it->length) {
      ssize_t n = ::pwrite(file->fd(), src + done, it->length - done, static_cast<off_t>(it->offset + done));
      if (n <= 0) Fail(ENG_ERR_IO, "Cannot restore " + file->path() + " from its journal: " + std::strerror(errno));
      done += static_cast<uint64_t>(n);
    }
  }
  Commit();
}

void Journal::Discard() {
  if (HasEntries()) Commit();
}

bool Journal::BelongsToFiles(std::string* why) {
  if (identity_offset_ == 0) return true;
  MappedFile* table = files_[0];
  if (!table || table->size() < header_bytes_ || table->size() < identity_offset_ + 16) {
    *why = "the table file is too short to tell";
    return false;
  }
  const uint8_t* h = table->data();
  const uint64_t id = Load64(h + identity_offset_), stamp = Load64(h + identity_offset_ + 8);
  const uint64_t counter = Load64(h + counter_offset_);
  const uint8_t* tie = header_ + kTieOffset;
  auto hex = [](uint64_t v) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return std::string(text);
  };
  if (Load64(tie) == kTieMark) {
    // Stamped by this change, or not yet (then nothing but the stamp's own
    // entry was saved, and the file is as the change found it).
    if (id == Load64(tie + 32) && stamp == Load64(tie + 40)) return true;
    if (id == Load64(tie + 8) && stamp == Load64(tie + 16) && (stamp != 0 || counter == Load64(tie + 24))) return true;
    *why = "it was written for table identity " + hex(Load64(tie + 32)) + " at change " + hex(Load64(tie + 40)) +
           ", the table file is identity " + hex(id) + " at change " + hex(stamp);
    return false;
  }
  // Written before entries were tied to their files.
  if (id != 0 || stamp != 0) {
    *why = "it is older than the table file's identity " + hex(id);
    return false;
  }
  RefreshEntries();
  std::vector<Entry> list;
  if (!ReadEntries(&list)) return true;  // Recover reports the damage
  bool counter_seen = false;
  for (const Entry& e : list) {
    if (e.offset + e.length > files_[e.id]->FileLength()) {
      *why = "an entry lies beyond the end of " + files_[e.id]->path();
      return false;
    }
    if (counter_seen || e.id != 0 || e.offset > counter_offset_ || e.offset + e.length < counter_offset_ + 8) continue;
    counter_seen = true;  // the oldest entry holding the counter holds it as the change found it
    if (e.offset == 0 && e.length > header_bytes_) continue;  // saved wholesale: the header may be another now
    const uint64_t saved = Load64(entries_ + e.at + (counter_offset_ - e.offset));
    if (counter != saved && counter != saved + 1) {
      *why = "it was written at change " + std::to_string(saved) + " of the table, the table file is at change " +
             std::to_string(counter);
      return false;
    }
  }
  return true;
}

}  // namespace eng
