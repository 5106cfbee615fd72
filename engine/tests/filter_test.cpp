// Filters on table handles: navigation skips rejected records in both
// directions, visibility, counts, clearing, exactness and bad expressions.
#include "sql_test_util.h"

using namespace engtest;

namespace {

class FilterTest : public SqlTest {
 protected:
  void SetUp() override {
    SqlTest::SetUp();
    Ok("CREATE TABLE ITEMS (TABLE_NAME char(10), FIELD_NO integer, NOTE memo)");
    Ok("INSERT INTO ITEMS VALUES ('ASSET', 1, 'first'), ('SETUP', 2, ''), ('ASSET', 3, 'third'),"
       " ('ASSETS', 4, 'x'), ('OTHER', 5, 'fifth'), ('ASSET', 6, NULL)");
    Ok("DELETE FROM ITEMS WHERE FIELD_NO = 3");
    h_ = Open("ITEMS");
  }
  void TearDown() override {
    EngCloseTable(h_);
    SqlTest::TearDown();
  }
  std::vector<uint32_t> WalkBack(ENGHANDLE h) {
    std::vector<uint32_t> out;
    EngGotoBottom(h);
    while (!Bof(h)) {
      out.push_back(RecNo(h));
      EngSkip(h, -1);
    }
    return out;
  }
  ENGHANDLE h_ = 0;
};

TEST_F(FilterTest, NavigationSkipsRejectedRecordsBothWays) {
  ENG_OK_(EngSetFilter(h_, "TABLE_NAME = 'ASSET'"));
  // Inexact by default: 'ASSET' also matches "ASSETS"; deleted record 3 never shows.
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{1, 4, 6}));
  EXPECT_EQ(WalkBack(h_), (std::vector<uint32_t>{6, 4, 1}));
  uint32_t count = 0;
  ENG_OK_(EngGetRecordCount(h_, ENG_RESPECTFILTERS, &count));
  EXPECT_EQ(count, 3u);
  ENG_OK_(EngGetRecordCount(h_, ENG_IGNOREFILTERS, &count));
  EXPECT_EQ(count, 5u);

  ENG_OK_(EngSetExactEx(h_, 1));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{1, 6}));

  // A record that fails the filter is reported invisible when reached directly.
  ENG_OK_(EngGotoRecord(h_, 2));
  uint16_t visible = 1;
  ENG_OK_(EngIsRecordVisible(h_, &visible));
  EXPECT_EQ(visible, 0);
  ENG_OK_(EngGotoRecord(h_, 1));
  ENG_OK_(EngIsRecordVisible(h_, &visible));
  EXPECT_EQ(visible, 1);
}

TEST_F(FilterTest, OptimizedFilterOnMemoAndNumbers) {
  ENG_OK_(EngSetOptimizedFilter(h_, "FIELD_NO >= 2 AND NOTE IS NOT NULL", ENG_RESOLVE_IMMEDIATE));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{4, 5}));
  ENG_OK_(EngSetOptimizedFilter(h_, "NOTE LIKE 'fi%'", ENG_RESOLVE_DYNAMIC));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{1, 5}));
  EXPECT_EQ(EngSetOptimizedFilter(h_, "FIELD_NO > 1", 7), static_cast<ENGRESULT>(ENG_ERR_INVALID_ARGUMENT));
}

TEST_F(FilterTest, ClearingAndErrors) {
  EXPECT_EQ(EngClearFilter(h_), static_cast<ENGRESULT>(ENG_ERR_NO_FILTER));
  ENG_OK_(EngSetFilter(h_, "FIELD_NO = 5"));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{5}));
  // A bad expression fails naming the table, and the previous filter stays.
  EXPECT_EQ(EngSetFilter(h_, "NOSUCH = 1"), static_cast<ENGRESULT>(ENG_ERR_EXPRESSION));
  EXPECT_NE(LastError().find("ITEMS"), std::string::npos) << LastError();
  EXPECT_NE(LastError().find("NOSUCH"), std::string::npos) << LastError();
  EXPECT_EQ(EngSetFilter(h_, "FIELD_NO + 1"), static_cast<ENGRESULT>(ENG_ERR_EXPRESSION));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{5}));
  ENG_OK_(EngClearOptimizedFilter(h_));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{1, 2, 4, 5, 6}));
  EXPECT_EQ(EngClearOptimizedFilter(h_), static_cast<ENGRESULT>(ENG_ERR_NO_FILTER));
  // No record passes: the table looks empty.
  ENG_OK_(EngSetFilter(h_, "FIELD_NO > 100"));
  ENG_OK_(EngGotoTop(h_));
  EXPECT_TRUE(Eof(h_));
  EXPECT_TRUE(Bof(h_));
}

