// Table cursors over real engine tables.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "dbconnection.h"
#include "dbtable.h"
#include "dynconnlist.h"
#include "enginetables.h"

namespace dbu {
namespace {

class CursorTest : public test::EngineFolder {
 protected:
  void SetUp() override {
    EngineFolder::SetUp();
    form.SetName("Form1");
    conn.SetName("DbConnection1");
    conn.SetLoginPrompt(false);
    conn.SetDbServerTypes(stLOCAL | stREMOTE);
    conn.SetConnectPath(folder);
  }
  void TearDown() override {
    conn.Disconnect();
    EngineFolder::TearDown();
  }
  // A cursor named MEDSCH on the folder connection.
  std::unique_ptr<TDbTable> Cursor(const std::string& tableName) {
    auto t = std::make_unique<TDbTable>(&form);
    t->SetName("MEDSCH");
    t->SetDatabaseName("DbConnection1");
    t->SetTableName(tableName);
    return t;
  }
  template <typename F>
  std::string ErrorOf(F&& f) {
    try {
      f();
    } catch (const EDatabaseError& e) {
      return e.Message();
    }
    return "<no error>";
  }

  TComponent form;
  TDbConnection conn{&form};
};

TEST_F(CursorTest, WalksForwardAndBackAcrossBothEnds) {
  People({10, 20, 30});
  auto t = Cursor("people");
  t->Open();
  EXPECT_TRUE(conn.IsConnected()) << "the first open connects";
  EXPECT_TRUE(t->Bof());
  EXPECT_FALSE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 10);
  t->Next();
  EXPECT_FALSE(t->Bof());
  EXPECT_EQ(t->FieldByName("id").AsInteger(), 20);
  t->Next();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "P30");
  t->Next();
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 30) << "the last record stays readable";
  t->Next();
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 30);
  t->Prior();
  EXPECT_FALSE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 20) << "back from the end moves off the last record";
  t->Prior();
  t->Prior();
  EXPECT_TRUE(t->Bof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 10);
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 20) << "forward from the start moves off the first record";
  t->First();
  EXPECT_TRUE(t->Bof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 10);
  t->Last();
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 30);
}

TEST_F(CursorTest, LoopVisitsEveryRecordOnce) {
  std::vector<int32_t> ids;
  for (int32_t i = 1; i <= 250; ++i) ids.push_back(i * 3);
  People(ids);
  auto t = Cursor("PEOPLE");
  t->Open();
  std::vector<int32_t> seen;
  while (!t->Eof()) {
    seen.push_back(static_cast<int32_t>(t->FieldByName("ID").AsInteger()));
    t->Next();
  }
  EXPECT_EQ(seen, ids);
}

TEST_F(CursorTest, EmptyTableShowsNoRecord) {
  People({});
  auto t = Cursor("people");
  t->Open();
  EXPECT_TRUE(t->Eof());
  EXPECT_TRUE(t->Bof());
  EXPECT_FALSE(t->HasCurrentRecord());
  t->First();
  t->Next();
  t->Prior();
  EXPECT_TRUE(t->Eof());
  EXPECT_TRUE(t->Bof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 0);
  EXPECT_TRUE(t->FieldByName("ID").IsNull());
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "");
}

TEST_F(CursorTest, FieldsInEngineOrderFoundWithoutRegardToCase) {
  People({1});
  auto t = Cursor("people");
  EXPECT_EQ(ErrorOf([&] { t->FieldByName("ID"); }), "MEDSCH: Field 'ID' not found") << "no fields while closed";
  t->Open();
  ASSERT_EQ(t->FieldCount(), 2u);
  EXPECT_EQ(t->Fields(0).FieldName(), "ID");
  EXPECT_EQ(t->Fields(1).FieldName(), "NAME");
  EXPECT_EQ(t->Fields(1).Size(), 10u);
  EXPECT_EQ(&t->FieldByName("Name"), &t->FieldByName("NAME"));
  EXPECT_EQ(&t->FieldByName("name"), &t->Fields(1));
  EXPECT_EQ(t->FindField("SALARY"), nullptr);
  EXPECT_EQ(ErrorOf([&] { t->FieldByName("SALARY"); }), "MEDSCH: Field 'SALARY' not found");
  EXPECT_EQ(ErrorOf([&] { t->FieldByName("ID").SetAsInteger(2); }), "MEDSCH: Dataset not in edit mode");
}

TEST_F(CursorTest, ClosedCursorRefusesNavigationAndOpenCursorRefusesSettings) {
  People({1});
  auto t = Cursor("people");
  EXPECT_EQ(ErrorOf([&] { t->First(); }), "MEDSCH: Cannot perform this operation on a closed dataset");
  EXPECT_EQ(ErrorOf([&] { t->Next(); }), "MEDSCH: Cannot perform this operation on a closed dataset");
  t->Open();
  t->Open();  // nothing when open
  EXPECT_EQ(ErrorOf([&] { t->SetTableName("other"); }), "MEDSCH: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { t->SetDatabaseName("x"); }), "MEDSCH: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { t->SetExclusive(true); }), "MEDSCH: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { t->SetReadOnly(true); }), "MEDSCH: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { t->SetDbConnection(nullptr); }), "MEDSCH: Table must not be Active.");
  EXPECT_EQ(ErrorOf([&] { t->SetDbCharType(OEM); }), "MEDSCH: Table must not be Active.");
  EXPECT_EQ(t->TableName(), "people");
  t->Close();
  t->Close();
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(t->TableHandle(), kNoHandle);
  EXPECT_EQ(t->OrderHandle(), kNoHandle);
  EXPECT_TRUE(t->Eof());
}

