// SELECT ... WHERE ... ORDER BY against a model of the same rows: random
// values (empty fields, blank-padded and leading-blank texts, -0, dates,
// time stamps, memos), keys ascending and descending, keys that are result
// columns, table fields left out of the result, computed columns and memo
// columns. Equal keys keep the table's natural order.
#include <algorithm>
#include <cmath>
#include <optional>
#include <random>

#include "sql_test_util.h"

using namespace engtest;

namespace {

struct ModelRow {
  int id = 0;
  std::optional<std::string> name;  // as stored: blank-padded to 6
  std::optional<int> day;           // 1..5 of January 2006
  std::optional<double> x;
  std::optional<int> hour;          // time stamp on 2 January 2006
  std::optional<std::string> note;
};

int Compare(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return a ? 1 : (b ? -1 : 0);  // empty first
  return a->compare(*b) < 0 ? -1 : (a->compare(*b) > 0 ? 1 : 0);
}
template <class T>
int Compare(const std::optional<T>& a, const std::optional<T>& b) {
  if (!a || !b) return a ? 1 : (b ? -1 : 0);
  return *a < *b ? -1 : (*b < *a ? 1 : 0);
}

class SqlSelectOrderTest : public SqlTest {
 protected:
  void Fill(int rows) {
    Ok("CREATE TABLE T (ID integer, NAME char(6), D date, X double, TS timestamp, NOTE memo)");
    std::string sql;
    for (int i = 1; i <= rows; ++i) {
      ModelRow r;
      r.id = i;
      if (rng_() % 6) {
        static const char kChars[] = {'A', 'B', 'a', ' '};
        std::string s(1, "ABa"[rng_() % 3]);
        if (rng_() % 3 == 0) s = " " + s;  // a leading blank sorts first
        for (size_t n = rng_() % 4; n > 0; --n) s += kChars[rng_() % 4];
        s.resize(6, ' ');
        r.name = s;
      }
      if (rng_() % 5) r.day = 1 + static_cast<int>(rng_() % 5);
      if (rng_() % 5) {
        static const double kValues[] = {-1.5, -0.0, 0.0, 0.25, 3.0};
        r.x = kValues[rng_() % 5];
      }
      if (rng_() % 5) r.hour = static_cast<int>(rng_() % 24);
      if (rng_() % 3 == 0) r.note = std::string(1 + rng_() % 3, "xyz"[rng_() % 3]);
      char x[32];
      if (r.x) std::snprintf(x, sizeof x, "%g", *r.x);  // -0 as "-0"
      sql += std::string(sql.empty() ? "INSERT INTO T VALUES " : ", ") + "(" + std::to_string(i) + ", " +
             (r.name ? "'" + *r.name + "'" : "NULL") + ", " +
             (r.day ? "DATE '2006-01-0" + std::to_string(*r.day) + "'" : "NULL") + ", " + (r.x ? x : "NULL") + ", " +
             (r.hour ? "TIMESTAMP '2006-01-02 " + std::to_string(100 + *r.hour).substr(1) + ":00:00'" : "NULL") +
             ", " + (r.note ? "'" + *r.note + "'" : "NULL") + ")";
      model_.push_back(r);
    }
    Ok(sql);
  }

  // The model's rows that pass `where` (by number) in the order of `keys`
  // (column, descending), ties in natural order.
  std::vector<std::string> Expected(int where, const std::vector<std::pair<std::string, bool>>& keys) {
    std::vector<ModelRow> rows;
    for (const ModelRow& r : model_) {
      bool pass = where == 0 || (where == 1 && r.x && *r.x < 0.5) || (where == 2 && r.name && *r.name >= "B     ") ||
                  (where == 3 && r.day && r.hour && *r.hour <= 12);  // an empty TS makes the NOT NULL
      if (pass) rows.push_back(r);
    }
    std::stable_sort(rows.begin(), rows.end(), [&](const ModelRow& a, const ModelRow& b) {
      for (const auto& [column, descending] : keys) {
        int c = column == "NAME" || column == "N2" ? Compare(a.name, b.name)
                : column == "D"                    ? Compare(a.day, b.day)
                : column == "X"                    ? Compare(a.x, b.x)
                : column == "Y" ? Compare(a.x ? std::optional<double>(*a.x * 2) : std::nullopt,
                                          b.x ? std::optional<double>(*b.x * 2) : std::nullopt)
                : column == "TS" ? Compare(a.hour, b.hour)
                                 : Compare(a.note, b.note);
        if (c != 0) return descending ? c > 0 : c < 0;
      }
      return false;
    });
    std::vector<std::string> ids;
    for (const ModelRow& r : rows) ids.push_back(std::to_string(r.id));
    return ids;
  }

