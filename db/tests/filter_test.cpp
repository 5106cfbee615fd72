// Record filters: the text preparation, and filters on open cursors.
#include <gtest/gtest.h>

#include "cursorfixture.h"
#include "dbfilter.h"

namespace dbu {
namespace {

TEST(FilterTextTest, TrailingStarOfALiteralBecomesAPartialMatch) {
  TPreparedFilter plain = PrepareFilterText("TABLE_NAME='ASSET'");
  EXPECT_EQ(plain.Expression, "TABLE_NAME='ASSET'");
  EXPECT_EQ(plain.Exact, 1);

  TPreparedFilter partial = PrepareFilterText("NAME='SMI*'");
  EXPECT_EQ(partial.Expression, "NAME='SMI'");
  EXPECT_EQ(partial.Exact, 0);

  TPreparedFilter doubled = PrepareFilterText("NAME=\"SMI**\" .AND. X='A'");
  EXPECT_EQ(doubled.Expression, "NAME=\"SMI*\" .AND. X='A'") << "one star is taken, the literal closes";
  EXPECT_EQ(doubled.Exact, 0);

  TPreparedFilter stars = PrepareFilterText("NAME='**' .OR. NAME='*'");
  EXPECT_EQ(stars.Expression, "NAME='**' .OR. NAME='*'") << "literals of stars only are meant as they are";
  EXPECT_EQ(stars.Exact, 1);

  TPreparedFilter inner = PrepareFilterText("NAME='A*B' .AND. N=\"it's*\"");
  EXPECT_EQ(inner.Expression, "NAME='A*B' .AND. N=\"it's\"") << "the other quote inside a literal is text";
  EXPECT_EQ(inner.Exact, 0);

  TPreparedFilter outside = PrepareFilterText("N*2 = 4");
  EXPECT_EQ(outside.Expression, "N*2 = 4");
  EXPECT_EQ(outside.Exact, 1);

  TPreparedFilter unclosed = PrepareFilterText("NAME='AB*");
  EXPECT_EQ(unclosed.Expression, "NAME='AB*") << "no closing quote: nothing to take";
  EXPECT_EQ(PrepareFilterText("").Expression, "");
}

class FilterTest : public test::CursorFixture {
 protected:
  void Mapping() {
    Create("marlix", "TABLE_NAME,Char,10;COL,Integer");
    int col = 0;
    for (const char* name : {"ASSET", "FAACCDEP", "ASSET", "ASSETX"}) {
      Append();
      SetText(1, name);
      SetRaw<int32_t>(2, ++col);
      Write();
    }
    CloseCreated();
  }
};

TEST_F(FilterTest, SwitchingOffWithoutAFilterGoesFirstAndSettingTextAloneDoesNothing) {
  Mapping();
  auto t = Cursor("marlix");
  t->Open();
  t->Next();
  t->SetFiltered(false);
  EXPECT_TRUE(t->Bof());
  EXPECT_EQ(t->FieldByName("COL").AsInteger(), 1);
  t->Next();
  t->SetFilter("NO_SUCH_FIELD = 1");  // not filtered: the engine is not asked
  EXPECT_EQ(t->FieldByName("COL").AsInteger(), 2);
  EXPECT_EQ(Walk(*t, "COL"), "1,2,3,4");
}

TEST_F(FilterTest, FilterStaysAcrossCloseAndNewTable) {
  Mapping();
  auto t = Cursor("marlix");
  t->SetFiltered(false);
  t->SetFilter("TABLE_NAME='ASSET'");
  t->SetFiltered(true);
  t->Open();
  EXPECT_EQ(Walk(*t, "COL"), "1,3");
  t->SetFilter("TABLE_NAME='ASS*'");
  EXPECT_EQ(Walk(*t, "COL"), "1,3,4") << "a trailing star matches the beginning";
  t->SetDbOptimizedFilters(false);
  EXPECT_EQ(Walk(*t, "COL"), "1,3,4");
  t->Close();
  t->Open();
  EXPECT_EQ(Walk(*t, "COL"), "1,3,4");
  t->Close();

  People({1, 2});
  t->SetTableName("people");
  EXPECT_NE(CodeOf([&] { t->Open(); }), 0) << "the filtered field is missing";
  EXPECT_FALSE(t->Active());
  t->SetFiltered(false);
  t->Open();
  EXPECT_EQ(Walk(*t, "ID"), "1,2");
}

}  // namespace
}  // namespace dbu
