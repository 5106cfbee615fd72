// Index selection and key search.
#include <gtest/gtest.h>

#include "cursorfixture.h"
#include "dbindex.h"

namespace dbu {
namespace {

TIndexDefs Defs(std::vector<TIndexDef> defs) {
  TIndexDefs out;
  out.Assign(std::move(defs));
  return out;
}

TEST(IndexDefsTest, FieldListMatchesWholeListFirstThenLeadingSegments) {
  TIndexDefs defs = Defs({{"LONG", "EMP_NO;DATE;ID", 0},
                          {"DESC", "EMP_NO", ixDescending},
                          {"EXACT", "EMP_NO", ixUnique},
                          {"EMPX", "EMP_NOX", 0}});
  EXPECT_EQ(defs.FindForFields("emp_no")->Name, "EXACT") << "an exact list wins over an earlier longer index";
  EXPECT_EQ(defs.FindForFields("EMP_NO;DATE")->Name, "LONG") << "leading segments";
  EXPECT_EQ(defs.FindForFields("EMP_NO;DATE;ID")->Name, "LONG");
  EXPECT_EQ(defs.FindForFields("EMP_NO; DATE"), nullptr) << "blanks count";
  EXPECT_EQ(defs.FindForFields("EMP_NO;DAT"), nullptr) << "only whole segments";
  EXPECT_EQ(defs.FindForFields("EMP"), nullptr);
  EXPECT_EQ(defs.FindByName("exact")->Options, static_cast<TIndexOptions>(ixUnique));
  EXPECT_EQ(defs.FindByName("none"), nullptr);

  TIndexDefs onlyDescending = Defs({{"D", "CODE", ixDescending}, {"D2", "CODE;X", ixDescending}});
  EXPECT_EQ(onlyDescending.FindForFields("CODE"), nullptr) << "descending indexes are never chosen";
}

TEST(IndexDefsTest, FieldListsSplitAsWritten) {
  EXPECT_EQ(SplitFieldList("A; B;C"), (std::vector<std::string>{"A", " B", "C"}));
  EXPECT_TRUE(SplitFieldList("").empty());
}

class IndexTest : public test::CursorFixture {
 protected:
  // LEAVE: LEAVE_CODE, EMPCODE, DATE, ID, AMOUNT; index LV on the first four.
  void LeaveTable() {
    Create("leave", "LEAVE_CODE,Char,4;EMPCODE,Char,6;DATE,Date;ID,Integer;AMOUNT,Money;ACTIVE,Logical;RATE,Double");
    struct Row {
      const char* code;
      const char* emp;
      int day;
      int id;
    } rows[] = {{"AL", "E2", 3, 1}, {"SL", "E1", 1, 2}, {"AL", "E1", 5, 3}, {"AL", "E1", 2, 4},
                {"AL", "E10", 1, 5}, {"SL", "E2", 9, 6}};
    for (const Row& r : rows) {
      Append();
      SetText(1, r.code);
      SetText(2, r.emp);
      SetRaw<int32_t>(3, static_cast<int32_t>(EncodeDate(2003, 9, r.day) + kJulianOffset));
      SetRaw<int32_t>(4, r.id);
      SetRaw<double>(5, r.id * 1.5);
      SetRaw<uint8_t>(6, r.id % 2 ? 'T' : 'F');
      SetRaw<double>(7, r.id / 4.0);
      Write();
    }
    Index("LV", "LEAVE_CODE;EMPCODE;DATE;ID");
    Index("BYID", "ID", ENG_INDEX_UNIQUE);
    Index("IDDOWN", "ID", ENG_INDEX_DESCENDING);
    Index("BYAMOUNT", "AMOUNT");
    Index("BYACTIVE", "ACTIVE;ID");
    Index("BYRATE", "RATE");
    CloseCreated();
  }
};

TEST_F(IndexTest, PropertiesClearEachOtherAndKeepTheirValueAcrossClose) {
  LeaveTable();
  auto t = Cursor("leave");
  t->SetIndexFieldNames("  CATEGORY;CODE ");
  EXPECT_EQ(t->IndexFieldNames(), "CATEGORY;CODE");
  EXPECT_EQ(t->IndexMode(), TIndexMode::ByFieldList);
  t->SetIndexName("BYID");
  EXPECT_EQ(t->IndexFieldNames(), "");
  EXPECT_EQ(t->IndexMode(), TIndexMode::ByName);
  t->SetIndexFieldNames("ID");
  EXPECT_EQ(t->IndexName(), "");
  t->SetIndexName("db_default");
  EXPECT_EQ(t->IndexMode(), TIndexMode::DictionaryDefault);
  t->SetIndexName("");
  EXPECT_EQ(t->IndexMode(), TIndexMode::None);

  t->SetIndexFieldNames("id");
  t->Open();
  EXPECT_EQ(Walk(*t, "ID"), "1,2,3,4,5,6");
  t->Close();
  t->SetTableName("leave");
  t->Open();
  EXPECT_EQ(t->IndexFieldNames(), "id");
  EXPECT_EQ(Walk(*t, "LEAVE_CODE"), "AL,SL,AL,AL,AL,SL");
}

TEST_F(IndexTest, IndexDefsReadFromTheEngineEvenWhileClosed) {
  LeaveTable();
  auto t = Cursor("leave");
  const TIndexDefs& defs = t->IndexDefs();
  ASSERT_EQ(defs.Count(), 6u);
  EXPECT_EQ(defs.Items(0).Name, "LV");
  EXPECT_EQ(defs.Items(0).Fields, "LEAVE_CODE;EMPCODE;DATE;ID");
  EXPECT_EQ(defs.Items(1).Options, static_cast<TIndexOptions>(ixUnique));
  EXPECT_EQ(defs.Items(2).Options, static_cast<TIndexOptions>(ixDescending));
  EXPECT_FALSE(t->Active()) << "the table opened for the definitions is closed again";
}

TEST_F(IndexTest, OrderSelectionFailureKeepsThePreviousOrderAndRecord) {
  LeaveTable();
  auto t = Cursor("leave");
  t->SetIndexFieldNames("ID");
  t->Open();
  t->Next();
  t->Next();
  ASSERT_EQ(t->FieldByName("ID").AsInteger(), 3);
  EXPECT_EQ(ErrorOf([&] { t->SetIndexFieldNames("EMPCODE"); }), "MEDSCH: Not a valid index field name:EMPCODE");
  EXPECT_EQ(CodeOf([&] { t->SetIndexFieldNames("EMPCODE"); }), 5121);
  EXPECT_EQ(t->IndexFieldNames(), "ID");
  EXPECT_EQ(t->IndexMode(), TIndexMode::ByFieldList);
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4) << "still in ID order";

