// B+-tree of one index tag, kept in the pages of a PageStore.
//
// Entries have a fixed size: the encoded key (KeyLength() bytes, from
// keycodec) followed by the record number, 4 bytes big-endian, so that
// entries compare with memcmp and equal keys order by record number. A
// descending tree stores the record number complemented (its keys come
// complemented from keycodec), which reverses the tie-break too. Entries are
// unique: inserting an entry that is there already changes nothing.
//
// Pages (integers little-endian):
//   meta   "BTR1", version, key length, page size, root, height, flags,
//          entry count, modification counter. Its number names the tree.
//   node   16-byte header: 'N', level (0 = leaf), entry count, key length,
//          flags, leftmost child (internal nodes), meta page number.
//   leaf   header + count entries, sorted.
//   inner  header + count items of (separator entry, child page); the child
//          after separator i holds entries >= separator i, the leftmost
//          child (in the header) those below separator 0.
// Invariants: every leaf is at depth height-1 (the tree is balanced); the
// root is a leaf (possibly empty) or an inner node with at least one
// separator; a node's children are one level below it. Deletion merges a
// page that falls below half full with a sibling when both fit in one page
// and otherwise evens the two out; emptied pages go back through
// PageStore::Free. Inserting at the end of a full page splits it unevenly
// (the old page stays full), so ascending inserts pack pages densely.
//
// Every page read is checked: kind, level, count within the page's
// capacity, key length and owning meta page; child numbers must be nonzero
// and not the meta page; the height is bounded by kMaxHeight, and a cursor
// walk checks that entries strictly ascend (descend), so a corrupt tree
// raises EngineError(ENG_ERR_CORRUPT) naming the page instead of crashing
// or looping. No page pointer is kept across PageStore::Allocate().
//
// The tree reads its meta page on each operation, so several BTree objects
// (handles) over one store see each other's changes. A BTree and its
// cursors are not thread-safe; the engine serializes calls per table.
//
// Cursors: a cursor copies the entry it stands on and remembers the tree's
// modification counter. After the tree changes the cursor is stale: Key()
// and RecNo() still give the copied entry, and Next()/Prev() first find
// the copied entry again (or where it would be) and move from there, so a
// walk goes on correctly across inserts and erases. Stale() tells the
// engine when the entry may no longer be in the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pagestore.h"

namespace eng {

class BTree {
 public:
  static constexpr unsigned kMaxHeight = 32;
  static constexpr unsigned kMaxKeyLength = 256;
  static constexpr unsigned kRecNoBytes = 4;
  static constexpr unsigned kMaxEntry = kMaxKeyLength + kRecNoBytes;

  // Longest key a tree with pages of this size can hold (every node must
  // take at least three entries); 0 when the page is too small for any.
  static uint16_t MaxKeyLength(uint32_t pageSize);

  // A new empty tree; returns its meta page number. Throws ENG_ERR_KEY when
  // keyLen is 0 or above MaxKeyLength(store.PageSize()).
  static uint32_t Create(PageStore& store, uint16_t keyLen, bool descending = false);

  // Opens the tree whose meta page is given; throws ENG_ERR_CORRUPT when the
  // page is not one.
  BTree(PageStore& store, uint32_t metaPage);

  uint32_t MetaPage() const { return metaPage_; }
  uint16_t KeyLength() const { return keyLen_; }
  size_t EntryLength() const { return entryLen_; }
  bool Descending() const { return descending_; }
  uint64_t Count();
  uint32_t Height();
  // Grows by one with every change (insert, erase, clear, build).
  uint64_t ModCount();

  // key: KeyLength() bytes. False when the entry was there already.
  bool Insert(const uint8_t* key, uint32_t recno);
  // False when the entry is not there.
  bool Erase(const uint8_t* key, uint32_t recno);
  bool Contains(const uint8_t* key, uint32_t recno);
  // True when some entry has this key, whatever its record number.
  bool ContainsKey(const uint8_t* key);
  // Frees every page but the meta page and leaves an empty tree.
  void Clear();
  // Frees every page including the meta page; the object is unusable after.
  void Drop();
  // Walks the whole tree and checks order, levels, separators and the entry
  // count; throws ENG_ERR_CORRUPT naming the first fault. For tests and
  // repair tools: reads every page.
  void Verify();

  // Entry encoding shared with cursors and the builder.
  void MakeEntry(const uint8_t* key, uint32_t recno, uint8_t* entry) const;
  uint32_t RecNoOf(const uint8_t* entry) const;
  // Sorts count entries of entryLen bytes each, stored one after another,
  // into ascending (memcmp) order: the input a Builder needs.
  static void SortEntries(uint8_t* entries, size_t count, size_t entryLen);

  class Cursor;
  class Builder;

 private:
  friend class Cursor;
  friend class Builder;

  struct Meta {
    uint32_t root;
    uint32_t height;
    uint64_t count;
    uint64_t mod;
  };
  // A root-to-leaf path; idx is the child index in inner nodes and the
  // entry index in the leaf.
  struct Path {
    uint32_t page[kMaxHeight];
    int32_t idx[kMaxHeight];
  };

