#include "btree.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "error.h"

namespace eng {
namespace {

constexpr uint8_t kMetaMagic[4] = {'B', 'T', 'R', '1'};
constexpr uint16_t kMetaVersion = 1;
constexpr uint8_t kNodeMagic = 'N';
constexpr size_t kHeader = 16;
constexpr uint16_t kFlagDescending = 1;

// Meta page offsets.
constexpr size_t kMetaVersionAt = 4, kMetaKeyLenAt = 6, kMetaPageSizeAt = 8, kMetaRootAt = 12, kMetaHeightAt = 16,
                 kMetaFlagsAt = 18, kMetaCountAt = 20, kMetaModAt = 28;
// Node header offsets.
constexpr size_t kNodeLevelAt = 1, kNodeCountAt = 2, kNodeKeyLenAt = 4, kNodeLeftmostAt = 8, kNodeMetaAt = 12;

inline uint16_t R16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t R32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t R64(const uint8_t* p) { return uint64_t{R32(p)} | uint64_t{R32(p + 4)} << 32; }
inline void W16(uint8_t* p, size_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void W32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void W64(uint8_t* p, uint64_t v) {
  W32(p, static_cast<uint32_t>(v));
  W32(p + 4, static_cast<uint32_t>(v >> 32));
}

// First element (of n, stride apart) that compares >= target, or > target
// when upper, over the first tlen bytes.
inline size_t Bound(const uint8_t* base, size_t n, size_t stride, const uint8_t* target, size_t tlen, bool upper) {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    int c = std::memcmp(base + mid * stride, target, tlen);
    if (c < 0 || (upper && c == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

uint16_t BTree::MaxKeyLength(uint32_t pageSize) {
  if (pageSize < kHeader + 3 * 9) return 0;
  size_t byInner = (pageSize - kHeader) / 3 - kRecNoBytes - 4;  // three separators with child numbers
  return static_cast<uint16_t>(std::min<size_t>(byInner, kMaxKeyLength));
}

uint32_t BTree::Create(PageStore& store, uint16_t keyLen, bool descending) {
  uint16_t maxKey = MaxKeyLength(store.PageSize());
  if (keyLen == 0 || keyLen > maxKey) {
    Fail(ENG_ERR_KEY, "an index key of " + std::to_string(keyLen) + " bytes does not fit index pages of " +
                          std::to_string(store.PageSize()) + " bytes (at most " + std::to_string(maxKey) +
                          " bytes; choose a larger page size)");
  }
  uint32_t meta = store.Allocate();
  uint32_t root = store.Allocate();
  uint8_t* r = store.Write(root);
  r[0] = kNodeMagic;
  W16(r + kNodeKeyLenAt, keyLen);
  W32(r + kNodeMetaAt, meta);
  uint8_t* m = store.Write(meta);
  std::memcpy(m, kMetaMagic, 4);
  W16(m + kMetaVersionAt, kMetaVersion);
  W16(m + kMetaKeyLenAt, keyLen);
  W32(m + kMetaPageSizeAt, store.PageSize());
  W32(m + kMetaRootAt, root);
  W16(m + kMetaHeightAt, 1);
  W16(m + kMetaFlagsAt, descending ? kFlagDescending : 0);
  W64(m + kMetaCountAt, 0);
  W64(m + kMetaModAt, 0);
  return meta;
}

BTree::BTree(PageStore& store, uint32_t metaPage) : store_(store), metaPage_(metaPage), pageSize_(store.PageSize()) {
  const uint8_t* m = store_.Read(metaPage_);
  if (std::memcmp(m, kMetaMagic, 4) != 0 || R16(m + kMetaVersionAt) != kMetaVersion) {
    Corrupt(metaPage_, "is not the meta page of an index tag");
  }
  keyLen_ = R16(m + kMetaKeyLenAt);
  if (R32(m + kMetaPageSizeAt) != pageSize_) Corrupt(metaPage_, "names a page size other than its file's");
  if (keyLen_ == 0 || keyLen_ > MaxKeyLength(pageSize_)) Corrupt(metaPage_, "holds a key length out of range");
  descending_ = (R16(m + kMetaFlagsAt) & kFlagDescending) != 0;
  entryLen_ = keyLen_ + kRecNoBytes;
  itemLen_ = entryLen_ + 4;
  leafCap_ = std::min<size_t>((pageSize_ - kHeader) / entryLen_, 0xFFFF);
  innerCap_ = std::min<size_t>((pageSize_ - kHeader) / itemLen_, 0xFFFF);
  scratch_.resize(2 * size_t{pageSize_} + 2 * itemLen_);
}

void BTree::Corrupt(uint32_t page, const char* what) const {
  Fail(ENG_ERR_CORRUPT, "index page " + std::to_string(page) + " (tag at page " + std::to_string(metaPage_) + ") " + what);
}

BTree::Meta BTree::ReadMeta() {
  const uint8_t* m = store_.Read(metaPage_);
  if (std::memcmp(m, kMetaMagic, 4) != 0 || R16(m + kMetaKeyLenAt) != keyLen_ ||
      R32(m + kMetaPageSizeAt) != pageSize_) {
    Corrupt(metaPage_, "is not the meta page of this tag any more");
  }
  Meta meta{R32(m + kMetaRootAt), R16(m + kMetaHeightAt), R64(m + kMetaCountAt), R64(m + kMetaModAt)};
  if (meta.height == 0 || meta.height > kMaxHeight) Corrupt(metaPage_, "holds a tree height out of range");
  if (meta.root == 0 || meta.root == metaPage_) Corrupt(metaPage_, "holds a root page number out of range");
  return meta;
}

void BTree::WriteMeta(const Meta& meta) {
  uint8_t* m = store_.Write(metaPage_);
  W32(m + kMetaRootAt, meta.root);
  W16(m + kMetaHeightAt, meta.height);
  W64(m + kMetaCountAt, meta.count);
  W64(m + kMetaModAt, meta.mod);
}

const uint8_t* BTree::ReadNode(uint32_t page, unsigned level) {
  const uint8_t* p = store_.Read(page);
  if (p[0] != kNodeMagic || R32(p + kNodeMetaAt) != metaPage_) Corrupt(page, "is not a page of this tag");
  if (p[kNodeLevelAt] != level) Corrupt(page, "is at the wrong level of the tree");
  if (R16(p + kNodeKeyLenAt) != keyLen_) Corrupt(page, "holds keys of the wrong length");
  if (R16(p + kNodeCountAt) > (level ? innerCap_ : leafCap_)) Corrupt(page, "holds more entries than fit in it");
  return p;
}

uint32_t BTree::ChildAt(const uint8_t* node, uint32_t page, int32_t i) const {
  uint32_t child = i == 0 ? R32(node + kNodeLeftmostAt) : R32(node + kHeader + (i - 1) * itemLen_ + entryLen_);
  if (child == 0 || child == metaPage_ || child == page) Corrupt(page, "holds a child page number out of range");
  return child;
}

static void InitNode(uint8_t* p, unsigned level, uint16_t keyLen, uint32_t metaPage, size_t pageSize) {
  std::memset(p, 0, pageSize);
  p[0] = kNodeMagic;
  p[kNodeLevelAt] = static_cast<uint8_t>(level);
  W16(p + kNodeKeyLenAt, keyLen);
  W32(p + kNodeMetaAt, metaPage);
}

void BTree::MakeEntry(const uint8_t* key, uint32_t recno, uint8_t* entry) const {
  std::memcpy(entry, key, keyLen_);
  if (descending_) recno = ~recno;
  uint8_t* r = entry + keyLen_;
  r[0] = static_cast<uint8_t>(recno >> 24);
  r[1] = static_cast<uint8_t>(recno >> 16);
  r[2] = static_cast<uint8_t>(recno >> 8);
  r[3] = static_cast<uint8_t>(recno);
}

uint32_t BTree::RecNoOf(const uint8_t* entry) const {
  const uint8_t* r = entry + keyLen_;
  uint32_t recno = uint32_t{r[0]} << 24 | uint32_t{r[1]} << 16 | uint32_t{r[2]} << 8 | r[3];
  return descending_ ? ~recno : recno;
}

uint64_t BTree::Count() { return ReadMeta().count; }
uint32_t BTree::Height() { return ReadMeta().height; }
uint64_t BTree::ModCount() { return ReadMeta().mod; }

const uint8_t* BTree::Descend(const Meta& meta, const uint8_t* target, size_t tlen, bool routeUpper,
                              bool leafUpper, Path& path) {
  uint32_t page = meta.root;
  for (unsigned d = 0; d < meta.height; ++d) {
    unsigned level = meta.height - 1 - d;
    const uint8_t* p = ReadNode(page, level);
    size_t n = R16(p + kNodeCountAt);
    path.page[d] = page;
    if (level == 0) {
      path.idx[d] = static_cast<int32_t>(Bound(p + kHeader, n, entryLen_, target, tlen, leafUpper));
      return p;
    } else {
      int32_t j = static_cast<int32_t>(Bound(p + kHeader, n, itemLen_, target, tlen, routeUpper));
      path.idx[d] = j;
      page = ChildAt(p, page, j);
    }
  }
  Corrupt(metaPage_, "holds a tree height of zero");
}

bool BTree::Insert(const uint8_t* key, uint32_t recno) {
  uint8_t e[kMaxEntry];
  MakeEntry(key, recno, e);
  Meta m = ReadMeta();
  Path path;
  const uint8_t* leaf = Descend(m, e, entryLen_, true, false, path);
  int d = static_cast<int>(m.height) - 1;
  uint32_t leafPage = path.page[d];
  size_t pos = static_cast<size_t>(path.idx[d]);
  size_t n = R16(leaf + kNodeCountAt);
  if (pos < n && std::memcmp(leaf + kHeader + pos * entryLen_, e, entryLen_) == 0) return false;

  if (n < leafCap_) {
    uint8_t* w = store_.Write(leafPage);
    uint8_t* at = w + kHeader + pos * entryLen_;
    std::memmove(at + entryLen_, at, (n - pos) * entryLen_);
    std::memcpy(at, e, entryLen_);
    W16(w + kNodeCountAt, n + 1);
  } else {
    // Split: gather the n + 1 entries, then share them out. An entry added
    // at the end leaves the old page full (ascending inserts pack densely).
    uint8_t* s = scratch_.data();
    std::memcpy(s, leaf + kHeader, pos * entryLen_);
    std::memcpy(s + pos * entryLen_, e, entryLen_);
    std::memcpy(s + (pos + 1) * entryLen_, leaf + kHeader + pos * entryLen_, (n - pos) * entryLen_);
    size_t total = n + 1;
    size_t left = pos == n ? n : total / 2;
    uint32_t right = store_.Allocate();
    uint8_t* w = store_.Write(leafPage);
    std::memcpy(w + kHeader, s, left * entryLen_);
    W16(w + kNodeCountAt, left);
    uint8_t* r = store_.Write(right);
    InitNode(r, 0, keyLen_, metaPage_, pageSize_);
    std::memcpy(r + kHeader, s + left * entryLen_, (total - left) * entryLen_);
    W16(r + kNodeCountAt, total - left);
    uint8_t sep[kMaxEntry];
    std::memcpy(sep, s + left * entryLen_, entryLen_);
    InsertIntoParent(m, path, d - 1, sep, right);
  }
  ++m.count;
  ++m.mod;
  WriteMeta(m);
  return true;
}

void BTree::InsertIntoParent(Meta& m, Path& path, int depth, const uint8_t* sep, uint32_t child) {
  if (depth < 0) {  // the root split: a new root above it
    if (m.height >= kMaxHeight) Corrupt(m.root, "would make the tree deeper than allowed");
    uint32_t root = store_.Allocate();
    uint8_t* r = store_.Write(root);
    InitNode(r, m.height, keyLen_, metaPage_, pageSize_);
    W32(r + kNodeLeftmostAt, m.root);
    std::memcpy(r + kHeader, sep, entryLen_);
    W32(r + kHeader + entryLen_, child);
    W16(r + kNodeCountAt, 1);
    m.root = root;
    ++m.height;
    return;
  }
  uint32_t page = path.page[depth];
  size_t ci = static_cast<size_t>(path.idx[depth]);
  unsigned level = m.height - 1 - static_cast<unsigned>(depth);
  const uint8_t* p = store_.Read(page);
  size_t n = R16(p + kNodeCountAt);
  if (n < innerCap_) {
    uint8_t* w = store_.Write(page);
    uint8_t* at = w + kHeader + ci * itemLen_;
    std::memmove(at + itemLen_, at, (n - ci) * itemLen_);
    std::memcpy(at, sep, entryLen_);
    W32(at + entryLen_, child);
    W16(w + kNodeCountAt, n + 1);
    return;
  }
  // Split the inner node: n + 1 items; item mid's separator moves up and
  // its child becomes the new right node's leftmost child.
  uint8_t* s = scratch_.data();
  std::memcpy(s, p + kHeader, ci * itemLen_);
  std::memcpy(s + ci * itemLen_, sep, entryLen_);
  W32(s + ci * itemLen_ + entryLen_, child);
  std::memcpy(s + (ci + 1) * itemLen_, p + kHeader + ci * itemLen_, (n - ci) * itemLen_);
  size_t total = n + 1;
  size_t mid = ci == n ? n - 1 : total / 2;
  uint8_t up[kMaxEntry];
  std::memcpy(up, s + mid * itemLen_, entryLen_);
  uint32_t rightLeftmost = R32(s + mid * itemLen_ + entryLen_);
  uint32_t right = store_.Allocate();
  uint8_t* w = store_.Write(page);
  std::memcpy(w + kHeader, s, mid * itemLen_);
  W16(w + kNodeCountAt, mid);
  uint8_t* r = store_.Write(right);
  InitNode(r, level, keyLen_, metaPage_, pageSize_);
  W32(r + kNodeLeftmostAt, rightLeftmost);
  std::memcpy(r + kHeader, s + (mid + 1) * itemLen_, (total - mid - 1) * itemLen_);
  W16(r + kNodeCountAt, total - mid - 1);
  InsertIntoParent(m, path, depth - 1, up, right);
}

bool BTree::Erase(const uint8_t* key, uint32_t recno) {
  uint8_t e[kMaxEntry];
  MakeEntry(key, recno, e);
  Meta m = ReadMeta();
  Path path;
  const uint8_t* leaf = Descend(m, e, entryLen_, true, false, path);
  int d = static_cast<int>(m.height) - 1;
  uint32_t leafPage = path.page[d];
  size_t pos = static_cast<size_t>(path.idx[d]);
  size_t n = R16(leaf + kNodeCountAt);
  if (pos >= n || std::memcmp(leaf + kHeader + pos * entryLen_, e, entryLen_) != 0) return false;
  uint8_t* w = store_.Write(leafPage);
  uint8_t* at = w + kHeader + pos * entryLen_;
  std::memmove(at, at + entryLen_, (n - pos - 1) * entryLen_);
  W16(w + kNodeCountAt, n - 1);
  Rebalance(m, path, d);
  if (m.count > 0) --m.count;
  ++m.mod;
  WriteMeta(m);
  return true;
}

// Walks up from the node at depth while it is below half full: merges it
// with a sibling when both fit in one page (and goes on with the parent,
// which lost an item), else evens the two out and stops. Finally drops
// inner roots left with a single child.
void BTree::Rebalance(Meta& m, Path& path, int depth) {
  for (int d = depth; d > 0; --d) {
    unsigned level = m.height - 1 - static_cast<unsigned>(d);
    size_t cap = level ? innerCap_ : leafCap_;
    if (R16(ReadNode(path.page[d], level) + kNodeCountAt) >= cap / 2) break;

    uint32_t parentPage = path.page[d - 1];
    const uint8_t* pp = ReadNode(parentPage, level + 1);
    size_t pn = R16(pp + kNodeCountAt);
    if (pn == 0) break;
    int32_t k = path.idx[d - 1] > 0 ? path.idx[d - 1] - 1 : 0;  // separator between left and right
    uint32_t leftPage = ChildAt(pp, parentPage, k);
    uint32_t rightPage = ChildAt(pp, parentPage, k + 1);
    if (leftPage == rightPage) Corrupt(parentPage, "names one child twice");
    const uint8_t* lp = ReadNode(leftPage, level);
    const uint8_t* rp = ReadNode(rightPage, level);
    size_t ln = R16(lp + kNodeCountAt), rn = R16(rp + kNodeCountAt);
    uint8_t* sepAt = nullptr;  // parent's separator k, set when the two are evened out

    if (level == 0) {
      if (ln + rn <= cap) {
        uint8_t* wl = store_.Write(leftPage);
        std::memcpy(wl + kHeader + ln * entryLen_, rp + kHeader, rn * entryLen_);
        W16(wl + kNodeCountAt, ln + rn);
      } else {
        uint8_t* s = scratch_.data();
        std::memcpy(s, lp + kHeader, ln * entryLen_);
        std::memcpy(s + ln * entryLen_, rp + kHeader, rn * entryLen_);
        size_t total = ln + rn, nl = total / 2;
        uint8_t* wl = store_.Write(leftPage);
        std::memcpy(wl + kHeader, s, nl * entryLen_);
        W16(wl + kNodeCountAt, nl);
        uint8_t* wr = store_.Write(rightPage);
        std::memcpy(wr + kHeader, s + nl * entryLen_, (total - nl) * entryLen_);
        W16(wr + kNodeCountAt, total - nl);
        sepAt = store_.Write(parentPage) + kHeader + k * itemLen_;
        std::memcpy(sepAt, s + nl * entryLen_, entryLen_);
      }
    } else {
      // Items of both nodes with the parent's separator between them; its
      // child is the right node's leftmost.
      uint8_t* s = scratch_.data();
      std::memcpy(s, lp + kHeader, ln * itemLen_);
      std::memcpy(s + ln * itemLen_, pp + kHeader + k * itemLen_, entryLen_);
      W32(s + ln * itemLen_ + entryLen_, R32(rp + kNodeLeftmostAt));
      std::memcpy(s + (ln + 1) * itemLen_, rp + kHeader, rn * itemLen_);
      size_t total = ln + rn + 1;
      if (total <= cap) {
        uint8_t* wl = store_.Write(leftPage);
        std::memcpy(wl + kHeader, s, total * itemLen_);
        W16(wl + kNodeCountAt, total);
      } else {
        size_t mid = total / 2;
        uint8_t* wl = store_.Write(leftPage);
        std::memcpy(wl + kHeader, s, mid * itemLen_);
        W16(wl + kNodeCountAt, mid);
        uint8_t* wr = store_.Write(rightPage);
        W32(wr + kNodeLeftmostAt, R32(s + mid * itemLen_ + entryLen_));
        std::memcpy(wr + kHeader, s + (mid + 1) * itemLen_, (total - mid - 1) * itemLen_);
        W16(wr + kNodeCountAt, total - mid - 1);
        sepAt = store_.Write(parentPage) + kHeader + k * itemLen_;
        std::memcpy(sepAt, s + mid * itemLen_, entryLen_);
      }
    }
    if (sepAt) break;
    // Merged: the parent loses separator k and the right child.
    uint8_t* wp = store_.Write(parentPage);
    uint8_t* item = wp + kHeader + k * itemLen_;
    std::memmove(item, item + itemLen_, (pn - k - 1) * itemLen_);
    W16(wp + kNodeCountAt, pn - 1);
    store_.Free(rightPage);
  }
  while (m.height > 1) {
    const uint8_t* root = ReadNode(m.root, m.height - 1);
    if (R16(root + kNodeCountAt) != 0) break;
    uint32_t child = ChildAt(root, m.root, 0);
    store_.Free(m.root);
    m.root = child;
    --m.height;
  }
}

bool BTree::Contains(const uint8_t* key, uint32_t recno) {
  uint8_t e[kMaxEntry];
  MakeEntry(key, recno, e);
  Meta m = ReadMeta();
  Path path;
  const uint8_t* leaf = Descend(m, e, entryLen_, true, false, path);
  unsigned d = m.height - 1;
  size_t pos = static_cast<size_t>(path.idx[d]);
  return pos < R16(leaf + kNodeCountAt) && std::memcmp(leaf + kHeader + pos * entryLen_, e, entryLen_) == 0;
}

bool BTree::ContainsKey(const uint8_t* key) {
  Cursor c(*this);
  return c.SeekExact(key, keyLen_);
}

void BTree::FreeSubtree(uint32_t root, unsigned height) {
  // Level by level, each page once even if a damaged tree names it twice.
  std::vector<uint32_t> level{root}, next;
  for (unsigned lv = height; lv-- > 0;) {
    next.clear();
    if (lv > 0) {
      for (uint32_t page : level) {
        const uint8_t* p = ReadNode(page, lv);
        int32_t n = R16(p + kNodeCountAt);
        for (int32_t i = 0; i <= n; ++i) next.push_back(ChildAt(p, page, i));
      }
      std::sort(next.begin(), next.end());
      next.erase(std::unique(next.begin(), next.end()), next.end());
    }
    for (uint32_t page : level) store_.Free(page);
    level.swap(next);
  }
}

void BTree::Clear() {
  Meta m = ReadMeta();
  FreeSubtree(m.root, m.height);
  m.root = store_.Allocate();
  InitNode(store_.Write(m.root), 0, keyLen_, metaPage_, pageSize_);
  m.height = 1;
  m.count = 0;
  ++m.mod;
  WriteMeta(m);
}

void BTree::Drop() {
  Meta m = ReadMeta();
  FreeSubtree(m.root, m.height);
  std::memset(store_.Write(metaPage_), 0, pageSize_);
  store_.Free(metaPage_);
}

void BTree::Verify() {
  Meta m = ReadMeta();
  std::set<uint32_t> seen;
  uint64_t entries = 0;
  uint8_t last[kMaxEntry];
  bool haveLast = false;
  // lo/hi bound the entries of the subtree (null: unbounded).
  auto visit = [&](auto& self, uint32_t page, unsigned level, const uint8_t* lo, const uint8_t* hi) -> void {
    if (!seen.insert(page).second) Corrupt(page, "is reached twice");
    const uint8_t* p = ReadNode(page, level);
    size_t n = R16(p + kNodeCountAt);
    if (page != m.root && n == 0) Corrupt(page, "is an empty page below the root");
    size_t stride = level ? itemLen_ : entryLen_;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* e = p + kHeader + i * stride;
      if (lo && std::memcmp(e, lo, entryLen_) < 0) Corrupt(page, "holds an entry below its range");
      if (hi && std::memcmp(e, hi, entryLen_) >= 0) Corrupt(page, "holds an entry above its range");
      if (i > 0 && std::memcmp(e - stride, e, entryLen_) >= 0) Corrupt(page, "holds entries out of order");
    }
    if (level == 0) {
      if (n > 0) {
        if (haveLast && std::memcmp(last, p + kHeader, entryLen_) >= 0) Corrupt(page, "holds entries out of order");
        std::memcpy(last, p + kHeader + (n - 1) * entryLen_, entryLen_);
        haveLast = true;
      }
      entries += n;
      return;
    }
    uint8_t childLo[kMaxEntry], childHi[kMaxEntry];
    for (size_t j = 0; j <= n; ++j) {
      const uint8_t* node = ReadNode(page, level);  // re-read: children were read meanwhile
      uint32_t child = ChildAt(node, page, static_cast<int32_t>(j));
      const uint8_t* clo = lo;
      const uint8_t* chi = hi;
      if (j > 0) {
        std::memcpy(childLo, node + kHeader + (j - 1) * itemLen_, entryLen_);
        clo = childLo;
      }
      if (j < n) {
        std::memcpy(childHi, node + kHeader + j * itemLen_, entryLen_);
        chi = childHi;
      }
      // Copies of the bounds outlive the recursion's own buffers.
      uint8_t loCopy[kMaxEntry], hiCopy[kMaxEntry];
      if (clo) std::memcpy(loCopy, clo, entryLen_);
      if (chi) std::memcpy(hiCopy, chi, entryLen_);
      self(self, child, level - 1, clo ? loCopy : nullptr, chi ? hiCopy : nullptr);
    }
  };
  visit(visit, m.root, m.height - 1, nullptr, nullptr);
  if (entries != m.count) {
    Corrupt(metaPage_, ("counts " + std::to_string(m.count) + " entries but the tree holds " +
                        std::to_string(entries)).c_str());
  }
}

void BTree::SortEntries(uint8_t* entries, size_t count, size_t entryLen) {
  if (count < 2) return;  // nothing to order (and no buffer to touch)
  std::vector<uint32_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return std::memcmp(entries + a * entryLen, entries + b * entryLen, entryLen) < 0;
  });
  std::vector<uint8_t> sorted(count * entryLen);
  for (size_t i = 0; i < count; ++i) std::memcpy(sorted.data() + i * entryLen, entries + order[i] * entryLen, entryLen);
  std::memcpy(entries, sorted.data(), sorted.size());
}

// ---- Cursor ----------------------------------------------------------------

bool BTree::Cursor::Load(const Meta& meta, const uint8_t* leaf) {
  std::memcpy(entry_, leaf + kHeader + path_.idx[height_ - 1] * tree_->entryLen_, tree_->entryLen_);
  valid_ = true;
  mod_ = meta.mod;
  return true;
}

bool BTree::Cursor::SettleForward(const Meta& meta, int depth) {
  int d = depth;
  for (;;) {
    unsigned level = height_ - 1 - static_cast<unsigned>(d);
    const uint8_t* p = tree_->ReadNode(path_.page[d], level);
    int32_t n = R16(p + kNodeCountAt);
    int32_t limit = level ? n + 1 : n;
    if (path_.idx[d] < limit) {
      if (level == 0) return Load(meta, p);
      uint32_t child = tree_->ChildAt(p, path_.page[d], path_.idx[d]);
      ++d;
      path_.page[d] = child;
      path_.idx[d] = 0;
      continue;
    }
    if (d == 0) break;
    --d;
    ++path_.idx[d];
  }
  valid_ = false;
  mod_ = meta.mod;
  return false;
}

bool BTree::Cursor::SettleBackward(const Meta& meta, int depth) {
  int d = depth;
  for (;;) {
    unsigned level = height_ - 1 - static_cast<unsigned>(d);
    const uint8_t* p = tree_->ReadNode(path_.page[d], level);
    int32_t n = R16(p + kNodeCountAt);
    int32_t limit = level ? n + 1 : n;
    if (path_.idx[d] >= limit) path_.idx[d] = limit - 1;
    if (path_.idx[d] >= 0) {
      if (level == 0) return Load(meta, p);
      uint32_t child = tree_->ChildAt(p, path_.page[d], path_.idx[d]);
      ++d;
      path_.page[d] = child;
      path_.idx[d] = INT32_MAX;
      continue;
    }
    if (d == 0) break;
    --d;
    --path_.idx[d];
  }
  valid_ = false;
  mod_ = meta.mod;
  return false;
}

bool BTree::Cursor::First() {
  Meta m = tree_->ReadMeta();
  height_ = m.height;
  path_.page[0] = m.root;
  path_.idx[0] = 0;
  return SettleForward(m, 0);
}

bool BTree::Cursor::Last() {
  Meta m = tree_->ReadMeta();
  height_ = m.height;
  path_.page[0] = m.root;
  path_.idx[0] = INT32_MAX;
  return SettleBackward(m, 0);
}

bool BTree::Cursor::SeekGE(const uint8_t* prefix, size_t len) {
  if (len > tree_->entryLen_) Fail(ENG_ERR_KEY, "seek key of " + std::to_string(len) + " bytes is longer than the index entries");
  Meta m = tree_->ReadMeta();
  height_ = m.height;
  const uint8_t* leaf = tree_->Descend(m, prefix, len, false, false, path_);
  if (path_.idx[height_ - 1] < R16(leaf + kNodeCountAt)) return Load(m, leaf);
  return SettleForward(m, static_cast<int>(height_) - 1);
}

bool BTree::Cursor::SeekLE(const uint8_t* prefix, size_t len) {
  if (len > tree_->entryLen_) Fail(ENG_ERR_KEY, "seek key of " + std::to_string(len) + " bytes is longer than the index entries");
  Meta m = tree_->ReadMeta();
  height_ = m.height;
  tree_->Descend(m, prefix, len, true, true, path_);
  --path_.idx[height_ - 1];
  return SettleBackward(m, static_cast<int>(height_) - 1);
}

bool BTree::Cursor::SeekEntry(const uint8_t* key, uint32_t recno) {
  uint8_t e[kMaxEntry];
  tree_->MakeEntry(key, recno, e);
  return SeekGE(e, tree_->entryLen_);
}

bool BTree::Cursor::SeekExact(const uint8_t* prefix, size_t len) {
  return SeekGE(prefix, len) && std::memcmp(entry_, prefix, len) == 0;
}

bool BTree::Cursor::Stale() { return tree_->ReadMeta().mod != mod_; }

bool BTree::Cursor::Step(bool forward) {
  if (!valid_) return false;
  Meta m = tree_->ReadMeta();
  size_t len = tree_->entryLen_;
  uint8_t before[kMaxEntry];
  std::memcpy(before, entry_, len);
  int leafDepth;
  if (m.mod != mod_) {
    // The tree changed: find the remembered entry's place again.
    height_ = m.height;
    leafDepth = static_cast<int>(height_) - 1;
    tree_->Descend(m, before, len, forward, forward, path_);
    if (!forward) --path_.idx[leafDepth];
  } else {
    leafDepth = static_cast<int>(height_) - 1;
    path_.idx[leafDepth] += forward ? 1 : -1;
  }
  bool ok = forward ? SettleForward(m, leafDepth) : SettleBackward(m, leafDepth);
  if (ok) {
    int c = std::memcmp(entry_, before, len);
    if (forward ? c <= 0 : c >= 0) tree_->Corrupt(path_.page[leafDepth], "holds entries out of order");
  } else {
    std::memcpy(entry_, before, len);  // Key() keeps the last entry passed
  }
  return ok;
}

bool BTree::Cursor::Next() { return Step(true); }
bool BTree::Cursor::Prev() { return Step(false); }

// ---- Builder ---------------------------------------------------------------

BTree::Builder::Builder(BTree& tree, uint64_t totalEntries) : tree_(tree), total_(totalEntries) {
  tree_.Clear();
  if (total_ == 0) return;
  // Pages about 90 % full leave room for a few inserts before the first splits.
  uint64_t leafFill = std::max<uint64_t>(1, tree_.leafCap_ * 9 / 10);
  uint64_t innerFill = std::max<uint64_t>(3, (tree_.innerCap_ + 1) * 9 / 10);
  Level leaves;
  leaves.items = total_;
  leaves.nodes = (total_ + leafFill - 1) / leafFill;
  levels_.push_back(leaves);
  while (levels_.back().nodes > 1) {
    Level up;
    up.items = levels_.back().nodes;
    up.nodes = (up.items + innerFill - 1) / innerFill;
    levels_.push_back(up);
    if (levels_.size() > kMaxHeight) Fail(ENG_ERR_INVALID_ARGUMENT, "too many index entries to build one tree");
  }
}

BTree::Builder::~Builder() {
  if (finished_) return;
  for (uint32_t page : pages_) {
    try {
      tree_.store_.Free(page);
    } catch (const EngineError&) {
      // Nothing more can be done from a destructor; the pages stay unused.
    }
  }
}

void BTree::Builder::StartNode(unsigned level, const uint8_t* firstEntry) {
  Level& lv = levels_[level];
  if (lv.page != 0) ++lv.node;
  lv.target = lv.items / lv.nodes + (lv.node < lv.items % lv.nodes ? 1 : 0);
  pages_.reserve(pages_.size() + 1);  // so that recording the page cannot fail after allocating it
  uint32_t page = tree_.store_.Allocate();
  pages_.push_back(page);
  InitNode(tree_.store_.Write(page), level, tree_.keyLen_, tree_.metaPage_, tree_.pageSize_);
  lv.page = page;
  lv.filled = 0;
  if (level + 1 < levels_.size()) {
    AddChild(level + 1, page, firstEntry);
  } else {
    root_ = page;
  }
}

void BTree::Builder::AddChild(unsigned level, uint32_t child, const uint8_t* firstEntry) {
  if (levels_[level].page == 0 || levels_[level].filled == levels_[level].target) StartNode(level, firstEntry);
  Level& lv = levels_[level];
  uint8_t* w = tree_.store_.Write(lv.page);
  if (lv.filled == 0) {
    W32(w + kNodeLeftmostAt, child);
  } else {
    uint8_t* item = w + kHeader + (lv.filled - 1) * tree_.itemLen_;
    std::memcpy(item, firstEntry, tree_.entryLen_);
    W32(item + tree_.entryLen_, child);
    W16(w + kNodeCountAt, lv.filled);
  }
  ++lv.filled;
}

void BTree::Builder::Add(const uint8_t* key, uint32_t recno) {
  tree_.MakeEntry(key, recno, entry_);
  AddEntry(entry_);
}

void BTree::Builder::AddEntry(const uint8_t* entry) {
  size_t len = tree_.entryLen_;
  if (finished_) Fail(ENG_ERR_INVALID_ARGUMENT, "index build already finished");
  if (added_ >= total_) Fail(ENG_ERR_INVALID_ARGUMENT, "more index entries given than announced for the build");
  if (entry != entry_) std::memcpy(entry_, entry, len);
  if (added_ > 0 && std::memcmp(entry_, last_, len) <= 0) {
    Fail(ENG_ERR_INVALID_ARGUMENT, "index entries for the build are not in ascending order (record " +
                                       std::to_string(tree_.RecNoOf(entry_)) + ")");
  }
  if (levels_[0].page == 0 || levels_[0].filled == levels_[0].target) StartNode(0, entry_);
  Level& leaf = levels_[0];
  uint8_t* w = tree_.store_.Write(leaf.page);
  std::memcpy(w + kHeader + leaf.filled * len, entry_, len);
  ++leaf.filled;
  W16(w + kNodeCountAt, leaf.filled);
  std::memcpy(last_, entry_, len);
  ++added_;
}

void BTree::Builder::Finish() {
  if (added_ != total_) {
    Fail(ENG_ERR_INVALID_ARGUMENT, "index build announced " + std::to_string(total_) + " entries but got " +
                                       std::to_string(added_));
  }
  if (total_ == 0) {
    finished_ = true;
    return;
  }
  Meta m = tree_.ReadMeta();
  tree_.store_.Free(m.root);  // the empty leaf Clear() left
  m.root = root_;
  m.height = static_cast<uint32_t>(levels_.size());
  m.count = total_;
  ++m.mod;
  tree_.WriteMeta(m);
  finished_ = true;
}

}  // namespace eng
