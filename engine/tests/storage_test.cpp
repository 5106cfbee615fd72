// Table storage through the C interface: field layouts and empty patterns,
// the life of a record, navigation at both ends, sharing between handles
// and processes, locks and error codes.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "test_util.h"

using engtest::EngineTest;

namespace {

const char* kAllTypes =
    "L,Logical;N,Numeric,8,2;D,Date;S,Char,10;M,Memo;B,Binary;I,Image;V,Varchar,50;C,CompactDate;"
    "DB,Double;IN,Integer;SI,ShortInt;T,Time;TS,TimeStamp;A,AutoInc;R,Raw,6;CU,CurDouble";

uint32_t U32(const std::vector<uint8_t>& r, size_t off) {
  uint32_t v;
  std::memcpy(&v, r.data() + off, 4);
  return v;
}

TEST_F(EngineTest, EveryFieldTypeHasItsLayoutAndEmptyPattern) {
  ENGHANDLE t = Create("types", kAllTypes);
  uint16_t n = 0;
  ENG_OK_(EngGetNumFields(t, &n));
  ASSERT_EQ(n, 17);
  const uint32_t lengths[] = {1, 8, 4, 10, 8, 8, 8, 8, 3, 8, 4, 2, 4, 8, 4, 6, 8};
  uint32_t offset = 0;
  for (uint16_t f = 1; f <= n; ++f) {
    uint16_t type = 0;
    uint32_t len = 0, off = 0;
    ENG_OK_(EngGetFieldType(t, f, &type));
    ENG_OK_(EngGetFieldLength(t, f, &len));
    ENG_OK_(EngGetFieldOffset(t, f, &off));
    EXPECT_EQ(type, f) << "field " << f;
    EXPECT_EQ(len, lengths[f - 1]) << "field " << f;
    EXPECT_EQ(off, offset) << "field " << f;
    offset += len;
  }
  uint32_t reclen = 0;
  ENG_OK_(EngGetRecordLength(t, &reclen));
  EXPECT_EQ(reclen, offset);
  uint16_t dec = 0;
  ENG_OK_(EngGetFieldDecimals(t, 2, &dec));
  EXPECT_EQ(dec, 2);

  // The empty record: blank logical, zeros, and the sentinel patterns.
  std::vector<uint8_t> empty(reclen);
  uint32_t len = reclen;
  ENG_OK_(EngClearRecordBuffer(t, empty.data(), &len));
  EXPECT_EQ(empty[0], ' ');
  EXPECT_EQ(U32(empty, 58), 32u);           // double: first word 32
  EXPECT_EQ(U32(empty, 62), 0x80000000u);   //         second word
  EXPECT_EQ(U32(empty, 66), 0x80000000u);   // integer
  EXPECT_EQ(empty[70], 0x00);               // short integer -32768
  EXPECT_EQ(empty[71], 0x80);
  EXPECT_EQ(U32(empty, 72), 0xFFFFFFFFu);   // time -1
  EXPECT_EQ(U32(empty, 76), 0u);            // time stamp: day 0
  EXPECT_EQ(U32(empty, 80), 0xFFFFFFFFu);   //             ms -1
  EXPECT_EQ(U32(empty, 98), 0x80000000u);   // money: as double
  ENG_OK_(EngAppendRecord(t));
  ENG_OK_(EngWriteRecord(t));
  for (uint16_t f = 1; f <= n; ++f) {
    uint16_t e = 0;
    ENG_OK_(EngIsEmpty(t, f, &e));
    if (f == 15) {
      EXPECT_FALSE(e) << "autoincrement is set at append";
    } else {
      EXPECT_TRUE(e) << "field " << f;
    }
  }
  EngCloseTable(t);
}

TEST_F(EngineTest, FieldDefinitionsAreChecked) {
  ENGHANDLE h = 0;
  EXPECT_EQ(EngCreateTable(conn_, "bad", "A,Char,10;a,Integer", 0, &h), (ENGRESULT)ENG_ERR_INVALID_FIELD_DEF);
  EXPECT_NE(engtest::LastError().find("used twice"), std::string::npos);
  EXPECT_EQ(EngCreateTable(conn_, "bad", "A,Char,0", 0, &h), (ENGRESULT)ENG_ERR_INVALID_FIELD_DEF);
  EXPECT_EQ(EngCreateTable(conn_, "bad", "A,Numeric,40,2", 0, &h), (ENGRESULT)ENG_ERR_INVALID_FIELD_DEF);
  EXPECT_EQ(EngCreateTable(conn_, "bad", "A,Widget,4", 0, &h), (ENGRESULT)ENG_ERR_INVALID_FIELD_DEF);
  EXPECT_NE(engtest::LastError().find("Widget"), std::string::npos);
  EXPECT_EQ(EngCreateTable(conn_, "bad", std::string(129, 'X').append(",Integer").c_str(), 0, &h),
            (ENGRESULT)ENG_ERR_INVALID_FIELD_DEF);
  EXPECT_EQ(EngCreateTable(conn_, "bad", "", 0, &h), (ENGRESULT)ENG_ERR_INVALID_FIELD_DEF);
  // A valid table cannot be created twice.
  ENGHANDLE t = Create("twice", "A,Char,4");
  EngCloseTable(t);
  EXPECT_EQ(EngCreateTable(conn_, "TWICE", "A,Char,4", 0, &h), (ENGRESULT)ENG_ERR_FILE_EXISTS);
}

TEST_F(EngineTest, RecordLifeAppendCancelUpdateDeletePackZap) {
  ENGHANDLE t = Create("life", "ID,Integer;NAME,Char,8;NOTE,Memo");
  for (int i = 1; i <= 5; ++i) {
    ENG_OK_(EngAppendRecord(t));
    EXPECT_EQ(RecNo(t), (uint32_t)i);
    int32_t v = i * 10;
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&v), 4));
    SetText(t, 2, "n" + std::to_string(i));
    SetText(t, 3, std::string(100 * i, 'a' + i));
    ENG_OK_(EngWriteRecord(t));
  }
  // A cancelled append leaves no record behind.
  ENG_OK_(EngAppendRecord(t));
  ENG_OK_(EngCancelUpdate(t));
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(EngCancelUpdate(t), (ENGRESULT)ENG_ERR_NO_PENDING_UPDATE);

  // Update: the string is blank-padded and cut to the field's length.
  ENG_OK_(EngGotoRecord(t, 2));
  SetText(t, 2, "a much longer name");
  ENG_OK_(EngWriteRecord(t));
  EXPECT_EQ(Text(t, 2), "a much l");
  SetText(t, 2, "ab");
  ENG_OK_(EngWriteRecord(t));
  EXPECT_EQ(Text(t, 2), "ab      ");
  EXPECT_EQ(Text(t, 3), std::string(200, 'c'));

  // Delete: gone from every navigation; numbers stay until pack.
  ENG_OK_(EngGotoRecord(t, 3));
  ENG_OK_(EngDeleteRecord(t));
  ENG_OK_(EngWriteRecord(t));
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1, 2, 4, 5}));
  EXPECT_EQ(EngGotoRecord(t, 3), (ENGRESULT)ENG_ERR_NO_SUCH_RECORD);
  uint32_t count = 0;
  ENG_OK_(EngGetRecordCount(t, ENG_IGNOREFILTERS, &count));
  EXPECT_EQ(count, 4u);

  // Pack needs exclusive use, renumbers, and keeps memo contents.
  EXPECT_EQ(EngPackTable(t), (ENGRESULT)ENG_ERR_NEEDS_EXCLUSIVE);
  EngCloseTable(t);
  t = Open("life", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngPackTable(t));
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1, 2, 3, 4}));
  ENG_OK_(EngGotoRecord(t, 3));
  EXPECT_EQ(Text(t, 2), "n4      ");
  EXPECT_EQ(Text(t, 3), std::string(400, 'e'));
  ENG_OK_(EngGotoRecord(t, 4));
  EXPECT_EQ(Text(t, 3), std::string(500, 'f'));

  ENG_OK_(EngZapTable(t));
  EXPECT_TRUE(Walk(t).empty());
  EXPECT_TRUE(Eof(t) && Bof(t));
  // The table is usable after a zap.
  ENG_OK_(EngAppendRecord(t));
  ENG_OK_(EngWriteRecord(t));
  EXPECT_EQ(Walk(t), (std::vector<uint32_t>{1}));
  EngCloseTable(t);
}

