// The statement calls of the C interface: statement handles keep their text
// (prepared or not), their table options and the row count of their last
// execution. A statement whose connection has gone cannot be used again and
// says so with ENG_ERR_STATEMENT_UNUSABLE.
#include <mutex>
#include <optional>
#include <set>

#include "api_support.h"
#include "engine.h"
#include "index_hooks.h"
#include "sql_exec.h"
#include "sql_parser.h"
#include "sql_query.h"
#include "util.h"

using namespace eng;

namespace {

struct StatementObject : Object {
  std::string text;
  std::optional<sql::Statement> parsed;
  StatementOptions options;
  KeptTables kept;  // tables its queries keep open between executions
  bool has_count = false;
  uint32_t count = 0;
  std::string unusable;  // why the statement can no longer be used; empty while usable
};

// Statement handles closed so far, so that a second close says so (5106)
// rather than calling the handle unknown.
std::mutex g_closed_mu;
std::set<ENGHANDLE>& ClosedStatements() {
  static auto* s = new std::set<ENGHANDLE>();
  return *s;
}

std::shared_ptr<StatementObject> FindStatement(ENGHANDLE h) {
  auto obj = Handles::Find(h);
  if (!obj) {
    std::lock_guard<std::mutex> g(g_closed_mu);
    if (ClosedStatements().count(h))
      Fail(ENG_ERR_STATEMENT_CLOSED, "Statement handle " + std::to_string(h) + " has been closed");
  }
  if (!obj || obj->kind != ENG_HANDLE_STATEMENT)
    Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not an SQL statement");
  return std::static_pointer_cast<StatementObject>(obj);
}

std::shared_ptr<ConnectionObject> StatementConnection(const StatementObject& s) {
  if (!s.unusable.empty())
    Fail(ENG_ERR_STATEMENT_UNUSABLE, "7209: statement " + std::to_string(s.self) + " can no longer be used: " + s.unusable);
  auto obj = Handles::Find(s.connection);
  if (!obj || obj->kind != ENG_HANDLE_CONNECTION)
    Fail(ENG_ERR_STATEMENT_UNUSABLE, "7209: statement " + std::to_string(s.self) +
                                         " can no longer be used: its connection has been closed");
  return std::static_pointer_cast<ConnectionObject>(obj);
}

void Prepare(StatementObject& s, const char* sql) {
  Need(sql, "statement text");
  s.parsed.reset();
  s.text = sql;
  s.parsed = sql::Parse(s.text);
}

ENGHANDLE Execute(StatementObject& s) {
  auto conn = StatementConnection(s);
  if (!s.parsed) Fail(ENG_ERR_SQL_EXECUTE, "The statement has no prepared text to execute");
  s.has_count = false;
  s.count = 0;
  // Only queries keep tables open: any other statement may need them
  // exclusively, or change what they hold.
  const bool query = std::holds_alternative<sql::SelectStatement>(*s.parsed);
  if (!query) s.kept.Clear();
  StatementOptions options = s.options;
  options.kept = query ? &s.kept : nullptr;
  ExecOutcome outcome;
  try {
    outcome = ExecuteStatement(conn, *s.parsed, options);
  } catch (const EngineError& e) {
    // A damaged file, a failing disk or an internal fault leave the tables
    // the statement was working on in doubt: it is not run again.
    if (e.code() == ENG_ERR_IO || e.code() == ENG_ERR_CORRUPT || e.code() == ENG_ERR_INTERNAL)
      s.unusable = e.what();
    throw;
  }
  s.has_count = outcome.has_count;
  s.count = outcome.count;
  return outcome.cursor;
}

template <class F>
ENGRESULT WithStatement(ENGHANDLE h, F&& f) {
  return Call([&] {
    auto s = FindStatement(h);
    std::lock_guard<std::mutex> g(s->mu);
    f(*s);
  });
}

}  // namespace

namespace eng {
void ReleaseStatementObject(Object& statement) {
  std::lock_guard<std::mutex> g(g_closed_mu);
  ClosedStatements().insert(statement.self);
}

ENGRESULT StatementRowCount(Object& statement, uint32_t* count) {
  return Call([&] {
    auto& s = static_cast<StatementObject&>(statement);
    std::lock_guard<std::mutex> g(s.mu);
    if (!s.has_count) Fail(ENG_ERR_NO_ROW_COUNT, "The statement has no row count: " + (s.text.empty() ? std::string("nothing executed") : s.text));
    PutValue(count, s.count);
  });
}
}  // namespace eng

