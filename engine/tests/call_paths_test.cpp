// The short paths of the per-record calls: handle lookups borrowed from
// the thread's cache, and going to, skipping to and reading records on a
// plain table without the table's lock. Each must give exactly what the
// locked path gives: other handles' and processes' changes are seen at
// once, a change cut short elsewhere is undone before anything is read,
// and a closed handle fails cleanly.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "table_handle.h"
#include "test_util.h"

using engtest::EngineTest;

namespace {

int32_t Id(ENGHANDLE h) {
  std::vector<uint8_t> r(64);
  uint32_t len = static_cast<uint32_t>(r.size());
  if (EngGetRecord(h, r.data(), &len) != ENG_OK) return -1;
  int32_t id;
  std::memcpy(&id, r.data(), 4);
  return id;
}

void Append(ENGHANDLE h, int32_t id) {
  ASSERT_EQ(EngAppendRecord(h), 0u) << engtest::LastError();
  ASSERT_EQ(EngSetFieldRaw(h, 1, reinterpret_cast<uint8_t*>(&id), 4), 0u) << engtest::LastError();
  ASSERT_EQ(EngWriteRecord(h), 0u) << engtest::LastError();
}

using engtest::InChild;

TEST_F(EngineTest, PositionsFollowOtherHandlesChanges) {
  ENGHANDLE a = Create("follow", "ID,Integer;NAME,Char,8");
  for (int32_t i = 1; i <= 5; ++i) Append(a, i);
  ENGHANDLE b = Open("follow");
  ENG_OK_(EngGotoRecord(b, 2));
  EXPECT_EQ(Id(b), 2);
  // A deletion elsewhere: the next skip passes over it, going to it fails.
  ENG_OK_(EngGotoRecord(a, 3));
  ENG_OK_(EngDeleteRecord(a));
  ENG_OK_(EngSkip(b, 1));
  EXPECT_EQ(RecNo(b), 4u);
  EXPECT_EQ(EngGotoRecord(b, 3), (ENGRESULT)ENG_ERR_NO_SUCH_RECORD);
  ENG_OK_(EngGotoRecord(b, 4));
  ENG_OK_(EngSkip(b, -1));
  EXPECT_EQ(RecNo(b), 2u);
  // A rewrite of the current record is read at once; so is one made after
  // going back to the record it stood on.
  ENG_OK_(EngGotoRecord(b, 4));
  int32_t id = 40;
  ENG_OK_(EngGotoRecord(a, 4));
  ENG_OK_(EngSetFieldRaw(a, 1, reinterpret_cast<uint8_t*>(&id), 4));
  ENG_OK_(EngWriteRecord(a));
  EXPECT_EQ(Id(b), 40);
  id = 41;
  ENG_OK_(EngSetFieldRaw(a, 1, reinterpret_cast<uint8_t*>(&id), 4));
  ENG_OK_(EngWriteRecord(a));
  ENG_OK_(EngGotoRecord(b, 4));
  EXPECT_EQ(Id(b), 41);
  // Appends elsewhere, enough to grow and remap the file: skipping from the
  // last record finds them, and every record reads as written.
  ENG_OK_(EngGotoBottom(b));
  EXPECT_EQ(RecNo(b), 5u);
  for (int32_t i = 6; i <= 40000; ++i) Append(a, i);
  ENG_OK_(EngSkip(b, 1));
  EXPECT_EQ(RecNo(b), 6u);
  EXPECT_EQ(Id(b), 6);
  ENG_OK_(EngSkip(b, 39990));
  EXPECT_EQ(Id(b), 39996);
  ENG_OK_(EngSkip(b, 10));
  EXPECT_TRUE(Eof(b));
  EXPECT_FALSE(Bof(b));
  ENG_OK_(EngSkip(b, -1));
  EXPECT_EQ(Id(b), 40000);
  ENG_OK_(EngGotoRecord(b, 20000));
  EXPECT_EQ(Id(b), 20000);
  // Back past the first record: the crack before it.
  ENG_OK_(EngGotoRecord(b, 2));
  ENG_OK_(EngSkip(b, -5));
  EXPECT_TRUE(Bof(b));
  EXPECT_EQ(Id(b), -1);  // no current record
  EngCloseTable(a);
  EngCloseTable(b);
}

TEST_F(EngineTest, PositionsFollowAnotherProcessThatGrowsTheFile) {
  ENGHANDLE a = Create("grown", "ID,Integer;NAME,Char,30");
  for (int32_t i = 1; i <= 3; ++i) Append(a, i);
  ENG_OK_(EngGotoBottom(a));
  EXPECT_EQ(Id(a), 3);
  std::string dir = dir_.path();
  // Far more than this process has mapped, and a rewrite of record 2.
  int rc = InChild([&] {
    ENGHANDLE c = 0, t = 0;
    if (EngConnect(dir.c_str(), &c) || EngOpenTable(c, "grown", nullptr, 3, 1, 1, 2, 0, &t)) return 1;
    for (int32_t i = 4; i <= 60000; ++i) {
      if (EngAppendRecord(t) || EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&i), 4) || EngWriteRecord(t)) return 2;
    }
    int32_t id = 22;
    if (EngGotoRecord(t, 2) || EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4) || EngWriteRecord(t)) return 3;
    return 0;
  });
  ASSERT_EQ(rc, 0);
  ENG_OK_(EngSkip(a, 1));
  EXPECT_EQ(Id(a), 4);
  ENG_OK_(EngGotoRecord(a, 59999));
  EXPECT_EQ(Id(a), 59999);
  ENG_OK_(EngGotoRecord(a, 2));
  EXPECT_EQ(Id(a), 22);
  EXPECT_EQ(Walk(a).size(), 60000u);
  EngCloseTable(a);
}

