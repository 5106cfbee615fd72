// Record editing: Edit, Append, Post, Cancel and Delete over real tables.
#include <gtest/gtest.h>

#include "cursorfixture.h"

namespace dbu {
namespace {

class EditingTest : public test::CursorFixture {
 protected:
  uint32_t RecordCount(const std::string& name) {
    ENGHANDLE h = 0;
    uint32_t count = 0;
    EXPECT_EQ(EngOpenTable(connection, name.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                           ENG_CHECK_RIGHTS, 0, &h),
              ENG_OK);
    EXPECT_EQ(EngGetRecordCount(h, ENG_IGNOREFILTERS, &count), ENG_OK);
    EngCloseTable(h);
    return count;
  }
  std::string Ids(const std::string& name) {
    auto t = Cursor(name, "Check");
    t->Open();
    return Walk(*t, "ID");
  }
};

TEST_F(EditingTest, DeletingWhileWalkingVisitsEveryRecordOnce) {
  People({1, 2, 3, 4, 5, 6, 7, 8});
  auto t = Cursor("people");
  t->Open();
  std::string visited;
  // Deletes 2, then 4,5,6 in a row, then the last record 8.
  while (!t->Eof()) {
    int64_t id = t->FieldByName("ID").AsInteger();
    visited += std::to_string(id) + ",";
    if (id == 2 || (id >= 4 && id <= 6) || id == 8) {
      t->Delete();
      if (id == 8) {
        EXPECT_FALSE(t->Eof()) << "after deleting the last record the new last one is current";
        EXPECT_EQ(t->FieldByName("ID").AsInteger(), 7);
        t->Next();
      }
    } else {
      t->Next();
    }
  }
  EXPECT_EQ(visited, "1,2,3,4,5,6,7,8,");
  EXPECT_EQ(Ids("people"), "1,3,7");

  t->SetIndexFieldNames("");  // natural order
  t->First();
  t->Delete();
  t->Delete();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 7);
  t->Delete();
  EXPECT_TRUE(t->Eof());
  EXPECT_TRUE(t->Bof());
  EXPECT_FALSE(t->HasCurrentRecord());
  EXPECT_EQ(ErrorOf([&] { t->Delete(); }), "MEDSCH: Cannot perform this operation on an empty dataset");
  EXPECT_EQ(RecordCount("people"), 0u);
}

TEST_F(EditingTest, DeleteInAnIndexOrderMovesToTheNextInThatOrder) {
  Create("people", "ID,Integer;NAME,Char,10");
  for (int id : {5, 1, 4, 2, 3}) {
    Append();
    SetRaw<int32_t>(1, id);
    Write();
  }
  Index("BYID", "ID");
  CloseCreated();
  auto t = Cursor("people");
  t->SetIndexName("BYID");
  t->Open();
  t->Next();
  t->Delete();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  t->Edit();
  t->FieldByName("NAME").SetAsString("changed");
  t->Delete();  // the edited record goes, its writes with it
  EXPECT_EQ(t->State(), StateBrowse);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4);
  EXPECT_EQ(Ids("people"), "5,1,4");
}

TEST_F(EditingTest, EditAndPostWriteTheRecordAndKeepItCurrent) {
  Create("staff", "ID,Integer;NAME,Char,10;JOINED,Date;PAY,Money;NOTE,Memo");
  for (int id : {1, 2, 3}) {
    Append();
    SetRaw<int32_t>(1, id);
    SetText(2, "N" + std::to_string(id));
    Write();
  }
  CloseCreated();
  auto t = Cursor("staff");
  t->Open();
  t->Next();
  t->Edit();
  EXPECT_EQ(t->State(), StateEdit);
  t->FieldByName("NAME").SetAsString("Alice");
  t->FieldByName("JOINED").SetAsDateTime(EncodeDate(2005, 1, 31));
  t->FieldByName("PAY").SetAsCurrency(Currency::FromRaw(123450));
  t->FieldByName("NOTE").SetAsString("a memo");
  t->Post();
  EXPECT_EQ(t->State(), StateBrowse);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2) << "the written record stays current";
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);

  auto check = Cursor("staff", "Check");
  check->Open();
  check->Next();
  EXPECT_EQ(check->FieldByName("NAME").AsString(), "Alice");
  EXPECT_EQ(check->FieldByName("JOINED").AsDateTime(), EncodeDate(2005, 1, 31));
  EXPECT_EQ(check->FieldByName("PAY").AsCurrency(), Currency::FromRaw(123450));
  EXPECT_EQ(check->FieldByName("NOTE").AsString(), "a memo");
  EXPECT_EQ(check->FieldByName("ID").AsInteger(), 2) << "unchanged fields are written back as read";
  check->Close();

  t->First();
  t->Edit();
  t->FieldByName("NAME").SetAsString("");  // all blanks: stored empty
  t->Post();
  EXPECT_TRUE(t->FieldByName("NAME").IsNull());
  check->Open();
  EXPECT_TRUE(check->FieldByName("NAME").IsNull());
}

