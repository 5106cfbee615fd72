#include "index_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "checksum.h"
#include "engine.h"
#include "error.h"
#include "journal.h"
#include "table_format.h"
#include "util.h"

namespace eng {

namespace {
constexpr char kMagic[8] = {'D', 'B', 'U', 'T', 'A', 'G', 'S', 1};
constexpr uint64_t kHeaderSize = 64 * 1024;
constexpr uint32_t kOffPageSize = 8;
constexpr uint32_t kOffTagCount = 12;
constexpr uint32_t kOffPageCount = 16;
constexpr uint32_t kOffFreeHead = 20;
constexpr uint32_t kOffFlags = 24;       // u32
constexpr uint32_t kOffFlagsCheck = 28;  // u32: ~flags, or 0 with flags 0 (older files)
constexpr uint32_t kFlagPageChecksums = 1;
constexpr uint32_t kPageCrcBytes = 4;
constexpr uint32_t kDirOffset = 1024;
constexpr uint32_t kEntrySize = 1024;
constexpr uint32_t kMaxTags = static_cast<uint32_t>((kHeaderSize - kDirOffset) / kEntrySize);
// Within a directory entry.
constexpr uint32_t kEntName = 0;  // 129 bytes
constexpr uint32_t kEntMeta = 132;
constexpr uint32_t kEntOptions = 136;
constexpr uint32_t kEntPageSize = 140;
constexpr uint32_t kEntFields = 144;  // NUL-ended ";"-joined names
constexpr uint32_t kFieldsRoom = kEntrySize - kEntFields;

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string f = TrimBlanks(text.substr(start, end - start));
    if (!f.empty()) out.push_back(f);
    start = end + 1;
  }
  return out;
}

std::string JoinFields(const std::vector<std::string>& f) {
  std::string s;
  for (size_t i = 0; i < f.size(); ++i) s += (i ? ";" : "") + f[i];
  return s;
}
}  // namespace

IndexSet::IndexSet(SharedTable& table, Journal& journal) : table_(table), journal_(journal) {
  // A table in memory has no tags, nor a place for a file of them.
  if (!table.in_memory()) path_ = ResolveNoCase(table.base() + ".tags");
}

IndexSet::~IndexSet() = default;

void IndexSet::Damaged(const std::string& what) const {
  Fail(ENG_ERR_CORRUPT, "Index file " + path_ + " is damaged: " + what);
}

bool IndexSet::Open() {
  if (!OpenFile()) return false;
  LoadDirectory();
  return true;
}

bool IndexSet::OpenFile() {
  if (!FileExists(path_)) return false;
  file_.Open(path_, false);
  journal_.SetFile(SharedTable::kIndexFile, &file_);
  return true;
}

void IndexSet::Reload(bool keep_changed) {
  pages_.Clear();
  saved_.Clear();
  if (!keep_changed) changed_.Clear();
  verified_.Clear();
  if (!file_.IsOpen()) return;
  file_.Refresh();
  LoadDirectory();
}

bool IndexSet::RefreshMapping() {
  if (!file_.IsOpen()) {
    verified_.Clear();
    return true;
  }
  // One status call gives the length and whether anyone wrote the file.
  // Pages found intact stay so while its status is the one taken before
  // they were checked, if that status was settled then: any later write
  // outside the engine (which moves no sequence) gives the file a newer
  // change time. This process's own commits keep verified_ right anyway.
  struct stat st;
  file_.Refresh(&st);
  const bool untouched = verified_since_.settled && verified_since_.Same(st);
  if (!untouched) verified_.Clear();
  verified_since_.Take(st);
  // The length was read before the page count: a page is allocated only
  // once the file has room for it, so pages added meanwhile by another
  // process can only make the check below fail (and the table be loaded
  // afresh), never let a page beyond the mapping pass.
  if (file_.size() < kHeaderSize) return false;
  const uint64_t pages = PageCount();
  const uint8_t* h = file_.data();
  return std::memcmp(h, kMagic, 8) == 0 && Load32(h + kOffPageSize) == page_size_ &&
         Load32(h + kOffTagCount) == tags_.size() && kHeaderSize + pages * StoredPageSize() <= file_.size();
}