TEST_F(EngineTest, NavigationAtBothEndsAndOnEmptyTables) {
  ENGHANDLE t = Create("nav", "ID,Integer");
  ENG_OK_(EngGotoTop(t));
  EXPECT_TRUE(Eof(t) && Bof(t));
  ENG_OK_(EngSkip(t, 1));
  EXPECT_TRUE(Eof(t) && Bof(t));
  ENG_OK_(EngGotoBottom(t));
  EXPECT_TRUE(Eof(t) && Bof(t));
  uint16_t vis = 0;
  EXPECT_EQ(EngIsRecordVisible(t, &vis), (ENGRESULT)ENG_ERR_NO_CURRENT_RECORD);
  uint8_t buf[16];
  uint32_t len = sizeof buf;
  EXPECT_EQ(EngGetRecord(t, buf, &len), (ENGRESULT)ENG_ERR_NO_CURRENT_RECORD);

  for (int i = 0; i < 3; ++i) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngWriteRecord(t));
  }
  // Before the first record, then forward onto it.
  ENG_OK_(EngGotoTop(t));
  ENG_OK_(EngSkip(t, -1));
  EXPECT_TRUE(Bof(t));
  EXPECT_FALSE(Eof(t));
  ENG_OK_(EngSkip(t, 1));
  EXPECT_EQ(RecNo(t), 1u);
  EXPECT_FALSE(Bof(t));
  // Past the last record, then back onto it.
  ENG_OK_(EngGotoBottom(t));
  EXPECT_EQ(RecNo(t), 3u);
  ENG_OK_(EngSkip(t, 1));
  EXPECT_TRUE(Eof(t));
  EXPECT_EQ(RecNo(t), 0u);
  ENG_OK_(EngSkip(t, 1));
  EXPECT_TRUE(Eof(t));
  ENG_OK_(EngSkip(t, -1));
  EXPECT_EQ(RecNo(t), 3u);
  ENG_OK_(EngSkip(t, -5));
  EXPECT_TRUE(Bof(t));
  ENG_OK_(EngSkip(t, 2));
  EXPECT_EQ(RecNo(t), 2u);
  // Skipping from a deleted record continues from its place.
  ENG_OK_(EngDeleteRecord(t));
  ENG_OK_(EngSkip(t, 1));
  EXPECT_EQ(RecNo(t), 3u);
  ENG_OK_(EngDeleteRecord(t));
  ENG_OK_(EngSkip(t, 1));
  EXPECT_TRUE(Eof(t));
  ENG_OK_(EngSkip(t, -1));
  EXPECT_EQ(RecNo(t), 1u);
  // Bookmarks name records.
  uint8_t bm[8];
  uint32_t bmlen = sizeof bm;
  ENG_OK_(EngGetBookmarkEx(t, bm, &bmlen));
  ENG_OK_(EngGotoBottom(t));
  ENG_OK_(EngGotoBookmark(t, bm, bmlen));
  EXPECT_EQ(RecNo(t), 1u);
  EngCloseTable(t);
}