TEST_F(CursorTest, OpenFailuresNameTheCursorAndLeaveItClosed) {
  TDbTable t(&form);
  t.SetName("DbTable1");
  try {
    t.Open();
    FAIL() << "no error";
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.Message(), "DbTable1: Missing TableName property");
    EXPECT_EQ(e.ErrorCode(), 5121);
  }
  t.SetTableName("people");
  EXPECT_EQ(ErrorOf([&] { t.Open(); }),
            "DbTable1: One of the DatabaseName property or the DbConnection property must have a value.");
  t.SetDatabaseName("DbConnection1");
  t.SetTableName("missing");
  try {
    t.Open();
    FAIL() << "opened a missing table";
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.Message().rfind("DbTable1: ", 0), 0u) << e.Message();
    EXPECT_EQ(e.ErrorCode(), ENG_ERR_FILE_NOT_FOUND);
    EXPECT_EQ(e.TableNameText(), "missing");
    EXPECT_EQ(e.DatabaseDir(), folder);
  }
  EXPECT_FALSE(t.Active());
}

TEST_F(CursorTest, DisconnectClosesEveryBoundCursorAndOpenReconnects) {
  People({1, 2});
  auto a = Cursor("people");
  auto b = Cursor("people");
  b->SetName("Code");
  auto c = Cursor("people");
  c->SetName("DbTable1");
  a->Open();
  b->Open();
  std::vector<std::string> order;
  conn.BeforeDisconnect = [&](TDbConnection&) { order.push_back("before"); };
  conn.AfterDisconnect = [&](TDbConnection& x) {
    order.push_back("after");
    EXPECT_EQ(x.ConnectionHandle(), 0u);
  };
  conn.OnDisconnect = [&](TDbConnection&) { order.push_back("on"); };
  conn.Disconnect();
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_EQ(conn.ConnectionHandle(), 0u);
  EXPECT_FALSE(a->Active());
  EXPECT_FALSE(b->Active());
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(order, (std::vector<std::string>{"before", "after", "on"}));
  conn.BeforeDisconnect = conn.AfterDisconnect = conn.OnDisconnect = nullptr;
  EXPECT_EQ(conn.DataSetCount(), 3u) << "cursors stay bound";
  b->Open();
  EXPECT_TRUE(conn.IsConnected());
  EXPECT_EQ(b->FieldByName("ID").AsInteger(), 1);
  EXPECT_FALSE(conn.ServerName().empty());
  EXPECT_THROW(conn.SetConnectPath("/elsewhere"), DbConnectionError);
  EXPECT_EQ(conn.ConnectPath(), folder);
  EXPECT_TRUE(b->Active());
}

TEST_F(CursorTest, ExclusiveCursorsAreClosedByDisconnectToo) {
  People({1});
  auto a = Cursor("people");
  a->SetExclusive(true);
  a->Open();
  auto b = Cursor("people");
  EXPECT_THROW(b->Open(), EDbEngineError) << "the table is held exclusively";
  EXPECT_FALSE(b->Active());
  conn.Disconnect();
  EXPECT_FALSE(a->Active());
  b->Open();
  EXPECT_TRUE(b->Active());
}

TEST_F(CursorTest, DestroyingAConnectionClosesItsCursors) {
  People({1});
  TDbTable t(&form);
  {
    TDbConnection temporary(&form);
    temporary.SetName("Temporary");
    temporary.SetLoginPrompt(false);
    temporary.SetConnectPath(folder);
    t.SetDatabaseName("Temporary");
    t.SetTableName("people");
    t.Open();
    EXPECT_TRUE(temporary.IsConnected());
  }
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(t.DbConnection(), nullptr);
}

TEST_F(CursorTest, ReadOnlyConnectionMakesReadOnlyCursors) {
  People({1});
  conn.SetReadOnly(true);
  auto t = Cursor("people");
  t->Open();
  EXPECT_TRUE(t->ReadOnly());
}

TEST_F(CursorTest, ImplicitConnectionsByPathAreShared) {
  People({7});
  size_t before = TDynamicConnList::Count();
  TDbTable a, b;
  for (TDbTable* t : {&a, &b}) {
    t->SetDatabaseName(folder + "/");
    t->SetTableName("people.adt");
    t->Open();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), 7);
  }
  EXPECT_EQ(TDynamicConnList::Count(), before + 1);
  ENGHANDLE implicit = TDynamicConnList::Find(folder);
  EXPECT_NE(implicit, 0u);
  a.Close();
  b.Close();
  TDynamicConnList::DisconnectAll();
  EXPECT_EQ(TDynamicConnList::Count(), 0u);
  EXPECT_NE(EngDisconnect(implicit), static_cast<ENGRESULT>(ENG_OK)) << "already disconnected";
}