void IndexSet::LoadDirectory() {
  if (file_.size() < kHeaderSize || std::memcmp(file_.data(), kMagic, 8) != 0) Damaged("no valid header");
  const uint8_t* h = file_.data();
  page_size_ = Load32(h + kOffPageSize);
  uint32_t count = Load32(h + kOffTagCount);
  if (page_size_ < 512 || page_size_ > 65536 || (page_size_ & (page_size_ - 1))) Damaged("page size");
  // The complement keeps a changed byte from switching checksums off (or on).
  const uint32_t flags = Load32(h + kOffFlags), check = Load32(h + kOffFlagsCheck);
  if ((flags & ~kFlagPageChecksums) != 0 || (check != ~flags && (flags != 0 || check != 0))) Damaged("flags");
  checksums_ = (flags & kFlagPageChecksums) != 0;
  if (count > kMaxTags) Damaged("tag count");
  uint64_t pages = Load32(h + kOffPageCount);
  if (kHeaderSize + pages * StoredPageSize() > file_.FileLength()) Damaged("page count beyond the file");
  std::vector<Tag> loaded;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = h + kDirOffset + i * kEntrySize;
    if (!std::memchr(e + kEntName, 0, 129) || !std::memchr(e + kEntFields, 0, kFieldsRoom)) Damaged("tag entry");
    Tag t;
    t.name = reinterpret_cast<const char*>(e + kEntName);
    t.meta = Load32(e + kEntMeta);
    t.options = Load16(e + kEntOptions);
    t.requested_page_size = Load32(e + kEntPageSize);
    t.fields = SplitFields(reinterpret_cast<const char*>(e + kEntFields));
    if (t.fields.empty() || t.meta == 0 || t.meta > pages) Damaged("tag " + t.name);
    t.layout = MakeLayout(t.name, t.fields, t.options);
    loaded.push_back(std::move(t));
  }
  tags_ = std::move(loaded);
  ++generation_;
}

std::unique_ptr<KeyLayout> IndexSet::MakeLayout(const std::string& name, const std::vector<std::string>& fields,
                                                uint16_t options) const {
  std::vector<FieldDef> segs;
  for (const std::string& f : fields) {
    const FieldDef* def = nullptr;
    for (const auto& d : table_.fields())
      if (EqualsNoCase(d.name, f)) def = &d;
    if (!def) Fail(ENG_ERR_INVALID_FIELD, "Index tag " + name + ": field " + f + " does not exist in table " + table_.name());
    segs.push_back(*def);
  }
  return std::make_unique<KeyLayout>(segs, (options & ENG_INDEX_DESCENDING) != 0, name);
}

void IndexSet::CreateFile(uint32_t pageSize) {
  std::vector<uint8_t> h(kHeaderSize, 0);
  std::memcpy(h.data(), kMagic, 8);
  Store32(&h[kOffPageSize], pageSize);
  // Pages carry checksums when the table's slots do: a table made before
  // checksums keeps files that its older readers understand.
  const uint32_t flags = table_.has_checksums() ? kFlagPageChecksums : 0;
  Store32(&h[kOffFlags], flags);
  Store32(&h[kOffFlagsCheck], flags ? ~flags : 0);
  std::string tmp = path_ + ".creating." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    FailIo("Cannot create index file " + path_, err);
  }
  ssize_t n = ::write(fd, h.data(), h.size());
  int err = n < 0 ? errno : ENOSPC;  // a short write: the disk is full
  ::close(fd);
  if (n != static_cast<ssize_t>(h.size()) || ::rename(tmp.c_str(), path_.c_str()) != 0) {
    if (n == static_cast<ssize_t>(h.size())) err = errno;
    ::unlink(tmp.c_str());
    FailIo("Cannot create index file " + path_, err);
  }
  file_.Open(path_, false);
  page_size_ = pageSize;
  checksums_ = flags != 0;
  journal_.SetFile(SharedTable::kIndexFile, &file_);
}

uint64_t IndexSet::PageOffset(uint32_t page) const { return kHeaderSize + uint64_t{page - 1} * StoredPageSize(); }

uint64_t IndexSet::StoredPageSize() const { return StoredPageSize(table_.encrypted()); }

uint64_t IndexSet::StoredPageSize(bool encrypted) const {
  return page_size_ + (encrypted ? crypto::kOverhead : checksums_ ? kPageCrcBytes : 0);
}

void IndexSet::SyncVerified() {
  uint64_t seq = journal_.Sequence();
  if (seq == verified_seq_) return;
  // Only this process's own commit keeps what was checked.
  if (verified_seq_ != stamped_at_ || seq != stamped_at_ + 1) verified_.Clear();
  verified_seq_ = seq;
}

