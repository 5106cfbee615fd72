#include "dbquery.h"

#include "dbconnection.h"
#include "dynconnlist.h"

namespace dbu {
namespace {

const char* const kNoCursor =
    "The SQL statement did not generate a cursor handle.  Use TDbQuery.ExecSQL to execute SQL statements that are "
    "not SELECT statements";

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

// ---- TSqlLines ------------------------------------------------------------------------

void TSqlLines::Clear() {
  lines_.clear();
  Changed();
}

void TSqlLines::Add(const std::string& line) {
  lines_.push_back(line);
  Changed();
}

void TSqlLines::SetText(const std::string& text) {
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines_.push_back(text.substr(start));
      break;
    }
    lines_.push_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  Changed();
}

std::string TSqlLines::Text() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\r\n";
  return text;
}

std::vector<std::string> ParamNamesOf(const std::string& sql) {
  std::vector<std::string> names;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    if (c != ':') continue;
    // "::" is a literal colon, not a marker.
    if (i + 1 < sql.size() && sql[i + 1] == ':') {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < sql.size() && IsNameChar(sql[end])) ++end;
    if (end == i + 1) continue;
    std::string name = sql.substr(i + 1, end - i - 1);
    bool known = false;
    for (const std::string& n : names) known = known || SameText(n, name);
    if (!known) names.push_back(name);
    i = end - 1;
  }
  return names;
}

// ---- TDbQuery -----------------------------------------------------------------------------

TDbQuery::TDbQuery(TComponent* owner) : TDbExtendedDataSet(owner) {
  sql_.OnChange = [this] { SqlChanged(); };
}

TDbQuery::~TDbQuery() {
  try {
    Close();
  } catch (...) {
  }
  const bool connected = DbConnection() != nullptr && DbConnection()->IsConnected();
  if (statement_ != kNoHandle && (connected || implicitConnection_ != kNoHandle)) FreeStatementQuietly();
}

void TDbQuery::FreeStatementQuietly() {
  // 5106: the engine closed it already; nothing is reported from here.
  EngCloseSQLStatement(statement_);
  statement_ = kNoHandle;
}

void TDbQuery::SqlChanged() {
  const std::string text = sql_.Text();
  uint16_t count = 0;
  Check(EngGetSQLStmtParams(text.c_str(), &count));
  Close();
  if (paramCheck_) {
    std::vector<TParam> fresh;
    for (const std::string& name : ParamNamesOf(text)) {
      TParam param{name, Variant()};
      for (const TParam& old : params_)
        if (SameText(old.Name, name)) param.Value = old.Value;
      fresh.push_back(std::move(param));
    }
    params_ = std::move(fresh);
  }
}

void TDbQuery::SetDatabaseName(const std::string& name) {
  const bool differs = name != DatabaseName();
  // The query leaves its connection object; the base binds a new one of that name.
  if (Active()) CheckInactive();
  if (DbConnection() != nullptr && !SameText(name, DbConnection()->Name())) SetDbConnection(nullptr);
  TDbExtendedDataSet::SetDatabaseName(name);
  if (differs && implicitConnection_ != kNoHandle) {
    ENGHANDLE statement = statement_;
    statement_ = kNoHandle;
    implicitConnection_ = kNoHandle;
    if (statement != kNoHandle) Check(EngCloseSQLStatement(statement));
  }
}

void TDbQuery::EnsureStatement() {
  if (statement_ != kNoHandle) {
    uint16_t type = 0;
    if (EngGetHandleType(statement_, &type) == ENG_OK && type == ENG_HANDLE_STATEMENT) return;
  }
  statement_ = kNoHandle;
  if (DatabaseName().empty()) DataLayerError("The DatabaseName property has not been assigned a value.");
  ENGHANDLE connection = 0;
  if (implicitConnection_ != kNoHandle) {
    connection = implicitConnection_;
  } else if (TDbConnection* object = DbConnection()) {
    if (!object->IsConnected()) object->Connect();
    connection = object->ConnectionHandle();
  } else {
    std::string path = DatabasePath();
    if (path.size() < 3 && (path.empty() || path.back() != '/')) path += '/';
    connection = TDynamicConnList::Obtain(path);
    implicitConnection_ = connection == 0 ? kNoHandle : connection;
  }
  if (connection == 0 || connection == kNoHandle) DataLayerError("Internal Error: invalid connection handle.");
  ENGHANDLE statement = kNoHandle;
  Require(EngCreateSQLStatement(connection, &statement));
  statement_ = statement;
}