TEST_F(CursorTest, TableExistsTestsTheFileWithoutRegardToCase) {
  People({1});
  auto t = Cursor("EMPLOYEE");
  EXPECT_FALSE(t->TableExists());
  t->SetTableName("PEOPLE");
  EXPECT_TRUE(t->TableExists()) << "people.adt";
  t->SetTableName("people.dbf");
  EXPECT_FALSE(t->TableExists());
  t->SetTableName("");
  EXPECT_FALSE(t->TableExists());
  t->SetTableName("people");
  t->SetTableType(ttCDX);
  EXPECT_FALSE(t->TableExists()) << "other formats look for .dbf";
  t->SetTableType(ttNative);
  t->Open();
  EXPECT_TRUE(t->TableExists());
}

TEST_F(CursorTest, EmptyTableOpenAndClosed) {
  People({1, 2, 3});
  auto t = Cursor("people");
  t->SetExclusive(true);
  t->Open();
  t->Next();
  t->EmptyTable();
  EXPECT_TRUE(t->Eof());
  EXPECT_TRUE(t->Bof());
  EXPECT_EQ(t->FieldByName("ID").AsString(), "");
  t->First();
  EXPECT_TRUE(t->Eof());
  t->Close();

  ENGHANDLE h = 0;
  std::string path = folder + "/people.adt";
  ENG_OK_OR_FAIL(EngOpenTable(connection, path.c_str(), nullptr, 3, 1, 1, 1, 0, &h));
  ENG_OK_OR_FAIL(EngAppendRecord(h));
  ENG_OK_OR_FAIL(EngWriteRecord(h));
  ENG_OK_OR_FAIL(EngCloseTable(h));
  t->EmptyTable();
  EXPECT_FALSE(t->Active());
  t->Open();
  EXPECT_TRUE(t->Eof());
}

TEST_F(CursorTest, DecodesEveryFieldTypeFromEngineRecords) {
  Create("types",
         "L,Logical;N,Numeric,8,2;D,Date;S,Char,6;M,Memo;B,Binary;CD,CompactDate;DB,Double;I,Integer;SI,ShortInt;"
         "T,Time;TS,TimeStamp;A,AutoInc;R,Raw,3;CUR,CurDouble;VC,Varchar,20");
  Append();
  SetText(1, "T");
  SetText(2, "   12.50");
  SetRaw<int32_t>(3, 2453737);
  SetText(4, "abc");
  SetText(5, "a memo text");
  SetRaw<double>(8, 2.5);
  SetRaw<int32_t>(9, -7);
  SetRaw<int16_t>(10, 300);
  SetRaw<int32_t>(11, 30600000);
  SetRaw<int64_t>(12, (int64_t{30600000} << 32) | 2453711);
  SetText(16, "short");
  SetRaw<std::array<uint8_t, 3>>(7, {0x0F, 0xAA, 0xB8});
  SetRaw<std::array<uint8_t, 3>>(14, {1, 2, 3});
  SetRaw<double>(15, 12.34);
  Write();
  Append();
  for (uint16_t f = 1; f <= 16; ++f)
    if (f != 13) SetEmpty(f);
  Write();
  CloseCreated();

  auto t = Cursor("types");
  t->Open();
  EXPECT_EQ(t->FieldCount(), 16u);
  EXPECT_TRUE(t->FieldByName("L").AsBoolean());
  EXPECT_EQ(t->FieldByName("N").AsFloat(), 12.5);
  EXPECT_EQ(t->FieldByName("D").AsDateTime(), 38718);
  EXPECT_EQ(t->FieldByName("S").AsString(), "abc");
  EXPECT_EQ(t->FieldByName("M").AsString(), "a memo text");
  EXPECT_TRUE(t->FieldByName("B").IsNull());
  EXPECT_EQ(t->FieldByName("DB").AsFloat(), 2.5);
  EXPECT_EQ(t->FieldByName("I").AsInteger(), -7);
  EXPECT_EQ(t->FieldByName("SI").AsInteger(), 300);
  EXPECT_NEAR(t->FieldByName("T").AsDateTime(), 30600000.0 / 86400000, 1e-9);
  EXPECT_NEAR(t->FieldByName("TS").AsDateTime(), 38692 + 30600000.0 / 86400000, 1e-8);
  EXPECT_FALSE(t->FieldByName("A").IsNull());
  EXPECT_EQ(t->FieldByName("VC").AsString(), "short");
  EXPECT_EQ(t->FieldByName("CUR").DataType(), ftCurrency);
  EXPECT_EQ(t->FieldByName("CUR").AsCurrency(), Currency::FromRaw(123400));
  EXPECT_EQ(t->FieldByName("CD").AsDateTime(), EncodeDate(2005, 5, 24)) << "compact date through the engine's Julian texts";
  EXPECT_EQ(t->FieldByName("R").AsString(), std::string("\1\2\3", 3));
  EXPECT_EQ(t->FieldByName("R").DataType(), ftBytes);
  t->Next();
  for (size_t i = 0; i < t->FieldCount(); ++i) {
    TField& f = t->Fields(i);
    if (f.DataType() == ftAutoInc) continue;
    EXPECT_TRUE(f.IsNull()) << f.FieldName();
    EXPECT_TRUE(f.AsVariant().IsNull()) << f.FieldName();
  }
  EXPECT_EQ(t->FieldByName("M").AsString(), "");
}

