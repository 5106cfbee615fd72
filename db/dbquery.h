// SQL query cursors: TDbQuery runs one statement through the engine. Open
// takes the records from the cursor the statement produces (walked like a
// table); ExecSQL runs a statement that produces none.
//
// The query owns its engine statement handle: it is kept across Close and
// changes of SQL (each execution prepares the current text on it afresh),
// freed by CloseStatement or when the query is destroyed, and forgotten
// without an engine call when the query's connection disconnects (the
// engine closed it then). An implicit connection made by path belongs to
// TDynamicConnList, not to the query. Not thread-safe.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dbextended.h"
#include "screencursor.h"
#include "variant.h"

namespace dbu {

// A list of text lines that reports every change.
class TSqlLines {
 public:
  size_t Count() const { return lines_.size(); }
  const std::string& operator[](size_t index) const { return lines_.at(index); }
  const std::vector<std::string>& Lines() const { return lines_; }
  void Clear();
  void Add(const std::string& line);
  // Replaces the lines by the text split at line breaks (CR LF, LF or CR).
  void SetText(const std::string& text);
  // The lines, each followed by CR LF.
  std::string Text() const;

  std::function<void()> OnChange;

 private:
  void Changed() {
    if (OnChange) OnChange();
  }
  std::vector<std::string> lines_;
};

struct TParam {
  std::string Name;
  Variant Value;
};

// Names of the ":name" markers of a statement outside quoted text, in
// order, each once.
std::vector<std::string> ParamNamesOf(const std::string& sql);

class TDbQuery : public TDbExtendedDataSet {
 public:
  explicit TDbQuery(TComponent* owner = nullptr);
  ~TDbQuery() override;

  TSqlLines& SQL() { return sql_; }
  const TSqlLines& SQL() const { return sql_; }
  std::vector<TParam>& Params() { return params_; }
  bool ParamCheck() const { return paramCheck_; }
  void SetParamCheck(bool value) { paramCheck_ = value; }
  bool RequestLive() const { return requestLive_; }
  void SetRequestLive(bool value) { requestLive_ = value; }
  bool Constrained() const { return constrained_; }
  void SetConstrained(bool value) { constrained_ = value; }
  bool ReadAllColumns() const { return readAllColumns_; }
  void SetReadAllColumns(bool value) { readAllColumns_ = value; }
  TTableType SourceTableType() const { return sourceTableType_; }
  void SetSourceTableType(TTableType type) { sourceTableType_ = type; }
  TCursorShape WaitCursor() const { return waitCursor_; }
  void SetWaitCursor(TCursorShape shape) { waitCursor_ = shape; }
  ENGHANDLE StatementHandle() const { return statement_; }
  ENGHANDLE ImplicitConnection() const { return implicitConnection_; }
  int64_t RowsAffected() const { return rowsAffected_; }

  void SetDatabaseName(const std::string& name) override;
  void ExecSQL();
  void CloseStatement();
  void SetTablePassword(const std::string& table, const std::string& password);

  // Runs after every change of SQL.
  void SqlChanged();
  // Makes sure a statement handle exists.
  void EnsureStatement();

 protected:
  ENGHANDLE CreateCursorHandle() override;
  void ReleasePrepared() override;
  bool FollowsDictionaryDefault() const override { return false; }

 private:
  // Executes SQL; the cursor handle, or kNoHandle when none was produced.
  ENGHANDLE ExecuteStatement();
  void SendOptions();
  void FreeStatementQuietly();

  TSqlLines sql_;
  std::vector<TParam> params_;
  bool paramCheck_ = true;
  bool requestLive_ = false;
  bool constrained_ = false;
  bool readAllColumns_ = false;
  TTableType sourceTableType_ = ttNative;
  TCursorShape waitCursor_ = crDefault;
  ENGHANDLE statement_ = kNoHandle;
  ENGHANDLE implicitConnection_ = kNoHandle;
  int64_t rowsAffected_ = 0;
};

}  // namespace dbu
