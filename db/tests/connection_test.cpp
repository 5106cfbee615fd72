// Connections, the registry, DatabaseName resolution, errors and EngineCheck:
// everything here works without a table.
#include "dbconnection.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dbtable.h"
#include "screencursor.h"

namespace dbu {
namespace {

TEST(Connection, DictionaryFlagIsASubstringTest) {
  TDbConnection c;
  c.SetConnectPath("/data/ACME.ADD");
  EXPECT_TRUE(c.IsDictionaryConnection());
  c.SetConnectPath("/data/acme.add/x");
  EXPECT_TRUE(c.IsDictionaryConnection());
  c.SetConnectPath("/data/company/A01/");
  EXPECT_FALSE(c.IsDictionaryConnection());
  c.SetConnectPath("/data/Acme.Add");
  EXPECT_TRUE(c.IsDictionaryConnection());
}

TEST(Connection, ConnectionDirectoryDropsTheFileName) {
  TDbConnection c;
  c.SetConnectPath("/base/company/A01/A01.add");
  EXPECT_EQ(c.ConnectionDirectory(), "/base/company/A01");
  c.SetConnectPath("A01.add");
  EXPECT_EQ(c.ConnectionDirectory(), "./");
  c.SetConnectPath("/base/");
  EXPECT_EQ(c.ConnectionDirectory(), "/base/");
  c.SetConnectPath("x.add");
  EXPECT_EQ(c.ConnectionDirectory(), "./");
  c.SetConnectPath("a.db");  // too short to hold a file name
  EXPECT_EQ(c.ConnectionDirectory(), "a.db");
  c.SetConnectPath("/data/folder");
  EXPECT_EQ(c.ConnectionDirectory(), "/data/folder");
}

TEST(Connection, DefaultsAndMisuse) {
  TDbConnection c;
  EXPECT_FALSE(c.IsConnected());
  EXPECT_EQ(c.ConnectionHandle(), 0u);
  EXPECT_TRUE(c.LoginPrompt());
  EXPECT_EQ(c.DbServerTypes(), 0u);
  try {
    c.Connect();
    FAIL() << "connected without a path";
  } catch (const DbConnectionError& e) {
    EXPECT_EQ(e.Message(), "Must specify connection string before getting a server connection.");
  }
  EXPECT_FALSE(c.IsConnected());
  try {
    c.ServerName();
    FAIL() << "no error";
  } catch (const DbConnectionError& e) {
    EXPECT_EQ(e.Message(), "Must be connected to get the server name.");
  }
  c.SetConnectPath("/tmp");
  c.SetAliasName("COMPANY");
  try {
    c.Connect();
    FAIL() << "aliases are not supported";
  } catch (const DbConnectionError& e) {
    EXPECT_EQ(e.Message(), "TDbConnection.AliasName is not valid");
  }
  c.SetConnectPath("/tmp");
  EXPECT_EQ(c.AliasName(), "") << "a path clears the alias";
}

TEST(Connection, DisconnectWhileDisconnectedDoesNothing) {
  TDbConnection c;
  int events = 0;
  c.BeforeDisconnect = [&](TDbConnection&) { ++events; };
  c.OnDisconnect = [&](TDbConnection&) { ++events; };
  c.Disconnect();
  c.SetIsConnected(false);
  EXPECT_EQ(events, 0);
}

TEST(Connection, LoginPromptWithoutDialogIsRefused) {
  TComponent form;
  form.SetName("Form1");
  TDbConnection c(&form);
  c.SetName("DbConnection1");
  c.SetConnectPath("/nonexistent/ACME.ADD");
  int before = 0;
  c.BeforeConnect = [&](TDbConnection&) { ++before; };
  try {
    c.Connect();
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Cannot connect to database 'DbConnection1'");
  }
  EXPECT_EQ(before, 1);
  EXPECT_FALSE(c.IsConnected());
}

TEST(Connection, OnLoginSuppliesCredentialsAndTheUserIsKept) {
  TDbConnection c;
  c.SetConnectPath("/nonexistent/ACME.ADD");
  c.OnLogin = [](TDbConnection&, std::string& user, std::string& password) {
    EXPECT_EQ(user, "");
    user = "DBSYS";
    password = "secret";
  };
  EXPECT_THROW(c.Connect(), EDbEngineError) << "the engine refuses the missing dictionary";
  EXPECT_EQ(c.Username(), "DBSYS");
  EXPECT_FALSE(c.IsConnected());
}

TEST(Connection, PointerIsRestoredWhenConnectFails) {
  std::vector<TCursorShape> shown;
  TCursorShape current = crDefault;
  SetScreenCursorHook([&](TCursorShape shape) {
    shown.push_back(shape);
    TCursorShape previous = current;
    current = shape;
    return previous;
  });
  TDbConnection c;
  c.SetConnectPath("/nonexistent/folder/for/sure");
  EXPECT_THROW(c.Connect(), EDbEngineError);
  SetScreenCursorHook(nullptr);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], crHourGlass);
  EXPECT_EQ(shown[1], crDefault);
}