TEST_F(EngineTest, AChangeCutShortElsewhereIsUndoneBeforeAnyRead) {
  ENGHANDLE a = Create("cut", "ID,Integer");
  for (int32_t i = 1; i <= 4; ++i) Append(a, i);
  ENG_OK_(EngGotoRecord(a, 2));
  EXPECT_EQ(Id(a), 2);
  const std::string path = dir_.File("cut.adt");
  // The child deletes record 3 and rewrites record 2 in one change and dies
  // before committing it: the bytes are changed, the journal holds them.
  int rc = InChild([&] {
    try {
      eng::TableHandle t(path, eng::OpenOptions{});
      eng::SharedTable& table = t.table();
      eng::TableLock lock(table);
      eng::ChangeScope scope(table);
      table.Delete(3);
      std::vector<uint8_t> raw(table.Record(2), table.Record(2) + table.record_length());
      int32_t id = 99;
      std::memcpy(raw.data(), &id, 4);
      table.Write(2, raw, false, {});
      ::_exit(0);  // no commit, no unlock
    } catch (...) {
      return 1;
    }
  });
  ASSERT_EQ(rc, 0);
  // Every short path must see the change as not made.
  EXPECT_EQ(Id(a), 2);
  ENG_OK_(EngSkip(a, 1));
  EXPECT_EQ(RecNo(a), 3u);
  EXPECT_EQ(Id(a), 3);
  ENG_OK_(EngGotoRecord(a, 2));
  EXPECT_EQ(Id(a), 2);
  EXPECT_EQ(Walk(a), (std::vector<uint32_t>{1, 2, 3, 4}));
  EngCloseTable(a);
}

TEST_F(EngineTest, ReadsWithoutTheLockNeverSeeAHalfWrittenRecord) {
  // Every record keeps one number in both fields, the second a long text
  // of it; a writer rewrites them all the while. A reader that took bytes
  // mid-write would see two numbers.
  ENGHANDLE w = Create("torn", "ID,Integer;COPY,Char,8000");
  auto text_of = [](int32_t v) {
    std::string one = std::to_string(v) + ",", text;
    while (text.size() + one.size() <= 8000) text += one;
    return text;
  };
  auto put = [&](ENGHANDLE h, int32_t v) {
    std::string text = text_of(v);
    return EngSetFieldRaw(h, 1, reinterpret_cast<uint8_t*>(&v), 4) == ENG_OK &&
           EngSetField(h, 2, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())) ==
               ENG_OK &&
           EngWriteRecord(h) == ENG_OK;
  };
  for (int32_t i = 1; i <= 10; ++i) {
    ENG_OK_(EngAppendRecord(w));
    ASSERT_TRUE(put(w, i));
  }
  ENGHANDLE r = Open("torn");
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread writer([&] {
    for (int32_t v = 1000; v < 11000; ++v)
      if (EngGotoRecord(w, static_cast<uint32_t>(v % 10 + 1)) != ENG_OK || !put(w, v)) ++failures;
    done = true;
  });
  long checked = 0;
  uint32_t length = 0;
  EngGetRecordLength(r, &length);
  std::vector<uint8_t> raw(length);
  while (!done) {
    for (EngGotoTop(r); !Eof(r); EngSkip(r, 1)) {
      uint32_t len = length;
      if (EngGetRecord(r, raw.data(), &len) != ENG_OK) {
        ++failures;
        continue;
      }
      int32_t id;
      std::memcpy(&id, raw.data(), 4);
      std::string text = text_of(id);
      if (std::memcmp(raw.data() + 4, text.data(), text.size()) != 0) ++failures;
      ++checked;
    }
    ENG_OK_(EngGotoRecord(r, static_cast<uint32_t>(checked % 10 + 1)));
  }
  writer.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(checked, 0);
  EngCloseTable(w);
  EngCloseTable(r);
}