TEST_F(EngineTest, ChangesAreSeenAtOnceByOtherHandles) {
  ENGHANDLE a = Create("shared", "ID,Integer;NAME,Char,6");
  ENGHANDLE b = Open("SHARED.ADT");
  ENG_OK_(EngAppendRecord(a));
  SetText(a, 2, "first");
  // Not yet written: the other handle sees nothing.
  EXPECT_TRUE(Walk(b).empty());
  ENG_OK_(EngWriteRecord(a));
  EXPECT_EQ(Walk(b), (std::vector<uint32_t>{1}));
  ENG_OK_(EngGotoTop(b));
  EXPECT_EQ(Text(b, 2), "first ");
  SetText(a, 2, "second");
  ENG_OK_(EngWriteRecord(a));
  EXPECT_EQ(Text(b, 2), "second");
  // A write only changes the fields it set: b's change to ID keeps a's name.
  int32_t id = 7;
  ENG_OK_(EngSetFieldRaw(b, 1, reinterpret_cast<uint8_t*>(&id), 4));
  SetText(a, 2, "third");
  ENG_OK_(EngWriteRecord(a));
  ENG_OK_(EngWriteRecord(b));
  EXPECT_EQ(Text(a, 2), "third ");
  EXPECT_EQ(Text(a, 1), "7");
  EngCloseTable(a);
  EngCloseTable(b);
}

