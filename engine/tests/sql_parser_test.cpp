#include "sql_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "engine.h"
#include "error.h"

namespace eng::sql {
namespace {

template <typename T>
T ParseAs(const std::string& text) {
  Statement s = Parse(text);
  const T* typed = std::get_if<T>(&s);
  if (typed == nullptr) {
    ADD_FAILURE() << "wrong statement kind for: " << text;
    return T{};
  }
  return *typed;
}

std::string SyntaxError(const std::string& text) {
  try {
    Parse(text);
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), static_cast<uint32_t>(ENG_ERR_SQL_SYNTAX)) << e.what();
    return e.what();
  }
  return "";
}

AlterAction OnlyAction(const std::string& text, const std::string& table) {
  AlterTableStatement s = ParseAs<AlterTableStatement>(text);
  EXPECT_EQ(s.table.name, table);
  EXPECT_EQ(s.actions.size(), 1u) << text;
  return s.actions.empty() ? AlterAction{} : s.actions[0];
}

// Every column line the structure tasks send, after their first line, with
// CR LF line ends as the query joins them.
TEST(SqlParser, StructureTaskAlterTexts) {
  struct Case {
    std::string line;
    AlterAction::Kind kind;
    std::string column, new_name;
    uint16_t type;
    uint32_t length;
  };
  using K = AlterAction::Kind;
  const Case cases[] = {
      {"alter column \"ENTRY_GROUP\" \"ENTRY_GROUP\" char(30)", K::kAlter, "ENTRY_GROUP", "ENTRY_GROUP", ENG_STRING, 30},
      {"alter column \"MEDICAL_NO\" \"MEDICAL_NO\" char(15)", K::kAlter, "MEDICAL_NO", "MEDICAL_NO", ENG_STRING, 15},
      {"alter column \"REASON_ONE_MONTH\" \"REASON_ONE_MONTH\" char(100)", K::kAlter, "REASON_ONE_MONTH", "REASON_ONE_MONTH", ENG_STRING, 100},
      {"add column BA_AMENDED_PERIOD char(6)", K::kAdd, "BA_AMENDED_PERIOD", "", ENG_STRING, 6},
      {"add column DEFAULT_VALUE char(20)", K::kAdd, "DEFAULT_VALUE", "", ENG_STRING, 20},
      {"add column EXCEEDED_AMOUNT curdouble ", K::kAdd, "EXCEEDED_AMOUNT", "", ENG_CURDOUBLE, 8},
      {"add column EXCEEDED_EMPLOYEE_PERCENT curdouble ", K::kAdd, "EXCEEDED_EMPLOYEE_PERCENT", "", ENG_CURDOUBLE, 8},
      {"add column TPAYSLIP BLOB ", K::kAdd, "TPAYSLIP", "", ENG_BINARY, kMemoReferenceLength},
      {"alter column \"X\" \"X\" char(8)", K::kAlter, "X", "X", ENG_STRING, 8},
      {"alter column X X char(8)", K::kAlter, "X", "X", ENG_STRING, 8},
      {"alter column X \"X\" char(8)", K::kAlter, "X", "X", ENG_STRING, 8},
      {"add column X char(8)", K::kAdd, "X", "", ENG_STRING, 8},
      {"alter column X X curdouble", K::kAlter, "X", "X", ENG_CURDOUBLE, 8},
      {"alter column X X Logical", K::kAlter, "X", "X", ENG_LOGICAL, 1},
      {"add column X LOGICAL ", K::kAdd, "X", "", ENG_LOGICAL, 1},
      {"alter column X X date", K::kAlter, "X", "X", ENG_DATE, 4},
      {"add column X date ", K::kAdd, "X", "", ENG_DATE, 4},
      {"alter column X X INTEGER", K::kAlter, "X", "X", ENG_INTEGER, 4},
      {"add column X INTEGER ", K::kAdd, "X", "", ENG_INTEGER, 4},
      {"alter column X X TIME", K::kAlter, "X", "X", ENG_TIME, 4},
      {"ADD column X TIME ", K::kAdd, "X", "", ENG_TIME, 4},
      {"add column X double ", K::kAdd, "X", "", ENG_DOUBLE, 8},
      {"add column X AutoInc ", K::kAdd, "X", "", ENG_AUTOINC, 4},
      {"alter column NO NO INTEGER ", K::kAlter, "NO", "NO", ENG_INTEGER, 4},
  };
  for (const Case& c : cases) {
    std::string text = "ALTER TABLE \"SETUP.ADT\"\r\n" + c.line + "\r\n";
    SCOPED_TRACE(text);
    AlterAction a = OnlyAction(text, "SETUP.ADT");
    EXPECT_EQ(a.kind, c.kind);
    EXPECT_EQ(a.column, c.column);
    EXPECT_EQ(a.new_name, c.new_name);
    EXPECT_EQ(a.type.type, c.type);
    EXPECT_EQ(a.type.length, c.length);
  }
  // The first line alone has no action and must fail, with or without CR LF.
  EXPECT_EQ(SyntaxError("ALTER TABLE \"X.ADT\""), "Expected ADD, ALTER or DROP: end of text at position 20");
  EXPECT_NE(SyntaxError("ALTER TABLE \"SETUP.ADT\"\r\n"), "");
}