TEST_F(CursorTest, RepointedCursorKeepsItsSettingsAndRebuildsItsFields) {
  People({4});
  Create("codes", "CODE,Char,4;DESCR,Char,20;RATE,Double");
  Append();
  SetText(1, "AB");
  SetRaw<double>(3, 1.5);
  Write();
  CloseCreated();
  auto t = Cursor("people");
  t->SetExclusive(true);
  t->SetDbRightsCheck(false);
  t->Open();
  TField* id = t->FindField("ID");
  ASSERT_NE(id, nullptr);
  t->Close();
  t->SetTableName("CODES.ADT");
  t->Open();
  EXPECT_TRUE(t->Exclusive());
  EXPECT_FALSE(t->DbTableOptions().DbRightsCheck);
  EXPECT_EQ(t->FieldCount(), 3u);
  EXPECT_EQ(t->FindField("ID"), nullptr);
  EXPECT_EQ(t->FieldByName("code").AsString(), "AB");
  EXPECT_EQ(t->FieldByName("RATE").AsFloat(), 1.5);
  EXPECT_TRUE(t->FieldByName("DESCR").IsNull());
}

TEST_F(CursorTest, IndexPageSizeComesFromTheFirstIndex) {
  People({1});
  auto t = Cursor("people");
  t->Open();
  EXPECT_EQ(t->DbTableOptions().DbIndexPageSize, 512u) << "no index";
  t->Close();
  ENGHANDLE h = 0, index = 0;
  std::string path = folder + "/people.adt";
  ENG_OK_OR_FAIL(EngOpenTable(connection, path.c_str(), nullptr, 3, 1, 1, 1, ENG_OPEN_EXCLUSIVE, &h));
  ENG_OK_OR_FAIL(EngCreateIndex(h, "BYNAME", "NAME", 0, 1024, &index));
  ENG_OK_OR_FAIL(EngCreateIndex(h, "BYID", "ID", 0, 2048, &index));
  ENG_OK_OR_FAIL(EngCloseTable(h));
  t->Open();
  EXPECT_EQ(t->DbTableOptions().DbIndexPageSize, 1024u);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1) << "natural order until an index is chosen";
}

// What a cursor read of a table's make at one open is used again at the
// next only while the table is made the same: a field renamed or a tag made
// between a close and the open that follows shows at once.
TEST_F(CursorTest, AReopenShowsTheTableAsRemadeMeanwhile) {
  People({1, 2});
  auto t = Cursor("people");
  t->Open();
  t->Close();
  t->Open();  // the make as kept
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "P1");
  t->Close();
  ENGHANDLE s = 0, c = 0;
  ENG_OK_OR_FAIL(EngCreateSQLStatement(connection, &s));
  ENG_OK_OR_FAIL(EngExecuteSQLDirect(s, "ALTER TABLE people ALTER NAME LABEL char(10)", &c));
  ENG_OK_OR_FAIL(EngCloseSQLStatement(s));
  t->Open();
  EXPECT_EQ(t->FieldByName("LABEL").AsString(), "P1");
  EXPECT_EQ(t->FindField("NAME"), nullptr);
  t->Close();
  const std::string path = folder + "/people.adt";
  auto makeTag = [&](const char* name, const char* fields, uint32_t options) {
    ENGHANDLE h = 0, index = 0;
    ENG_OK_OR_FAIL(EngOpenTable(connection, path.c_str(), nullptr, 3, 1, 1, 1, ENG_OPEN_EXCLUSIVE, &h));
    ENG_OK_OR_FAIL(EngCreateIndex(h, name, fields, options, 0, &index));
    ENG_OK_OR_FAIL(EngCloseTable(h));
  };
  makeTag("BYID", "ID", 0);
  t->SetIndexName("BYID");
  t->Open();
  EXPECT_EQ(t->IndexDefs().Count(), 1u);
  t->Close();
  makeTag("BYLABEL", "LABEL", ENG_INDEX_DESCENDING);
  t->SetIndexName("BYLABEL");
  t->Open();
  EXPECT_EQ(t->FieldByName("LABEL").AsString(), "P2") << "the new tag orders the cursor";
  ASSERT_EQ(t->IndexDefs().Count(), 2u);
  EXPECT_EQ(t->IndexDefs().Items(1).Name, "BYLABEL");
}