TEST_F(EngineTest, ExclusiveOpensAndRecordLocksBetweenHandles) {
  ENGHANDLE a = Create("locks", "ID,Integer");
  ENG_OK_(EngAppendRecord(a));
  ENG_OK_(EngWriteRecord(a));
  ENGHANDLE x = 0;
  EXPECT_EQ(EngOpenTable(conn_, "locks", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &x), (ENGRESULT)ENG_ERR_TABLE_LOCKED);
  EXPECT_NE(engtest::LastError().find("locks"), std::string::npos);

  ENGHANDLE b = Open("locks");
  ENG_OK_(EngGotoTop(b));
  ENG_OK_(EngLockRecord(a, 1));
  EXPECT_EQ(EngLockRecord(b, 1), (ENGRESULT)ENG_ERR_RECORD_LOCKED);
  EXPECT_NE(engtest::LastError().find("Record 1"), std::string::npos);
  SetText(b, 1, "5");
  EXPECT_EQ(EngWriteRecord(b), (ENGRESULT)ENG_ERR_RECORD_LOCKED);
  ENG_OK_(EngCancelUpdate(b));
  ENG_OK_(EngUnlockRecord(a, 1));
  ENG_OK_(EngLockRecord(b, 1));
  // Closing a table releases its locks.
  EngCloseTable(b);
  ENG_OK_(EngLockRecord(a, 1));
  EngCloseTable(a);

  // Exclusive use keeps everyone else out until it ends.
  x = Open("locks", ENG_OPEN_EXCLUSIVE);
  ENGHANDLE y = 0;
  EXPECT_EQ(EngOpenTable(conn_, "locks", nullptr, 3, 1, 1, 2, 0, &y), (ENGRESULT)ENG_ERR_TABLE_LOCKED);
  EngCloseTable(x);
  y = Open("locks");
  EngCloseTable(y);
}

using engtest::InChild;

