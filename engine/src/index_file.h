// The index tags of one table, kept in the table's ".tags" companion file,
// and the observer that keeps every tag exact through every record change.
//
// File layout: a 64 KiB header (magic, page size, page count, free page
// list, and one 1 KiB directory entry per tag: name, options, requested
// page size, segment field names, the tag's B+-tree meta page), then pages
// of one size numbered from 1. Every page write goes through the table's
// journal (once per page per operation), so a tag changes together with its
// record or not at all. Opening reads only the header; a tree's pages are
// read when the tag is first used. The set of tags changes only while the
// table is opened exclusively, so the directory cached here never goes
// stale (a table kept loaded after its last close is checked for changes
// before it is used again). Like SharedTable, everything runs under the
// table's lock.
//
// The pages of an encrypted table's file are sealed one by one (each takes
// PageSize() + crypto::kOverhead bytes on disk); the tree works on
// decrypted copies in a cache that the table drops when another process
// changed the file, and SealPages() writes the changed ones back before
// the operation commits.
//
// Checksums: the header's flags word (offset 24, with its complement at 28;
// both zero in files made before checksums came) says whether each plain
// page is followed by the CRC32C of its bytes (4 bytes, so a page takes
// PageSize() + 4 on disk). A new file has them when its table's slots have
// them. A page is checked on its first read under a given journal sequence
// (pages already checked stay so across this process's own commits, which
// stamp the pages they changed just before committing); a mismatch is
// ENG_ERR_CORRUPT naming the file and the page. Pages changed in the
// current operation are not checked again until it commits.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "btree.h"
#include "crypto_cache.h"
#include "keycodec.h"
#include "mapped_file.h"
#include "pagestore.h"
#include "table_file.h"
#include "util.h"

namespace eng {

class Journal;

class IndexSet : public RecordObserver, private PageStore {
 public:
  struct Tag {
    std::string name;
    std::vector<std::string> fields;  // segment field names as defined
    uint16_t options = 0;             // ENG_INDEX_UNIQUE | ENG_INDEX_DESCENDING
    uint32_t requested_page_size = 512;
    uint32_t meta = 0;
    std::unique_ptr<KeyLayout> layout;
    std::unique_ptr<BTree> tree;  // opened on first use
  };

  IndexSet(SharedTable& table, Journal& journal);
  ~IndexSet() override;

  // Opens the companion file when it exists (returns false when it does not).
  bool Open();
  // Opens and maps the file, known to the journal, without reading its
  // directory (Reload() reads it, under the table's lock).
  bool OpenFile();
  // Reads the directory again (after a failed change restored the file).
  // keep_changed: undoing to a savepoint, the pages the operation changed
  // before it still need their checksums stamped at its commit.
  void Reload(bool keep_changed = false);
  bool HasFile() const { return file_.IsOpen(); }
  const std::string& path() const { return path_; }
  int FileDescriptor() const { return file_.fd(); }
  // Maps the file's current length (a cached table reopened); false when
  // its header no longer passes the checks of opening (the file was cut or
  // replaced outside the engine) or lists another number of tags. Pages are
  // checked again (bytes written outside the engine move no sequence)
  // unless the file's status shows it untouched since the last revival.
  bool RefreshMapping();
  size_t TagCount() const { return tags_.size(); }
  Tag& tag(size_t i) { return tags_[i]; }
  int FindTag(const std::string& name) const;
  uint32_t PageSize() const override { return page_size_; }
  uint64_t Generation() const { return generation_; }  // changes when tags are made or dropped
  BTree& Tree(size_t i);

  // Need the table opened exclusively (checked by the caller); inside a change.
  size_t CreateTag(const std::string& name, const std::string& fields, uint16_t options, uint32_t pageSize);
  void DropTag(size_t i);
  void RebuildAll() { Rebuild(); }

  // A new operation starts: no page is saved in the journal yet.
  void ResetChange() {
    saved_.Clear();
    changed_.Clear();
    header_saved_ = false;
  }
  // A savepoint inside the operation: pages saved before it are saved
  // again when changed after it (undoing to it needs their bytes then), but
  // still get their checksums stamped when the whole operation commits.
  void NewSavepoint() {
    saved_.Clear();
    header_saved_ = false;
  }