extern "C" {

ENGRESULT EngCreateSQLStatement(ENGHANDLE hConnect, ENGHANDLE* hStatement) {
  return Call([&] {
    Need(hStatement, "statement handle");
    auto conn = FindConnection(hConnect);
    auto s = std::make_shared<StatementObject>();
    ENGHANDLE h = Handles::Add(s, ENG_HANDLE_STATEMENT, conn->self);
    {
      std::lock_guard<std::mutex> g(conn->mu);
      conn->children.push_back(h);
    }
    {
      std::lock_guard<std::mutex> g(g_closed_mu);
      ClosedStatements().erase(h);
    }
    *hStatement = h;
  });
}

ENGRESULT EngPrepareSQL(ENGHANDLE hStatement, const char* sql) {
  return WithStatement(hStatement, [&](StatementObject& s) {
    StatementConnection(s);
    Prepare(s, sql);
  });
}

ENGRESULT EngExecuteSQL(ENGHANDLE hStatement, ENGHANDLE* hCursor) {
  return WithStatement(hStatement, [&](StatementObject& s) {
    ENGHANDLE c = Execute(s);
    if (hCursor) *hCursor = c;
  });
}

ENGRESULT EngExecuteSQLDirect(ENGHANDLE hStatement, const char* sql, ENGHANDLE* hCursor) {
  return WithStatement(hStatement, [&](StatementObject& s) {
    StatementConnection(s);
    Prepare(s, sql);
    ENGHANDLE c = Execute(s);
    if (hCursor) *hCursor = c;
  });
}

ENGRESULT EngCloseSQLStatement(ENGHANDLE hStatement) {
  return Call([&] {
    auto s = FindStatement(hStatement);
    auto conn = Handles::Find(s->connection);
    if (conn && conn->kind == ENG_HANDLE_CONNECTION) {
      auto c = std::static_pointer_cast<ConnectionObject>(conn);
      std::lock_guard<std::mutex> g(c->mu);
      auto& v = c->children;
      for (size_t i = 0; i < v.size(); ++i)
        if (v[i] == hStatement) {
          v.erase(v.begin() + static_cast<long>(i));
          break;
        }
    }
    CloseAnyHandle(hStatement);
  });
}

ENGRESULT EngGetSQLStmtParams(const char* sql, uint16_t* count) {
  return Call([&] {
    Need(sql, "statement");
    int n = sql::CountParameters(sql);
    PutValue<uint16_t>(count, static_cast<uint16_t>(n > 0xFFFF ? 0xFFFF : n));
  });
}

ENGRESULT EngStmtSetTableLockType(ENGHANDLE h, uint16_t lockType) {
  return WithStatement(h, [&](StatementObject& s) { s.options.lock_type = lockType; });
}
ENGRESULT EngStmtSetTableCharType(ENGHANDLE h, uint16_t charType) {
  return WithStatement(h, [&](StatementObject& s) { s.options.char_type = charType; });
}
ENGRESULT EngStmtSetTableRights(ENGHANDLE h, uint16_t) {
  return WithStatement(h, [&](StatementObject&) {});
}
ENGRESULT EngStmtSetTableReadOnly(ENGHANDLE h, uint16_t readOnly) {
  return WithStatement(h, [&](StatementObject& s) { s.options.read_only = readOnly != 0; });
}
ENGRESULT EngStmtSetTableType(ENGHANDLE h, uint16_t tableType) {
  return WithStatement(h, [&](StatementObject& s) { s.options.table_type = tableType; });
}
ENGRESULT EngStmtConstrainUpdates(ENGHANDLE h, uint16_t) {
  return WithStatement(h, [&](StatementObject&) {});
}
ENGRESULT EngStmtReadAllColumns(ENGHANDLE h, uint16_t) {
  return WithStatement(h, [&](StatementObject&) {});
}
ENGRESULT EngStmtSetTablePassword(ENGHANDLE h, const char* table, const char* password) {
  return WithStatement(h, [&](StatementObject& s) {
    Need(table, "table name");
    Need(password, "password");
    std::string name = table;
    for (char& ch : name)
      if (ch == '\\') ch = '/';
    s.options.passwords[ToUpper(StripExtension(BaseName(name)))] = password;
  });
}

namespace {
ENGRESULT RunOnConnection(ENGHANDLE hConnect, sql::TransactionStatement::Kind kind) {
  return Call([&] {
    auto conn = FindConnection(hConnect);
    sql::TransactionStatement s;
    s.kind = kind;
    ExecuteStatement(conn, sql::Statement(s), StatementOptions{});
  });
}
}  // namespace

ENGRESULT EngBeginTransaction(ENGHANDLE hConnect) { return RunOnConnection(hConnect, sql::TransactionStatement::Kind::kBegin); }
ENGRESULT EngCommitTransaction(ENGHANDLE hConnect) { return RunOnConnection(hConnect, sql::TransactionStatement::Kind::kCommit); }
ENGRESULT EngRollbackTransaction(ENGHANDLE hConnect) {
  return RunOnConnection(hConnect, sql::TransactionStatement::Kind::kRollback);
}
ENGRESULT EngInTransaction(ENGHANDLE hConnect, uint16_t* inTransaction) {
  return Call([&] {
    auto conn = FindConnection(hConnect);
    PutValue<uint16_t>(inTransaction, conn->transaction ? 1 : 0);
  });
}
ENGRESULT EngSetLockWait(ENGHANDLE hConnect, uint32_t milliseconds) {
  return Call([&] { FindConnection(hConnect)->lock_wait_ms = milliseconds; });
}

}  // extern "C"
