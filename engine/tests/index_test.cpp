// Index tags through the C interface, checked against an in-memory model:
// random appends, updates, deletes, packs and zaps on a table with several
// tags (unique, descending, multi-segment); walks in both directions; exact
// seeks on leading segments; unique violations; bookmarks in index order.
#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "test_util.h"

using engtest::EngineTest;

namespace {

struct Rec {
  int32_t id;
  std::string name;  // padded to 8
  int32_t day;
  double amt;
};

class IndexModelTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    t_ = 0;
    ASSERT_EQ(EngCreateTable(conn_, "idx", "ID,Integer;NAME,Char,8;DAY,Date;AMT,Double", ENG_OPEN_EXCLUSIVE, &t_), 0u)
        << engtest::LastError();
    ENG_OK_(EngCreateIndex(t_, "ID", "ID", ENG_INDEX_UNIQUE, 0, &by_id_));
    ENG_OK_(EngCreateIndex(t_, "NAME_DAY", "NAME;DAY", 0, 0, &by_name_));
    ENG_OK_(EngCreateIndex(t_, "AMT_DESC", "AMT", ENG_INDEX_DESCENDING, 1024, &by_amt_));
  }

  void Put(const Rec& r) {
    EngSetFieldRaw(t_, 1, reinterpret_cast<const uint8_t*>(&r.id), 4);
    EngSetField(t_, 2, reinterpret_cast<const uint8_t*>(r.name.data()), static_cast<uint32_t>(r.name.size()));
    EngSetFieldRaw(t_, 3, reinterpret_cast<const uint8_t*>(&r.day), 4);
    EngSetFieldRaw(t_, 4, reinterpret_cast<const uint8_t*>(&r.amt), 8);
  }

  std::vector<uint32_t> Expected(int tag) const {
    std::vector<uint32_t> out;
    for (const auto& [recno, r] : model_) out.push_back(recno);
    auto key = [&](uint32_t n) { return model_.at(n); };
    std::sort(out.begin(), out.end(), [&](uint32_t a, uint32_t b) {
      Rec x = key(a), y = key(b);
      if (tag == 0) return std::tie(x.id, a) < std::tie(y.id, b);
      if (tag == 1) return std::tie(x.name, x.day, a) < std::tie(y.name, y.day, b);
      return std::tie(x.amt, a) > std::tie(y.amt, b);
    });
    return out;
  }

  std::vector<uint32_t> WalkBackward(ENGHANDLE h) {
    std::vector<uint32_t> out;
    EngGotoBottom(h);
    while (!Bof(h)) {
      out.push_back(RecNo(h));
      EngSkip(h, -1);
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

  void CheckAll(const std::string& step) {
    ENGHANDLE tags[3] = {by_id_, by_name_, by_amt_};
    for (int i = 0; i < 3; ++i) {
      std::vector<uint32_t> want = Expected(i);
      ASSERT_EQ(Walk(tags[i]), want) << step << " tag " << i;
      ASSERT_EQ(WalkBackward(tags[i]), want) << step << " tag " << i << " backward";
    }
  }

  // Seeks NAME (and DAY when two) exactly; returns found and the record.
  std::pair<bool, uint32_t> SeekName(const std::string& name, const int32_t* day) {
    EngInitRawKey(by_name_);
    std::string padded = name;
    padded.resize(8, ' ');
    EngSetField(by_name_, 2, reinterpret_cast<const uint8_t*>(padded.data()), 8);
    if (day) EngSetFieldRaw(by_name_, 3, reinterpret_cast<const uint8_t*>(day), 4);
    uint8_t key[256];
    uint16_t len = sizeof key;
    EXPECT_EQ(EngBuildRawKey(by_name_, key, &len), 0u) << engtest::LastError();
    uint16_t found = 0;
    EXPECT_EQ(EngSeek(by_name_, key, len, ENG_RAWKEY, ENG_SEEK_HARD, &found), 0u) << engtest::LastError();
    return {found != 0, RecNo(t_)};
  }

  ENGHANDLE t_ = 0, by_id_ = 0, by_name_ = 0, by_amt_ = 0;
  std::map<uint32_t, Rec> model_;
};

TEST_F(IndexModelTest, RandomChangesKeepEveryTagExact) {
  std::mt19937 rng(7);
  const char* names[] = {"ANNU", "SICK", "LIEU", "CHILDLVE", "ANNU2"};
  int32_t next_id = 1;
  for (int step = 0; step < 600; ++step) {
    int op = static_cast<int>(rng() % 100);
    if (op < 55 || model_.empty()) {
      Rec r{next_id++, names[rng() % 5], static_cast<int32_t>(2453000 + rng() % 30),
            static_cast<double>(static_cast<int>(rng() % 200) - 100) / 4};
      r.name.resize(8, ' ');
      ENG_OK_(EngAppendRecord(t_));
      Put(r);
      ENG_OK_(EngWriteRecord(t_));
      model_[RecNo(t_)] = r;
    } else if (op < 80) {
      auto it = std::next(model_.begin(), static_cast<long>(rng() % model_.size()));
      ENG_OK_(EngGotoRecord(t_, it->first));
      Rec r = it->second;
      r.name = names[rng() % 5];
      r.name.resize(8, ' ');
      r.day = static_cast<int32_t>(2453000 + rng() % 30);
      r.amt = static_cast<double>(rng() % 50);
      Put(r);
      ENG_OK_(EngWriteRecord(t_));
      it->second = r;
    } else if (op < 97) {
      auto it = std::next(model_.begin(), static_cast<long>(rng() % model_.size()));
      ENG_OK_(EngGotoRecord(t_, it->first));
      ENG_OK_(EngDeleteRecord(t_));
      model_.erase(it);
    } else if (op < 99) {
      ENG_OK_(EngPackTable(t_));
      std::map<uint32_t, Rec> packed;
      uint32_t n = 0;
      for (const auto& [recno, r] : model_) packed[++n] = r;
      model_ = packed;
    } else {
      ENG_OK_(EngZapTable(t_));
      model_.clear();
    }
    if (step % 25 == 0 || op >= 97) CheckAll("step " + std::to_string(step));
  }
  CheckAll("end");

  // Exact seeks on one and on both segments, at every record.
  for (const auto& [recno, r] : model_) {
    std::vector<uint32_t> order = Expected(1);
    uint32_t first_name = 0, first_both = 0;
    for (uint32_t n : order) {
      if (!first_name && model_[n].name == r.name) first_name = n;
      if (!first_both && model_[n].name == r.name && model_[n].day == r.day) first_both = n;
    }
    auto one = SeekName(r.name, nullptr);
    EXPECT_TRUE(one.first);
    EXPECT_EQ(one.second, first_name);
    auto two = SeekName(r.name, &r.day);
    EXPECT_TRUE(two.first);
    EXPECT_EQ(two.second, first_both);
  }
  int32_t no_day = 1;
  EXPECT_FALSE(SeekName("NOSUCH", nullptr).first);
  EXPECT_TRUE(Eof(t_));
  if (!model_.empty()) {
    EXPECT_FALSE(SeekName(model_.begin()->second.name, &no_day).first);
  }
}

TEST_F(IndexModelTest, UniqueViolationChangesNothing) {
  Rec a{1, "A       ", 2453000, 1}, b{2, "B       ", 2453001, 2};
  for (const Rec& r : {a, b}) {
    ENG_OK_(EngAppendRecord(t_));
    Put(r);
    ENG_OK_(EngWriteRecord(t_));
    model_[RecNo(t_)] = r;
  }
  ENG_OK_(EngAppendRecord(t_));
  Rec dup{1, "C       ", 2453002, 3};
  Put(dup);
  EXPECT_EQ(EngWriteRecord(t_), (ENGRESULT)ENG_ERR_DUPLICATE_KEY);
  std::string err = engtest::LastError();
  EXPECT_NE(err.find("ID"), std::string::npos) << err;
  EXPECT_NE(err.find("idx"), std::string::npos) << err;
  ENG_OK_(EngCancelUpdate(t_));
  // An update onto an existing key is refused too, and leaves the record as it was.
  ENG_OK_(EngGotoRecord(t_, 2));
  Put(Rec{1, "Z       ", 1, 9});
  EXPECT_EQ(EngWriteRecord(t_), (ENGRESULT)ENG_ERR_DUPLICATE_KEY);
  ENG_OK_(EngCancelUpdate(t_));
  CheckAll("after refused writes");
  ENG_OK_(EngGotoRecord(t_, 2));
  EXPECT_EQ(Text(t_, 2), "B       ");
  // Building a unique tag over repeated values fails and leaves no tag.
  ENG_OK_(EngAppendRecord(t_));
  Put(Rec{3, "A       ", 2453000, 1});
  ENG_OK_(EngWriteRecord(t_));
  ENGHANDLE h = 0;
  EXPECT_EQ(EngCreateIndex(t_, "NAME_U", "NAME", ENG_INDEX_UNIQUE, 0, &h), (ENGRESULT)ENG_ERR_DUPLICATE_KEY);
  EXPECT_EQ(EngGetIndexHandle(t_, "NAME_U", &h), (ENGRESULT)ENG_ERR_INDEX_NOT_FOUND);
}

TEST_F(IndexModelTest, TagsPersistAndDescribeThemselves) {
  for (int i = 1; i <= 50; ++i) {
    Rec r{i, i % 2 ? "ODD     " : "EVEN    ", 2453000 + i, i * 1.5};
    ENG_OK_(EngAppendRecord(t_));
    Put(r);
    ENG_OK_(EngWriteRecord(t_));
    model_[RecNo(t_)] = r;
  }
  ENG_OK_(EngCloseTable(t_));
  t_ = Open("IDX");
  ENGHANDLE all[8];
  uint16_t n = 8;
  ENG_OK_(EngGetAllIndexes(t_, all, &n));
  ASSERT_EQ(n, 3);
  ENG_OK_(EngGetIndexHandle(t_, "name_day", &by_name_));
  ENG_OK_(EngGetIndexHandle(t_, "ID", &by_id_));
  ENG_OK_(EngGetIndexHandle(t_, "amt_desc", &by_amt_));
  char name[64];
  uint16_t len = sizeof name;
  ENG_OK_(EngGetIndexName(by_name_, name, &len));
  EXPECT_STREQ(name, "NAME_DAY");
  uint16_t segs = 0, uniq = 0, desc = 0;
  ENG_OK_(EngGetNumSegments(by_name_, &segs));
  EXPECT_EQ(segs, 2);
  len = sizeof name;
  ENG_OK_(EngGetSegmentFieldname(by_name_, 1, name, &len));
  EXPECT_STREQ(name, "DAY");
  ENG_OK_(EngIsIndexUnique(by_id_, &uniq));
  ENG_OK_(EngIsIndexDescending(by_amt_, &desc));
  EXPECT_TRUE(uniq && desc);
  uint32_t page = 0;
  ENG_OK_(EngGetIndexPageSize(by_id_, &page));
  EXPECT_GE(page, 512u);
  EXPECT_EQ(EngGetIndexHandle(t_, "NOPE", &by_id_), (ENGRESULT)ENG_ERR_INDEX_NOT_FOUND);
  EXPECT_NE(engtest::LastError().find("NOPE"), std::string::npos);
  ENG_OK_(EngGetIndexHandle(t_, "ID", &by_id_));
  CheckAll("reopened");

  // Bookmarks taken in index order lead back to the same record, and the
  // walk goes on in that order from there.
  ENG_OK_(EngGotoTop(by_name_));
  ENG_OK_(EngSkip(by_name_, 10));
  uint32_t at = RecNo(t_);
  uint8_t bm[8];
  uint32_t bl = sizeof bm;
  ENG_OK_(EngGetBookmarkEx(by_name_, bm, &bl));
  ENG_OK_(EngGotoBottom(by_name_));
  ENG_OK_(EngGotoBookmark(t_, bm, bl));
  EXPECT_EQ(RecNo(t_), at);
  ENG_OK_(EngSkip(by_name_, 1));
  std::vector<uint32_t> order = Expected(1);
  auto pos = std::find(order.begin(), order.end(), at);
  ASSERT_NE(pos, order.end());
  EXPECT_EQ(RecNo(t_), *(pos + 1));
}

}  // namespace
