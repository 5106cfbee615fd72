// A statement reads an encrypted table only with the password it was given
// for that table.
#include "test_util.h"

using engtest::EngineTest;

namespace {

TEST_F(EngineTest, StatementsReadEncryptedTablesWithTheirPassword) {
  ENGHANDLE t = Create("secret", "EMP_NO,Char,8;SECTION_CODE,Char,6");
  EngCloseTable(t);
  t = Open("secret", ENG_OPEN_EXCLUSIVE);
  for (const char* no : {"0030", "1146"}) {
    ENG_OK_(EngAppendRecord(t));
    SetText(t, 1, no);
    SetText(t, 2, "FIN");
    ENG_OK_(EngWriteRecord(t));
  }
  ENG_OK_(EngEnableEncryption(t, "KVRNA7310"));
  ENG_OK_(EngEncryptTable(t));
  EngCloseTable(t);

  const char* sql = "SELECT EMP_NO FROM SECRET WHERE (SECTION_CODE='FIN') ORDER BY EMP_NO";
  ENGHANDLE stmt = 0, cursor = 0;
  ENG_OK_(EngCreateSQLStatement(conn_, &stmt));
  EXPECT_EQ(EngExecuteSQLDirect(stmt, sql, &cursor), (ENGRESULT)ENG_ERR_ENCRYPTED);
  ENG_OK_(EngCloseSQLStatement(stmt));

  ENG_OK_(EngCreateSQLStatement(conn_, &stmt));
  ENG_OK_(EngStmtSetTablePassword(stmt, "SECRET.ADT", "wrong"));
  EXPECT_EQ(EngExecuteSQLDirect(stmt, sql, &cursor), (ENGRESULT)ENG_ERR_WRONG_PASSWORD);
  ENG_OK_(EngStmtSetTablePassword(stmt, "SECRET", "KVRNA7310"));
  ENG_OK_(EngExecuteSQLDirect(stmt, sql, &cursor));
  ASSERT_NE(cursor, 0u);
  std::vector<std::string> rows;
  ENG_OK_(EngGotoTop(cursor));
  while (!Eof(cursor)) {
    rows.push_back(Text(cursor, 1));
    ENG_OK_(EngSkip(cursor, 1));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"0030    ", "1146    "}));
  EngCloseTable(cursor);
  EngCloseSQLStatement(stmt);
}

}  // namespace