void IndexSet::CheckPage(uint32_t page, const uint8_t* bytes) {
  SyncVerified();
  if (verified_.Contains(page)) return;
  if (!CrcMatches(bytes, page_size_))
    Damaged("page " + std::to_string(page) + " does not match its checksum (the file was changed outside the engine)");
  verified_.Insert(page);
}

void IndexSet::StampPages() {
  SyncVerified();
  const uint32_t count = PageCount();
  for (uint32_t page : changed_.pages()) {
    if (page == 0 || page > count) continue;  // dropped again by this operation
    StampCrc(file_.data() + PageOffset(page), page_size_);
    verified_.Insert(page);
  }
  stamped_at_ = journal_.Sequence();
}

BlockCache::Entry* IndexSet::CachedPage(uint32_t page) {
  if (BlockCache::Entry* e = pages_.Find(page)) return e;
  const crypto::Cipher* cipher = table_.cipher();
  if (!cipher) table_.FailLocked();
  uint64_t end = PageOffset(page) + StoredPageSize();
  if (end > file_.size()) file_.Refresh();
  if (end > file_.size()) Damaged("shorter than its page count");
  BlockCache::Entry* e = pages_.Insert(page, page_size_);
  if (!cipher->Open(crypto::Kind::kIndexPage, page, file_.data() + PageOffset(page), page_size_, e->data())) {
    pages_.Drop(page);
    Fail(ENG_ERR_TAMPERED, "Index file " + path_ + ": page " + std::to_string(page) +
                               " fails authentication (the file was changed outside the engine)");
  }
  return e;
}

void IndexSet::SealPages() {
  if (!table_.encrypted()) {
    if (checksums_ && file_.IsOpen()) StampPages();
    saved_.Clear();
    changed_.Clear();  // so that later reads check these pages again
    return;
  }
  const crypto::Cipher* cipher = table_.cipher();
  for (uint64_t page : pages_.dirty()) {
    BlockCache::Entry* e = pages_.Find(page);
    uint64_t off = PageOffset(static_cast<uint32_t>(page));
    file_.Reserve(off + StoredPageSize());
    cipher->Seal(crypto::Kind::kIndexPage, page, e->data(), page_size_, file_.data() + off);
  }
  pages_.ClearDirty();
}

std::vector<uint8_t> IndexSet::ReadAllPages() {
  std::vector<uint8_t> pages;
  if (!file_.IsOpen()) return pages;
  uint32_t count = PageCount();
  pages.resize(uint64_t{count} * page_size_);
  for (uint32_t p = 1; p <= count; ++p) std::memcpy(&pages[uint64_t{p - 1} * page_size_], Read(p), page_size_);
  return pages;
}

void IndexSet::SaveAllPages() {
  if (!file_.IsOpen()) return;
  file_.Refresh();
  journal_.Save(SharedTable::kIndexFile, 0, file_.size());
  header_saved_ = true;
}

uint64_t IndexSet::ReplaceFileFrom(const std::string& path) {
  if (!file_.IsOpen()) Fail(ENG_ERR_INTERNAL, "Index file " + path_ + " is not open");
  SaveAllPages();
  pages_.Clear();
  saved_.Clear();
  changed_.Clear();  // no page of the old file gets stamped into the new one
  return file_.CopyFrom(path);
}

void IndexSet::ReserveFor(bool encrypted) {
  if (!file_.IsOpen()) return;
  file_.Reserve(kHeaderSize + uint64_t{PageCount()} * StoredPageSize(encrypted));
}