TEST(SqlParser, AlterTableForms) {
  AlterTableStatement s = ParseAs<AlterTableStatement>(
      "alter table employee add NOTE memo, drop column OLD\nalter AMT AMOUNT numeric(10,2) add PIC image;");
  EXPECT_EQ(s.table.name, "employee");
  ASSERT_EQ(s.actions.size(), 4u);
  EXPECT_EQ(s.actions[0].type.type, ENG_MEMO);
  EXPECT_EQ(s.actions[1].kind, AlterAction::Kind::kDrop);
  EXPECT_EQ(s.actions[1].column, "OLD");
  EXPECT_EQ(s.actions[2].new_name, "AMOUNT");
  EXPECT_EQ(s.actions[2].type.type, ENG_NUMERIC);
  EXPECT_EQ(s.actions[2].type.length, 10u);
  EXPECT_EQ(s.actions[2].type.decimals, 2);
  EXPECT_EQ(s.actions[2].type.spelled, "numeric(10,2)");
  EXPECT_EQ(s.actions[3].type.type, ENG_IMAGE);
  EXPECT_EQ(ParseAs<AlterTableStatement>("ALTER TABLE SETUP.ADT ADD X SHORT").table.name, "SETUP.ADT");

  EXPECT_EQ(SyntaxError("ALTER TABLE T ADD X FLOAT"), "Unknown column type: \"FLOAT\" at position 21");
  EXPECT_EQ(SyntaxError("ALTER TABLE T ADD X CHAR"), "Expected \"(\": end of text at position 25");
  EXPECT_EQ(SyntaxError("ALTER TABLE T ADD X CHAR(0)"), "Expected a length from 1 to 65530: \"0\" at position 26");
  EXPECT_EQ(SyntaxError("ALTER TABLE T ADD X NUMERIC(4,3)"), "Too many decimals for a numeric of length 4: \"3\" at position 31");
  EXPECT_EQ(SyntaxError("ALTER TABLE T ALTER X CHAR(5)"), "Expected a column type: \"(\" at position 27");
}

// The first core of a SELECT statement (empty when it is no SELECT).
SelectCore CoreOf(const std::string& text, Query* query = nullptr) {
  SelectStatement s = ParseAs<SelectStatement>(text);
  if (!s.query) return SelectCore{};
  if (query) *query = *s.query;
  return s.query->cores[0];
}

