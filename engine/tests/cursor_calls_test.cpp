// The combined cursor calls (EngSkipAndRead, EngLockAndRead, EngPostEdit,
// EngDeleteAndSkip): what they read and write, and that each failure has
// the code and text of the single call it stands for.
#include <cstring>

#include "test_util.h"

using engtest::EngineTest;

namespace {

// Code and text of the thread's last engine error.
struct Failure {
  uint32_t code = 0;
  std::string text;
  bool operator==(const Failure&) const = default;
};
Failure LastFailure(ENGRESULT rc) {
  Failure f;
  f.code = rc;
  char text[600] = {};
  uint16_t len = sizeof text;
  uint32_t code = 0;
  EngGetLastError(&code, text, &len);
  if (rc != 0) f.text = text;
  return f;
}
std::ostream& operator<<(std::ostream& os, const Failure& f) { return os << f.code << " " << f.text; }

class CursorCallsTest : public EngineTest {
 protected:
  // ID integer, NAME char 10, NOTE memo, SEQ autoinc, WHEN date.
  ENGHANDLE People(const char* name, std::initializer_list<int32_t> ids) {
    ENGHANDLE h = Create(name, "ID,Integer;NAME,Char,10;NOTE,Memo;SEQ,AutoInc;WHEN,Date");
    for (int32_t id : ids) {
      EXPECT_EQ(EngAppendRecord(h), 0u) << engtest::LastError();
      EXPECT_EQ(EngSetFieldRaw(h, 1, reinterpret_cast<const uint8_t*>(&id), 4), 0u) << engtest::LastError();
      SetText(h, 2, "P" + std::to_string(id));
      SetText(h, 3, "note " + std::to_string(id));
      EXPECT_EQ(EngWriteRecord(h), 0u) << engtest::LastError();
    }
    return h;
  }
  // People 1 and 2 encrypted with password, opened shared without it.
  ENGHANDLE EncryptedPeople(const char* name, const char* password) {
    EngCloseTable(People(name, {1, 2}));
    ENGHANDLE h = Open(name, ENG_OPEN_EXCLUSIVE);
    EXPECT_EQ(EngEnableEncryption(h, password), 0u) << engtest::LastError();
    EXPECT_EQ(EngEncryptTable(h), 0u) << engtest::LastError();
    EngCloseTable(h);
    return Open(name);
  }
  static std::vector<uint8_t> RecordAt(ENGHANDLE h, uint32_t recno) {
    EXPECT_EQ(EngGotoRecord(h, recno), 0u) << engtest::LastError();
    return Record(h);
  }
  static uint32_t Length(ENGHANDLE h) {
    uint32_t len = 0;
    EngGetRecordLength(h, &len);
    return len;
  }
  static int32_t Id(const std::vector<uint8_t>& raw) {
    int32_t id;
    std::memcpy(&id, raw.data(), 4);
    return id;
  }
  // Moves by `records` and reads; returns the record number read (0: none).
  // room: the buffer size (an index handle has no record length of its own).
  static uint32_t SkipRead(ENGHANDLE h, int32_t records, std::vector<uint8_t>& raw, uint16_t options = 0,
                           ENGRESULT* rc = nullptr, uint32_t room = 0) {
    raw.assign(room ? room : Length(h), 0xEE);
    uint32_t len = static_cast<uint32_t>(raw.size()), recno = 99;
    ENGRESULT r = EngSkipAndRead(h, records, options, raw.data(), &len, &recno);
    if (rc) *rc = r;
    EXPECT_TRUE(rc || r == 0) << engtest::LastError();
    return recno;
  }
  static bool Locked(ENGHANDLE other, uint32_t recno) {
    ENGRESULT r = EngLockRecord(other, recno);
    if (r == 0) EngUnlockRecord(other, recno);
    return r == ENG_ERR_RECORD_LOCKED;
  }
  // EngPostEdit with no memos; returns its result and the record read.
  static ENGRESULT Post(ENGHANDLE h, uint32_t recno, const std::vector<uint8_t>& raw, uint16_t options,
                        std::vector<uint8_t>* out, uint32_t* read, const ENGFIELDTEXT* memos = nullptr,
                        uint16_t memoCount = 0) {
    out->assign(Length(h), 0xEE);
    uint32_t len = static_cast<uint32_t>(out->size());
    *read = 99;
    return EngPostEdit(h, recno, raw.data(), static_cast<uint32_t>(raw.size()), memos, memoCount, options,
                       out->data(), &len, read);
  }
  // The single calls that EngPostEdit stands for.
  static ENGRESULT PostOneByOne(ENGHANDLE h, uint32_t recno, const std::vector<uint8_t>& raw) {
    ENGRESULT r = EngGotoRecord(h, recno);
    uint16_t count = 0;
    EngGetNumFields(h, &count);
    for (uint16_t f = count; r == 0 && f >= 1; --f) {
      uint16_t type = 0;
      uint32_t length = 0, offset = 0;
      EngGetFieldType(h, f, &type);
      EngGetFieldLength(h, f, &length);
      EngGetFieldOffset(h, f, &offset);
      if ((type >= ENG_MEMO && type <= ENG_VARCHAR) || type == ENG_AUTOINC) continue;
      const uint8_t* bytes = raw.data() + offset;
      if (type == ENG_STRING) {
        bool blanks = true;
        for (uint32_t i = 0; i < length; ++i) blanks = blanks && bytes[i] == ' ';
        r = blanks ? EngSetEmpty(h, f) : EngSetField(h, f, bytes, length);
      } else {
        r = EngSetFieldRaw(h, f, bytes, length);
      }
    }
    if (r == 0) r = EngWriteRecord(h);
    return r;
  }
};

TEST_F(CursorCallsTest, SkipAndReadWalksBothWaysAndReportsTheEnds) {
  ENGHANDLE h = People("walk", {10, 20, 30});
  std::vector<uint8_t> raw;
  ENG_OK_(EngGotoTop(h));
  ENG_OK_(EngSkip(h, -1));
  EXPECT_EQ(SkipRead(h, 1, raw), 1u);
  EXPECT_EQ(Id(raw), 10);
  EXPECT_EQ(raw, Record(h)) << "the record as EngGetRecord gives it";
  EXPECT_EQ(SkipRead(h, 2, raw), 3u);
  EXPECT_EQ(Id(raw), 30);
  EXPECT_EQ(SkipRead(h, 0, raw), 3u) << "0 reads in place";
  EXPECT_EQ(SkipRead(h, 1, raw), 0u) << "past the last";
  EXPECT_EQ(raw, std::vector<uint8_t>(Length(h), 0xEE)) << "nothing copied when there is no record";
  EXPECT_TRUE(Eof(h));
  EXPECT_EQ(SkipRead(h, -1, raw), 3u) << "back from EOF to the last";
  EXPECT_EQ(SkipRead(h, -5, raw), 0u);
  EXPECT_TRUE(Bof(h));
  EXPECT_EQ(SkipRead(h, 1, raw), 1u);

  // In place with a pending change: the pending values, and nothing written.
  SetText(h, 2, "pending");
  EXPECT_EQ(SkipRead(h, 0, raw), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw.data() + 4), 7), "pending");
  ENG_OK_(EngCancelUpdate(h));
  EXPECT_EQ(Text(h, 2), "P10       ");

  // Deleted under the handle by another one: no record there.
  ENGHANDLE other = Open("walk");
  ENG_OK_(EngGotoRecord(other, 1));
  ENG_OK_(EngDeleteRecord(other));
  EXPECT_EQ(SkipRead(h, 0, raw), 0u);
  EXPECT_EQ(SkipRead(h, 1, raw), 2u);

  // An index handle walks in its order.
  EngCloseTable(other);
  EngCloseTable(h);
  h = Open("walk", ENG_OPEN_EXCLUSIVE);
  ENGHANDLE byName = 0;
  ENG_OK_(EngCreateIndex(h, "DESC", "ID", ENG_INDEX_DESCENDING, 0, &byName));
  ENG_OK_(EngGotoTop(byName));
  ENG_OK_(EngSkip(byName, -1));
  const uint32_t room = Length(h);
  EXPECT_EQ(SkipRead(byName, 1, raw, 0, nullptr, room), 3u);
  EXPECT_EQ(SkipRead(byName, 1, raw, 0, nullptr, room), 2u);
  EXPECT_EQ(Id(raw), 20);
  EXPECT_EQ(SkipRead(byName, 1, raw, 0, nullptr, room), 0u);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, SkipAndReadFailsAsTheSingleCalls) {
  ENGHANDLE h = People("fails", {1, 2});
  std::vector<uint8_t> raw(Length(h));
  uint32_t len = 2, recno = 0;
  EXPECT_EQ(EngSkipAndRead(h, 1, 0, raw.data(), &len, &recno), ENG_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, Length(h)) << "the room needed";
  len = Length(h);
  EXPECT_EQ(EngSkipAndRead(0xABCDEF, 1, 0, raw.data(), &len, &recno), ENG_ERR_INVALID_HANDLE);
  EXPECT_EQ(EngSkipAndRead(h, 1, 0, raw.data(), &len, nullptr), ENG_ERR_INVALID_ARGUMENT);

  // A pending change that cannot be written fails the move as EngSkip.
  ENG_OK_(EngGotoRecord(h, 1));
  SetText(h, 2, "mine");
  ENGHANDLE other = Open("fails");
  ENG_OK_(EngLockRecord(other, 1));
  ENGRESULT single = EngSkip(h, 1);
  Failure expected = LastFailure(single);
  ASSERT_EQ(expected.code, ENG_ERR_RECORD_LOCKED);
  ENGRESULT rc = 0;
  SkipRead(h, 1, raw, 0, &rc);
  EXPECT_EQ(LastFailure(rc), expected);
  ENG_OK_(EngCancelUpdate(h));
  EngCloseTable(other);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, VisibleOptionHidesWhatTheFilterHides) {
  ENGHANDLE h = People("filtered", {1, 2, 3, 4});
  std::vector<uint8_t> raw;
  ENG_OK_(EngGotoRecord(h, 2));
  ENG_OK_(EngSetFilter(h, "ID > 2"));
  EXPECT_EQ(SkipRead(h, 0, raw), 2u) << "without the option the record there is read";
  EXPECT_EQ(SkipRead(h, 0, raw, ENG_READ_VISIBLE), 0u) << "with it the hidden record is none";
  EXPECT_EQ(SkipRead(h, 1, raw, ENG_READ_VISIBLE), 3u) << "moves skip hidden records";
  EXPECT_EQ(SkipRead(h, -1, raw, ENG_READ_VISIBLE), 0u);
  EXPECT_EQ(SkipRead(h, 1, raw, ENG_READ_VISIBLE), 3u);
  EXPECT_EQ(SkipRead(h, 1, raw, ENG_READ_VISIBLE), 4u);
  EXPECT_EQ(SkipRead(h, 1, raw, ENG_READ_VISIBLE), 0u);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, LockAndReadLocksReadsAndFailsAsEngLockRecord) {
  ENGHANDLE h = People("locks", {1, 2});
  ENGHANDLE other = Open("locks");
  std::vector<uint8_t> raw(Length(h));
  uint32_t len = Length(h), recno = 0;
  ENG_OK_(EngGotoRecord(h, 1));
  ENG_OK_(EngLockAndRead(h, 1, 0, raw.data(), &len, &recno));
  EXPECT_EQ(recno, 1u);
  EXPECT_EQ(Id(raw), 1);
  EXPECT_TRUE(Locked(other, 1));
  EXPECT_FALSE(Locked(other, 2));

  // Another handle holds the lock: the code and text of EngLockRecord.
  ENG_OK_(EngGotoRecord(other, 1));
  Failure expected = LastFailure(EngLockRecord(other, 1));
  ASSERT_EQ(expected.code, ENG_ERR_RECORD_LOCKED);
  EXPECT_EQ(LastFailure(EngLockAndRead(other, 1, 0, raw.data(), &len, &recno)), expected);
  ENG_OK_(EngUnlockRecord(h, 1));

  // A deleted record.
  ENG_OK_(EngGotoRecord(other, 2));
  ENG_OK_(EngDeleteRecord(other));
  expected = LastFailure(EngLockRecord(h, 2));
  ASSERT_EQ(expected.code, ENG_ERR_NO_SUCH_RECORD);
  EXPECT_EQ(LastFailure(EngLockAndRead(h, 2, 0, raw.data(), &len, &recno)), expected);

  // Locked, but no record where the handle stands: the lock is given back.
  ENG_OK_(EngGotoRecord(h, 1));
  ENG_OK_(EngSetFilter(h, "ID > 5"));
  ENG_OK_(EngLockAndRead(h, 1, ENG_READ_VISIBLE, raw.data(), &len, &recno));
  EXPECT_EQ(recno, 0u);
  EXPECT_FALSE(Locked(other, 1));
  ENG_OK_(EngClearFilter(h));
  EngCloseTable(other);

  // An exclusive handle takes no locks (as EngLockRecord) but reads.
  EngCloseTable(h);
  h = Open("locks", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngGotoRecord(h, 1));
  ENG_OK_(EngLockAndRead(h, 1, 0, raw.data(), &len, &recno));
  EXPECT_EQ(recno, 1u);
  EngCloseTable(h);

  // A static cursor refuses the lock.
  h = Open("locks");
  ENGHANDLE statement = 0, cursor = 0;
  ENG_OK_(EngCreateSQLStatement(conn_, &statement));
  ENG_OK_(EngExecuteSQLDirect(statement, "SELECT * FROM locks", &cursor));
  ASSERT_NE(cursor, 0u);
  ENG_OK_(EngGotoTop(cursor));
  expected = LastFailure(EngLockRecord(cursor, 1));
  ASSERT_EQ(expected.code, ENG_ERR_STATIC_CURSOR);
  std::vector<uint8_t> row(Length(cursor));
  uint32_t rowLen = Length(cursor);
  EXPECT_EQ(LastFailure(EngLockAndRead(cursor, 1, 0, row.data(), &rowLen, &recno)), expected);
  EngCloseSQLStatement(statement);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, PostEditWritesByTheFieldRulesAndReadsBack) {
  ENGHANDLE h = People("post", {1, 2, 3});
  ENGHANDLE other = Open("post");
  std::vector<uint8_t> raw = RecordAt(h, 2), out;
  uint32_t offset = 0, seqOffset = 0, noteOffset = 0;
  EngGetFieldOffset(h, 2, &offset);
  EngGetFieldOffset(h, 3, &noteOffset);
  EngGetFieldOffset(h, 4, &seqOffset);
  const std::vector<uint8_t> seqBefore(raw.begin() + seqOffset, raw.begin() + seqOffset + 4);
  int32_t id = 22;
  std::memcpy(raw.data(), &id, 4);
  std::memcpy(raw.data() + offset, "Bob       ", 10);
  std::memset(raw.data() + seqOffset, 0x7F, 4);   // autoincrement: left to the engine
  std::memset(raw.data() + noteOffset, 0x00, 8);  // memo reference: left to the engine
  ENG_OK_(EngLockRecord(h, 2));
  uint32_t read = 0;
  ENG_OK_(Post(h, 2, raw, ENG_POST_UNLOCK, &out, &read));
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(Id(out), 22);
  EXPECT_EQ(out, Record(h)) << "the record as written";
  EXPECT_EQ(Text(h, 2), "Bob       ");
  EXPECT_EQ(Text(h, 3), "note 2") << "the memo is kept";
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + seqOffset, out.begin() + seqOffset + 4), seqBefore);
  EXPECT_FALSE(Locked(other, 2)) << "unlocked after the write";
  EXPECT_EQ(EngCancelUpdate(h), ENG_ERR_NO_PENDING_UPDATE) << "nothing left pending";

  // Blanks are stored empty, exactly as EngSetEmpty stores them; memos
  // given are written; without the unlock option the lock stays.
  std::vector<uint8_t> reference = RecordAt(other, 3);
  ENG_OK_(EngSetEmpty(other, 2));
  ENG_OK_(EngWriteRecord(other));
  reference = Record(other);
  std::memcpy(raw.data() + offset, "          ", 10);
  const std::string memo = "a new memo";
  ENGFIELDTEXT memos[] = {{3, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size())}};
  ENG_OK_(EngLockRecord(h, 2));
  ENG_OK_(Post(h, 2, raw, 0, &out, &read, memos, 1));
  uint16_t empty = 0;
  ENG_OK_(EngIsEmpty(h, 2, &empty));
  EXPECT_TRUE(empty);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + offset, out.begin() + offset + 10),
            std::vector<uint8_t>(reference.begin() + offset, reference.begin() + offset + 10));
  EXPECT_EQ(Text(h, 3), memo);
  EXPECT_TRUE(Locked(other, 2));
  ENG_OK_(EngUnlockRecord(h, 2));

  // A written record the filter hides reads as none (with the option).
  ENG_OK_(EngSetFilter(h, "ID < 20"));
  id = 25;
  std::memcpy(raw.data(), &id, 4);
  ENG_OK_(Post(h, 2, raw, ENG_READ_VISIBLE, &out, &read));
  EXPECT_EQ(read, 0u);
  ENG_OK_(EngClearFilter(h));
  EngCloseTable(other);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, FailedPostEditFailsAsTheSingleCallsAndLeavesNothingPending) {
  ENGHANDLE h = People("dups", {1, 2});
  EngCloseTable(h);
  h = Open("dups", ENG_OPEN_EXCLUSIVE);
  ENGHANDLE unique = 0;
  ENG_OK_(EngCreateIndex(h, "BYID", "ID", ENG_INDEX_UNIQUE, 0, &unique));
  EngCloseTable(h);
  h = Open("dups");
  ENGHANDLE other = Open("dups");
  std::vector<uint8_t> raw = RecordAt(h, 2), out;
  const std::vector<uint8_t> original = raw;
  int32_t id = 1;
  std::memcpy(raw.data(), &id, 4);
  uint32_t read = 0;

  // A duplicate key: the text of the single calls' write.
  ENG_OK_(EngLockRecord(h, 2));
  Failure expected = LastFailure(PostOneByOne(h, 2, raw));
  ASSERT_EQ(expected.code, ENG_ERR_DUPLICATE_KEY);
  ENG_OK_(EngCancelUpdate(h));
  EXPECT_EQ(LastFailure(Post(h, 2, raw, ENG_POST_UNLOCK, &out, &read)), expected);
  EXPECT_EQ(EngCancelUpdate(h), ENG_ERR_NO_PENDING_UPDATE) << "nothing pending after the failure";
  EXPECT_TRUE(Locked(other, 2)) << "the lock stays for a retry";
  ENG_OK_(EngSkip(h, 1));  // a move writes nothing
  EXPECT_EQ(RecordAt(other, 2), original);
  id = 3;
  std::memcpy(raw.data(), &id, 4);
  ENG_OK_(Post(h, 2, raw, ENG_POST_UNLOCK, &out, &read));
  EXPECT_EQ(Id(out), 3) << "the retry writes";
  EXPECT_FALSE(Locked(other, 2));

  // Locked by another handle.
  ENG_OK_(EngLockRecord(other, 1));
  std::vector<uint8_t> first = RecordAt(h, 1);
  expected = LastFailure(PostOneByOne(h, 1, first));
  ASSERT_EQ(expected.code, ENG_ERR_RECORD_LOCKED);
  ENG_OK_(EngCancelUpdate(h));
  EXPECT_EQ(LastFailure(Post(h, 1, first, ENG_POST_UNLOCK, &out, &read)), expected);
  EXPECT_EQ(EngCancelUpdate(h), ENG_ERR_NO_PENDING_UPDATE);
  EXPECT_TRUE(Locked(h, 1)) << "the other handle's lock is untouched";
  ENG_OK_(EngUnlockRecord(other, 1));

  // Deleted by another handle.
  ENG_OK_(EngGotoRecord(other, 1));
  ENG_OK_(EngDeleteRecord(other));
  expected = LastFailure(PostOneByOne(h, 1, first));
  ASSERT_EQ(expected.code, ENG_ERR_NO_SUCH_RECORD);
  EXPECT_EQ(LastFailure(Post(h, 1, first, 0, &out, &read)), expected);

  // A record image of the wrong size is refused before anything is done.
  std::vector<uint8_t> shortRaw(raw.begin(), raw.end() - 1);
  EXPECT_EQ(Post(h, 2, shortRaw, 0, &out, &read), ENG_ERR_INVALID_ARGUMENT);
  EngCloseTable(other);
  EngCloseTable(h);

  // A read-only handle.
  h = Open("dups", ENG_OPEN_READONLY);
  raw = RecordAt(h, 2);
  expected = LastFailure(PostOneByOne(h, 2, raw));
  ASSERT_EQ(expected.code, ENG_ERR_READ_ONLY);
  EXPECT_EQ(LastFailure(Post(h, 2, raw, 0, &out, &read)), expected);
  EXPECT_EQ(EngCancelUpdate(h), ENG_ERR_NO_PENDING_UPDATE);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, EncryptedTableWithoutItsPasswordRefusesEveryCombinedCall) {
  ENGHANDLE h = EncryptedPeople("secret", "s3cret-pass");
  std::vector<uint8_t> raw(Length(h), 0), out(Length(h));
  uint32_t len = Length(h), recno = 0;

  Failure expected = LastFailure(EngSkip(h, 1));
  ASSERT_EQ(expected.code, ENG_ERR_ENCRYPTED);
  EXPECT_EQ(LastFailure(EngSkipAndRead(h, 1, 0, raw.data(), &len, &recno)), expected);
  expected = LastFailure(EngGetRecord(h, raw.data(), &len));
  EXPECT_EQ(LastFailure(EngSkipAndRead(h, 0, 0, raw.data(), &len, &recno)), expected);
  expected = LastFailure(EngGotoRecord(h, 1));
  ASSERT_EQ(expected.code, ENG_ERR_ENCRYPTED);
  EXPECT_EQ(LastFailure(EngPostEdit(h, 1, raw.data(), Length(h), nullptr, 0, 0, out.data(), &len, &recno)),
            expected);
  EXPECT_EQ(EngCancelUpdate(h), ENG_ERR_NO_PENDING_UPDATE);

  // With the password every call works.
  ENG_OK_(EngEnableEncryption(h, "s3cret-pass"));
  ENG_OK_(EngGotoTop(h));
  ENG_OK_(EngLockAndRead(h, 1, 0, raw.data(), &len, &recno));
  EXPECT_EQ(recno, 1u);
  EXPECT_EQ(Id(raw), 1);
  ENG_OK_(EngPostEdit(h, 1, raw.data(), Length(h), nullptr, 0, ENG_POST_UNLOCK, out.data(), &len, &recno));
  EXPECT_EQ(out, raw);
  ENG_OK_(EngDeleteAndSkip(h, 0, 0, out.data(), &len, &recno, nullptr));
  EXPECT_EQ(recno, 2u);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, DeleteAndSkipMovesToTheFollowingRecord) {
  ENGHANDLE h = People("del", {1, 2, 3, 4});
  ENGHANDLE other = Open("del");
  std::vector<uint8_t> raw(Length(h));
  uint32_t len = Length(h), recno = 0;
  ENG_OK_(EngGotoRecord(h, 2));
  ENG_OK_(EngDeleteAndSkip(h, 0, 0, raw.data(), &len, &recno, nullptr));
  EXPECT_EQ(recno, 3u);
  EXPECT_EQ(Id(raw), 3);
  EXPECT_EQ(Walk(h), (std::vector<uint32_t>{1, 3, 4}));

  // Locked by another handle: the code and text of EngDeleteRecord, and
  // the record stays, with nothing pending.
  ENG_OK_(EngLockRecord(other, 3));
  ENG_OK_(EngGotoRecord(h, 3));
  Failure expected = LastFailure(EngDeleteRecord(h));
  ASSERT_EQ(expected.code, ENG_ERR_RECORD_LOCKED);
  EXPECT_EQ(LastFailure(EngDeleteAndSkip(h, 0, 0, raw.data(), &len, &recno, nullptr)), expected);
  EXPECT_EQ(EngCancelUpdate(h), ENG_ERR_NO_PENDING_UPDATE);
  EXPECT_EQ(Walk(h), (std::vector<uint32_t>{1, 3, 4}));
  ENG_OK_(EngUnlockRecord(other, 3));

  // The last record: no record follows; the position is past the end.
  ENG_OK_(EngGotoRecord(h, 4));
  ENG_OK_(EngDeleteAndSkip(h, 0, 0, raw.data(), &len, &recno, nullptr));
  EXPECT_EQ(recno, 0u);
  EXPECT_TRUE(Eof(h));

  // No current record, as EngDeleteRecord.
  expected = LastFailure(EngDeleteRecord(h));
  ASSERT_EQ(expected.code, ENG_ERR_NO_CURRENT_RECORD);
  EXPECT_EQ(LastFailure(EngDeleteAndSkip(h, 0, 0, raw.data(), &len, &recno, nullptr)), expected);

  // With a filter the following visible record is read.
  ENG_OK_(EngSetFilter(h, "ID <> 3"));
  ENG_OK_(EngGotoTop(h));
  EXPECT_EQ(RecNo(h), 1u);
  ENG_OK_(EngDeleteAndSkip(h, 0, ENG_READ_VISIBLE, raw.data(), &len, &recno, nullptr));
  EXPECT_EQ(recno, 0u) << "record 3 is hidden and nothing follows it";
  ENG_OK_(EngClearFilter(h));
  EXPECT_EQ(Walk(h), (std::vector<uint32_t>{3}));
  EngCloseTable(other);
  EngCloseTable(h);
}

}  // namespace