void TDbQuery::SendOptions() {
  const TDbTableOptions& options = DbTableOptions();
  Check(EngStmtSetTableLockType(statement_, options.DbLockType == Compatible ? 0 : 1));
  Check(EngStmtSetTableCharType(statement_, options.DbCharType == OEM ? 2 : 1));
  Check(EngStmtSetTableRights(statement_, options.DbRightsCheck ? 1 : 2));
  Check(EngStmtSetTableReadOnly(statement_, requestLive_ ? 2 : 1));
  if (DbConnection() != nullptr && DbConnection()->ReadOnly()) Check(EngStmtSetTableReadOnly(statement_, 1));
  Check(EngStmtSetTableType(statement_, sourceTableType_ == ttNative ? 3 : sourceTableType_ == ttCDX ? 2 : 1));
  Check(EngStmtConstrainUpdates(statement_, constrained_ ? 1 : 2));
  Check(EngStmtReadAllColumns(statement_, readAllColumns_ ? 1 : 2));
}

ENGHANDLE TDbQuery::ExecuteStatement() {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
  EnsureStatement();
  SendOptions();
  rowsAffected_ = -1;
  const std::string text = sql_.Text();
  Require(EngPrepareSQL(statement_, text.c_str()));
  // The engine offers no parameter binding: a statement with markers
  // cannot run as meant.
  if (!params_.empty()) DataLayerError("Parameters are not supported: " + params_.front().Name);
  ENGHANDLE cursor = 0;
  ENGRESULT r = EngExecuteSQL(statement_, &cursor);
  if (r != ENG_OK) {
    try {
      Require(r);
    } catch (const EDbEngineError& e) {
      if (e.Message().find("7209") != std::string::npos) {
        FreeStatementQuietly();
        implicitConnection_ = kNoHandle;
      }
      throw;
    }
  }
  ForceReadOnly(false);
  if (cursor == 0 || cursor == kNoHandle) {
    cursor = kNoHandle;
  } else {
    uint32_t openOptions = 0;
    ENGRESULT got = EngGetTableOpenOptions(cursor, &openOptions);
    if (got != ENG_OK) {
      EngCloseTable(cursor);
      Require(got);
    }
    if (openOptions & ENG_OPEN_READONLY) ForceReadOnly();
  }
  uint32_t count = 0;
  r = EngGetRecordCount(statement_, ENG_IGNOREFILTERS, &count);
  if (r == ENG_OK)
    rowsAffected_ = count;
  else if (r == ENG_ERR_NO_ROW_COUNT)
    rowsAffected_ = -1;
  else {
    if (cursor != kNoHandle) EngCloseTable(cursor);
    Require(r);
  }
  return cursor;
}

ENGHANDLE TDbQuery::CreateCursorHandle() {
  TScreenCursorGuard pointer(waitCursor_);
  ENGHANDLE cursor = ExecuteStatement();
  if (cursor == kNoHandle) DataLayerError(kNoCursor);
  return cursor;
}

void TDbQuery::ExecSQL() {
  ENGHANDLE cursor;
  {
    TScreenCursorGuard pointer(waitCursor_);
    cursor = ExecuteStatement();
  }
  if (cursor != kNoHandle) Check(EngCloseTable(cursor));
}

void TDbQuery::CloseStatement() {
  if (Active()) DataLayerError("Cannot perform this operation on an open dataset");
  if (statement_ != kNoHandle) {
    ENGRESULT r = EngCloseSQLStatement(statement_);
    if (r != ENG_ERR_STATEMENT_CLOSED) Check(r);
  }
  statement_ = kNoHandle;
  implicitConnection_ = kNoHandle;
}

void TDbQuery::SetTablePassword(const std::string& table, const std::string& password) {
  EnsureStatement();
  Check(EngStmtSetTablePassword(statement_, table.c_str(), password.c_str()));
}

void TDbQuery::ReleasePrepared() {
  statement_ = kNoHandle;
  implicitConnection_ = kNoHandle;
}

}  // namespace dbu
