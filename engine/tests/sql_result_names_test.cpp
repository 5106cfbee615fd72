// Names of a SELECT's result columns: each takes its heading, and a heading
// met again takes the first free "_2", "_3", ... compared without regard to
// case, also past names that a column took explicitly.
#include "sql_test_util.h"

using namespace engtest;

namespace {

class SqlResultNamesTest : public SqlTest {};

// As many columns as a table may have, nearly all with the same heading:
// naming them must not cost more than naming as many distinct ones.
TEST_F(SqlResultNamesTest, RepeatedHeadingsGetDistinctNames) {
  Ok("CREATE TABLE T (ID integer, ID_3 integer)");
  Ok("INSERT INTO T VALUES (7, 3)");
  constexpr int kColumns = 4000;
  std::string sql = "SELECT ID_3";
  std::vector<std::string> expected = {"ID_3"};
  for (int j = 2; j <= kColumns; ++j) {
    const std::string heading = j % 2 ? "id" : "ID";
    sql += ", " + heading;
    // Column 2 takes the plain name, column 3 the first number, column 4 skips the taken ID_3.
    expected.push_back(j == 2 ? heading : heading + "_" + std::to_string(j == 3 ? 2 : j));
  }
  ENGHANDLE c = 0;
  ASSERT_EQ(Run(sql + " FROM T", &c), 0u) << LastError();
  uint16_t n = 0;
  ENG_OK_(EngGetNumFields(c, &n));
  std::vector<std::string> names;
  for (uint16_t f = 1; f <= n; ++f) {
    char name[256];
    uint16_t len = sizeof name;
    ENG_OK_(EngGetFieldName(c, f, name, &len));
    names.emplace_back(name);
  }
  EXPECT_EQ(names, expected);
  const Rows_ rows = Rows(c);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "3");
  EXPECT_EQ(rows[0][kColumns - 1], "7");
  EngCloseTable(c);
}

}  // namespace