  int32_t code = CodeOf([&] { t->SetIndexName("NOSUCH"); });
  EXPECT_EQ(code, ENG_ERR_INDEX_NOT_FOUND);
  EXPECT_EQ(t->IndexName(), "");
  EXPECT_EQ(t->IndexFieldNames(), "") << "the other property stays cleared";
  EXPECT_EQ(t->IndexMode(), TIndexMode::ByFieldList);

  t->SetIndexName("LV");  // the current record stays, the walk follows the new order
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4);
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  EXPECT_EQ(Walk(*t, "ID"), "4,3,5,1,2,6");
  t->SetIndexName("IDDOWN");
  EXPECT_EQ(Walk(*t, "ID"), "6,5,4,3,2,1");
  EXPECT_EQ(ErrorOf([&] { t->SetIndexFieldNames("ID;DATE"); }), "MEDSCH: Not a valid index field name:ID;DATE");

  auto closed = Cursor("leave", "Code");
  closed->SetIndexFieldNames("CATEGORY;CODE");
  EXPECT_EQ(ErrorOf([&] { closed->Open(); }), "Code: Not a valid index field name:CATEGORY;CODE");
  EXPECT_FALSE(closed->Active());
}

TEST_F(IndexTest, FindKeyOnLeadingSegmentsFindsTheFirstInIndexOrder) {
  LeaveTable();
  auto t = Cursor("leave");
  t->SetIndexFieldNames("LEAVE_CODE;EMPCODE;DATE;ID");
  t->Open();
  ASSERT_TRUE(t->FindKey({"AL", "E1"}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4) << "the earliest date of AL/E1";
  EXPECT_FALSE(t->Bof());
  EXPECT_FALSE(t->Eof());
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  t->Next();
  EXPECT_EQ(t->FieldByName("EMPCODE").AsString(), "E10") << "the walk goes on past the key";
  EXPECT_FALSE(t->FindKey({"AL", "E"})) << "a text matches the whole field, not its beginning";

  EXPECT_TRUE(t->FindKey({"SL", "E2", EncodeDate(2003, 9, 9) + 0.75}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 6) << "a time of day does not hinder a date";
  EXPECT_TRUE(t->FindKey({"SL", "E1", Variant::FromDateTime(EncodeDate(2003, 9, 1)), 2}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2);
  EXPECT_TRUE(t->FindKey({"AL", Variant(), Variant(), Variant()})) << "unassigned values are skipped";
  EXPECT_EQ(t->FieldByName("LEAVE_CODE").AsString(), "AL");
  EXPECT_EQ(t->State(), StateBrowse);
}

TEST_F(IndexTest, FindKeyTakesEveryKindOfValue) {
  LeaveTable();
  auto t = Cursor("leave");
  t->Open();
  t->SetIndexName("BYID");
  EXPECT_TRUE(t->FindKey({5}));
  EXPECT_EQ(t->FieldByName("EMPCODE").AsString(), "E10");
  EXPECT_TRUE(t->FindKey({"3"})) << "a text converted by the field";
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  EXPECT_FALSE(t->FindKey({int64_t{99}}));
  t->SetIndexFieldNames("AMOUNT");
  EXPECT_TRUE(t->FindKey({Currency::FromRaw(60000)}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4);
  t->SetIndexFieldNames("RATE");
  EXPECT_TRUE(t->FindKey({1.25}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 5);
  t->SetIndexFieldNames("ACTIVE");
  EXPECT_TRUE(t->FindKey({false}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 2) << "the first inactive record by ID";
  EXPECT_TRUE(t->FindKey({Variant::FromBoolean(true)}));
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);
  t->SetIndexFieldNames("ID");
  EXPECT_EQ(ErrorOf([&] { t->FindKey({"x1"}); }), "MEDSCH: 'x1' is not a valid integer value for field 'ID'");
  EXPECT_EQ(t->State(), StateBrowse);
}

TEST_F(IndexTest, FindKeyFailuresAndWhereTheCursorStands) {
  LeaveTable();
  auto t = Cursor("leave");
  t->Open();
  EXPECT_EQ(ErrorOf([&] { t->FindKey({1}); }), "MEDSCH: No parseable expressions in setting key fields");
  EXPECT_EQ(CodeOf([&] { t->FindKey({1}); }), 5121);
  t->SetIndexName("BYID");
  EXPECT_EQ(ErrorOf([&] { t->FindKey({1, 2}); }), "MEDSCH: Too many values given for current index");
  EXPECT_EQ(CodeOf([&] { t->SetIndexName("DB_DEFAULT"); }), ENG_ERR_INDEX_NOT_FOUND)
      << "no dictionary, no default index";
  EXPECT_EQ(t->IndexName(), "BYID");
  t->Close();

  t->SetIndexFieldNames("ID;NOFIELD");
  EXPECT_NE(ErrorOf([&] { t->Open(); }), "<no error>");
  t->SetIndexName("");
  t->Open();

  // After Open: the first record, Bof.
  t->Close();
  t->SetIndexFieldNames("ID");
  t->Open();
  EXPECT_FALSE(t->FindKey({42}));
  EXPECT_TRUE(t->Bof());
  EXPECT_FALSE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 1);
  // In the middle: the record stays.
  t->Next();
  t->Next();
  EXPECT_FALSE(t->FindKey({42}));
  EXPECT_FALSE(t->Bof());
  EXPECT_FALSE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 3);
  t->Next();
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 4) << "the engine was put back on the record";
  // After a walk that ended at Eof: the last record, Eof.
  while (!t->Eof()) t->Next();
  EXPECT_FALSE(t->FindKey({42}));
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->FieldByName("ID").AsInteger(), 6);
  // Found after Eof clears it.
  EXPECT_TRUE(t->FindKey({2}));
  EXPECT_FALSE(t->Eof());
}

TEST_F(IndexTest, KeyFieldUnknownToTheCursorIsNamed) {
  Create("codes", "CATEGORY,Char,4;CODE,Char,6");
  Index("CC", "CATEGORY;CODE");
  CloseCreated();
  auto t = Cursor("codes", "Code");
  t->SetIndexFieldNames("CATEGORY;CODE");
  t->Open();
  EXPECT_FALSE(t->FindKey({"A", "B"})) << "empty table";
  EXPECT_TRUE(t->Eof());
  t->Close();
  t->SetIndexFieldNames("CATEGORY; CODE");
  EXPECT_EQ(ErrorOf([&] { t->Open(); }), "Code: Not a valid index field name:CATEGORY; CODE");
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(IndexTest, IndexFilesAreSortedAndOpenedWithTheTable) {
  People({1});
  auto t = Cursor("people");
  t->AddIndexFile("extra2.adi");
  t->AddIndexFile("extra1.adi");
  t->AddIndexFile("extra2.adi");
  EXPECT_EQ(t->IndexFiles(), (std::vector<std::string>{"extra1.adi", "extra2.adi"}));
  // This engine keeps a table's tags in its own index file only.
  EXPECT_EQ(CodeOf([&] { t->Open(); }), ENG_ERR_NOT_SUPPORTED);
  EXPECT_FALSE(t->Active());
  t->ClearIndexFiles();
  t->Open();
  EXPECT_EQ(CodeOf([&] { t->AddIndexFile("extra1.adi"); }), ENG_ERR_NOT_SUPPORTED);
  EXPECT_TRUE(t->IndexFiles().empty()) << "a file the engine refused is not listed";
  t->DeleteIndexFile("never.adi");
  EXPECT_TRUE(t->Active());
}

}  // namespace
}  // namespace dbu