  Meta ReadMeta();
  void WriteMeta(const Meta& meta);
  const uint8_t* ReadNode(uint32_t page, unsigned level);
  uint32_t ChildAt(const uint8_t* node, uint32_t page, int32_t i) const;
  // Descends to the leaf for target (tlen bytes compared). Inner nodes are
  // routed past separators < target, or <= target when routeUpper; in the
  // leaf idx is the first entry >= target (> target when leafUpper).
  // Returns the leaf's bytes (valid until the next Allocate()).
  const uint8_t* Descend(const Meta& meta, const uint8_t* target, size_t tlen, bool routeUpper, bool leafUpper, Path& path);
  void InsertIntoParent(Meta& meta, Path& path, int depth, const uint8_t* sep, uint32_t child);
  void Rebalance(Meta& meta, Path& path, int depth);
  void FreeSubtree(uint32_t root, unsigned height);
  [[noreturn]] void Corrupt(uint32_t page, const char* what) const;

  size_t LeafCapacity() const { return leafCap_; }
  size_t InnerCapacity() const { return innerCap_; }

  PageStore& store_;
  uint32_t metaPage_;
  uint32_t pageSize_;
  uint16_t keyLen_;
  size_t entryLen_;
  size_t itemLen_;  // entry + child page number
  bool descending_;
  size_t leafCap_;
  size_t innerCap_;
  std::vector<uint8_t> scratch_;  // split and rebalance work area, two pages and more
};

class BTree::Cursor {
 public:
  explicit Cursor(BTree& tree) : tree_(&tree) {}

  // Each positioning call returns Valid().
  bool First();
  bool Last();
  // First entry whose first len bytes compare >= prefix (len <= KeyLength()
  // for key prefixes, EntryLength() for whole entries).
  bool SeekGE(const uint8_t* prefix, size_t len);
  // Last entry whose first len bytes compare <= prefix.
  bool SeekLE(const uint8_t* prefix, size_t len);
  // The entry itself or the next one after it.
  bool SeekEntry(const uint8_t* key, uint32_t recno);
  // First entry whose first len bytes equal prefix; false (and the cursor
  // on the next entry, if any) when there is none.
  bool SeekExact(const uint8_t* prefix, size_t len);
  // Move one entry on; false (and not Valid()) past either end, and on a
  // cursor that is not Valid() (position it again with First/Last/Seek*).
  bool Next();
  bool Prev();

  bool Valid() const { return valid_; }
  void Invalidate() { valid_ = false; }
  // The entry's key and record number. After a move past either end they
  // still give the last entry passed.
  const uint8_t* Key() const { return entry_; }
  const uint8_t* Entry() const { return entry_; }
  uint32_t RecNo() const { return tree_->RecNoOf(entry_); }
  // True when the tree changed since the cursor was positioned.
  bool Stale();

 private:
  bool SettleForward(const Meta& meta, int depth);
  bool SettleBackward(const Meta& meta, int depth);
  bool Load(const Meta& meta, const uint8_t* leaf);
  bool Step(bool forward);

  BTree* tree_;
  Path path_{};
  unsigned height_ = 0;
  bool valid_ = false;
  uint64_t mod_ = 0;
  uint8_t entry_[kMaxEntry] = {};
};

// Fills a tree from entries given in ascending order, page by page,
// without searching: far faster than inserting one by one. The number of
// entries is fixed up front so that every page comes out evenly filled
// (about 90 %). Construction clears the tree; Finish() publishes the new
// root and count. Entries out of order, repeated, or a count that differs
// throw ENG_ERR_INVALID_ARGUMENT; a builder destroyed without a successful
// Finish() frees the pages it allocated and leaves the tree empty.
class BTree::Builder {
 public:
  Builder(BTree& tree, uint64_t totalEntries);
  ~Builder();
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  void Add(const uint8_t* key, uint32_t recno);
  // An entry as made by MakeEntry() (EntryLength() bytes).
  void AddEntry(const uint8_t* entry);
  void Finish();

 private:
  struct Level {
    uint64_t nodes = 0;      // nodes on this level
    uint64_t items = 0;      // entries (leaves) or children (inner) on this level
    uint64_t node = 0;       // index of the open node
    uint32_t page = 0;       // open node, 0 before the first
    uint64_t filled = 0;     // entries or children in the open node
    uint64_t target = 0;     // entries or children the open node gets
  };
  void StartNode(unsigned level, const uint8_t* firstEntry);
  void AddChild(unsigned level, uint32_t child, const uint8_t* firstEntry);

  BTree& tree_;
  uint64_t total_;
  uint64_t added_ = 0;
  std::vector<Level> levels_;
  uint32_t root_ = 0;
  bool finished_ = false;
  std::vector<uint32_t> pages_;  // allocated so far, freed again if the build fails
  uint8_t last_[kMaxEntry] = {};
  uint8_t entry_[kMaxEntry] = {};
};

}  // namespace eng