void IndexSet::WriteAllPages(const std::vector<uint8_t>& pages) {
  if (!file_.IsOpen()) return;
  pages_.Clear();
  const crypto::Cipher* cipher = table_.cipher();
  uint32_t count = static_cast<uint32_t>(pages.size() / page_size_);
  if (count == 0) return;
  verified_.Clear();
  if (!cipher && !checksums_) {
    file_.WriteAt(PageOffset(1), pages.data(), pages.size());
    return;
  }
  if (!cipher) {
    const uint64_t stored = StoredPageSize(false);
    const uint32_t chunk = static_cast<uint32_t>(std::max<uint64_t>(1, (1u << 20) / stored));
    std::vector<uint8_t> out(uint64_t{chunk} * stored);
    for (uint32_t first = 1; first <= count; first += chunk) {
      const uint32_t n = std::min(chunk, count - first + 1);
      for (uint32_t k = 0; k < n; ++k) {
        uint8_t* at = out.data() + uint64_t{k} * stored;
        std::memcpy(at, &pages[uint64_t{first + k - 1} * page_size_], page_size_);
        StampCrc(at, page_size_);
      }
      file_.WriteAt(PageOffset(first), out.data(), uint64_t{n} * stored);
    }
    return;
  }
  // Sealed into a buffer and written through the file in large pieces.
  const uint64_t stored = page_size_ + crypto::kOverhead;
  const uint32_t chunk = static_cast<uint32_t>(std::max<uint64_t>(1, (1u << 20) / stored));
  std::vector<uint8_t> sealed(uint64_t{chunk} * stored);
  for (uint32_t first = 1; first <= count; first += chunk) {
    const uint32_t n = std::min(chunk, count - first + 1);
    for (uint32_t k = 0; k < n; ++k)
      cipher->Seal(crypto::Kind::kIndexPage, first + k, &pages[uint64_t{first + k - 1} * page_size_], page_size_,
                   sealed.data() + uint64_t{k} * stored);
    file_.WriteAt(PageOffset(first), sealed.data(), uint64_t{n} * stored);
  }
}

void IndexSet::TrimFile() {
  if (file_.IsOpen()) file_.Truncate(kHeaderSize + uint64_t{PageCount()} * StoredPageSize());
}

uint32_t IndexSet::PageCount() { return Load32(file_.data() + kOffPageCount); }

const uint8_t* IndexSet::Read(uint32_t page) {
  if (page == 0 || page > PageCount())
    Damaged("page " + std::to_string(page) + " is not allocated");
  if (table_.encrypted()) return CachedPage(page)->data();
  uint64_t end = PageOffset(page) + StoredPageSize();
  if (end > file_.size()) file_.Refresh();
  if (end > file_.size()) Damaged("shorter than its page count");
  const uint8_t* bytes = file_.data() + PageOffset(page);
  if (checksums_ && !changed_.Contains(page) && !(verified_seq_ == journal_.Sequence() && verified_.Contains(page)))
    CheckPage(page, bytes);
  return bytes;
}

void IndexSet::SaveHeader() {
  if (!header_saved_) {
    journal_.Save(SharedTable::kIndexFile, 0, 64);
    header_saved_ = true;
  }
}

uint8_t* IndexSet::Write(uint32_t page) {
  const uint8_t* bytes = Read(page);
  if (!saved_.Contains(page)) {
    journal_.Save(SharedTable::kIndexFile, PageOffset(page), StoredPageSize());
    saved_.Insert(page);
  }
  changed_.Insert(page);
  if (table_.encrypted()) {
    BlockCache::Entry* e = pages_.Find(page);
    pages_.MarkDirty(page, e);
    return const_cast<uint8_t*>(bytes);
  }
  return file_.data() + PageOffset(page);
}

uint32_t IndexSet::Allocate() {
  SaveHeader();
  uint8_t* h = file_.data();
  uint32_t page = Load32(h + kOffFreeHead);
  if (page != 0) {
    uint8_t* p = Write(page);
    Store32(file_.data() + kOffFreeHead, Load32(p));
    std::memset(p, 0, page_size_);
    return page;
  }
  page = PageCount() + 1;
  file_.Reserve(PageOffset(page) + StoredPageSize());
  Store32(file_.data() + kOffPageCount, page);
  // A page beyond the old count needs no before-image: the restored count
  // drops it.
  saved_.Insert(page);
  changed_.Insert(page);
  if (table_.encrypted()) {
    BlockCache::Entry* e = pages_.Insert(page, page_size_);
    std::memset(e->data(), 0, page_size_);
    pages_.MarkDirty(page, e);
    return page;
  }
  uint8_t* p = file_.data() + PageOffset(page);
  std::memset(p, 0, page_size_);
  return page;
}

void IndexSet::Free(uint32_t page) {
  SaveHeader();
  uint8_t* p = Write(page);
  std::memset(p, 0, page_size_);
  Store32(p, Load32(file_.data() + kOffFreeHead));
  Store32(file_.data() + kOffFreeHead, page);
}

BTree& IndexSet::Tree(size_t i) {
  Tag& t = tags_[i];
  if (!t.tree) t.tree = std::make_unique<BTree>(static_cast<PageStore&>(*this), t.meta);
  return *t.tree;
}

