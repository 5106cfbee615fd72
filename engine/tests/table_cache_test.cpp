// A table closed by its last handle stays loaded in the process for a quick
// reopen. These cases change the table while it sits there closed (from
// another process, through SQL, and by writing its file directly) and check
// that the next open sees the table as it is on disk, never the old copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "test_util.h"

using engtest::EngineTest;

namespace {

using engtest::InChild;

class TableCacheTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ENGHANDLE t = Create("cached", "ID,Integer;NAME,Char,8");
    for (int32_t id : {30, 10}) Add(t, id, "parent");
    EngCloseTable(t);
  }
  static void Add(ENGHANDLE t, int32_t id, const std::string& name) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4));
    SetText(t, 2, name);
    ENG_OK_(EngWriteRecord(t));
  }
  static int32_t Id(ENGHANDLE t) {
    std::vector<uint8_t> r = Record(t);
    int32_t id;
    std::memcpy(&id, r.data(), 4);
    return id;
  }
  static uint16_t FieldCount(ENGHANDLE t) {
    uint16_t n = 0;
    EXPECT_EQ(EngGetNumFields(t, &n), 0u) << engtest::LastError();
    return n;
  }
  static int Sql(ENGHANDLE conn, const char* text) {
    ENGHANDLE s = 0, c = 0;
    if (EngCreateSQLStatement(conn, &s)) return 1;
    ENGRESULT rc = EngExecuteSQLDirect(s, text, &c);
    EngCloseSQLStatement(s);
    return rc == ENG_OK ? 0 : 2;
  }
};

TEST_F(TableCacheTest, ChangesByAnotherProcessWhileClosedAreSeenOnReopen) {
  // Opened and closed here first, so the table is cached when the child runs.
  EngCloseTable(Open("cached"));
  std::string dir = dir_.path();
  int rc = InChild([&] {
    ENGHANDLE c = 0, t = 0, idx = 0;
    if (EngConnect(dir.c_str(), &c)) return 1;
    if (EngOpenTable(c, "cached", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &t)) return 2;
    int32_t id = 20;
    if (EngAppendRecord(t) || EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4) || EngWriteRecord(t))
      return 3;
    if (EngCreateIndex(t, "BYID", "ID", 0, 0, &idx)) return 4;
    return EngCloseTable(t) ? 5 : 0;
  });
  ASSERT_EQ(rc, 0);
  ENGHANDLE t = Open("cached");
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1, 2, 3}));
  ENGHANDLE idx = 0;
  ENG_OK_(EngGetIndexHandle(t, "BYID", &idx));
  std::vector<int32_t> ids;
  for (EngGotoTop(idx); !Eof(idx); EngSkip(idx, 1)) ids.push_back(Id(t));  // the index moves the table's position
  EXPECT_EQ(ids, (std::vector<int32_t>{10, 20, 30}));
  // A change made here is kept by the index the child created.
  Add(t, 5, "parent");
  EngGotoTop(idx);
  EXPECT_EQ(Id(t), 5);
  EngCloseTable(t);

  // The child restructures the table and then drops it and makes another
  // table of that name: each time the reopen shows the new layout.
  rc = InChild([&] {
    ENGHANDLE c = 0;
    if (EngConnect(dir.c_str(), &c)) return 1;
    return Sql(c, "ALTER TABLE cached ADD COLUMN NOTE char(12)");
  });
  ASSERT_EQ(rc, 0);
  t = Open("cached");
  EXPECT_EQ(FieldCount(t), 3);
  EXPECT_EQ(Walk(t).size(), 4u);
  EngCloseTable(t);
  rc = InChild([&] {
    ENGHANDLE c = 0;
    if (EngConnect(dir.c_str(), &c)) return 1;
    if (Sql(c, "DROP TABLE cached")) return 2;
    return Sql(c, "CREATE TABLE cached (A integer, B integer, C integer, D char(3))") ? 3 : 0;
  });
  ASSERT_EQ(rc, 0);
  t = Open("cached");
  EXPECT_EQ(FieldCount(t), 4);
  EXPECT_TRUE(Walk(t).empty());
  EngCloseTable(t);
}

TEST_F(TableCacheTest, AlterInThisProcessGivesTheNewLayoutAtOnce) {
  EngCloseTable(Open("cached"));
  ASSERT_EQ(Sql(conn_, "ALTER TABLE cached DROP COLUMN NAME"), 0) << engtest::LastError();
  ENGHANDLE t = Open("cached");
  EXPECT_EQ(FieldCount(t), 1);
  uint32_t length = 0;
  ENG_OK_(EngGetRecordLength(t, &length));
  EXPECT_EQ(length, 4u);
  EngGotoTop(t);
  EXPECT_EQ(Id(t), 30);
  EngCloseTable(t);
}