TEST_F(CursorTest, OemCursorsReadStringsThroughTheEngine) {
  People({5});
  auto t = Cursor("people");
  t->SetDbCharType(OEM);
  t->Open();
  EXPECT_EQ(t->FieldByName("NAME").AsString(), "P5");
}

TEST_F(CursorTest, MaintenanceOperationsRepositionTheCursor) {
  People({1, 2, 3});
  auto t = Cursor("people");
  t->SetExclusive(true);
  t->Open();
  t->Next();
  t->PackTable();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1) << "pack returns to the top";
  EXPECT_FALSE(t->Eof());
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

class MemoCacheTest : public test::EngineFolder {};

TEST_F(MemoCacheTest, ContentIsCachedPerRecordAndReloadedAfterMoving) {
  Create("notes", "ID,Integer;BODY,Memo;PIC,Binary");
  for (int32_t id : {1, 2}) {
    Append();
    SetRaw<int32_t>(1, id);
    SetText(2, "note " + std::to_string(id));
    Write();
  }
  CloseCreated();
  TDbTable t;
  t.SetName("Notes");
  t.SetDatabaseName(folder);
  t.SetTableName("notes");
  t.Open();
  EXPECT_EQ(t.FieldByName("BODY").AsString(), "note 1");
  EXPECT_EQ(t.FieldByName("BODY").DataType(), ftMemo);
  EXPECT_EQ(t.FieldByName("PIC").DataType(), ftBlob);
  EXPECT_TRUE(t.FieldByName("PIC").IsNull());
  EXPECT_EQ(t.FieldByName("PIC").AsString(), "");

  // Another handle changes the memo of the current record.
  ENGHANDLE other = 0;
  std::string path = folder + "/notes.adt";
  ENG_OK_OR_FAIL(EngOpenTable(connection, path.c_str(), nullptr, 3, 1, 1, 1, 0, &other));
  ENG_OK_OR_FAIL(EngGotoTop(other));
  ENG_OK_OR_FAIL(EngLockRecord(other, 1));
  const std::string changed = "changed elsewhere";
  ENG_OK_OR_FAIL(EngSetField(other, 2, reinterpret_cast<const uint8_t*>(changed.data()), static_cast<uint32_t>(changed.size())));
  ENG_OK_OR_FAIL(EngWriteRecord(other));
  ENG_OK_OR_FAIL(EngUnlockRecord(other, 1));
  ENG_OK_OR_FAIL(EngCloseTable(other));

  EXPECT_EQ(t.FieldByName("BODY").AsString(), "note 1") << "the cache holds this record's content";
  t.Next();
  EXPECT_EQ(t.FieldByName("BODY").AsString(), "note 2");
  t.First();
  EXPECT_EQ(t.FieldByName("BODY").AsString(), changed) << "a new read resets the cache";
  t.Next();
  t.Next();
  ASSERT_TRUE(t.Eof());
  EXPECT_EQ(t.FieldByName("BODY").AsString(), "note 2") << "the last record's memo after the end";
  t.Prior();
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  EXPECT_EQ(t.FieldByName("BODY").AsString(), changed);
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

// Reaches the protected bookmark of the current record.
class ProbeTable : public TDbTable {
 public:
  using TDbTable::TDbTable;
  using TDbTable::CurrentBookmark;
};

class MaintenanceTest : public test::EngineFolder {
 protected:
  void OpenPeople(TDbTable& t) {
    t.SetName("MEDSCH");
    t.SetDatabaseName(folder);
    t.SetTableName("people");
    t.Open();
  }
};

TEST_F(MaintenanceTest, EnableEncryptionKeepsOrRestoresThePosition) {
  People({1, 2, 3});
  TDbTable t;
  OpenPeople(t);
  t.EnableEncryption("secret");
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
  EXPECT_FALSE(t.Eof());
  t.Next();
  t.EnableEncryption("secret");
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 2) << "the current record is read again";
  t.Next();
  t.Next();
  ASSERT_TRUE(t.Eof());
  t.EnableEncryption("secret");
  EXPECT_TRUE(t.Eof()) << "at the end it stays at the end";
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 3);
  t.Close();
  EXPECT_THROW(t.EnableEncryption("secret"), EDatabaseError);
}

