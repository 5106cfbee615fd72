// Filtered walks in index order seek to the range that the filter's
// comparisons on the tag's leading field admit and stop at its end. Whatever
// the narrowing, a walk must show exactly the records the filter passes, in
// the tag's order: random filters over random rows, ascending, descending
// and compound tags, both exactness settings, forward, backward, by several
// records at a time, and from records outside the filter.
#include <algorithm>
#include <random>

#include "sql_test_util.h"

using namespace engtest;

namespace {

class FilterIndexWalkTest : public SqlTest {
 protected:
  void Fill(int rows) {
    Ok("CREATE TABLE W (NAME char(4), N integer, X double, D date)");
    std::string sql;
    for (int i = 0; i < rows; ++i) {
      std::string name = "NULL", n = "NULL", x = "NULL", d = "NULL";
      if (rng_() % 6) {
        static const char kChars[] = {'A', 'B', 'a', ' '};
        name = std::string(1, "ABa"[rng_() % 3]);
        for (size_t k = rng_() % 4; k > 0; --k) name += kChars[rng_() % 4];
        name = "'" + name + "'";
      }
      if (rng_() % 6) n = std::to_string(static_cast<int>(rng_() % 7) - 3);
      if (rng_() % 6) {
        static const char* kX[] = {"-1.5", "-0", "0", "0.5", "2"};
        x = kX[rng_() % 5];
      }
      if (rng_() % 6) d = "DATE '2006-01-0" + std::to_string(1 + rng_() % 5) + "'";
      sql += std::string(sql.empty() ? "INSERT INTO W VALUES " : ", ") + "(" + name + ", " + n + ", " + x + ", " + d + ")";
    }
    Ok(sql);
    Ok("DELETE FROM W WHERE N = 3 AND X > 0");
    for (const char* index : {"BYNAME ON W (NAME)", "BYNAME_D ON W (NAME) DESC", "BYN ON W (N)", "BYN_D ON W (N) DESC",
                              "BYX ON W (X)", "BYD_D ON W (D) DESC", "BYNAME_N ON W (NAME, N)"})
      Ok(std::string("CREATE INDEX ") + index);
  }

  std::string Op() {
    static const char* kOps[] = {"=", "<", "<=", ">", ">=", "<>"};
    return kOps[rng_() % 6];
  }

  std::string Comparison() {
    switch (rng_() % 5) {
      case 0: {
        static const char* kTexts[] = {"'A'", "'AB'", "'B '", "'a'", "''", "'B'", "'Aa B'", "'ABBBB'", "' '"};
        std::string literal = kTexts[rng_() % 9];
        return rng_() % 4 ? "NAME " + Op() + " " + literal : literal + " " + Op() + " NAME";
      }
      case 1: {
        static const char* kNumbers[] = {"-2", "0", "1", "2.5", "-0.5", "2147483647", "-2147483648"};
        return rng_() % 4 ? "N " + Op() + " " + kNumbers[rng_() % 7] : std::string(kNumbers[rng_() % 7]) + " " + Op() + " N";
      }
      case 2: {
        static const char* kNumbers[] = {"0", "-0", "0.5", "-1", "3"};
        return "X " + Op() + " " + kNumbers[rng_() % 5];
      }
      case 3: {
        static const char* kDates[] = {"'2006-01-03'", "{d '2006-01-01'}", "{ts '2006-01-03 12:00:00'}", "'2006-01-05'"};
        return "D " + Op() + " " + kDates[rng_() % 4];
      }
      default: return rng_() % 2 ? "N BETWEEN -1 AND 2" : "NAME IS NOT NULL";
    }
  }

  std::string Filter() {
    switch (rng_() % 4) {
      case 0: return Comparison() + " AND " + Comparison();
      case 1: return Comparison() + " OR " + Comparison();  // no bounds: the whole tag is walked
      default: return Comparison();
    }
  }

  // Every record in the tag's order, then those the filter shows (tested
  // one by one, which involves no seeking).
  std::vector<uint32_t> Visible(ENGHANDLE index, const std::vector<uint32_t>& all) {
    std::vector<uint32_t> out;
    for (uint32_t r : all) {
      EXPECT_EQ(EngGotoRecord(index, r), 0u) << LastError();
      uint16_t visible = 0;
      EXPECT_EQ(EngIsRecordVisible(index, &visible), 0u) << LastError();
      if (visible) out.push_back(r);
    }
    return out;
  }

  std::vector<uint32_t> WalkBy(ENGHANDLE h, int32_t step) {
    std::vector<uint32_t> out;
    if (step > 0 ? EngGotoTop(h) : EngGotoBottom(h)) ADD_FAILURE() << LastError();
    while (!(step > 0 ? Eof(h) : Bof(h))) {
      out.push_back(RecNo(h));
      EngSkip(h, step);
    }
    return out;
  }