TEST_F(EditingTest, MovingOnPostsAWrittenEditAndDropsAnUnwrittenOne) {
  People({1, 2, 3});
  auto t = Cursor("people");
  t->Open();
  t->Edit();
  t->FieldByName("NAME").SetAsString("kept");
  t->Next();
  EXPECT_EQ(t->State(), StateBrowse);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
  t->Edit();
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  t->Edit();
  t->FieldByName("NAME").SetAsString("gone");
  t->Close();  // a pending change is discarded, the lock goes with the table

  auto other = Cursor("people", "Other");
  other->Open();
  EXPECT_EQ(Walk(*other, "NAME"), "kept,P2,P3");
  other->Last();
  other->Edit();  // not locked any more
  other->Cancel();

  t->Open();
  t->Edit();
  t->FieldByName("NAME").SetAsString("first");
  t->First();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "first") << "First posts too";
}

TEST_F(EditingTest, EditOnAnEmptyCursorAppendsAndCancelEndsAtEof) {
  Create("people", "ID,Integer;NAME,Char,10;SEQ,AutoInc");
  Index("BYID", "ID");
  CloseCreated();
  auto t = Cursor("people");
  t->SetIndexFieldNames("ID");
  t->Open();
  EXPECT_FALSE(t->FindKey({7}));
  t->Edit();
  EXPECT_EQ(t->State(), StateInsert);
  EXPECT_TRUE(t->Eof());
  EXPECT_FALSE(t->Bof());
  t->FieldByName("ID").SetAsInteger(7);
  t->Post();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 7);
  EXPECT_GT(t->FieldByName("SEQ").AsInteger(), 0) << "the engine numbered the new record";
  EXPECT_FALSE(t->Eof());

  t->Append();
  t->FieldByName("ID").SetAsInteger(9);
  t->Cancel();
  EXPECT_EQ(t->State(), StateBrowse);
  EXPECT_TRUE(t->Eof()) << "a cancelled new record leaves the cursor at the end";
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 7);
  t->Append();
  t->Delete();  // acts as Cancel
  EXPECT_EQ(Ids("people"), "7");

  t->Append();
  t->FieldByName("ID").SetAsInteger(3);
  t->Post();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  EXPECT_EQ(Walk(*t, "ID"), "3,7");
}

TEST_F(EditingTest, FailedPostKeepsTheEditAndARepeatedPostAppendsOnce) {
  Create("people", "ID,Integer;NAME,Char,10");
  Append();
  SetRaw<int32_t>(1, 1);
  Write();
  Index("BYID", "ID", ENG_INDEX_UNIQUE);
  CloseCreated();
  auto t = Cursor("people");
  t->Open();
  t->Append();
  t->FieldByName("ID").SetAsInteger(1);
  t->FieldByName("NAME").SetAsString("dup");
  EXPECT_EQ(CodeOf([&] { t->Post(); }), ENG_ERR_DUPLICATE_KEY);
  EXPECT_EQ(t->State(), StateInsert);
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "dup") << "the buffer stays as the task wrote it";
  t->FieldByName("ID").SetAsInteger(2);
  t->Post();
  EXPECT_EQ(t->State(), StateBrowse);
  EXPECT_EQ(RecordCount("people"), 2u);
  EXPECT_EQ(Ids("people"), "1,2");

  t->First();
  t->Edit();
  t->FieldByName("ID").SetAsInteger(2);
  EXPECT_EQ(CodeOf([&] { t->Post(); }), ENG_ERR_DUPLICATE_KEY);
  EXPECT_EQ(t->State(), StateEdit);
  t->Cancel();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1) << "Cancel returns to the values at the engine";
  EXPECT_EQ(Ids("people"), "1,2");
}