  // Encrypted tables: the page cache. Sealing changed pages (encrypted
  // tables) or stamping their checksums (plain ones), just before the
  // operation commits.
  uint64_t CacheBytes() const { return pages_.bytes(); }
  void ClearCache() { pages_.Clear(); }
  void SealPages();
  bool has_checksums() const { return checksums_; }
  // Converting the file between plain and encrypted pages (SharedTable's
  // rewrite): every page in clear, the whole file into the journal, room
  // for the pages in the other mode, and the pages written in the table's
  // new mode.
  std::vector<uint8_t> ReadAllPages();
  void SaveAllPages();
  void ReserveFor(bool encrypted);
  void WriteAllPages(const std::vector<uint8_t>& pages);
  // ALTER TABLE: the whole file, saved in the journal first, is overwritten
  // with the file at path (a tags file built for the table's new layout);
  // returns its length. The directory here is left as it was: the table is
  // dropped from memory once the change ends, and a failed change restores
  // the file and reloads it.
  uint64_t ReplaceFileFrom(const std::string& path);
  // After the change committed: the file's length becomes exactly length.
  void TruncateFile(uint64_t length) { file_.Truncate(length); }
  // The file's length becomes exactly what its pages take.
  void TrimFile();

  // RecordObserver.
  void CheckInsert(uint32_t recno, const uint8_t* raw) override;
  void CheckUpdate(uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) override;
  void Insert(uint32_t recno, const uint8_t* raw) override;
  void Update(uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) override;
  void Erase(uint32_t recno, const uint8_t* raw) override;
  void Clear() override;
  void Rebuild() override;
  bool Watching() const override { return !tags_.empty(); }

 private:
  // PageStore.
  const uint8_t* Read(uint32_t page) override;
  uint8_t* Write(uint32_t page) override;
  uint32_t Allocate() override;
  void Free(uint32_t page) override;

  void CreateFile(uint32_t pageSize);
  void LoadDirectory();
  void WriteDirectory();
  void SaveHeader();
  uint64_t PageOffset(uint32_t page) const;
  uint64_t StoredPageSize() const;
  uint64_t StoredPageSize(bool encrypted) const;
  // Throws ENG_ERR_CORRUPT when a plain page does not match its checksum.
  void CheckPage(uint32_t page, const uint8_t* bytes);
  void SyncVerified();  // forgets checked pages when another process changed the file
  void StampPages();
  BlockCache::Entry* CachedPage(uint32_t page);
  uint32_t PageCount();
  void BuildTag(size_t i);
  std::unique_ptr<KeyLayout> MakeLayout(const std::string& name, const std::vector<std::string>& fields,
                                         uint16_t options) const;
  [[noreturn]] void Damaged(const std::string& what) const;

  SharedTable& table_;
  Journal& journal_;
  MappedFile file_;
  std::string path_;
  uint32_t page_size_ = 512;
  std::vector<Tag> tags_;
  // Pages saved in the journal in this operation. A rebuild touches every
  // page, so membership is a bit per page (a list scan made it quadratic);
  // the list of set bits keeps clearing cheap for one-record operations.
  class PageSet {
   public:
    bool Contains(uint32_t page) const { return page < bits_.size() && bits_[page]; }
    void Insert(uint32_t page) {
      if (page >= bits_.size()) bits_.resize(std::max<size_t>(page + 1, bits_.size() * 2), false);
      if (bits_[page]) return;
      bits_[page] = true;
      list_.push_back(page);
    }
    void Clear() {
      for (uint32_t page : list_) bits_[page] = false;
      list_.clear();
    }
    const std::vector<uint32_t>& pages() const { return list_; }

   private:
    std::vector<bool> bits_;
    std::vector<uint32_t> list_;
  };
  PageSet saved_;    // saved in the journal since the operation or its last savepoint began
  PageSet changed_;  // changed by the operation: stamped at its commit, not checked before
  bool header_saved_ = false;
  bool checksums_ = false;  // plain pages carry a CRC32C
  // Pages whose checksum held at journal sequence verified_seq_. stamped_at_:
  // the sequence at which this process last committed stamped pages (the
  // commit moves it by one).
  PageSet verified_;
  uint64_t verified_seq_ = 0;
  uint64_t stamped_at_ = ~uint64_t{0};
  // The file's status when the table was last revived (see RefreshMapping).
  struct FileStatus {
    bool settled = false;  // its times were old enough to trust then
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {}, ctime {};
    bool Same(const struct stat& st) const {
      return dev == st.st_dev && ino == st.st_ino && size == st.st_size && SameFileTime(mtime, st.st_mtim) &&
             SameFileTime(ctime, st.st_ctim);
    }
    void Take(const struct stat& st) {
      dev = st.st_dev;
      ino = st.st_ino;
      size = st.st_size;
      mtime = st.st_mtim;
      ctime = st.st_ctim;
      settled = FileTimeSettled(mtime) && FileTimeSettled(ctime);
    }
  } verified_since_;
  uint64_t generation_ = 0;
  std::vector<uint8_t> key_a_, key_b_;
  BlockCache pages_;  // decrypted pages of an encrypted table
};

}  // namespace eng