TEST_F(EngineTest, ExclusiveOpensAndLocksHoldBetweenProcesses) {
  ENGHANDLE a = Create("proc", "ID,Integer;NAME,Char,8");
  ENG_OK_(EngAppendRecord(a));
  ENG_OK_(EngWriteRecord(a));
  ENG_OK_(EngLockRecord(a, 1));
  std::string dir = dir_.path();
  // Another process can neither lock nor write the locked record, nor open exclusively.
  int rc = InChild([&] {
    ENGHANDLE c = 0, t = 0;
    if (EngConnect(dir.c_str(), &c)) return 1;
    if (EngOpenTable(c, "proc", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &t) != ENG_ERR_TABLE_LOCKED) return 2;
    if (EngOpenTable(c, "proc", nullptr, 3, 1, 1, 2, 0, &t)) return 3;
    if (EngLockRecord(t, 1) != ENG_ERR_RECORD_LOCKED) return 4;
    EngGotoTop(t);
    EngSetField(t, 2, reinterpret_cast<const uint8_t*>("child"), 5);
    if (EngWriteRecord(t) != ENG_ERR_RECORD_LOCKED) return 5;
    EngCancelUpdate(t);
    // An append needs no lock and is seen by the parent.
    if (EngAppendRecord(t) || EngWriteRecord(t)) return 6;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Walk(a), (std::vector<uint32_t>{1, 2}));
  ENG_OK_(EngUnlockRecord(a, 1));
  EngCloseTable(a);
  a = Open("proc", ENG_OPEN_EXCLUSIVE);
  rc = InChild([&] {
    ENGHANDLE c = 0, t = 0;
    if (EngConnect(dir.c_str(), &c)) return 1;
    return EngOpenTable(c, "proc", nullptr, 3, 1, 1, 2, 0, &t) == ENG_ERR_TABLE_LOCKED ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
  EngCloseTable(a);
  // A lock held by a process that dies without unlocking is released with it.
  rc = InChild([&] {
    ENGHANDLE c = 0, t = 0;
    if (EngConnect(dir.c_str(), &c) || EngOpenTable(c, "proc", nullptr, 3, 1, 1, 2, 0, &t)) return 1;
    if (EngLockRecord(t, 2)) return 2;
    ::_exit(0);  // no unlock, no close
  });
  EXPECT_EQ(rc, 0);
  a = Open("proc");
  ENG_OK_(EngLockRecord(a, 2));
  EngCloseTable(a);
}

// A second handle of a process that has the table open already takes the
// short way in; it must still count as a user for everyone else, keep its
// own record locks, and leave the table free once every handle is closed.
TEST_F(EngineTest, ASecondHandleOfOneProcessCountsAsAUserOfItsOwn) {
  ENGHANDLE a = Create("twice", "ID,Integer;NAME,Char,8");
  for (int i = 0; i < 2; ++i) {
    ENG_OK_(EngAppendRecord(a));
    ENG_OK_(EngWriteRecord(a));
  }
  EngCloseTable(a);
  const std::string dir = dir_.path();
  auto childOpens = [&](uint32_t options) {
    return InChild([&] {
      ENGHANDLE c = 0, t = 0;
      if (EngConnect(dir.c_str(), &c)) return 10;
      ENGRESULT r = EngOpenTable(c, "twice", nullptr, 3, 1, 1, 2, options, &t);
      if (r == ENG_ERR_TABLE_LOCKED) return 1;
      if (r != ENG_OK) return 11;
      if (EngLockRecord(t, 2) == ENG_ERR_RECORD_LOCKED) return 2;
      return 0;
    });
  };
  ENGHANDLE first = Open("twice");
  ENGHANDLE second = Open("twice");
  ENGHANDLE third = 0;
  EXPECT_EQ(EngOpenTable(conn_, "twice", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &third),
            (ENGRESULT)ENG_ERR_TABLE_LOCKED);
  ENG_OK_(EngLockRecord(second, 2));
  EXPECT_EQ(EngLockRecord(first, 2), (ENGRESULT)ENG_ERR_RECORD_LOCKED);
  // With the first handle gone the second one alone keeps others out of
  // exclusive use, and its record lock holds for another process too.
  EngCloseTable(first);
  EXPECT_EQ(childOpens(ENG_OPEN_EXCLUSIVE), 1);
  EXPECT_EQ(childOpens(0), 2);
  EngCloseTable(second);
  EXPECT_EQ(childOpens(ENG_OPEN_EXCLUSIVE), 0);

  // A handle of this process opened exclusively keeps its own process's
  // later opens out as well.
  ENGHANDLE only = Open("twice", ENG_OPEN_EXCLUSIVE);
  EXPECT_EQ(EngOpenTable(conn_, "twice", nullptr, 3, 1, 1, 2, 0, &third), (ENGRESULT)ENG_ERR_TABLE_LOCKED);
  EXPECT_NE(engtest::LastError().find("exclusively"), std::string::npos);
  EngCloseTable(only);
  ENGHANDLE again = Open("twice");
  EXPECT_NE(again, 0u);
  EngCloseTable(again);
}

TEST_F(EngineTest, ErrorCodesMeanWhatCallersExpect) {
  ENGHANDLE t = Create("codes", "ID,Integer");
  EXPECT_EQ(EngGotoRecord(t, 99), (ENGRESULT)ENG_ERR_NO_SUCH_RECORD);
  uint8_t bm[4] = {5, 0, 0, 0};
  EXPECT_EQ(EngGotoBookmark(t, bm, 4), (ENGRESULT)ENG_ERR_NO_SUCH_RECORD);
  EXPECT_EQ(EngCancelUpdate(t), (ENGRESULT)ENG_ERR_NO_PENDING_UPDATE);
  uint16_t b;
  EXPECT_EQ(EngIsRecordVisible(t, &b), (ENGRESULT)ENG_ERR_NO_CURRENT_RECORD);
  EXPECT_EQ(EngGetFieldType(t, 9, &b), (ENGRESULT)ENG_ERR_INVALID_FIELD);
  ENGHANDLE missing = 0;
  EXPECT_EQ(EngOpenTable(conn_, "nothere", nullptr, 3, 1, 1, 2, 0, &missing), (ENGRESULT)ENG_ERR_FILE_NOT_FOUND);
  EXPECT_NE(engtest::LastError().find("nothere"), std::string::npos);
  EXPECT_NE(engtest::LastError().find("does not exist"), std::string::npos);
  // A folder that carries a table's name is no table either.
  ASSERT_EQ(::mkdir(dir_.File("folder.adt").c_str(), 0755), 0);
  EXPECT_EQ(EngOpenTable(conn_, "folder", nullptr, 3, 1, 1, 2, 0, &missing), (ENGRESULT)ENG_ERR_FILE_NOT_FOUND);
  EXPECT_NE(engtest::LastError().find("folder"), std::string::npos);
  EngCloseTable(t);
  EXPECT_EQ(EngCloseTable(t), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  ENGHANDLE c2 = 0;
  ENG_OK_(EngConnect(dir_.path().c_str(), &c2));
  ENG_OK_(EngDisconnect(c2));
  EXPECT_EQ(EngDisconnect(c2), (ENGRESULT)ENG_ERR_INVALID_CONNECTION);
  EXPECT_EQ(EngConnect("/no/such/folder", &c2), (ENGRESULT)ENG_ERR_CONNECT);
  // Texts report what is needed when a buffer is short.
  char small[3];
  uint16_t len = sizeof small;
  ENG_OK_(EngConnect(dir_.path().c_str(), &c2));
  EXPECT_EQ(EngGetServerName(c2, small, &len), (ENGRESULT)ENG_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 5);
  EngDisconnect(c2);
}

TEST_F(EngineTest, DisconnectClosesEverythingOpenedThroughIt) {
  ENGHANDLE t = Create("owned", "ID,Integer");
  ENGHANDLE u = Open("owned");
  ENG_OK_(EngDisconnect(conn_));
  uint16_t type;
  EXPECT_EQ(EngGetHandleType(t, &type), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(EngGetHandleType(u, &type), (ENGRESULT)ENG_ERR_INVALID_HANDLE);
  ENG_OK_(EngConnect(dir_.path().c_str(), &conn_));
  // The table is no longer held: exclusive use is possible.
  EngCloseTable(Open("owned", ENG_OPEN_EXCLUSIVE));
}

TEST_F(EngineTest, DamagedFilesFailToOpenWithoutChange) {
  ENGHANDLE t = Create("dmg", "ID,Integer;NAME,Char,10");
  for (int i = 0; i < 3; ++i) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngWriteRecord(t));
  }
  EngCloseTable(t);
  std::string path = dir_.File("dmg.adt");
  std::ifstream in(path, std::ios::binary);
  std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto write = [&](const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  };
  auto expect_corrupt = [&](const std::string& bytes, const char* what) {
    write(bytes);
    ENGHANDLE h = 0;
    ENGRESULT rc = EngOpenTable(conn_, "dmg", nullptr, 3, 1, 1, 2, 0, &h);
    EXPECT_EQ(rc, (ENGRESULT)ENG_ERR_CORRUPT) << what;
    if (rc == 0) EngCloseTable(h);
    std::ifstream again(path, std::ios::binary);
    std::string now((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_EQ(now, bytes) << what << ": the file must stay as it was";
  };
  expect_corrupt("not a table at all", "text file");
  expect_corrupt(original.substr(0, 100), "truncated header");
  std::string lie = original;
  uint64_t fits = (original.size() - 4096) / 15;  // slots of 1 + 14 bytes after the header
  uint64_t too_many = fits + 1;
  std::memcpy(&lie[32], &too_many, 8);  // record count beyond the file
  expect_corrupt(lie, "record count");
  lie = original;
  lie[16] = 99;  // record length
  expect_corrupt(lie, "record length");
  lie = original;
  lie[256 + 130] = 42;  // field type
  expect_corrupt(lie, "field type");
  write(original);
  EngCloseTable(Open("dmg"));
}

TEST(EngineDates, JulianConversions) {
  double j = 0;
  ASSERT_EQ(EngConvertStringToJulian("20060101", 8, &j), 0u);
  EXPECT_EQ(j, 2453737);
  ASSERT_EQ(EngConvertStringToJulian("18991230", 8, &j), 0u);
  EXPECT_EQ(j, 2415019);
  char buf[16];
  uint16_t len = sizeof buf;
  ASSERT_EQ(EngConvertJulianToString(2453711, buf, &len), 0u);
  EXPECT_STREQ(buf, "20051206");
  EXPECT_EQ(EngConvertStringToJulian("20050230", 8, &j), (ENGRESULT)ENG_ERR_VALUE);
  EXPECT_EQ(EngConvertStringToJulian("2005ab01", 8, &j), (ENGRESULT)ENG_ERR_VALUE);
}

}  // namespace