TEST_F(EditingTest, TwoCursorsOnOneTableLockRecordsAgainstEachOther) {
  People({1, 2});
  auto a = Cursor("people", "MEDSCH");
  auto b = Cursor("people", "DbTable1");
  a->Open();
  b->Open();
  a->Edit();
  std::string message = ErrorOf([&] { b->Edit(); });
  EXPECT_EQ(message.rfind("DbTable1: ", 0), 0u) << message;
  EXPECT_EQ(CodeOf([&] { b->Edit(); }), ENG_ERR_RECORD_LOCKED);
  EXPECT_EQ(b->State(), StateBrowse);
  b->Next();
  b->Edit();  // another record is free
  b->FieldByName("NAME").SetAsString("B");
  b->Post();
  a->FieldByName("NAME").SetAsString("A");
  a->Post();
  b->First();
  b->Edit();  // unlocked by Post
  EXPECT_EQ(b->FieldByName("NAME").AsString(), "A") << "Edit reads the record again after locking";
  b->Cancel();
}

TEST_F(EditingTest, ExclusiveCursorEditsWithoutLocks) {
  People({1});
  auto t = Cursor("people");
  t->SetExclusive(true);
  t->Open();
  t->Edit();
  EXPECT_EQ(t->State(), StateEdit);
  t->FieldByName("NAME").SetAsString("X");
  t->Post();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "X");
  t->Close();
  EXPECT_EQ(Ids("people"), "1");
}

TEST_F(EditingTest, MisuseMessages) {
  People({1});
  auto t = Cursor("people");
  t->Open();
  EXPECT_EQ(ErrorOf([&] { t->Post(); }), "MEDSCH: Dataset not in edit or insert mode");
  EXPECT_EQ(ErrorOf([&] { t->FieldByName("NAME").SetAsString("x"); }), "MEDSCH: Dataset not in edit mode");
  t->Cancel();  // nothing happens outside an edit
  t->Close();
  t->SetReadOnly(true);
  t->Open();
  EXPECT_EQ(ErrorOf([&] { t->Edit(); }), "MEDSCH: Cannot modify a read-only dataset");
  EXPECT_EQ(ErrorOf([&] { t->Append(); }), "MEDSCH: Cannot modify a read-only dataset");
  EXPECT_EQ(CodeOf([&] { t->Delete(); }), ENG_ERR_READ_ONLY) << "the engine refuses the deletion";
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);
  t->Close();
  EXPECT_EQ(ErrorOf([&] { t->Delete(); }), "MEDSCH: Cannot perform this operation on a closed dataset");
}