namespace {

TEST_F(CursorCallsTest, ReadAheadReadsRecordsInOrderUnderOneChangeStamp) {
  ENGHANDLE h = People("ahead", {1, 2, 3, 4, 5, 6});
  ENGHANDLE other = Open("ahead");
  const uint32_t room = Length(h);
  std::vector<uint8_t> raw(room * 4);
  uint32_t recnos[4] = {};
  uint16_t count = 4;
  uint64_t stamp = 0, now = 0;
  ENG_OK_(EngGotoTop(h));
  ENG_OK_(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(recnos[0], 2u);
  EXPECT_EQ(recnos[3], 5u);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 3 * room, raw.begin() + 4 * room), RecordAt(other, 5));
  EXPECT_EQ(RecNo(h), 5u) << "on the last record read";
  EXPECT_NE(stamp, 0u);
  ENG_OK_(EngGetChangeStamp(h, &now));
  EXPECT_EQ(now, stamp) << "reading changes nothing";
  ENG_OK_(EngGetChangeStamp(other, &now));
  EXPECT_EQ(now, stamp) << "one stamp per table, whichever handle asks";

  // A change through another handle gives another stamp.
  ENG_OK_(EngGotoRecord(other, 6));
  SetText(other, 2, "changed");
  ENG_OK_(EngWriteRecord(other));
  ENG_OK_(EngGetChangeStamp(h, &now));
  EXPECT_NE(now, stamp);

