// Helpers for statement tests: run a statement on the test connection and
// read a cursor's rows as trimmed texts.
#pragma once

#include "test_util.h"

namespace engtest {

class SqlTest : public EngineTest {
 protected:
  // Runs sql; returns the result code. *cursor gets the cursor (0 when none).
  ENGRESULT Run(const std::string& sql, ENGHANDLE* cursor = nullptr) {
    ENGHANDLE stmt = 0;
    EXPECT_EQ(EngCreateSQLStatement(conn_, &stmt), 0u) << LastError();
    ENGHANDLE c = 0;
    ENGRESULT rc = EngExecuteSQLDirect(stmt, sql.c_str(), &c);
    if (rc == 0) last_count_ = EngGetRecordCount(stmt, 0, &count_) == 0 ? static_cast<int64_t>(count_) : -1;
    EngCloseSQLStatement(stmt);
    if (cursor) *cursor = c;
    return rc;
  }
  void Ok(const std::string& sql) { ASSERT_EQ(Run(sql), 0u) << sql << ": " << LastError(); }
  static std::string Trim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    size_t lead = s.find_first_not_of(' ');
    return lead == std::string::npos ? std::string() : s.substr(lead);
  }
  static std::vector<std::vector<std::string>> Rows(ENGHANDLE cursor) {
    std::vector<std::vector<std::string>> rows;
    uint16_t n = 0;
    EngGetNumFields(cursor, &n);
    EngGotoTop(cursor);
    while (!Eof(cursor)) {
      std::vector<std::string> row;
      for (uint16_t f = 1; f <= n; ++f) {
        uint16_t empty = 0;
        EngIsEmpty(cursor, f, &empty);
        row.push_back(empty ? std::string("<null>") : Trim(Text(cursor, f)));
      }
      rows.push_back(row);
      EngSkip(cursor, 1);
    }
    return rows;
  }
  // Rows of a SELECT (cursor closed afterwards).
  std::vector<std::vector<std::string>> Query(const std::string& sql) {
    ENGHANDLE c = 0;
    EXPECT_EQ(Run(sql, &c), 0u) << sql << ": " << LastError();
    if (!c) return {};
    auto rows = Rows(c);
    EngCloseTable(c);
    return rows;
  }
  int64_t last_count_ = -1;
  uint32_t count_ = 0;
};

using Rows_ = std::vector<std::vector<std::string>>;

}  // namespace engtest
