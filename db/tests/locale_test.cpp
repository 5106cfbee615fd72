// Numbers under a process locale whose decimal separator is a comma: what
// fields store, what the engine reads from field texts, filters and SQL, and
// what it writes as text, all keep "." as the window's Qt start-up would not.
#include <gtest/gtest.h>

#include "commalocale.h"
#include "cursorfixture.h"
#include "dbquery.h"

namespace dbu {
namespace {

class CommaLocaleTest : public test::CursorFixture {
 protected:
  // N numeric(6,2), F double, S char(10): 12.5, 12.95 and 13, given to the
  // engine as texts.
  void Amounts() {
    Create("amounts", "N,Numeric,6,2;F,Double;S,Char,10");
    for (const char* value : {"12.5", "12.95", "13"}) {
      Append();
      SetText(1, value);
      SetText(2, value);
      Write();
    }
    CloseCreated();
  }
  // What the engine gives as the text of one field, record by record.
  std::vector<std::string> EngineTexts(uint16_t field) {
    std::vector<std::string> out;
    ENGHANDLE h = 0;
    EXPECT_EQ(EngOpenTable(connection, "amounts", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                           ENG_CHECK_RIGHTS, 0, &h),
              ENG_OK)
        << test::EngineText();
    uint16_t eof = 0;
    for (EngGotoTop(h); EngAtEOF(h, &eof) == ENG_OK && !eof; EngSkip(h, 1)) {
      uint8_t text[64] = {};
      uint32_t len = sizeof text;
      EXPECT_EQ(EngGetField(h, field, text, &len), ENG_OK) << test::EngineText();
      out.emplace_back(reinterpret_cast<const char*>(text), len);
    }
    EngCloseTable(h);
    return out;
  }
  std::unique_ptr<TDbQuery> Query() {
    auto q = std::make_unique<TDbQuery>(&form);
    q->SetName("DbQuery1");
    q->SetDatabaseName("DbConnection1");
    q->SetDbRightsCheck(false);
    return q;
  }
};

using Texts = std::vector<std::string>;

TEST_F(CommaLocaleTest, FieldValuesAreStoredWithAPointAndReadBack) {
  DBU_UNDER_COMMA_LOCALE();
  Create("amounts", "N,Numeric,6,2;F,Double;S,Char,10");
  CloseCreated();
  auto t = Cursor("amounts");
  t->Open();
  t->Append();
  t->FieldByName("N").SetAsFloat(12.5);
  t->FieldByName("F").SetAsFloat(12.5);
  t->Post();
  t->Append();
  t->FieldByName("N").SetAsString("0.75");
  t->FieldByName("F").SetAsString("-1.25");
  t->Post();
  t->Close();

  t->Open();
  EXPECT_EQ(t->FieldByName("N").AsFloat(), 12.5);
  EXPECT_EQ(t->FieldByName("N").AsString(), "12.5");
  EXPECT_EQ(t->FieldByName("F").AsString(), "12.5");
  t->Next();
  EXPECT_EQ(t->FieldByName("N").AsFloat(), 0.75);
  EXPECT_EQ(t->FieldByName("F").AsFloat(), -1.25);
  t->Close();
  EXPECT_EQ(EngineTexts(1), (Texts{" 12.50", "  0.75"})) << "the stored bytes";
  EXPECT_EQ(EngineTexts(2), (Texts{"12.5", "-1.25"}));
}

TEST_F(CommaLocaleTest, FilterComparesWithTheNumberAsWritten) {
  DBU_UNDER_COMMA_LOCALE();
  Amounts();
  EXPECT_EQ(EngineTexts(1), (Texts{" 12.50", " 12.95", " 13.00"}));
  auto t = Cursor("amounts");
  t->SetFilter("N < 12.9");
  t->SetFiltered(true);
  t->Open();
  EXPECT_EQ(Walk(*t, "N"), "12.5");
  t->SetFilter("F > 12.9");
  EXPECT_EQ(Walk(*t, "F"), "12.95,13");
}

TEST_F(CommaLocaleTest, SqlComparesWithTheNumberAsWrittenAndWritesNumbersWithAPoint) {
  DBU_UNDER_COMMA_LOCALE();
  Amounts();
  auto q = Query();
  q->SQL().SetText("UPDATE amounts SET S = F WHERE N > 12.9");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 2);
  q->SQL().SetText("UPDATE amounts SET N = 12.25 WHERE F < 12.9");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 1);
  q->SQL().SetText("SELECT N, S FROM amounts WHERE F > 12.9");
  q->Open();
  EXPECT_EQ(Walk(*q, "S"), "12.95,13") << "a number turned into text keeps its point";
  q->Close();
  EXPECT_EQ(EngineTexts(1), (Texts{" 12.25", " 12.95", " 13.00"}));
}

}  // namespace
}  // namespace dbu
