// The index B+-tree against a std::set model: random inserts and erases with
// many equal keys, walks both ways, prefix seeks, stale cursors, bulk
// builds, page accounting and damaged pages.
#include "btree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine.h"
#include "error.h"
#include "keycodec.h"
#include "memory_pagestore.h"

namespace eng {
namespace {

using Entry = std::string;  // key bytes + 4 record number bytes, as the tree stores them
using Model = std::set<Entry>;

// A key with few distinct values so that many entries share a key: the
// value in big-endian up front, a pattern derived from it behind.
std::string MakeKey(uint32_t value, size_t keyLen) {
  std::string key(keyLen, '\0');
  for (size_t i = 0; i < keyLen; ++i) key[i] = static_cast<char>((value * 31 + i * 7) & 0xFF);
  for (size_t i = 0; i < std::min<size_t>(4, keyLen); ++i) key[i] = static_cast<char>(value >> (8 * (3 - i)));
  return key;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

Entry EntryOf(BTree& tree, const std::string& key, uint32_t recno) {
  Entry e(tree.EntryLength(), '\0');
  tree.MakeEntry(Bytes(key), recno, reinterpret_cast<uint8_t*>(e.data()));
  return e;
}

Entry CursorEntry(BTree& tree, const BTree::Cursor& c) {
  return Entry(reinterpret_cast<const char*>(c.Entry()), tree.EntryLength());
}

void ExpectSameAsModel(BTree& tree, const Model& model, std::mt19937& rng, int seeks) {
  ASSERT_NO_THROW(tree.Verify());
  ASSERT_EQ(tree.Count(), model.size());
  BTree::Cursor c(tree);
  auto it = model.begin();
  for (bool ok = c.First(); ok; ok = c.Next(), ++it) {
    ASSERT_NE(it, model.end());
    ASSERT_EQ(CursorEntry(tree, c), *it);
  }
  ASSERT_EQ(it, model.end());
  auto rit = model.rbegin();
  for (bool ok = c.Last(); ok; ok = c.Prev(), ++rit) {
    ASSERT_NE(rit, model.rend());
    ASSERT_EQ(CursorEntry(tree, c), *rit);
  }
  ASSERT_EQ(rit, model.rend());

  size_t elen = tree.EntryLength();
  for (int i = 0; i < seeks; ++i) {
    // A prefix taken from an entry that is there, or a random one.
    Entry probe(elen, '\0');
    if (!model.empty() && rng() % 2) {
      auto at = model.begin();
      std::advance(at, rng() % model.size());
      probe = *at;
      if (rng() % 3 == 0) probe[elen - 1] = static_cast<char>(probe[elen - 1] + 1);
    } else {
      probe = EntryOf(tree, MakeKey(rng() % 64, tree.KeyLength()), rng() % 300);
    }
    size_t len = 1 + rng() % elen;
    std::string prefix = probe.substr(0, len);

    auto ge = model.lower_bound(prefix);
    bool found = c.SeekGE(Bytes(prefix), len);
    ASSERT_EQ(found, ge != model.end()) << "SeekGE length " << len;
    if (found) {
      ASSERT_EQ(CursorEntry(tree, c), *ge);
    }

    auto gt = model.upper_bound(prefix + std::string(elen - len, '\xFF'));
    found = c.SeekLE(Bytes(prefix), len);
    ASSERT_EQ(found, gt != model.begin()) << "SeekLE length " << len;
    if (found) {
      ASSERT_EQ(CursorEntry(tree, c), *std::prev(gt));
    }

    bool exact = c.SeekExact(Bytes(prefix), len);
    ASSERT_EQ(exact, ge != model.end() && ge->compare(0, len, prefix) == 0);

    ASSERT_EQ(tree.Contains(Bytes(probe), tree.RecNoOf(Bytes(probe))), model.count(probe) == 1);
  }
}

struct Shape {
  uint32_t pageSize;
  uint16_t keyLen;
  int steps;
  int checkEvery;
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << "page " << s.pageSize << ", key " << s.keyLen << ", " << s.steps << " steps";
}

class BTreeModelTest : public ::testing::TestWithParam<Shape> {};

TEST_P(BTreeModelTest, RandomInsertsAndErasesMatchTheModel) {
  const Shape shape = GetParam();
  MemoryPageStore store(shape.pageSize);
  store.SetMoveOnAllocate(shape.steps <= 3000);  // stale page pointers show up under the sanitizer
  BTree tree(store, BTree::Create(store, shape.keyLen));
  Model model;
  std::mt19937 rng(shape.pageSize * 1000 + shape.keyLen);
  uint32_t distinctKeys = 40;

  for (int step = 0; step < shape.steps; ++step) {
    // Grow for the first half, then shrink, so that pages split and merge.
    bool grow = step < shape.steps / 2 ? rng() % 4 != 0 : rng() % 4 == 0;
    std::string key = MakeKey(rng() % distinctKeys, shape.keyLen);
    uint32_t recno = 1 + rng() % 400;
    if (grow) {
      Entry e = EntryOf(tree, key, recno);
      ASSERT_EQ(tree.Insert(Bytes(key), recno), model.insert(e).second);
    } else if (!model.empty() && rng() % 3) {
      auto at = model.begin();
      std::advance(at, rng() % model.size());
      std::string k = at->substr(0, shape.keyLen);
      uint32_t r = tree.RecNoOf(Bytes(*at));
      ASSERT_TRUE(tree.Erase(Bytes(k), r));
      model.erase(at);
    } else {
      Entry e = EntryOf(tree, key, recno);
      ASSERT_EQ(tree.Erase(Bytes(key), recno), model.erase(e) == 1);
    }
    if (step % shape.checkEvery == 0) {
      ExpectSameAsModel(tree, model, rng, 8);
      if (HasFatalFailure()) return;
    }
  }
  ExpectSameAsModel(tree, model, rng, 200);

  // Erasing everything gives every page back but the meta page and the root.
  std::vector<Entry> all(model.begin(), model.end());
  std::shuffle(all.begin(), all.end(), rng);
  for (const Entry& e : all) ASSERT_TRUE(tree.Erase(Bytes(e), tree.RecNoOf(Bytes(e))));
  EXPECT_EQ(tree.Count(), 0u);
  EXPECT_EQ(tree.Height(), 1u);
  EXPECT_EQ(store.LivePages(), 2u);
  BTree::Cursor c(tree);
  EXPECT_FALSE(c.First());
  EXPECT_FALSE(c.Last());
}

INSTANTIATE_TEST_SUITE_P(Shapes, BTreeModelTest,
                         ::testing::Values(Shape{512, 4, 3000, 1}, Shape{512, 12, 3000, 3},
                                           Shape{512, 157, 1500, 1},  // three entries a page: deep trees
                                           Shape{512, 61, 2500, 2}, Shape{4096, 8, 40000, 2000},
                                           Shape{4096, 256, 4000, 50}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return "page" + std::to_string(info.param.pageSize) + "_key" +
                                  std::to_string(info.param.keyLen);
                         });

TEST(BTree, KeyLengthsThatDoNotFitThePageAreRefused) {
  MemoryPageStore small(512);
  EXPECT_EQ(BTree::MaxKeyLength(512), 157);
  EXPECT_NO_THROW(BTree::Create(small, 157));
  try {
    BTree::Create(small, 158);
    FAIL() << "158-byte key accepted on 512-byte pages";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), static_cast<uint32_t>(ENG_ERR_KEY));
    EXPECT_NE(std::string(e.what()).find("512"), std::string::npos);
  }
  EXPECT_THROW(BTree::Create(small, 0), EngineError);
  MemoryPageStore large(1024);
  EXPECT_EQ(BTree::MaxKeyLength(1024), 256);
  EXPECT_NO_THROW(BTree::Create(large, 256));
}

TEST(BTree, AscendingInsertsPackPagesDensely) {
  MemoryPageStore store(512);
  BTree tree(store, BTree::Create(store, 8));
  for (uint32_t i = 0; i < 20000; ++i) {
    std::string key = MakeKey(i, 8);
    ASSERT_TRUE(tree.Insert(Bytes(key), i));
  }
  tree.Verify();
  size_t perLeaf = (512 - 16) / 12;
  // Near one page per full leaf; half-full splits would take about twice as many.
  EXPECT_LT(store.LivePages(), 20000 / perLeaf * 115 / 100);
}

TEST(BTree, EqualKeysOrderByRecordNumberAndDescendingTreesReverseIt) {
  for (bool descending : {false, true}) {
    MemoryPageStore store(512);
    BTree tree(store, BTree::Create(store, 4, descending));
    std::vector<uint32_t> recnos = {7, 3, 900, 1, 65536, 42};
    std::string key = "KEY1";
    for (uint32_t r : recnos) tree.Insert(Bytes(key), r);
    std::sort(recnos.begin(), recnos.end());
    if (descending) std::reverse(recnos.begin(), recnos.end());
    BTree::Cursor c(tree);
    std::vector<uint32_t> walked;
    for (bool ok = c.First(); ok; ok = c.Next()) walked.push_back(c.RecNo());
    EXPECT_EQ(walked, recnos) << (descending ? "descending" : "ascending");
    EXPECT_TRUE(tree.ContainsKey(Bytes(key)));
    EXPECT_FALSE(tree.ContainsKey(Bytes(std::string("KEY2"))));
  }
}

TEST(BTree, DuplicateInsertAndMissingEraseChangeNothing) {
  MemoryPageStore store(512);
  BTree tree(store, BTree::Create(store, 4));
  std::string key = "ABCD";
  EXPECT_TRUE(tree.Insert(Bytes(key), 5));
  uint64_t mod = tree.ModCount();
  EXPECT_FALSE(tree.Insert(Bytes(key), 5));
  EXPECT_FALSE(tree.Erase(Bytes(key), 6));
  EXPECT_EQ(tree.Count(), 1u);
  EXPECT_EQ(tree.ModCount(), mod);
  EXPECT_TRUE(tree.Erase(Bytes(key), 5));
  EXPECT_GT(tree.ModCount(), mod);
}

TEST(BTree, StaleCursorContinuesFromItsEntry) {
  MemoryPageStore store(512);
  BTree tree(store, BTree::Create(store, 8));
  Model expected;  // what the walk must visit
  for (uint32_t v = 0; v < 3000; v += 2) {
    tree.Insert(Bytes(MakeKey(v, 8)), v);
    expected.insert(EntryOf(tree, MakeKey(v, 8), v));
  }
  // Walk forward erasing the entry under the cursor; while below 2000 also
  // insert one entry just ahead of it (to be visited) and one just behind it
  // (not to be visited).
  BTree::Cursor c(tree);
  std::vector<Entry> seen;
  for (bool ok = c.First(); ok; ok = c.Next()) {
    Entry here = CursorEntry(tree, c);
    seen.push_back(here);
    uint32_t v = c.RecNo() % 500000;
    ASSERT_TRUE(tree.Erase(c.Key(), c.RecNo()));
    EXPECT_TRUE(c.Stale());
    EXPECT_EQ(CursorEntry(tree, c), here);  // the copy survives the change
    if (v < 2000 && v % 2 == 0) {
      tree.Insert(Bytes(MakeKey(v + 1, 8)), v + 1);
      expected.insert(EntryOf(tree, MakeKey(v + 1, 8), v + 1));
      if (v > 0) tree.Insert(Bytes(MakeKey(v - 1, 8)), 500000 + v - 1);
    }
  }
  EXPECT_EQ(seen, std::vector<Entry>(expected.begin(), expected.end()));
  EXPECT_EQ(tree.Count(), 999u);  // the entries inserted behind

  // Backward: a new last entry appears while walking down; Prev goes on below.
  BTree::Cursor back(tree);
  ASSERT_TRUE(back.Last());
  Entry last = CursorEntry(tree, back);
  tree.Insert(Bytes(MakeKey(0xFFFFFF, 8)), 1);
  ASSERT_TRUE(back.Prev());
  EXPECT_LT(CursorEntry(tree, back), last);
  EXPECT_EQ(back.RecNo(), 500000u + 1995);  // the last was 1997
}

TEST(BTree, BulkBuildEqualsIncrementalInserts) {
  for (uint32_t pageSize : {512u, 4096u}) {
    for (uint64_t n : {0ull, 1ull, 2ull, 40ull, 41ull, 1000ull, 20000ull}) {
      MemoryPageStore store(pageSize);
      store.SetMoveOnAllocate(n <= 1000);
      BTree built(store, BTree::Create(store, 12));
      BTree inserted(store, BTree::Create(store, 12));
      Model model;
      std::mt19937 rng(static_cast<uint32_t>(n));
      while (model.size() < n) {
        std::string key = MakeKey(rng() % 5000, 12);
        uint32_t recno = rng() % 100000;
        if (model.insert(EntryOf(built, key, recno)).second) inserted.Insert(Bytes(key), recno);
      }
      BTree::Builder builder(built, n);
      for (const Entry& e : model) builder.Add(Bytes(e), built.RecNoOf(Bytes(e)));
      builder.Finish();
      ExpectSameAsModel(built, model, rng, 50);
      ExpectSameAsModel(inserted, model, rng, 0);
      if (HasFatalFailure()) return;
      // The built tree takes ordinary changes afterwards.
      for (int i = 0; i < 500; ++i) {
        std::string key = MakeKey(rng() % 5000, 12);
        uint32_t recno = rng() % 100000;
        Entry e = EntryOf(built, key, recno);
        if (i % 2) {
          ASSERT_EQ(built.Insert(Bytes(key), recno), model.insert(e).second);
        } else if (!model.empty()) {
          auto at = model.begin();
          std::advance(at, rng() % model.size());
          ASSERT_TRUE(built.Erase(Bytes(*at), built.RecNoOf(Bytes(*at))));
          model.erase(at);
        }
      }
      ExpectSameAsModel(built, model, rng, 50);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(BTree, FailedBuildsLeaveAnEmptyTreeAndNoPages) {
  MemoryPageStore store(512);
  BTree tree(store, BTree::Create(store, 4));
  for (uint32_t i = 0; i < 300; ++i) tree.Insert(Bytes(MakeKey(i, 4)), i);
  {
    BTree::Builder b(tree, 1000);
    for (uint32_t i = 0; i < 500; ++i) b.Add(Bytes(MakeKey(i, 4)), i);
    EXPECT_THROW(b.Add(Bytes(MakeKey(3, 4)), 1), EngineError);  // out of order
    EXPECT_THROW(b.Add(Bytes(MakeKey(499, 4)), 499), EngineError);  // repeated
  }
  EXPECT_EQ(store.LivePages(), 2u);
  EXPECT_EQ(tree.Count(), 0u);
  {
    BTree::Builder b(tree, 3);
    b.Add(Bytes(MakeKey(1, 4)), 1);
    EXPECT_THROW(b.Finish(), EngineError);  // fewer than announced
  }
  {
    BTree::Builder b(tree, 1);
    b.Add(Bytes(MakeKey(1, 4)), 1);
    EXPECT_THROW(b.Add(Bytes(MakeKey(2, 4)), 1), EngineError);  // more than announced
  }
  EXPECT_EQ(store.LivePages(), 2u);
  tree.Verify();
}

TEST(BTree, SortedEntryRunFeedsTheBuilder) {
  MemoryPageStore store(512);
  BTree tree(store, BTree::Create(store, 6, true));
  std::mt19937 rng(5);
  const size_t n = 3000;
  std::vector<uint8_t> run(n * tree.EntryLength());
  Model model;
  for (size_t i = 0; i < n; ++i) {
    std::string key = MakeKey(rng() % 100, 6);
    tree.MakeEntry(Bytes(key), static_cast<uint32_t>(i), run.data() + i * tree.EntryLength());
    model.insert(EntryOf(tree, key, static_cast<uint32_t>(i)));
  }
  BTree::SortEntries(run.data(), n, tree.EntryLength());
  BTree::Builder b(tree, n);
  for (size_t i = 0; i < n; ++i) b.AddEntry(run.data() + i * tree.EntryLength());
  b.Finish();
  ExpectSameAsModel(tree, model, rng, 100);
}

TEST(BTree, ClearAndDropGiveEveryPageBack) {
  MemoryPageStore store(512);
  uint32_t meta = BTree::Create(store, 8);
  BTree tree(store, meta);
  for (uint32_t i = 0; i < 5000; ++i) tree.Insert(Bytes(MakeKey(i % 97, 8)), i);
  EXPECT_GT(store.LivePages(), 100u);
  tree.Clear();
  EXPECT_EQ(store.LivePages(), 2u);
  EXPECT_EQ(tree.Count(), 0u);
  for (uint32_t i = 0; i < 5000; ++i) tree.Insert(Bytes(MakeKey(i, 8)), i);
  tree.Verify();
  tree.Drop();
  EXPECT_EQ(store.LivePages(), 0u);
}

TEST(BTree, TwoHandlesOnOneTreeSeeEachOthersChanges) {
  MemoryPageStore store(512);
  uint32_t meta = BTree::Create(store, 4);
  BTree a(store, meta), b(store, meta);
  for (uint32_t i = 0; i < 500; ++i) a.Insert(Bytes(MakeKey(i, 4)), i);
  EXPECT_EQ(b.Count(), 500u);
  EXPECT_TRUE(b.Contains(Bytes(MakeKey(321, 4)), 321));
  BTree::Cursor c(b);
  ASSERT_TRUE(c.SeekExact(Bytes(MakeKey(10, 4)), 4));
  a.Erase(Bytes(MakeKey(11, 4)), 11);
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.RecNo(), 12u);
}

// ---- damaged pages ----------------------------------------------------------

// The code of the EngineError that a full forward walk raises, 0 if none.
uint32_t WalkError(MemoryPageStore& store, uint32_t meta, std::string* text = nullptr) {
  try {
    BTree tree(store, meta);
    BTree::Cursor c(tree);
    for (bool ok = c.First(); ok; ok = c.Next()) {
    }
  } catch (const EngineError& e) {
    if (text) *text = e.what();
    return e.code();
  }
  return 0;
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

TEST(BTree, DamagedPagesRaiseCorruptNamingThePage) {
  MemoryPageStore store(512);
  uint32_t meta = BTree::Create(store, 8);
  BTree tree(store, meta);
  for (uint32_t i = 0; i < 2000; ++i) tree.Insert(Bytes(MakeKey(i, 8)), i);
  ASSERT_GE(tree.Height(), 3u);
  const std::vector<uint8_t> good = store.Image();
  auto copy = [&] { return MemoryPageStore::FromImage(good.data(), good.size(), 512); };
  const uint32_t root = Le32(good.data() + meta * 512 + 12);
  const uint32_t child = Le32(good.data() + root * 512 + 8);
  const auto corrupt = static_cast<uint32_t>(ENG_ERR_CORRUPT);

  struct Damage {
    const char* what;
    uint32_t page;
    size_t offset;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Damage> damages = {
      {"meta magic", meta, 0, {'X'}},      {"meta height", meta, 16, {40}},     {"meta root", meta, 12, {0, 0, 0, 0}},
      {"root kind", root, 0, {'L'}},       {"root level", root, 1, {0}},        {"root count", root, 2, {0xFF}},
      {"root key length", root, 4, {9}},   {"root owner", root, 12, {0x77}},    {"leftmost child", root, 8, {0, 0, 0, 0}},
      {"cycle: child points at the root", child, 8, {uint8_t(root), uint8_t(root >> 8), 0, 0}},
  };
  for (const Damage& d : damages) {
    MemoryPageStore damaged = copy();
    std::memcpy(damaged.Write(d.page) + d.offset, d.bytes.data(), d.bytes.size());
    std::string text;
    EXPECT_EQ(WalkError(damaged, meta, &text), corrupt) << d.what;
    EXPECT_NE(text.find("index page "), std::string::npos) << text;
  }

  // Two leaves swapped: each page is sound, but the walk sees entries go
  // backwards, and Verify() sees them outside their parents' ranges.
  MemoryPageStore damaged = copy();
  std::vector<uint32_t> leaves;
  for (uint32_t p = 1; p < good.size() / 512 && leaves.size() < 2; ++p) {
    const uint8_t* bytes = damaged.Read(p);
    if (p != meta && bytes[0] == 'N' && bytes[1] == 0) leaves.push_back(p);
  }
  ASSERT_EQ(leaves.size(), 2u);
  std::vector<uint8_t> first(damaged.Read(leaves[0]), damaged.Read(leaves[0]) + 512);
  std::memcpy(damaged.Write(leaves[0]), damaged.Read(leaves[1]), 512);
  std::memcpy(damaged.Write(leaves[1]), first.data(), 512);
  EXPECT_EQ(WalkError(damaged, meta), corrupt);
  try {
    BTree(damaged, meta).Verify();
    ADD_FAILURE() << "Verify missed swapped leaves";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), corrupt);
  }
  EXPECT_EQ(WalkError(store, meta), 0u);  // the original is sound
}

// ---- keys from records -----------------------------------------------------

// A table with one field of every key type; random records, keyed through
// KeyLayout on one, two and all segments.
struct Table {
  FieldList fields;
  size_t recordLength = 0;
  void Add(const char* name, uint16_t type, uint32_t length, uint16_t decimals = 0) {
    fields.push_back(FieldDef{name, type, length, decimals, static_cast<uint32_t>(recordLength)});
    recordLength += length;
  }
};

void PutI32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }

std::vector<uint8_t> RandomRecord(const Table& t, std::mt19937& rng) {
  std::vector<uint8_t> rec(t.recordLength, 0);
  for (const FieldDef& f : t.fields) {
    uint8_t* p = rec.data() + f.offset;
    bool empty = rng() % 8 == 0;  // all-zero is the empty pattern of most types; fixed below
    switch (f.type) {
      case ENG_LOGICAL: p[0] = empty ? ' ' : "TFYN1"[rng() % 5]; break;
      case ENG_NUMERIC: {
        if (empty) break;
        char text[32];
        double v = (static_cast<int>(rng() % 2001) - 1000) / 4.0;
        snprintf(text, sizeof text, "%*.*f", static_cast<int>(f.length), f.decimals, v);
        std::memcpy(p, text, f.length);
        break;
      }
      case ENG_STRING: {
        if (empty) break;
        std::memset(p, ' ', f.length);
        size_t n = rng() % (f.length + 1);
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>('A' + rng() % 3);
        break;
      }
      case ENG_DATE: PutI32(p, empty ? 0 : 2400000 + static_cast<int32_t>(rng() % 5)); break;
      case ENG_INTEGER: PutI32(p, empty ? INT32_MIN : static_cast<int32_t>(rng() % 7) - 3); break;
      case ENG_SHORTINT: {
        int16_t v = empty ? INT16_MIN : static_cast<int16_t>(static_cast<int>(rng() % 5) - 2);
        std::memcpy(p, &v, 2);
        break;
      }
      case ENG_TIME:
      case ENG_AUTOINC: PutI32(p, empty ? -1 : static_cast<int32_t>(rng() % 4) * 1000); break;
      case ENG_TIMESTAMP:
        PutI32(p, empty ? 0 : 2453711 + static_cast<int32_t>(rng() % 2));
        PutI32(p + 4, empty ? -1 : static_cast<int32_t>(rng() % 3) * 30600000);
        break;
      case ENG_DOUBLE:
      case ENG_CURDOUBLE: {
        if (empty) {
          PutI32(p, 32);
          PutI32(p + 4, INT32_MIN);
        } else {
          double v = (static_cast<int>(rng() % 9) - 4) * 0.5;
          std::memcpy(p, &v, 8);
        }
        break;
      }
      case ENG_COMPACTDATE:
        if (!empty) {
          p[0] = 0x0F;
          p[1] = 0xAA;
          p[2] = static_cast<uint8_t>(0xB8 + rng() % 3);
        }
        break;
      case ENG_RAW:
        for (size_t i = 0; i < f.length; ++i) p[i] = static_cast<uint8_t>(empty ? 0 : rng() % 3);
        break;
    }
  }
  return rec;
}

TEST(BTree, PrefixSeeksWithKeysFromRecordsOfEveryType) {
  Table t;
  t.Add("FLAG", ENG_LOGICAL, 1);
  t.Add("AMOUNT", ENG_NUMERIC, 8, 2);
  t.Add("NAME", ENG_STRING, 3);
  t.Add("DAY", ENG_DATE, 4);
  t.Add("COUNT", ENG_INTEGER, 4);
  t.Add("SMALL", ENG_SHORTINT, 2);
  t.Add("AT", ENG_TIME, 4);
  t.Add("STAMP", ENG_TIMESTAMP, 8);
  t.Add("RATE", ENG_DOUBLE, 8);
  t.Add("MONEY", ENG_CURDOUBLE, 8);
  t.Add("CDAY", ENG_COMPACTDATE, 3);
  t.Add("ID", ENG_AUTOINC, 4);
  t.Add("BYTES", ENG_RAW, 2);

  std::mt19937 rng(99);
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < 400; ++i) records.push_back(RandomRecord(t, rng));

  for (size_t first = 0; first < t.fields.size(); ++first) {
    for (bool descending : {false, true}) {
      std::vector<FieldDef> segs = {t.fields[first], t.fields[(first + 1) % t.fields.size()],
                                    t.fields[(first + 5) % t.fields.size()]};
      KeyLayout layout(segs, descending, "T");
      MemoryPageStore store(512);
      BTree tree(store, BTree::Create(store, static_cast<uint16_t>(layout.KeyLength()), descending));
      std::vector<std::string> keys;
      for (size_t r = 0; r < records.size(); ++r) {
        std::string key(layout.KeyLength(), '\0');
        layout.EncodeRecord(records[r].data(), reinterpret_cast<uint8_t*>(key.data()));
        keys.push_back(key);
        tree.Insert(Bytes(key), static_cast<uint32_t>(r + 1));
      }
      for (size_t n = 1; n <= 3; ++n) {
        for (int probe = 0; probe < 30; ++probe) {
          const std::vector<uint8_t>& rec = records[rng() % records.size()];
          const uint8_t* raw[3];
          for (size_t s = 0; s < 3; ++s) raw[s] = rec.data() + segs[s].offset;
          std::string prefix(layout.KeyLength(), '\0');
          size_t len = layout.EncodePrefix(raw, n, reinterpret_cast<uint8_t*>(prefix.data()));
          ASSERT_EQ(len, layout.PrefixLength(n));
          BTree::Cursor c(tree);
          ASSERT_TRUE(c.SeekExact(Bytes(prefix), len)) << segs[0].name << " n=" << n;
          const std::vector<uint8_t>& hit = records[c.RecNo() - 1];
          // The record found has the same values in the sought fields...
          for (size_t s = 0; s < n; ++s) {
            std::string a(layout.SegmentWidth(s), '\0'), b(layout.SegmentWidth(s), '\0');
            EncodeSegment(segs[s], hit.data() + segs[s].offset, reinterpret_cast<uint8_t*>(a.data()));
            EncodeSegment(segs[s], rec.data() + segs[s].offset, reinterpret_cast<uint8_t*>(b.data()));
            ASSERT_EQ(a, b) << segs[s].name;
          }
          // ...and is the first of them in index order.
          if (c.Prev()) {
            ASSERT_NE(std::memcmp(c.Key(), prefix.data(), len), 0);
          }
        }
      }
      // The walk order is the order of the keys (reversed when descending: the
      // key bytes are complemented, so ascending bytes mean descending values).
      std::vector<std::pair<std::string, uint32_t>> expect;
      for (size_t r = 0; r < keys.size(); ++r) expect.emplace_back(keys[r], descending ? ~uint32_t(r + 1) : uint32_t(r + 1));
      std::sort(expect.begin(), expect.end());
      BTree::Cursor c(tree);
      size_t i = 0;
      for (bool ok = c.First(); ok; ok = c.Next(), ++i) {
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(c.Key()), layout.KeyLength()), expect[i].first);
      }
      EXPECT_EQ(i, records.size());
    }
  }
}

}  // namespace
}  // namespace eng