TEST_F(FilterTest, ExpressionFormsAreCheckedAndReturnedUnchanged) {
  char out[100];
  uint16_t len = sizeof out;
  ENG_OK_(EngExpressionLongToShort(h_, "table_name = 'X'", out, &len));
  EXPECT_STREQ(out, "table_name = 'X'");
  len = sizeof out;
  ENG_OK_(EngExpressionShortToLong(h_, "FIELD_NO*2", out, &len));
  EXPECT_STREQ(out, "FIELD_NO*2");
  len = sizeof out;
  EXPECT_EQ(EngExpressionShortToLong(h_, "BOGUS(", out, &len), static_cast<ENGRESULT>(ENG_ERR_EXPRESSION));
  len = 3;
  EXPECT_EQ(EngExpressionShortToLong(h_, "FIELD_NO", out, &len), static_cast<ENGRESULT>(ENG_ERR_BUFFER_TOO_SMALL));
}

TEST_F(FilterTest, FilterFollowsChangesByOtherHandles) {
  ENG_OK_(EngSetFilter(h_, "FIELD_NO = 7"));
  ENG_OK_(EngGotoTop(h_));
  EXPECT_TRUE(Eof(h_));
  Ok("UPDATE ITEMS SET FIELD_NO = 7 WHERE FIELD_NO = 2");
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{2}));
}

}  // namespace

namespace {

TEST_F(FilterTest, IndexOrderAndIndexAssistedFilters) {
  EngCloseTable(h_);
  Ok("CREATE INDEX BYNAME ON ITEMS (TABLE_NAME, FIELD_NO)");
  Ok("CREATE INDEX BYNO ON ITEMS (FIELD_NO) DESC");
  h_ = Open("ITEMS");
  ENGHANDLE byname = 0, byno = 0;
  ENG_OK_(EngGetIndexHandle(h_, "BYNAME", &byname));
  ENG_OK_(EngGetIndexHandle(h_, "BYNO", &byno));
  // Set through the index handle: the filter is the table's.
  ENG_OK_(EngSetFilter(byname, "TABLE_NAME = 'ASSET'"));
  EXPECT_EQ(Walk(byname), (std::vector<uint32_t>{1, 6, 4}));  // ASSET 1, ASSET 6, ASSETS 4
  EXPECT_EQ(Walk(byno), (std::vector<uint32_t>{6, 4, 1}));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{1, 4, 6}));  // natural order, through the index's leading segment
  EXPECT_EQ(WalkBack(h_), (std::vector<uint32_t>{6, 4, 1}));
  ENG_OK_(EngSetExactEx(h_, 1));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{1, 6}));
  ENG_OK_(EngSetExactEx(h_, 0));
  // Records changed after the filter was set are seen.
  Ok("INSERT INTO ITEMS VALUES ('ASSET', 7, NULL)");
  Ok("UPDATE ITEMS SET TABLE_NAME = 'GONE' WHERE FIELD_NO = 1");
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{4, 6, 7}));
  uint32_t count = 0;
  ENG_OK_(EngGetRecordCount(h_, ENG_RESPECTFILTERS, &count));
  EXPECT_EQ(count, 3u);
  // A numeric leading segment (a descending tag is walked in full, same result).
  ENG_OK_(EngSetFilter(h_, "FIELD_NO = 4 OR FIELD_NO = 5"));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{4, 5}));
  ENG_OK_(EngSetFilter(h_, "FIELD_NO = 5 AND TABLE_NAME = 'OTHER'"));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{5}));
  EngCloseTable(h_);
  Ok("CREATE INDEX BYNUM ON ITEMS (FIELD_NO)");
  h_ = Open("ITEMS");
  ENG_OK_(EngSetFilter(h_, "FIELD_NO = 5"));
  EXPECT_EQ(Walk(h_), (std::vector<uint32_t>{5}));
  ENG_OK_(EngSetFilter(h_, "FIELD_NO = 5.0 AND FIELD_NO >= 5"));
  EXPECT_EQ(WalkBack(h_), (std::vector<uint32_t>{5}));
  ENG_OK_(EngSetFilter(h_, "TABLE_NAME = 'NONE'"));
  ENG_OK_(EngGotoTop(h_));
  EXPECT_TRUE(Eof(h_));
}

}  // namespace