TEST(SqlParser, TaskSelects) {
  Query q;
  SelectCore s = CoreOf("SELECT * FROM TRANSFER WHERE ASSETS_CODE='F001745E'\r\n");
  ASSERT_EQ(s.items.size(), 1u);
  EXPECT_TRUE(s.items[0].star);
  ASSERT_EQ(s.from.size(), 1u);
  EXPECT_EQ(s.from[0].table.name, "TRANSFER");
  ASSERT_TRUE(s.where.has_value());
  EXPECT_EQ(s.where->text, "ASSETS_CODE='F001745E'");
  EXPECT_EQ(s.where->position, 29u);

  s = CoreOf("SELECT EMP_NO, EMP_NAME FROM EMPLOYEE WHERE (SECTION_CODE='S01') ORDER BY EMP_NO\r\n", &q);
  ASSERT_EQ(s.items.size(), 2u);
  EXPECT_EQ(s.items[0].heading, "EMP_NO");
  EXPECT_EQ(s.items[1].heading, "EMP_NAME");
  EXPECT_EQ(s.from[0].table.name, "EMPLOYEE");
  EXPECT_EQ(s.where->text, "(SECTION_CODE='S01')");
  ASSERT_EQ(q.order_by.size(), 1u);
  EXPECT_EQ(q.order_by[0].expression.text, "EMP_NO");
  EXPECT_FALSE(q.order_by[0].descending);

  s = CoreOf("SELECT * FROM PGRP_TRX ORDER BY PAY_GROUP, YEAR, PERIOD, START_DATE\r\n", &q);
  ASSERT_EQ(q.order_by.size(), 4u);
  EXPECT_EQ(q.order_by[1].expression.text, "YEAR");
  EXPECT_EQ(q.order_by[3].expression.text, "START_DATE");
  EXPECT_FALSE(s.where.has_value());

  // The binder accepts the WHERE of the task against the table's fields.
  FieldList fields(1);
  fields[0].name = "assets_code";
  fields[0].type = ENG_STRING;
  fields[0].length = 10;
  s = CoreOf("SELECT * FROM TRANSFER WHERE ASSETS_CODE='F001745E'");
  EXPECT_EQ(Bind(*s.where->syntax, fields).result_type(), ValueType::kLogical);
}

TEST(SqlParser, SelectListsJoinsGroupsAndUnions) {
  Query q;
  SelectCore s = CoreOf(
      "select count(*), MIN(amount) lo, max(AMOUNT) AS \"hi\", sum(qty*2) + 1, upper(name) n, e.qty, e.* "
      "from \"emp.adt\" e where e.qty > 1 order by 2 desc, name asc;",
      &q);
  ASSERT_EQ(s.items.size(), 7u);
  EXPECT_EQ(s.items[0].heading, "count(*)");
  EXPECT_EQ(s.items[1].alias, "lo");
  EXPECT_EQ(s.items[2].alias, "hi");
  EXPECT_EQ(s.items[3].heading, "sum(qty*2) + 1");
  EXPECT_EQ(s.items[4].heading, "n");
  EXPECT_EQ(s.items[5].heading, "qty");
  EXPECT_TRUE(s.items[6].star);
  EXPECT_EQ(s.items[6].star_qualifier, "e");
  EXPECT_EQ(s.from[0].table.name, "emp.adt");
  EXPECT_EQ(s.from[0].table.alias, "e");
  EXPECT_EQ(q.order_by[0].ordinal, 2u);
  EXPECT_TRUE(q.order_by[0].descending);
  EXPECT_EQ(q.order_by[1].expression.text, "name");

  s = CoreOf("SELECT DISTINCT TOP 5 A.X, B.Y FROM T A JOIN U B ON A.K = B.K LEFT OUTER JOIN V ON V.K = A.K, W "
             "CROSS JOIN Z WHERE A.X IN (SELECT X FROM Q) GROUP BY A.X, B.Y HAVING COUNT(DISTINCT B.Z) > 1 "
             "UNION ALL SELECT 1, 2 UNION SELECT 3, 4 ORDER BY 1 LIMIT 10 OFFSET 20",
             &q);
  EXPECT_TRUE(s.distinct);
  EXPECT_EQ(s.top, 5u);
  ASSERT_EQ(s.from.size(), 5u);
  EXPECT_EQ(s.from[1].join, JoinKind::kInner);
  EXPECT_EQ(s.from[1].table.alias, "B");
  EXPECT_EQ(s.from[1].on->text, "A.K = B.K");
  EXPECT_EQ(s.from[2].join, JoinKind::kLeft);
  EXPECT_EQ(s.from[3].join, JoinKind::kComma);
  EXPECT_EQ(s.from[4].join, JoinKind::kComma);
  EXPECT_EQ(s.group_by.size(), 2u);
  EXPECT_EQ(s.having->text, "COUNT(DISTINCT B.Z) > 1");
  ASSERT_EQ(q.cores.size(), 3u);
  EXPECT_EQ(q.union_all, (std::vector<bool>{true, false}));
  EXPECT_EQ(q.limit, 10u);
  EXPECT_EQ(q.offset, 20u);
  EXPECT_TRUE(q.cores[1].from.empty());

  InsertStatement in = ParseAs<InsertStatement>("INSERT INTO T (A, B) SELECT X, Y FROM U WHERE X > 1");
  ASSERT_TRUE(in.query);
  EXPECT_TRUE(in.rows.empty());
  ExplainStatement ex = ParseAs<ExplainStatement>("EXPLAIN SELECT * FROM T");
  EXPECT_TRUE(std::holds_alternative<SelectStatement>(ex.statement->statement));

  EXPECT_EQ(SyntaxError("SELECT * FORM T"), "Unexpected text after the statement: \"FORM\" at position 10");
  EXPECT_EQ(SyntaxError("SELECT FROM T"), "Expected an expression: \"FROM\" at position 8");
  EXPECT_EQ(SyntaxError("SELECT * FROM T WHERE"), "Expected an expression: end of text at position 22");
  EXPECT_EQ(SyntaxError("SELECT * FROM T ORDER EMP_NO"), "Expected BY: \"EMP_NO\" at position 23");
  EXPECT_EQ(SyntaxError("SELECT * FROM T; SELECT"), "Unexpected text after the statement: \"SELECT\" at position 18");
  EXPECT_EQ(SyntaxError("SELECT * FROM T WHERE A = 'x"), "Unterminated quoted text: \"'x\" at position 27");
  EXPECT_EQ(SyntaxError("SELECT * FROM T JOIN U WHERE 1"), "Expected ON: \"WHERE\" at position 24");
  EXPECT_EQ(SyntaxError("SELECT * FROM T LIMIT -1"), "Expected a number of rows: \"-\" at position 23");
  EXPECT_EQ(SyntaxError("SELECT 1 UNION SELECT TOP 1 2"), "TOP is allowed only in the first SELECT of a UNION: \"SELECT\" at position 16");
  EXPECT_EQ(SyntaxError("SELECT CASE X WHEN 1 THEN 2 FROM T"), "Expected END: \"FROM\" at position 29");
  EXPECT_EQ(SyntaxError("SELECT CAST(X AS BLOB) FROM T"), "Unknown type to cast to: \"BLOB\" at position 18");
  std::string deep = "SELECT 1 FROM T WHERE X IN ";
  for (int i = 0; i < 30; ++i) deep += "(SELECT X FROM T WHERE X IN ";
  EXPECT_NE(SyntaxError(deep + "(1)").find("Subqueries nested too deeply"), std::string::npos);
}