TEST_F(MaintenanceTest, AnEncryptedTableReadWithoutItsPasswordNeverLooksEmpty) {
  People({1, 2, 3});
  TDbTable t;
  t.SetExclusive(true);
  OpenPeople(t);
  t.EnableEncryption("secret");
  t.EncryptTable();
  t.Close();
  t.SetExclusive(false);
  OpenPeople(t);  // opens all the same: the password may follow
  EXPECT_FALSE(t.Eof()) << "a walk must not end before its first record";
  auto refusal = [&](const std::function<void()>& read) {
    try {
      read();
    } catch (const EDbEngineError& e) {
      return std::to_string(e.ErrorCode()) + " " + e.Message();
    }
    return std::string("no error");
  };
  // The task's walk, and every other way to a record, fails naming the table.
  const std::vector<std::function<void()>> reads = {
      [&] {
        for (; !t.Eof(); t.Next()) t.FieldByName("NAME").AsString();
      },
      [&] { t.FieldByName("ID").AsInteger(); },
      [&] { t.FieldByName("NAME").IsNull(); },
      [&] { t.Next(); },
      [&] { t.First(); },
      [&] { t.Last(); },
      [&] { t.Edit(); },
      [&] { t.Append(); },
      [&] { t.Delete(); },
  };
  for (size_t i = 0; i < reads.size(); ++i) {
    const std::string error = refusal(reads[i]);
    EXPECT_EQ(error.rfind(std::to_string(ENG_ERR_ENCRYPTED) + " MEDSCH: ", 0), 0u) << "read " << i << ": " << error;
    EXPECT_NE(error.find("people"), std::string::npos) << error;
    EXPECT_NE(error.find("password"), std::string::npos) << error;
    EXPECT_FALSE(t.Eof()) << "read " << i;
  }
  EXPECT_EQ(t.State(), StateBrowse);
  t.EnableEncryption("secret");
  std::string ids;
  for (; !t.Eof(); t.Next()) ids += t.FieldByName("ID").AsString();
  EXPECT_EQ(ids, "123");
}

TEST_F(MaintenanceTest, EngineRefusalsCarryTheCursorName) {
  People({1});
  TDbTable t;
  OpenPeople(t);
  try {
    t.EmptyTable();  // not opened exclusively
    FAIL() << "zapped a shared table";
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.Message().rfind("MEDSCH: ", 0), 0u) << e.Message();
    EXPECT_EQ(e.ErrorCode(), ENG_ERR_NEEDS_EXCLUSIVE);
  }
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1) << "a refused zap leaves the record";
}

TEST_F(MaintenanceTest, BookmarkIsTakenOnDemandAndLeadsBack) {
  People({1, 2});
  ProbeTable t;
  OpenPeople(t);
  t.Next();
  t.Next();
  ASSERT_TRUE(t.Eof());
  std::vector<uint8_t> bookmark = t.CurrentBookmark();
  EXPECT_FALSE(bookmark.empty());
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 2);
  t.First();
  EXPECT_NE(t.CurrentBookmark(), bookmark);
  t.Last();
  EXPECT_EQ(t.CurrentBookmark(), bookmark);
  t.Prior();
  EXPECT_EQ(t.FieldByName("ID").AsInteger(), 1);
}