namespace dbu {
namespace {

TEST_F(IndexTest, DictionaryDefaultIndexFollowedOnConnectAndOnTableName) {
  LeaveTable();
  People({2, 1});
  ENGHANDLE dict = 0;
  const std::string path = folder + "/comp.add";
  ENG_OK_OR_FAIL(EngDictCreate(path.c_str(), "DBSYS", "pw", &dict));
  ENG_OK_OR_FAIL(EngDictAddTable(dict, "LEAVE", "leave.adt"));
  ENG_OK_OR_FAIL(EngDictAddTable(dict, "PEOPLE", "people.adt"));
  ENG_OK_OR_FAIL(EngDictSetTableProperty(dict, "LEAVE", ENG_DD_TABLE_DEFAULT_INDEX, "IDDOWN"));
  EngDisconnect(dict);

  TDbConnection dictionary(&form);
  dictionary.SetName("Dict");
  dictionary.SetLoginPrompt(false);
  dictionary.SetUsername("DBSYS");
  dictionary.SetPassword("pw");
  dictionary.SetConnectPath(path);
  TDbTable t(&form);
  t.SetName("MEDSCH");
  t.SetDatabaseName("Dict");
  t.SetTableName("LEAVE");
  EXPECT_EQ(t.IndexName(), "") << "not connected: nothing is asked";
  t.Open();  // connecting looks the default up
  EXPECT_EQ(t.IndexName(), "DB_DEFAULT");
  EXPECT_EQ(t.DefaultIndexName(), "IDDOWN");
  EXPECT_EQ(Walk(t, "ID"), "6,5,4,3,2,1");
  EXPECT_EQ(ErrorOf([&] { t.FindKey({3}); }), "MEDSCH: No parseable expressions in setting key fields");
  t.SetIndexFieldNames("ID");
  EXPECT_TRUE(t.FindKey({3}));
  t.Close();

  t.SetTableName("LEAVE");
  EXPECT_EQ(t.IndexName(), "DB_DEFAULT") << "an empty IndexName follows the default again";
  EXPECT_EQ(t.IndexFieldNames(), "ID");
  t.SetTableName("PEOPLE");
  EXPECT_EQ(t.IndexName(), "") << "no default index: natural order";
  EXPECT_EQ(t.IndexFieldNames(), "");
  EXPECT_EQ(t.IndexMode(), TIndexMode::None);
  t.Open();  // PEOPLE has no index on ID
  EXPECT_EQ(Walk(t, "ID"), "2,1");
  t.Close();
  dictionary.Disconnect();
}

}  // namespace
}  // namespace dbu