int IndexSet::FindTag(const std::string& name) const {
  for (size_t i = 0; i < tags_.size(); ++i)
    if (EqualsNoCase(tags_[i].name, name)) return static_cast<int>(i);
  return -1;
}

void IndexSet::WriteDirectory() {
  journal_.Save(SharedTable::kIndexFile, 0, kHeaderSize);
  header_saved_ = true;
  uint8_t* h = file_.data();
  Store32(h + kOffTagCount, static_cast<uint32_t>(tags_.size()));
  std::memset(h + kDirOffset, 0, kHeaderSize - kDirOffset);
  for (size_t i = 0; i < tags_.size(); ++i) {
    uint8_t* e = h + kDirOffset + i * kEntrySize;
    std::memcpy(e + kEntName, tags_[i].name.data(), tags_[i].name.size());
    Store32(e + kEntMeta, tags_[i].meta);
    Store16(e + kEntOptions, tags_[i].options);
    Store32(e + kEntPageSize, tags_[i].requested_page_size);
    std::string f = JoinFields(tags_[i].fields);
    std::memcpy(e + kEntFields, f.data(), f.size());
  }
  ++generation_;
}

void IndexSet::BuildTag(size_t i) {
  Tag& t = tags_[i];
  BTree& tree = Tree(i);
  size_t klen = t.layout->KeyLength(), elen = tree.EntryLength();
  BulkBytes entries;
  std::vector<uint8_t> key(klen);
  uint64_t count = table_.SlotCount(), n = 0;
  entries.reserve(table_.LiveCount() * elen);
  for (uint64_t r = 1; r <= count; ++r) {
    if (!table_.IsLive(r)) continue;
    t.layout->EncodeRecord(table_.Record(r), key.data());
    entries.resize((n + 1) * elen);
    tree.MakeEntry(key.data(), static_cast<uint32_t>(r), &entries[n * elen]);
    ++n;
  }
  if (n) BTree::SortEntries(entries.data(), n, elen);  // an empty vector's data() may be null
  if (t.options & ENG_INDEX_UNIQUE) {
    for (uint64_t k = 1; k < n; ++k)
      if (std::memcmp(&entries[(k - 1) * elen], &entries[k * elen], klen) == 0)
        Fail(ENG_ERR_DUPLICATE_KEY, "Unique index tag " + t.name + " of table " + table_.name() +
                                        " cannot be built: records " + std::to_string(tree.RecNoOf(&entries[(k - 1) * elen])) +
                                        " and " + std::to_string(tree.RecNoOf(&entries[k * elen])) + " have the same key");
  }
  BTree::Builder builder(tree, n);
  for (uint64_t k = 0; k < n; ++k) builder.AddEntry(&entries[k * elen]);
  builder.Finish();
}

size_t IndexSet::CreateTag(const std::string& name, const std::string& fields, uint16_t options, uint32_t pageSize) {
  if (name.empty() || name.size() > 128) Fail(ENG_ERR_INVALID_ARGUMENT, "Index tag name '" + name + "' is not valid");
  if (FindTag(name) >= 0) Fail(ENG_ERR_FILE_EXISTS, "Index tag " + name + " already exists for table " + table_.name());
  if (pageSize == 0) pageSize = 512;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)))
    Fail(ENG_ERR_INVALID_ARGUMENT, "Index page size " + std::to_string(pageSize) + " must be a power of two from 512 to 65536");
  std::vector<std::string> list = SplitFields(fields);
  if (list.empty()) Fail(ENG_ERR_INVALID_ARGUMENT, "Index tag " + name + " names no field");
  if (JoinFields(list).size() >= kFieldsRoom) Fail(ENG_ERR_INVALID_ARGUMENT, "Index tag " + name + ": field list too long");
  auto layout = MakeLayout(name, list, options);
  uint32_t need = pageSize;
  while (BTree::MaxKeyLength(need) < layout->KeyLength()) need *= 2;
  if (!file_.IsOpen()) CreateFile(need);
  if (tags_.size() >= kMaxTags) Fail(ENG_ERR_INVALID_ARGUMENT, "Table " + table_.name() + " has the most index tags it can");
  if (BTree::MaxKeyLength(page_size_) < layout->KeyLength()) {
    // The file's pages are too small for this key: start the file over with
    // larger pages and build every tag again.
    journal_.Save(SharedTable::kIndexFile, 0, file_.size());
    header_saved_ = true;
    Store32(file_.data() + kOffPageSize, need);
    Store32(file_.data() + kOffPageCount, 0);
    Store32(file_.data() + kOffFreeHead, 0);
    page_size_ = need;
    saved_.Clear();
    changed_.Clear();
    verified_.Clear();  // page numbers name other bytes now
    pages_.Clear();
    for (size_t i = 0; i < tags_.size(); ++i) {
      tags_[i].tree.reset();
      tags_[i].meta = BTree::Create(*this, static_cast<uint16_t>(tags_[i].layout->KeyLength()),
                                    tags_[i].options & ENG_INDEX_DESCENDING);
      BuildTag(i);
    }
  }
  Tag t;
  t.name = name;
  t.fields = list;
  t.options = options & (ENG_INDEX_UNIQUE | ENG_INDEX_DESCENDING);
  t.requested_page_size = pageSize;
  t.layout = std::move(layout);
  t.meta = BTree::Create(*this, static_cast<uint16_t>(t.layout->KeyLength()), t.options & ENG_INDEX_DESCENDING);
  tags_.push_back(std::move(t));
  BuildTag(tags_.size() - 1);
  WriteDirectory();
  return tags_.size() - 1;
}