TEST_F(MaintenanceTest, FailedEngineDisconnectKeepsTheConnection) {
  People({1});
  TDbConnection c;
  c.SetName("DbConnection1");
  c.SetLoginPrompt(false);
  c.SetConnectPath(folder);
  TDbTable t;
  t.SetDbConnection(&c);
  t.SetTableName("people");
  t.Open();
  ENGHANDLE handle = c.ConnectionHandle();
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(EngDisconnect(handle), static_cast<ENGRESULT>(ENG_OK));  // gone behind the object's back
  // Closing the cursor fails at the engine now: the error is raised, and
  // the cursor is closed all the same.
  EXPECT_THROW(c.Disconnect(), EDbEngineError);
  EXPECT_FALSE(t.Active());
  EXPECT_TRUE(c.IsConnected());
  try {
    c.Disconnect();
    FAIL() << "no error";
  } catch (const DbError& e) {
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_TRUE(c.IsConnected()) << "a failed engine disconnect keeps the connection";
  EXPECT_EQ(c.ConnectionHandle(), handle);
  // Destruction tolerates the lost handle and raises nothing.
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(CursorTest, FieldLookupRemembersSpellingsAndForgetsThemWithTheTable) {
  Create("wide", "ID,Integer;NAME,Char,10;A_RATHER_LONG_FIELD_NAME_X,Char,4;AB,Integer;B,Integer");
  CloseCreated();
  auto t = Cursor("wide");
  t->Open();
  TField& name = t->FieldByName("NAME");
  for (int round = 0; round < 2; ++round) {  // the second round finds remembered spellings
    EXPECT_EQ(&t->FieldByName("name"), &name);
    EXPECT_EQ(&t->FieldByName("NaMe"), &name);
    EXPECT_EQ(t->FieldByName("a_rather_long_field_name_x").FieldNo(), 3) << "longer than what is remembered";
    EXPECT_EQ(t->FieldByName("ab").FieldNo(), 4);
    EXPECT_EQ(t->FieldByName("b").FieldNo(), 5);
    EXPECT_EQ(t->FindField("ba"), nullptr);
    EXPECT_EQ(t->FindField("NAM"), nullptr);
    EXPECT_EQ(t->FindField(""), nullptr);
    EXPECT_EQ(ErrorOf([&] { t->FieldByName("NAMEX"); }), "MEDSCH: Field 'NAMEX' not found");
  }
  // Every way of spelling a field, more than are remembered, still finds it.
  const std::string letters = "name";
  for (int mask = 0; mask < 16; ++mask) {
    std::string spelled = letters;
    for (int i = 0; i < 4; ++i)
      if (mask & (1 << i)) spelled[i] = static_cast<char>(spelled[i] - 'a' + 'A');
    EXPECT_EQ(&t->FieldByName(spelled), &name) << spelled;
    std::string id = mask & 1 ? "Id" : "iD";
    EXPECT_EQ(t->FieldByName(id).FieldNo(), 1);
  }
  t->Close();
  EXPECT_EQ(t->FindField("name"), nullptr) << "no fields while closed";

  People({1});
  t->SetTableName("people");
  t->Open();
  EXPECT_EQ(t->FieldByName("name").FieldNo(), 2) << "the new table's field";
  EXPECT_EQ(t->FindField("ab"), nullptr);
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

class ReadAheadTest : public CursorTest {
 protected:
  void Numbered(int count) {
    std::vector<int32_t> ids;
    for (int i = 1; i <= count; ++i) ids.push_back(i);
    People(ids);
  }
  ENGHANDLE OpenOther() {
    ENGHANDLE h = 0;
    EXPECT_EQ(EngOpenTable(connection, "people", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                           ENG_CHECK_RIGHTS, 0, &h),
              ENG_OK);
    return h;
  }
  static std::string Walk(TDbTable& t, const std::string& field) {
    std::string out;
    for (t.First(); !t.Eof(); t.Next()) out += (out.empty() ? "" : ",") + t.FieldByName(field).AsString();
    return out;
  }
  static void Rename(ENGHANDLE h, uint32_t recno, const std::string& name) {
    ENG_OK_OR_FAIL(EngGotoRecord(h, recno));
    ENG_OK_OR_FAIL(EngSetField(h, 2, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size())));
    ENG_OK_OR_FAIL(EngWriteRecord(h));
  }
};

TEST_F(ReadAheadTest, AWalkSeesEveryChangeMadeElsewhereMeanwhile) {
  Numbered(40);
  ENGHANDLE other = OpenOther();
  auto t = Cursor("people");
  t->Open();
  std::string names;
  for (int step = 0; !t->Eof(); ++step, t->Next()) {
    const int64_t id = t->FieldByName("ID").AsInteger();
    names += t->FieldByName("NAME").AsString() + ",";
    // Changes ahead of the walk, at every step once the walk is under way.
    if (id == 10) Rename(other, 12, "renamed");
    if (id == 20) {
      ENG_OK_OR_FAIL(EngGotoRecord(other, 22));
      ENG_OK_OR_FAIL(EngDeleteRecord(other));
    }
    if (id == 30) {
      ENG_OK_OR_FAIL(EngAppendRecord(other));
      int32_t newId = 41;
      ENG_OK_OR_FAIL(EngSetFieldRaw(other, 1, reinterpret_cast<const uint8_t*>(&newId), 4));
      ENG_OK_OR_FAIL(EngWriteRecord(other));
    }
    if (id >= 32 && id < 40) Rename(other, static_cast<uint32_t>(id + 1), "N" + std::to_string(id + 1));
  }
  std::string expected;
  for (int id = 1; id <= 41; ++id) {
    if (id == 22) continue;
    expected += (id == 12 ? std::string("renamed") : id == 41 ? std::string() : (id > 32 ? "N" : "P") + std::to_string(id)) + ",";
  }
  EXPECT_EQ(names, expected);
  EngCloseTable(other);
}

TEST_F(ReadAheadTest, TheCurrentRecordDeletedElsewhereStillLeadsToItsNeighbours) {
  Numbered(30);
  ENGHANDLE other = OpenOther();
  auto t = Cursor("people");
  t->Open();
  for (int i = 1; i < 12; ++i) t->Next();
  ASSERT_EQ(t->FieldByName("ID").AsInteger(), 12);
  ENG_OK_OR_FAIL(EngGotoRecord(other, 12));
  ENG_OK_OR_FAIL(EngDeleteRecord(other));
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 13);
  for (int i = 13; i < 20; ++i) t->Next();
  ASSERT_EQ(t->FieldByName("ID").AsInteger(), 20);
  ENG_OK_OR_FAIL(EngGotoRecord(other, 20));
  ENG_OK_OR_FAIL(EngDeleteRecord(other));
  t->Prior();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 19);

  // Read ahead, then deleted elsewhere: Edit finds no record, and locks none.
  for (int i = 19; i < 24; ++i) t->Next();
  const int64_t id = t->FieldByName("ID").AsInteger();
  ENG_OK_OR_FAIL(EngGotoRecord(other, static_cast<uint32_t>(id)));
  ENG_OK_OR_FAIL(EngDeleteRecord(other));
  EXPECT_EQ(ErrorOf([&] { t->Edit(); }), "MEDSCH: Record not found");
  EXPECT_EQ(t->State(), StateBrowse);
  t->Next();
  t->Edit();  // the next record is free to edit
  t->Cancel();
  EngCloseTable(other);
}