TEST_F(TableCacheTest, AFileRewrittenOutsideTheEngineIsReadAgain) {
  EngCloseTable(Open("cached"));
  // A copy of the file taken now has two records; a third is added, then
  // the copy is written back over the same file (same inode, no journal).
  std::string path = dir_.File("cached.adt");
  std::ifstream in(path, std::ios::binary);
  std::string two((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  ENGHANDLE t = Open("cached");
  Add(t, 40, "third");
  EngCloseTable(t);
  {
    std::ofstream out(path, std::ios::binary | std::ios::in);
    out.write(two.data(), static_cast<std::streamsize>(two.size()));
  }
  t = Open("cached");
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1, 2}));
  EngCloseTable(t);
  // A header made invalid is refused as at a first open, file untouched.
  std::string bad = two;
  bad[16] = 99;  // record length
  {
    std::ofstream out(path, std::ios::binary | std::ios::in);
    out.write(bad.data(), static_cast<std::streamsize>(bad.size()));
  }
  ENGHANDLE h = 0;
  EXPECT_EQ(EngOpenTable(conn_, "cached", nullptr, 3, 1, 1, 2, 0, &h), (ENGRESULT)ENG_ERR_CORRUPT);
}

TEST_F(TableCacheTest, AnEncryptedTableNeedsItsPasswordAgainAfterClosing) {
  ENGHANDLE t = Open("cached", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngEnableEncryption(t, "pass word"));
  ENG_OK_(EngEncryptTable(t));
  EngCloseTable(t);
  t = Open("cached");
  ENG_OK_(EngEnableEncryption(t, "pass word"));
  ENG_OK_(EngGotoTop(t));
  EXPECT_EQ(Id(t), 30);
  EngCloseTable(t);
  t = Open("cached");
  EXPECT_EQ(EngGotoTop(t), (ENGRESULT)ENG_ERR_ENCRYPTED);
  EngCloseTable(t);
}

}  // namespace

namespace {

// While another process holds the table exclusively, a table this process
// has closed and cached is refused like any other; when that process lets
// go (here: dies), the reopen sees what it wrote.
TEST_F(TableCacheTest, AnExclusiveUserElsewhereKeepsTheCachedTableClosed) {
  EngCloseTable(Open("cached"));
  const std::string dir = dir_.path();
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ENGHANDLE c = 0, t = 0;
    if (EngConnect(dir.c_str(), &c) || EngOpenTable(c, "cached", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &t))
      ::_exit(1);
    int32_t id = 40;
    if (EngAppendRecord(t) || EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4) || EngWriteRecord(t))
      ::_exit(2);
    char go = 'r';
    if (::write(ready[1], &go, 1) != 1 || ::read(release[0], &go, 1) != 1) ::_exit(3);
    ::_exit(0);  // no close: the process's end releases the table
  }
  char go = 0;
  ASSERT_EQ(::read(ready[0], &go, 1), 1);
  ENGHANDLE t = 0;
  EXPECT_EQ(EngOpenTable(conn_, "cached", nullptr, 3, 1, 1, 2, 0, &t), (ENGRESULT)ENG_ERR_TABLE_LOCKED);
  EXPECT_NE(engtest::LastError().find("exclusively"), std::string::npos) << engtest::LastError();
  ASSERT_EQ(::write(release[1], &go, 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  t = Open("cached");
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1, 2, 3}));
  EngCloseTable(t);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

// A table's files replaced by rename while a kept listing of the folder
// still names the old file: a reopen by another spelling, whether the old
// table is only cached or still open through another handle, reads the
// files now under the name.
TEST_F(TableCacheTest, AReopenByAnotherSpellingReadsTheFilesNowUnderTheName) {
  namespace fs = std::filesystem;
  auto make = [&](const char* name, int records) {
    ENGHANDLE t = Create(name, "ID,Integer;NAME,Char,8");
    for (int32_t id = 1; id <= records; ++id) Add(t, id, name);
    EngCloseTable(t);
  };
  auto putInPlace = [&](const std::string& from) {
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("cached.", 0) == 0) fs::remove(e.path());
    }
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind(from + ".", 0) == 0) fs::rename(e.path(), dir_.File("cached" + name.substr(from.size())));
    }
  };
  // A folder changed this long ago counts as settled: its listing is kept.
  auto settle = [&](time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir_.path().c_str(), times, 0), 0);
  };
  auto records = [&](ENGHANDLE t) { return Walk(t).size(); };
  // Another process cannot have the files now under the name to itself
  // while a handle here has them open.
  const std::string dir = dir_.path();
  auto heldHere = [&] {
    return InChild([&] {
      ENGHANDLE c = 0, t = 0;
      if (EngConnect(dir.c_str(), &c)) return 1;
      return EngOpenTable(c, "cached", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &t) == ENG_ERR_TABLE_LOCKED ? 0 : 2;
    }) == 0;
  };
  make("three", 3);
  make("four", 4);

  settle(1000000000);
  EngCloseTable(Open("CACHED"));  // listed, then cached with its descriptor kept
  putInPlace("three");
  ENGHANDLE held = Open("CACHED");
  EXPECT_EQ(records(held), 3u);
  EXPECT_TRUE(heldHere());

  settle(1000000100);
  EngCloseTable(Open("Cached"));  // listed again; held keeps the table open
  putInPlace("four");
  ENGHANDLE t = Open("CACHED");
  EXPECT_EQ(records(t), 4u);
  EXPECT_EQ(records(held), 3u);
  EXPECT_TRUE(heldHere());
  EngCloseTable(t);
  EngCloseTable(held);
}

}  // namespace