  std::vector<std::string> Ids(const std::string& sql) {
    std::vector<std::string> ids;
    for (const auto& row : Query(sql)) ids.push_back(row.at(0));
    return ids;
  }

  std::vector<ModelRow> model_;
  std::mt19937 rng_{7};
};

TEST_F(SqlSelectOrderTest, RandomKeysAgreeWithTheModel) {
  Fill(400);
  static const char* kWhere[] = {"", " WHERE X < 0.5", " WHERE NAME >= 'B'", " WHERE D IS NOT NULL AND NOT TS > {ts '2006-01-02 12:00:00'}"};
  static const char* kColumns[] = {"NAME", "D", "X", "TS"};
  for (int i = 0; i < 60; ++i) {
    int where = static_cast<int>(rng_() % 4);
    std::vector<std::pair<std::string, bool>> keys;
    std::string order;
    for (size_t k = 0, n = 1 + rng_() % 3; k < n; ++k) {
      keys.emplace_back(kColumns[rng_() % 4], rng_() % 2 == 1);
      order += std::string(k ? ", " : " ORDER BY ") + keys.back().first + (keys.back().second ? " DESC" : "");
    }
    // The keys as fields outside the result, and as columns of SELECT *.
    EXPECT_EQ(Ids(std::string("SELECT ID FROM T") + kWhere[where] + order), Expected(where, keys)) << order;
    EXPECT_EQ(Ids(std::string("SELECT * FROM T") + kWhere[where] + order), Expected(where, keys)) << order;
  }
  // Keys that are renamed, computed or memo columns.
  EXPECT_EQ(Ids("SELECT ID, NAME AS N2 FROM T ORDER BY N2 DESC, 1"), Expected(0, {{"N2", true}}));
  EXPECT_EQ(Ids("SELECT ID, X * 2 AS Y FROM T WHERE X < 0.5 ORDER BY Y DESC"), Expected(1, {{"Y", true}}));
  EXPECT_EQ(Ids("SELECT ID, NOTE FROM T ORDER BY NOTE, D DESC"), Expected(0, {{"NOTE", false}, {"D", true}}));
  EXPECT_EQ(Ids("SELECT ID FROM T ORDER BY NOTE DESC"), Expected(0, {{"NOTE", true}}));
}

TEST_F(SqlSelectOrderTest, ResultRowsCarryTheirValues) {
  Fill(50);
  auto rows = Query("SELECT ID, NAME, X, NOTE FROM T WHERE X >= 0 ORDER BY X DESC, ID DESC");
  std::vector<ModelRow> expected;
  for (const ModelRow& r : model_)
    if (r.x && *r.x >= 0) expected.push_back(r);
  std::stable_sort(expected.begin(), expected.end(), [](const ModelRow& a, const ModelRow& b) {
    return *a.x != *b.x ? *a.x > *b.x : a.id > b.id;
  });
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], std::to_string(expected[i].id));
    EXPECT_EQ(rows[i][1], expected[i].name ? Trim(*expected[i].name) : "<null>");
    EXPECT_EQ(std::stod(rows[i][2]), *expected[i].x);
    EXPECT_EQ(rows[i][3], expected[i].note ? *expected[i].note : "<null>");
  }
}

}  // namespace