TEST_F(EngineTest, HandleLookupsStayExactAcrossManyHandlesClosesAndThreads) {
  // More handles in turn than the thread keeps lookups of, one of them an
  // index handle whose table handle is looked up with it.
  ENGHANDLE t[6];
  for (int k = 0; k < 6; ++k) {
    std::string name = "many" + std::to_string(k);
    t[k] = Create(name.c_str(), "ID,Integer");
    for (int32_t i = 1; i <= 3; ++i) Append(t[k], 10 * k + i);
  }
  ENG_OK_(EngCloseTable(t[0]));
  t[0] = Open("many0", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngCreateIndex(t[0], "BYID", "ID", ENG_INDEX_DESCENDING, 512, nullptr));
  ENGHANDLE index = 0;
  ENG_OK_(EngGetIndexHandle(t[0], "BYID", &index));
  ENG_OK_(EngGotoTop(index));
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Id(index), 3 - round);  // descending: 3, 2, 1
    ENG_OK_(EngSkip(index, 1));
    for (int k = 1; k < 6; ++k) {
      ENG_OK_(EngGotoRecord(t[k], static_cast<uint32_t>(round + 1)));
      EXPECT_EQ(Id(t[k]), 10 * k + round + 1);
    }
  }
  EXPECT_TRUE(Eof(index));
  // Closed on this thread: every call on it fails cleanly, on the table,
  // its index and (set field looks the handle up once for both kinds) both.
  ENG_OK_(EngCloseTable(t[0]));
  EXPECT_EQ(EngGotoRecord(t[0], 1), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(EngSkip(index, 1), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(EngSetField(t[0], 1, reinterpret_cast<const uint8_t*>("1"), 1), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(EngSetFieldRaw(index, 1, reinterpret_cast<const uint8_t*>("1234"), 4), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  uint32_t n = 0;
  EXPECT_EQ(EngGetRecordCount(t[0], ENG_IGNOREFILTERS, &n), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(Id(t[1]), 13);
  // Closed by another thread while this one has it among its lookups.
  ENG_OK_(EngGotoRecord(t[1], 2));
  std::thread closer([&] { EngCloseTable(t[1]); });
  closer.join();
  EXPECT_EQ(EngGotoRecord(t[1], 1), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(EngGetRecordNum(t[1], ENG_IGNOREFILTERS, &n), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  // Used from several threads at once, each call still exact: every
  // thread moves its own handle and reads another's as well.
  std::vector<std::thread> users;
  std::atomic<int> wrong{0};
  for (int k = 2; k < 6; ++k)
    users.emplace_back([&, k] {
      for (int i = 0; i < 2000; ++i) {
        uint32_t recno = static_cast<uint32_t>(i % 3 + 1), other = 0;
        if (EngGotoRecord(t[k], recno) != ENG_OK || Id(t[k]) != 10 * k + static_cast<int32_t>(recno)) ++wrong;
        if (EngGetRecordNum(t[(k + 1) % 4 + 2], ENG_IGNOREFILTERS, &other) != ENG_OK || other > 3) ++wrong;
      }
    });
  for (auto& u : users) u.join();
  EXPECT_EQ(wrong.load(), 0);
  for (int k = 2; k < 6; ++k) EngCloseTable(t[k]);
}

}  // namespace