  std::mt19937 rng_{42};
};

TEST_F(FilterIndexWalkTest, WalksShowExactlyWhatTheFilterPassesInTagOrder) {
  Fill(400);
  ENGHANDLE table = Open("W");
  std::vector<std::pair<ENGHANDLE, std::vector<uint32_t>>> tags;
  for (const char* tag : {"BYNAME", "BYNAME_D", "BYN", "BYN_D", "BYX", "BYD_D", "BYNAME_N"}) {
    ENGHANDLE index = 0;
    ENG_OK_(EngGetIndexHandle(table, tag, &index));
    tags.emplace_back(index, Walk(index));
    ASSERT_FALSE(tags.back().second.empty());
  }
  size_t shown = 0, hidden = 0;
  for (int i = 0; i < 150; ++i) {
    std::string filter = Filter();
    ENG_OK_(EngSetOptimizedFilter(table, filter.c_str(), ENG_RESOLVE_DYNAMIC));
    for (uint16_t exact : {1, 0}) {
      ENG_OK_(EngSetExactEx(table, exact));
      for (const auto& tag : tags) {
        ENGHANDLE index = tag.first;
        const std::vector<uint32_t>& all = tag.second;
        std::vector<uint32_t> expected = Visible(index, all);
        shown += expected.size();
        hidden += all.size() - expected.size();
        std::string what = filter + " exact " + std::to_string(exact);
        ASSERT_EQ(WalkBy(index, 1), expected) << what;
        ASSERT_EQ(WalkBy(index, -1), std::vector<uint32_t>(expected.rbegin(), expected.rend())) << what;
        std::vector<uint32_t> every_third;
        for (size_t k = 0; k < expected.size(); k += 3) every_third.push_back(expected[k]);
        ASSERT_EQ(WalkBy(index, 3), every_third) << what;
        // From a record the filter hides, a step goes to the nearest shown
        // record in the tag's order, either way.
        size_t at = rng_() % all.size();
        auto pos = [&](uint32_t r) { return std::find(all.begin(), all.end(), r) - all.begin(); };
        uint32_t next = 0, prev = 0;
        for (uint32_t r : expected)
          if (pos(r) > static_cast<long>(at) && next == 0) next = r;
        for (uint32_t r : expected)
          if (pos(r) < static_cast<long>(at)) prev = r;
        ENG_OK_(EngGotoRecord(index, all[at]));
        EngSkip(index, 1);
        EXPECT_EQ(Eof(index) ? 0u : RecNo(index), next) << what << " after " << all[at];
        ENG_OK_(EngGotoRecord(index, all[at]));
        EngSkip(index, -1);
        EXPECT_EQ(Bof(index) ? 0u : RecNo(index), prev) << what << " before " << all[at];
      }
    }
  }
  // Both outcomes are common enough for the walks to mean something.
  EXPECT_GT(shown, 20000u);
  EXPECT_GT(hidden, 20000u);
  EngCloseTable(table);
}

TEST_F(FilterIndexWalkTest, NarrowedWalkFollowsChangesAndFilterChanges) {
  Fill(60);
  ENGHANDLE table = Open("W");
  ENGHANDLE by_n = 0;
  ENG_OK_(EngGetIndexHandle(table, "BYN", &by_n));
  ENG_OK_(EngSetFilter(table, "N = 2"));
  std::vector<uint32_t> before = Walk(by_n);
  // A record changed into the range by another statement is found; one moved out is not.
  Ok("INSERT INTO W VALUES ('NEW', 2, NULL, NULL)");
  Ok("UPDATE W SET N = 1 WHERE N = 2 AND NAME IS NULL");
  std::vector<uint32_t> after = Walk(by_n);
  for (uint32_t r : after) {
    ENG_OK_(EngGotoRecord(table, r));
    EXPECT_EQ(Text(table, 2), "2");
  }
  EXPECT_FALSE(after.empty());
  EXPECT_NE(after, before);
  // Replacing the filter replaces the range at once.
  ENG_OK_(EngSetFilter(table, "N = -3"));
  for (uint32_t r : Walk(by_n)) {
    ENG_OK_(EngGotoRecord(table, r));
    EXPECT_EQ(Text(table, 2), "-3");
  }
  ENG_OK_(EngClearFilter(table));
  uint32_t count = 0;
  ENG_OK_(EngGetRecordCount(table, ENG_IGNOREFILTERS, &count));
  EXPECT_EQ(Walk(by_n).size(), count);
  EngCloseTable(table);
}

}  // namespace