TEST_F(EditingTest, EmptyTableAndEncryptionSettleAPendingEdit) {
  People({1, 2});
  auto t = Cursor("people");
  t->SetExclusive(true);
  t->Open();
  t->Edit();
  t->FieldByName("NAME").SetAsString("x");
  t->EmptyTable();
  EXPECT_EQ(t->State(), StateBrowse);
  EXPECT_TRUE(t->Eof());
  t->Close();
  EXPECT_EQ(RecordCount("people"), 0u) << "the edit was settled, then every record removed";
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(EditingTest, ClosedSharedCursorLeavesTheTableFreeForExclusiveUse) {
  People({1, 2});
  {
    auto t = Cursor("people");
    t->Open();
    t->Edit();
    t->FieldByName("NAME").SetAsString("x");
    t->Post();
    t->Close();
  }
  auto e = Cursor("people");
  e->SetExclusive(true);
  e->Open();
  EXPECT_EQ(e->FieldByName("NAME").AsString(), "x");
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(EditingTest, RecordDeletedByAnotherCursorIsNeitherEditedNorDeletedInItsPlace) {
  People({1, 2, 3});
  auto a = Cursor("people", "MEDSCH");
  auto b = Cursor("people", "DbTable1");
  a->Open();
  b->Open();
  a->Next();
  b->Next();
  b->Delete();  // record 2 is gone under a
  EXPECT_EQ(b->FieldByName("ID").AsInteger(), 3);
  EXPECT_NE(ErrorOf([&] { a->Edit(); }), "<no error>");
  EXPECT_EQ(a->State(), StateBrowse);
  EXPECT_NE(ErrorOf([&] { a->Delete(); }), "<no error>");
  a->Close();
  b->Close();
  EXPECT_EQ(Ids("people"), "1,3") << "only the record meant was deleted";
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

// The engine result another process gets when it locks the record.
std::string ProbeLock(const std::string& folder, const std::string& table, uint32_t recno) {
  std::string command = std::string(DB_LOCK_PROBE) + " '" + folder + "' " + table + " " + std::to_string(recno);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char line[64] = {};
  std::string out = fgets(line, sizeof line, pipe) ? line : "";
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

TEST_F(EditingTest, AnotherProcessFindsTheEditedRecordLockedUntilPost) {
  People({1, 2});
  auto t = Cursor("people");
  t->Open();
  t->Edit();
  EXPECT_EQ(ProbeLock(folder, "people", 1), std::to_string(ENG_ERR_RECORD_LOCKED));
  EXPECT_EQ(ProbeLock(folder, "people", 2), "0") << "only the edited record";
  t->FieldByName("NAME").SetAsString("x");
  t->Post();
  EXPECT_EQ(ProbeLock(folder, "people", 1), "0");
  t->Edit();
  t->Cancel();
  EXPECT_EQ(ProbeLock(folder, "people", 1), "0") << "Cancel unlocks";
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(EditingTest, FailedEditPostWritesNothingAndCanBeRetriedOrCancelled) {
  People({1, 2, 3});
  ENG_OK_OR_FAIL(EngOpenTable(connection, "people", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                              ENG_CHECK_RIGHTS, ENG_OPEN_EXCLUSIVE, &table));
  ENGHANDLE index = 0;
  ENG_OK_OR_FAIL(EngCreateIndex(table, "BYID", "ID", ENG_INDEX_UNIQUE, 0, &index));
  CloseCreated();
  auto a = Cursor("people", "MEDSCH");
  auto b = Cursor("people", "DbTable1");
  a->Open();
  b->Open();
  a->Next();
  a->Edit();
  a->FieldByName("ID").SetAsInteger(1);
  a->FieldByName("NAME").SetAsString("dup");
  EXPECT_EQ(CodeOf([&] { a->Post(); }), ENG_ERR_DUPLICATE_KEY);
  EXPECT_EQ(a->State(), StateEdit);
  EXPECT_EQ(a->FieldByName("NAME").AsString(), "dup") << "the buffer as the task wrote it";
  b->Next();
  EXPECT_EQ(CodeOf([&] { b->Edit(); }), ENG_ERR_RECORD_LOCKED) << "the edit keeps its lock";
  EXPECT_EQ(Walk(*b, "NAME"), "P1,P2,P3") << "nothing of the failed write reached the table";
  EXPECT_EQ(CodeOf([&] { a->Next(); }), ENG_ERR_DUPLICATE_KEY) << "moving on posts, and fails the same way";
  EXPECT_EQ(a->State(), StateEdit);

  a->FieldByName("ID").SetAsInteger(5);
  a->Post();  // the retry
  EXPECT_EQ(a->State(), StateBrowse);
  EXPECT_EQ(a->FieldByName("ID").AsInteger(), 5);
  EXPECT_EQ(Walk(*b, "NAME"), "P1,dup,P3");
  b->First();
  b->Next();
  b->Edit();  // unlocked by the successful Post
  b->Cancel();

  a->Edit();
  a->FieldByName("ID").SetAsInteger(3);
  EXPECT_EQ(CodeOf([&] { a->Post(); }), ENG_ERR_DUPLICATE_KEY);
  a->Cancel();
  EXPECT_EQ(a->State(), StateBrowse);
  EXPECT_EQ(a->FieldByName("ID").AsInteger(), 5) << "Cancel returns to the values at the engine";
  b->Edit();  // unlocked by Cancel
  b->Cancel();
  a->Next();
  EXPECT_EQ(a->FieldByName("ID").AsInteger(), 3);
  EXPECT_EQ(Walk(*b, "ID"), "1,5,3");
}

TEST_F(EditingTest, PostStoresBlankStringsEmptyAndWritesOnlyChangedMemos) {
  Create("notes", "ID,Integer;NAME,Char,10;NOTE,Memo;SEQ,AutoInc");
  for (int32_t id : {1, 2}) {
    Append();
    SetRaw<int32_t>(1, id);
    SetText(2, "N" + std::to_string(id));
    SetText(3, "memo " + std::to_string(id));
    Write();
  }
  CloseCreated();
  auto t = Cursor("notes");
  t->Open();
  const int64_t seq = t->FieldByName("SEQ").AsInteger();
  t->Edit();
  t->FieldByName("NAME").SetAsString("   ");
  t->Post();
  ENGHANDLE check = 0;
  ENG_OK_OR_FAIL(EngOpenTable(connection, "notes", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                              ENG_CHECK_RIGHTS, 0, &check));
  ENG_OK_OR_FAIL(EngGotoRecord(check, 1));
  uint16_t empty = 0;
  ENG_OK_OR_FAIL(EngIsEmpty(check, 2, &empty));
  EXPECT_TRUE(empty) << "blanks are stored as the empty field";
  EXPECT_TRUE(t->FieldByName("NAME").IsNull());
  EXPECT_EQ(t->FieldByName("NOTE").AsString(), "memo 1") << "an unchanged memo stays";
  EXPECT_EQ(t->FieldByName("SEQ").AsInteger(), seq) << "the autoincrement value is the engine's";

  t->Edit();
  t->FieldByName("NOTE").SetAsString("rewritten");
  t->Post();
  EXPECT_EQ(t->FieldByName("NOTE").AsString(), "rewritten");
  t->Edit();
  t->FieldByName("NOTE").Clear();
  t->Post();
  EXPECT_TRUE(t->FieldByName("NOTE").IsNull());
  ENG_OK_OR_FAIL(EngGotoRecord(check, 1));
  ENG_OK_OR_FAIL(EngIsEmpty(check, 3, &empty));
  EXPECT_TRUE(empty);
  ENG_OK_OR_FAIL(EngGotoRecord(check, 2));
  ENG_OK_OR_FAIL(EngIsEmpty(check, 3, &empty));
  EXPECT_FALSE(empty) << "the other record's memo is untouched";
  EngCloseTable(check);
  t->Next();
  EXPECT_EQ(t->FieldByName("NOTE").AsString(), "memo 2");
}

TEST_F(EditingTest, FilteredWalkDeletesAndEditsAmongVisibleNeighbours) {
  People({1, 2, 3, 4, 5, 6, 7});
  auto t = Cursor("people");
  t->SetFilter("ID > 1");
  t->SetFiltered(true);
  t->Open();
  std::string visited;
  // Deletes the even records, the last visible one (6) among them.
  while (!t->Eof()) {
    const int64_t id = t->FieldByName("ID").AsInteger();
    visited += std::to_string(id) + ",";
    if (id % 2 == 0) {
      t->Delete();
    } else {
      t->Next();
    }
  }
  EXPECT_EQ(visited, "2,3,4,5,6,7,");
  EXPECT_EQ(Walk(*t, "ID"), "3,5,7");

  // A change that the filter hides moves the cursor on to the next visible record.
  t->First();
  t->Edit();
  t->FieldByName("ID").SetAsInteger(0);
  t->Post();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 5);
  t->Last();
  t->Edit();
  t->FieldByName("ID").SetAsInteger(-7);
  t->Post();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 5) << "the last one hidden: the previous one is current";
  t->SetFiltered(false);
  EXPECT_EQ(Walk(*t, "ID"), "1,0,5,-7");
}

TEST_F(EditingTest, OemCursorEditsAndWalksThroughTheEngineTexts) {
  People({1, 2});
  auto t = Cursor("people");
  t->SetDbCharType(OEM);
  t->Open();
  t->Edit();
  t->FieldByName("NAME").SetAsString("oem");
  t->Post();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "oem");
  t->Next();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "P2");
  t->Delete();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "oem");
  EXPECT_EQ(Ids("people"), "1");
}

}  // namespace
}  // namespace dbu