TEST(SqlParser, AdministratorStatements) {
  CreateTableStatement ct = ParseAs<CreateTableStatement>(
      "CREATE TABLE \"NEW.ADT\" (ID autoinc, NAME char(20), AMT numeric(8,2), ON_DATE date, STAMP timestamp,\r\n"
      " OK logical, N short, R raw(4), V varchar(100), B blob, M memo, P image, C curdouble, MO money, D double)");
  EXPECT_EQ(ct.table.name, "NEW.ADT");
  ASSERT_EQ(ct.columns.size(), 15u);
  EXPECT_EQ(ct.columns[0].type.type, ENG_AUTOINC);
  EXPECT_EQ(ct.columns[1].type.length, 20u);
  EXPECT_EQ(ct.columns[4].type.type, ENG_TIMESTAMP);
  EXPECT_EQ(ct.columns[6].type.type, ENG_SHORTINT);
  EXPECT_EQ(ct.columns[7].type.type, ENG_RAW);
  EXPECT_EQ(ct.columns[8].type.type, ENG_VARCHAR);
  EXPECT_EQ(ct.columns[8].type.length, 100u);
  EXPECT_EQ(ct.columns[13].type.type, ENG_CURDOUBLE);
  EXPECT_EQ(ct.columns[14].type.type, ENG_DOUBLE);

  EXPECT_EQ(ParseAs<DropTableStatement>("drop table OLD.ADT;").table.name, "OLD.ADT");

  CreateIndexStatement ci = ParseAs<CreateIndexStatement>("CREATE UNIQUE INDEX BYKEY ON MARLIX (TABLE_NAME, FIELD_NO) DESC");
  EXPECT_TRUE(ci.unique);
  EXPECT_TRUE(ci.descending);
  EXPECT_EQ(ci.tag, "BYKEY");
  EXPECT_EQ(ci.table.name, "MARLIX");
  EXPECT_EQ(ci.columns, (std::vector<std::string>{"TABLE_NAME", "FIELD_NO"}));
  EXPECT_FALSE(ParseAs<CreateIndexStatement>("create index X on T (A)").unique);

  DropIndexStatement di = ParseAs<DropIndexStatement>("DROP INDEX TRANSFER.ADT.BYCODE");
  EXPECT_EQ(di.table.name, "TRANSFER.ADT");
  EXPECT_EQ(di.tag, "BYCODE");
  EXPECT_EQ(ParseAs<DropIndexStatement>("DROP INDEX \"TRANSFER\".BYCODE").table.name, "TRANSFER");
  EXPECT_EQ(SyntaxError("DROP INDEX BYCODE"), "Expected \".\" and the index name after the table name: end of text at position 18");

  InsertStatement in = ParseAs<InsertStatement>("INSERT INTO T (A, \"B\") VALUES (1, 'x'), (2 + 3, {d '2005-05-24'})");
  EXPECT_EQ(in.columns, (std::vector<std::string>{"A", "B"}));
  ASSERT_EQ(in.rows.size(), 2u);
  EXPECT_EQ(in.rows[1][0].text, "2 + 3");
  EXPECT_EQ(ParseAs<InsertStatement>("insert into T values ('a', 'b', 'c')").rows[0].size(), 3u);
  EXPECT_EQ(SyntaxError("INSERT INTO T (A, B) VALUES (1)"), "The row has 1 values where 2 are expected: \"(\" at position 29");
  EXPECT_EQ(SyntaxError("INSERT INTO T VALUES (1), (1, 2)"), "The row has 2 values where 1 are expected: \"(\" at position 27");

  UpdateStatement up = ParseAs<UpdateStatement>("UPDATE ASSET SET NATURE_CODE = 'G&A', QTY = QTY + 1 WHERE ASSET_NO = 'A2005050039'");
  ASSERT_EQ(up.assignments.size(), 2u);
  EXPECT_EQ(up.assignments[1].column, "QTY");
  EXPECT_EQ(up.assignments[1].value.text, "QTY + 1");
  EXPECT_EQ(up.where->text, "ASSET_NO = 'A2005050039'");

  DeleteStatement del = ParseAs<DeleteStatement>("-- remove it\r\nDELETE FROM TRANSFER /* one */ WHERE ASSETS_CODE = 'A2005100071'");
  EXPECT_EQ(del.table.name, "TRANSFER");
  EXPECT_TRUE(del.where.has_value());
  EXPECT_FALSE(ParseAs<DeleteStatement>("delete from T").where.has_value());

  EXPECT_EQ(SyntaxError("TRUNCATE T"), "Expected SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, DROP, EXPLAIN, BEGIN, COMMIT or ROLLBACK: \"TRUNCATE\" at position 1");
  EXPECT_EQ(SyntaxError(""), "Expected SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, DROP, EXPLAIN, BEGIN, COMMIT or ROLLBACK: end of text at position 1");
}

TEST(SqlParser, CountParametersNeverFails) {
  EXPECT_EQ(CountParameters(""), 0);
  EXPECT_EQ(CountParameters("ALTER TABLE \"SETUP.ADT\"\r\n"), 0);
  EXPECT_EQ(CountParameters("SELECT * FROM T WHERE A = :a AND B = :b2 OR C = :a"), 3);
  EXPECT_EQ(CountParameters("SELECT * FROM T WHERE T = '08:30' AND \"x:y\" = 1"), 0);
  EXPECT_EQ(CountParameters("SELECT ':x"), 0);  // unterminated quote
  EXPECT_EQ(CountParameters("-- :x\nSELECT :y /* :z */"), 1);
  EXPECT_EQ(CountParameters("a::b : c :1"), 0);
  EXPECT_EQ(CountParameters(":first"), 1);
}

}  // namespace
}  // namespace eng::sql