TEST_F(ReadAheadTest, OperationsAfterAWalkActOnTheCurrentRecord) {
  Numbered(16);
  auto t = Cursor("people");
  t->Open();
  auto walkTo = [&](int id) {
    t->First();
    while (t->FieldByName("ID").AsInteger() < id) t->Next();
    ASSERT_EQ(t->FieldByName("ID").AsInteger(), id);
  };
  for (int id = 2; id <= 15; ++id) {
    walkTo(id);
    t->EnableEncryption("");  // re-reads the current record in place
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), id) << "EnableEncryption at " << id;
    t->Next();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), id + 1);

    walkTo(id);
    t->Prior();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), id - 1) << "Prior at " << id;

    walkTo(id);
    t->Edit();
    t->FieldByName("NAME").SetAsString("E" + std::to_string(id));
    t->Post();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), id) << "Post at " << id;
    t->Next();
    EXPECT_EQ(t->FieldByName("ID").AsInteger(), id + 1);
  }
  EXPECT_EQ(Walk(*t, "NAME"), "P1,E2,E3,E4,E5,E6,E7,E8,E9,E10,E11,E12,E13,E14,E15,P16");
  walkTo(9);
  t->Delete();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 10);
  walkTo(16);
  t->Delete();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 15);
  EXPECT_FALSE(t->Eof());
  t->Next();
  EXPECT_TRUE(t->Eof());
}

TEST_F(ReadAheadTest, DeletingWhileWalkingKeepsSeeingChangesMadeElsewhere) {
  Numbered(60);
  ENGHANDLE other = OpenOther();
  auto t = Cursor("people");
  t->Open();
  std::string seen;
  while (!t->Eof()) {
    const int64_t id = t->FieldByName("ID").AsInteger();
    seen += t->FieldByName("NAME").AsString() + ",";
    // Changes just before this cursor deletes a record of its own.
    if (id == 21) Rename(other, 24, "renamed");
    if (id == 39) {
      ENG_OK_OR_FAIL(EngGotoRecord(other, 41));
      ENG_OK_OR_FAIL(EngDeleteRecord(other));
    }
    if (id % 3 == 0) {
      t->Delete();
    } else {
      t->Next();
    }
  }
  std::string expected, left;
  for (int id = 1; id <= 60; ++id) {
    if (id == 41) continue;
    const std::string name = id == 24 ? std::string("renamed") : "P" + std::to_string(id);
    expected += name + ",";
    if (id % 3 != 0) left += (left.empty() ? "" : ",") + name;
  }
  // Deleting the last record (60) makes 59 current again before the end.
  EXPECT_EQ(seen, expected + "P59,");
  EXPECT_EQ(Walk(*t, "NAME"), left);

  // The current record, read ahead, deleted elsewhere: not found to delete.
  for (int i = 0; i < 5; ++i) t->Next();
  t->First();
  for (int i = 0; i < 6; ++i) t->Next();
  const int64_t id = t->FieldByName("ID").AsInteger();
  ENG_OK_OR_FAIL(EngGotoRecord(other, static_cast<uint32_t>(id)));
  ENG_OK_OR_FAIL(EngDeleteRecord(other));
  EXPECT_NE(ErrorOf([&] { t->Delete(); }), "<no error>");
  t->Next();
  EXPECT_GT(t->FieldByName("ID").AsInteger(), id) << "the walk goes on after the record gone";
  EngCloseTable(other);
}

TEST_F(ReadAheadTest, IndexWalkFollowsARecordMovedElsewhere) {
  Numbered(20);
  ENG_OK_OR_FAIL(EngOpenTable(connection, "people", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                              ENG_CHECK_RIGHTS, ENG_OPEN_EXCLUSIVE, &table));
  ENGHANDLE index = 0;
  ENG_OK_OR_FAIL(EngCreateIndex(table, "BYID", "ID", 0, 0, &index));
  CloseCreated();
  ENGHANDLE other = OpenOther();
  auto t = Cursor("people");
  t->SetIndexName("BYID");
  t->Open();
  std::string ids;
  for (; !t->Eof(); t->Next()) {
    const int64_t id = t->FieldByName("ID").AsInteger();
    ids += std::to_string(id) + ",";
    if (id == 5) {
      // Record 7 moves to the end of the order, record 3 to the middle of what is ahead.
      int32_t moved = 100;
      ENG_OK_OR_FAIL(EngGotoRecord(other, 7));
      ENG_OK_OR_FAIL(EngSetFieldRaw(other, 1, reinterpret_cast<const uint8_t*>(&moved), 4));
      ENG_OK_OR_FAIL(EngWriteRecord(other));
      moved = 12;
      ENG_OK_OR_FAIL(EngGotoRecord(other, 3));
      ENG_OK_OR_FAIL(EngSetFieldRaw(other, 1, reinterpret_cast<const uint8_t*>(&moved), 4));
      ENG_OK_OR_FAIL(EngWriteRecord(other));
    }
  }
  EXPECT_EQ(ids, "1,2,3,4,5,6,8,9,10,11,12,12,13,14,15,16,17,18,19,20,100,");
  EngCloseTable(other);
}

}  // namespace
}  // namespace dbu