// ---- registry and DatabaseName --------------------------------------------------

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() {
    form1.SetName("Form1");
    form2.SetName("Form2");
    other.SetName("DbConnection2");  // made first, owned by another window
    conn2.SetName("DbConnection2");
    conn1.SetName("DbConnection1");
    conn1.SetConnectPath("/base/company/A01/A01.add");
    conn2.SetConnectPath("/base/");
    other.SetConnectPath("/elsewhere/");
  }
  TComponent form1, form2, form3;
  TDbConnection other{&form2};
  TDbConnection conn1{&form1};
  TDbConnection conn2{&form1};
};

TEST_F(RegistryTest, FirstPassPrefersTheCursorsOwner) {
  TDbTable table(&form1);
  table.SetDatabaseName("dbconnection2");
  EXPECT_EQ(table.DbConnection(), &conn2);
  EXPECT_EQ(table.DatabaseName(), "dbconnection2");
  EXPECT_EQ(table.DatabasePath(), "/base");
}

TEST_F(RegistryTest, NamingAConnectionRebindsTheCursor) {
  TDbTable table(&form1);
  table.SetDbConnection(&conn1);
  table.SetDatabaseName("DbConnection2");
  EXPECT_EQ(table.DbConnection(), &conn2);
  EXPECT_EQ(conn1.DataSetCount(), 0u);
  EXPECT_EQ(conn2.DataSetCount(), 1u);
}

TEST_F(RegistryTest, SecondPassTakesAnyOwnerOrAQualifiedName) {
  TDbTable table(&form3);
  table.SetDatabaseName("DbConnection2");
  EXPECT_EQ(table.DbConnection(), &other) << "the first registered match";
  table.SetDatabaseName("Form1.DbConnection2");
  EXPECT_EQ(table.DbConnection(), &conn2);
  EXPECT_EQ(table.DatabasePath(), "/base") << "the qualified name counts as naming the connection";
}

TEST_F(RegistryTest, UnknownNameKeepsTheConnection) {
  TDbTable table(&form1);
  table.SetDbConnection(&conn1);
  table.SetDatabaseName("/some/folder/");
  EXPECT_EQ(table.DbConnection(), &conn1);
  EXPECT_EQ(table.DatabaseName(), "/some/folder/");
  EXPECT_EQ(table.DatabasePath(), "/some/folder") << "a path that names no connection is the folder";
  table.SetDatabaseName("");
  EXPECT_EQ(table.DbConnection(), &conn1);
  EXPECT_EQ(table.DatabasePath(), "/base/company/A01");
}

TEST_F(RegistryTest, BindingMovesBetweenBoundLists) {
  TDbTable a(&form1), b(&form1);
  a.SetDatabaseName("DbConnection1");
  b.SetDatabaseName("DbConnection1");
  ASSERT_EQ(conn1.DataSetCount(), 2u);
  EXPECT_EQ(conn1.DataSets(0), &a);
  EXPECT_EQ(conn1.DataSets(1), &b);
  a.SetDatabaseName("DbConnection2");
  EXPECT_EQ(conn1.DataSetCount(), 1u);
  EXPECT_EQ(conn2.DataSetCount(), 1u);
  {
    TDbTable c(&form1);
    c.SetDbConnection(&conn2);
    EXPECT_EQ(conn2.DataSetCount(), 2u);
  }
  EXPECT_EQ(conn2.DataSetCount(), 1u) << "a destroyed cursor leaves the list";
  b.SetDbConnection(nullptr);
  EXPECT_EQ(conn1.DataSetCount(), 0u);
}

