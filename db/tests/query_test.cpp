// SQL query cursors: the statement text, parameters, statement handles and
// the messages; statements run only where the engine offers SQL.
#include <gtest/gtest.h>

#include "cursorfixture.h"
#include "dbquery.h"

namespace dbu {
namespace {

TEST(SqlLinesTest, TextJoinsLinesWithLineBreaksAndEveryChangeIsReported) {
  TSqlLines lines;
  int changes = 0;
  lines.OnChange = [&] { ++changes; };
  lines.Add("ALTER TABLE X");
  lines.Add("ADD COLUMN Y INTEGER");
  EXPECT_EQ(lines.Text(), "ALTER TABLE X\r\nADD COLUMN Y INTEGER\r\n");
  lines.Clear();
  EXPECT_EQ(lines.Text(), "");
  lines.SetText("SELECT *\r\nFROM A\nWHERE B=1\rORDER BY C");
  EXPECT_EQ(lines.Count(), 4u);
  EXPECT_EQ(lines[3], "ORDER BY C");
  EXPECT_EQ(changes, 4);
}

TEST(SqlLinesTest, ParameterMarkersOutsideQuotedText) {
  EXPECT_EQ(ParamNamesOf("SELECT * FROM T WHERE A = :emp AND B = ':not' AND C = :Date_1 AND D = :EMP"),
            (std::vector<std::string>{"emp", "Date_1"}));
  EXPECT_TRUE(ParamNamesOf("SELECT \"a:b\", '::x' FROM T WHERE T = 'x' ").empty());
  EXPECT_TRUE(ParamNamesOf("SELECT a::b, c : d FROM T").empty());
}

class QueryTest : public test::CursorFixture {
 protected:
  std::unique_ptr<TDbQuery> Query() {
    auto q = std::make_unique<TDbQuery>(&form);
    q->SetName("DbQuery1");
    q->SetDatabaseName("DbConnection1");
    q->SetDbRightsCheck(false);
    return q;
  }
};

TEST_F(QueryTest, ParamsFollowTheTextAndKeepTheirValues) {
  auto q = Query();
  q->SQL().Add("SELECT * FROM T WHERE A = :A");
  ASSERT_EQ(q->Params().size(), 1u);
  q->Params()[0].Value = Variant::FromInteger(5);
  q->SQL().Add("AND B = :B");
  ASSERT_EQ(q->Params().size(), 2u);
  EXPECT_EQ(q->Params()[0].Value, Variant::FromInteger(5)) << "same-named parameters keep their value";
  EXPECT_TRUE(q->Params()[1].Value.IsNull());
  q->SetParamCheck(false);
  q->SQL().Clear();
  EXPECT_EQ(q->Params().size(), 2u) << "without ParamCheck the list stays";
  q->SetParamCheck(true);
  q->SQL().Add("ALTER TABLE T");  // an incomplete statement is no error by itself
  EXPECT_TRUE(q->Params().empty());
}

TEST_F(QueryTest, MessagesWithoutADatabaseAndOnTheStatementHandle) {
  TDbQuery q(&form);
  q.SetName("DbQuery1");
  q.SQL().Add("SELECT * FROM people");
  EXPECT_EQ(ErrorOf([&] { q.ExecSQL(); }), "DbQuery1: The DatabaseName property has not been assigned a value.");
  EXPECT_EQ(CodeOf([&] { q.Open(); }), 5121);
  EXPECT_FALSE(q.Active());
  EXPECT_EQ(q.StatementHandle(), kNoHandle);
  q.CloseStatement();  // nothing to free
  q.CloseStatement();
  EXPECT_EQ(q.StatementHandle(), kNoHandle);
}

TEST_F(QueryTest, SelectAndAlterTableThroughTheConnection) {
  People({1, 2, 3});
  auto q = Query();
  q->SQL().Clear();
  q->SQL().Add("SELECT ID, NAME FROM people");
  int32_t code = CodeOf([&] { q->Open(); });
  ASSERT_EQ(code, 0);
  EXPECT_TRUE(q->Active());
  ENGHANDLE statement = q->StatementHandle();
  EXPECT_NE(statement, kNoHandle);
  EXPECT_EQ(ErrorOf([&] { q->CloseStatement(); }), "DbQuery1: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf([&] { q->ExecSQL(); }), "DbQuery1: Cannot perform this operation on an open dataset");
  std::string ids;
  for (; !q->Eof(); q->Next()) ids += std::to_string(q->FieldByName("ID").AsInteger());
  EXPECT_EQ(ids, "123");

  q->SQL().SetText("SELECT ID FROM people WHERE ID > 1");
  EXPECT_FALSE(q->Active()) << "a new text closes the query";
  q->Open();
  EXPECT_EQ(q->StatementHandle(), statement) << "the statement handle is reused";
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 2);
  q->Close();

  q->SQL().SetText("SELECT * FROM people");
  q->ExecSQL();
  EXPECT_FALSE(q->Active()) << "the cursor of an executed SELECT is closed at once";
  q->CloseStatement();
  EXPECT_EQ(q->StatementHandle(), kNoHandle);

  q->SQL().SetText("SELECT * FROM people");
  q->Open();
  conn.Disconnect();
  EXPECT_FALSE(q->Active());
  EXPECT_EQ(q->StatementHandle(), kNoHandle) << "released with the connection";
}

TEST_F(QueryTest, OpenWithAnAlterTableRunsItAndThenFails) {
  People({1});
  auto q = Query();
  q->SQL().Clear();
  q->SQL().Add("ALTER TABLE people");
  q->SQL().Add("ADD COLUMN EXTRA INTEGER");
  int32_t code = CodeOf([&] { q->Open(); });
  // The window's query sends read-only 1 (no live cursor): the ALTER TABLE
  // still runs, and only the missing cursor is an error.
  EXPECT_EQ(code, 5121);
  q->SQL().Clear();
  q->SQL().Add("ALTER TABLE people");
  q->SQL().Add("ADD COLUMN EXTRA2 INTEGER");
  EXPECT_EQ(ErrorOf([&] { q->Open(); }),
            "DbQuery1: The SQL statement did not generate a cursor handle.  Use TDbQuery.ExecSQL to execute SQL "
            "statements that are not SELECT statements");
  EXPECT_FALSE(q->Active());
  auto t = Cursor("people");
  t->Open();
  EXPECT_NE(t->FindField("EXTRA"), nullptr) << "the structure change was carried out";
  EXPECT_NE(t->FindField("EXTRA2"), nullptr);
  t->Close();
  q->SQL().SetText("ALTER TABLE people ADD COLUMN EXTRA3 INTEGER");
  q->ExecSQL();
  EXPECT_FALSE(q->Active());
}

TEST_F(QueryTest, FailedStatementLeavesTheQueryClosed) {
  auto q = Query();
  q->SQL().Add("SELECT FROM WHERE");
  int32_t code = CodeOf([&] { q->Open(); });
  EXPECT_NE(code, 0);
  EXPECT_FALSE(q->Active());
  std::string message = ErrorOf([&] { q->ExecSQL(); });
  EXPECT_EQ(message.rfind("DbQuery1: ", 0), 0u) << message;
}

// The approval import's statement for section "A" selects section "A" only,
// not "AB" nor "ABC" (whose approval chains it would overwrite).
TEST_F(QueryTest, SectionSelectTakesTheWholeSectionCode) {
  auto q = Query();
  q->SQL().SetText("CREATE TABLE EMPLOYEE (EMP_NO char(10), EMP_NAME char(40), SECTION_CODE char(10))");
  q->ExecSQL();
  q->SQL().SetText("INSERT INTO EMPLOYEE VALUES ('E3', 'Cho', 'ABC'), ('E2', 'Ben', 'AB'), ('E1', 'Ann', 'A')");
  q->ExecSQL();
  std::string names;
  for (const char* section : {"A", "AB", "ABC", "ABCD"}) {
    q->SQL().SetText("SELECT EMP_NO, EMP_NAME FROM EMPLOYEE WHERE (SECTION_CODE='" + std::string(section) +
                     "') ORDER BY EMP_NO");
    names += std::string(section) + ":";
    for (q->Open(); !q->Eof(); q->Next()) names += q->FieldByName("EMP_NAME").AsString();
    names += " ";
  }
  EXPECT_EQ(names, "A:Ann AB:Ben ABC:Cho ABCD: ");
}

}  // namespace
}  // namespace dbu