void IndexSet::DropTag(size_t i) {
  Tree(i).Drop();
  tags_.erase(tags_.begin() + static_cast<long>(i));
  WriteDirectory();
}

void IndexSet::CheckInsert(uint32_t recno, const uint8_t* raw) {
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (!(tags_[i].options & ENG_INDEX_UNIQUE)) continue;
    key_a_.resize(tags_[i].layout->KeyLength());
    tags_[i].layout->EncodeRecord(raw, key_a_.data());
    if (Tree(i).ContainsKey(key_a_.data()))
      Fail(ENG_ERR_DUPLICATE_KEY, "Record " + std::to_string(recno) + " would repeat a key of unique index tag " +
                                      tags_[i].name + " of table " + table_.name());
  }
}

void IndexSet::CheckUpdate(uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) {
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (!(tags_[i].options & ENG_INDEX_UNIQUE)) continue;
    size_t k = tags_[i].layout->KeyLength();
    key_a_.resize(k);
    key_b_.resize(k);
    tags_[i].layout->EncodeRecord(oldRaw, key_a_.data());
    tags_[i].layout->EncodeRecord(newRaw, key_b_.data());
    if (std::memcmp(key_a_.data(), key_b_.data(), k) != 0 && Tree(i).ContainsKey(key_b_.data()))
      Fail(ENG_ERR_DUPLICATE_KEY, "Record " + std::to_string(recno) + " would repeat a key of unique index tag " +
                                      tags_[i].name + " of table " + table_.name());
  }
}

void IndexSet::Insert(uint32_t recno, const uint8_t* raw) {
  for (size_t i = 0; i < tags_.size(); ++i) {
    key_a_.resize(tags_[i].layout->KeyLength());
    tags_[i].layout->EncodeRecord(raw, key_a_.data());
    Tree(i).Insert(key_a_.data(), recno);
  }
}

void IndexSet::Update(uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) {
  for (size_t i = 0; i < tags_.size(); ++i) {
    size_t k = tags_[i].layout->KeyLength();
    key_a_.resize(k);
    key_b_.resize(k);
    tags_[i].layout->EncodeRecord(oldRaw, key_a_.data());
    tags_[i].layout->EncodeRecord(newRaw, key_b_.data());
    if (std::memcmp(key_a_.data(), key_b_.data(), k) == 0) continue;
    Tree(i).Erase(key_a_.data(), recno);
    Tree(i).Insert(key_b_.data(), recno);
  }
}

void IndexSet::Erase(uint32_t recno, const uint8_t* raw) {
  for (size_t i = 0; i < tags_.size(); ++i) {
    key_a_.resize(tags_[i].layout->KeyLength());
    tags_[i].layout->EncodeRecord(raw, key_a_.data());
    Tree(i).Erase(key_a_.data(), recno);
  }
}

void IndexSet::Clear() {
  for (size_t i = 0; i < tags_.size(); ++i) Tree(i).Clear();
}

void IndexSet::Rebuild() {
  for (size_t i = 0; i < tags_.size(); ++i) BuildTag(i);
}

}  // namespace eng