  // Fewer than asked: past the end.
  count = 4;
  ENG_OK_(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(recnos[0], 6u);
  EXPECT_EQ(Text(other, 2), "changed   ");
  EXPECT_TRUE(Eof(h));
  count = 4;
  ENG_OK_(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 0);

  // From a record, also one deleted since; backwards.
  ENG_OK_(EngGotoRecord(other, 3));
  ENG_OK_(EngDeleteRecord(other));
  count = 2;
  ENG_OK_(EngSkipAndReadAhead(h, 3, 1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(recnos[0], 4u);
  EXPECT_EQ(recnos[1], 5u);
  count = 4;
  ENG_OK_(EngSkipAndReadAhead(h, 3, -1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(recnos[0], 2u);
  EXPECT_EQ(recnos[1], 1u);
  EXPECT_TRUE(Bof(h));

  // With a filter, hidden records are passed over.
  ENG_OK_(EngSetFilter(h, "ID <> 4"));
  count = 4;
  ENG_OK_(EngSkipAndReadAhead(h, 2, 1, ENG_READ_VISIBLE, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(recnos[0], 5u);
  EXPECT_EQ(recnos[1], 6u);
  ENG_OK_(EngClearFilter(h));

  // Arguments.
  count = 2;
  EXPECT_EQ(EngSkipAndReadAhead(h, 0, 2, 0, &count, raw.data(), room, recnos, &stamp), ENG_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room - 1, recnos, &stamp), ENG_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(EngGetChangeStamp(h, nullptr), ENG_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(EngGetChangeStamp(0xABCDEF, &now), ENG_ERR_INVALID_HANDLE);
  EngCloseTable(other);
  EngCloseTable(h);
}

TEST_F(CursorCallsTest, ReadAheadOnAnEncryptedTableFailsAsEngSkip) {
  ENGHANDLE h = EncryptedPeople("secret2", "another-pass");
  const uint32_t room = Length(h);
  std::vector<uint8_t> raw(room * 2);
  uint32_t recnos[2] = {};
  uint16_t count = 2;
  uint64_t stamp = 0;
  Failure expected = LastFailure(EngSkip(h, 1));
  ASSERT_EQ(expected.code, ENG_ERR_ENCRYPTED);
  EXPECT_EQ(LastFailure(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp)), expected);
  EXPECT_EQ(count, 0);
  ENG_OK_(EngEnableEncryption(h, "another-pass"));
  ENG_OK_(EngGotoTop(h));
  ENG_OK_(EngSkip(h, -1));
  count = 2;
  ENG_OK_(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Id(std::vector<uint8_t>(raw.begin() + room, raw.end())), 2);
  EngCloseTable(h);
}

}  // namespace

namespace {

TEST_F(CursorCallsTest, DeleteAndSkipByNumberReportsTheStampsAroundTheDeletion) {
  ENGHANDLE h = People("delno", {1, 2, 3, 4, 5});
  ENGHANDLE other = Open("delno");
  std::vector<uint8_t> raw(Length(h));
  uint32_t len = Length(h), recno = 0;
  uint64_t stamps[2] = {7, 7}, now = 0;
  ENG_OK_(EngGotoRecord(h, 5));
  ENG_OK_(EngDeleteAndSkip(h, 2, 0, raw.data(), &len, &recno, stamps));
  EXPECT_EQ(recno, 3u) << "record 2 deleted, wherever the handle stood";
  EXPECT_NE(stamps[0], 0u);
  EXPECT_EQ(stamps[1], stamps[0] + 1) << "one change";
  ENG_OK_(EngGetChangeStamp(h, &now));
  EXPECT_EQ(now, stamps[1]);
  EXPECT_EQ(Walk(other), (std::vector<uint32_t>{1, 3, 4, 5}));

  // A number that names no record fails as EngGotoRecord, deleting nothing.
  Failure expected = LastFailure(EngGotoRecord(other, 2));
  ASSERT_EQ(expected.code, ENG_ERR_NO_SUCH_RECORD);
  ENG_OK_(EngGotoRecord(h, 4));
  EXPECT_EQ(LastFailure(EngDeleteAndSkip(h, 2, 0, raw.data(), &len, &recno, stamps)), expected);
  EXPECT_EQ(stamps[0], 0u);
  EXPECT_EQ(RecNo(h), 4u);
  EXPECT_EQ(Walk(other), (std::vector<uint32_t>{1, 3, 4, 5}));
  EngCloseTable(other);
  EngCloseTable(h);
}

}  // namespace

namespace {

TEST_F(CursorCallsTest, ReadAheadPassesOverDeletedAndReservedRecords) {
  ENGHANDLE h = People("gaps", {1, 2, 3, 4, 5, 6});
  ENGHANDLE other = Open("gaps");
  ENG_OK_(EngGotoRecord(other, 4));
  ENG_OK_(EngDeleteRecord(other));
  ENG_OK_(EngAppendRecord(other));  // a reserved record (7), not yet written
  ENGHANDLE check = Open("gaps");
  const uint32_t room = Length(h);
  std::vector<uint8_t> raw(room * 8);
  uint32_t recnos[8] = {};
  uint16_t count = 8;
  uint64_t stamp = 0;
  ENG_OK_(EngGotoTop(h));
  ENG_OK_(EngSkip(h, -1));
  ENG_OK_(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp));
  ASSERT_EQ(count, 5);
  EXPECT_EQ(std::vector<uint32_t>(recnos, recnos + 5), (std::vector<uint32_t>{1, 2, 3, 5, 6}));
  for (uint16_t i = 0; i < count; ++i)
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + i * room, raw.begin() + (i + 1) * room), RecordAt(check, recnos[i]));
  EXPECT_TRUE(Eof(h)) << "past the end, as EngSkip leaves it";
  uint16_t bof = 1;
  ENG_OK_(EngAtBOF(h, &bof));
  EXPECT_FALSE(bof);

  // Exactly as many as asked: on the last one read.
  ENG_OK_(EngGotoRecord(h, 2));
  count = 2;
  ENG_OK_(EngSkipAndReadAhead(h, 0, 1, 0, &count, raw.data(), room, recnos, &stamp));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(recnos[1], 5u);
  EXPECT_EQ(RecNo(h), 5u);
  EXPECT_EQ(Record(h), std::vector<uint8_t>(raw.begin() + room, raw.begin() + 2 * room));
  ENG_OK_(EngCancelUpdate(other));
  EngCloseTable(check);
  EngCloseTable(other);
  EngCloseTable(h);
}

}  // namespace

namespace {

TEST_F(CursorCallsTest, LockAndReadCanGoToTheRecordFirst) {
  ENGHANDLE h = People("lockgo", {1, 2, 3});
  ENGHANDLE other = Open("lockgo");
  std::vector<uint8_t> raw(Length(h));
  uint32_t len = Length(h), recno = 0;
  ENG_OK_(EngGotoRecord(h, 1));
  ENG_OK_(EngLockAndRead(h, 3, ENG_LOCK_GOTO, raw.data(), &len, &recno));
  EXPECT_EQ(recno, 3u);
  EXPECT_EQ(Id(raw), 3);
  EXPECT_EQ(RecNo(h), 3u);
  EXPECT_TRUE(Locked(other, 3));
  EXPECT_FALSE(Locked(other, 1));
  ENG_OK_(EngUnlockRecord(h, 3));

  // A record gone: the failure of EngGotoRecord, and no lock taken.
  ENG_OK_(EngGotoRecord(other, 2));
  ENG_OK_(EngDeleteRecord(other));
  Failure expected = LastFailure(EngGotoRecord(other, 2));
  ASSERT_EQ(expected.code, ENG_ERR_NO_SUCH_RECORD);
  EXPECT_EQ(LastFailure(EngLockAndRead(h, 2, ENG_LOCK_GOTO, raw.data(), &len, &recno)), expected);
  EXPECT_EQ(RecNo(h), 3u) << "the position stays";
  EngCloseTable(other);
  EngCloseTable(h);
}

}  // namespace

namespace {

// The stamp made from the shared words always equals EngGetChangeStamp's,
// and moves with a change through any handle or another process.
TEST_F(CursorCallsTest, ChangeStampWordsTellWhatEngGetChangeStampTells) {
  ENGHANDLE h = People("stampwords", {1, 2, 3});
  ENGCHANGESOURCE source{};
  ENG_OK_(EngGetChangeStampSource(h, &source));
  ASSERT_NE(source.sequence, nullptr);
  ASSERT_NE(source.entries, nullptr);
  auto fromWords = [&] {
    const uint64_t entries = __atomic_load_n(source.entries, __ATOMIC_ACQUIRE);
    const uint64_t sequence = __atomic_load_n(source.sequence, __ATOMIC_ACQUIRE);
    return entries != 0 ? 0 : sequence + 1;
  };
  auto stamp = [&] {
    uint64_t now = 0;
    EXPECT_EQ(EngGetChangeStamp(h, &now), 0u) << engtest::LastError();
    return now;
  };
  const uint64_t first = stamp();
  EXPECT_EQ(fromWords(), first);

  ENGHANDLE other = Open("stampwords");
  ENG_OK_(EngGotoRecord(other, 2));
  SetText(other, 2, "changed");
  ENG_OK_(EngWriteRecord(other));
  EXPECT_NE(fromWords(), first);
  EXPECT_EQ(fromWords(), stamp());

  const uint64_t second = stamp();
  const std::string dir = dir_.path();
  ASSERT_EQ(engtest::InChild([&] {
              ENGHANDLE c = 0, t = 0;
              if (EngConnect(dir.c_str(), &c) || EngOpenTable(c, "stampwords", nullptr, 3, 1, 1, 2, 0, &t)) return 1;
              if (EngGotoRecord(t, 1) || EngDeleteRecord(t) || EngWriteRecord(t)) return 2;
              return 0;
            }),
            0);
  EXPECT_NE(fromWords(), second);
  EXPECT_EQ(fromWords(), stamp());

  EngCloseTable(other);
  EXPECT_EQ(EngGetChangeStampSource(h, nullptr), ENG_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(EngGetChangeStampSource(0xABCDEF, &source), ENG_ERR_INVALID_HANDLE);
  EngCloseTable(h);
}

}  // namespace