TEST_F(RegistryTest, DestroyedConnectionDetachesCursorsAndLeavesTheRegistry) {
  TDbTable table(&form1);
  {
    TDbConnection temporary(&form1);
    temporary.SetName("Temporary");
    table.SetDatabaseName("Temporary");
    EXPECT_EQ(table.DbConnection(), &temporary);
    EXPECT_EQ(ConnectionRegistry::Find("Temporary", &form1), &temporary);
  }
  EXPECT_EQ(table.DbConnection(), nullptr);
  EXPECT_EQ(ConnectionRegistry::Find("Temporary", &form1), nullptr);
}

// ---- errors -------------------------------------------------------------------------

TEST_F(RegistryTest, EngineErrorDescribesTheDataSet) {
  TDbTable table(&form1);
  table.SetName("MEDSCH");
  table.SetDatabaseName("DbConnection1");
  table.SetTableName("TRANSFER.ADT");
  EDbEngineError e(&table, "Table not found", 5010);
  EXPECT_EQ(e.Message(), "MEDSCH: Table not found");
  EXPECT_EQ(e.ErrorCode(), 5010);
  EXPECT_EQ(e.DataSetName(), "MEDSCH");
  EXPECT_EQ(e.OwnerName(), "Form1");
  EXPECT_EQ(e.DatabaseNameText(), "DbConnection1");
  EXPECT_EQ(e.DatabaseDir(), "/base/company/A01");
  EXPECT_EQ(e.TableNameText(), "TRANSFER.ADT");
  EXPECT_EQ(e.ColumnName(), "");

  EDbEngineError column(&table, "Column not found: column \"EMP_NO\" in table", ENG_ERR_COLUMN_NOT_FOUND);
  EXPECT_EQ(column.ColumnName(), "EMP_NO");
  EDbEngineError unrelated(&table, "column \"EMP_NO\"", 5010);
  EXPECT_EQ(unrelated.ColumnName(), "") << "only the SQL column codes carry a column";

  TDbTable unnamed;
  EDbEngineError bare(&unnamed, "text", 5121);
  EXPECT_EQ(bare.Message(), "text");
  EDbEngineError none(nullptr, "text", 1);
  EXPECT_EQ(none.Message(), "text");
  EXPECT_EQ(none.DatabaseDir(), "");
}

TEST(EngineCheck, RaisesTheEngineErrorUnlessOneIsAlive) {
  EXPECT_NO_THROW(EngineCheck(ENG_OK));
  EXPECT_FALSE(EngineErrorAlive());
  ENGRESULT failed = EngCloseTable(0xABCDEF);  // no such handle
  ASSERT_NE(failed, static_cast<ENGRESULT>(ENG_OK));
  try {
    EngineCheck(failed);
    FAIL() << "no error";
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), static_cast<int32_t>(failed));
    EXPECT_EQ(e.ErrorCode(), ENG_ERR_INVALID_HANDLE);
    EXPECT_EQ(e.Message(), "Handle 11259375 is not an open table");
    EXPECT_TRUE(EngineErrorAlive());
    // Clean-up while the error is handled cannot replace it.
    EXPECT_NO_THROW(EngineCheck(EngCloseTable(0xABCDEF)));
    EDbEngineError copy = e;
    EXPECT_EQ(copy.Message(), e.Message());
  }
  EXPECT_FALSE(EngineErrorAlive());
  EXPECT_THROW(EngineCheck(EngCloseTable(0xABCDEF)), EDbEngineError);
}

TEST(EngineCheck, CopiesKeepTheSuppressionUntilTheLastIsGone) {
  auto* first = new EDbEngineError(nullptr, "first", 5000);
  {
    EDbEngineError copy(*first);
    EXPECT_TRUE(EngineErrorAlive());
  }
  EXPECT_TRUE(EngineErrorAlive()) << "the original still lives";
  delete first;
  EXPECT_FALSE(EngineErrorAlive());
}

TEST(EngineCheck, FailingCleanUpKeepsTheFirstMessage) {
  char pattern[] = "/tmp/dbaccess_cleanup_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path folder = pattern;
  TDbTable table;
  table.SetName("DbTable1");
  table.SetDatabaseName(folder.string());
  table.SetTableName("MISSING");
  std::string first;
  try {
    try {
      table.Open();
    } catch (const EDbEngineError& e) {
      first = e.Message();
      table.Close();
      EngineCheck(EngCloseTable(0xABCDEF), &table);  // a failing clean-up call
      throw;
    }
  } catch (const EDbEngineError& e) {
    EXPECT_EQ(e.Message(), first);
    EXPECT_EQ(e.DataSetName(), "DbTable1");
  }
  EXPECT_FALSE(first.empty());
  EXPECT_FALSE(table.Active());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace dbu
