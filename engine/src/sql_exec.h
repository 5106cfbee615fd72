// Carrying out parsed SQL statements (sql_ast.h) on a connection's tables.
//
// SELECT and EXPLAIN are sql_query.h's: a SELECT result is a read-only
// static cursor (later changes to the tables do not show in it). INSERT,
// UPDATE and DELETE go through the table handle like any other writer
// (record locks and indexes respected); UPDATE and DELETE choose their
// records with sql_query.h's RecordSelector and test each record's WHERE,
// and compute its new values, in the same hold of the table's lock as they
// write it. INSERT ... SELECT reads all its rows before it writes one.
// ALTER TABLE builds the new table image first (so a value that cannot
// convert fails before anything changes) and then replaces the table's
// bytes under its journal while holding it exclusively: a crash leaves the
// old table or the new, never a mix.
//
// Functions here are called with no engine lock held; they open their own
// handles through the C interface and close them before returning.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "objects.h"
#include "sql_ast.h"
#include "table_format.h"

namespace eng {

class KeptTables;

struct StatementOptions {
  bool read_only = false;  // the cursor a statement returns is read-only (ours always are)
  uint16_t lock_type = ENG_LOCK_PROPRIETARY;
  uint16_t char_type = ENG_CHARS_ANSI;
  uint16_t table_type = ENG_TABLE_DEFAULT;
  // Per table name (upper case): password for encrypted tables.
  std::map<std::string, std::string> passwords;
  // Tables the statement handle keeps open between executions (see
  // sql_query.h); null: none are kept.
  KeptTables* kept = nullptr;
};

struct ExecOutcome {
  ENGHANDLE cursor = 0;     // SELECT only
  bool has_count = false;   // INSERT, UPDATE, DELETE
  uint32_t count = 0;       // rows affected
};

ExecOutcome ExecuteStatement(const std::shared_ptr<ConnectionObject>& conn, const sql::Statement& statement,
                             const StatementOptions& options);

// The file a table name stands for on this connection: through the
// dictionary (when registered) and otherwise in the connection's folder;
// ".adt" added when the name has no extension.
std::string ResolveTablePath(ConnectionObject& conn, const std::string& name);

// Test hook: called by ALTER TABLE after the table's new bytes are in place
// and before the change commits (a crash test kills the process there).
extern std::function<void()> g_alter_before_commit;
// Test hook: called right after that change commits.
extern std::function<void()> g_alter_after_commit;

// Hook of the encryption layer: the password a statement was given for a
// table it opens (empty when none). Does nothing until that layer exists.
void ApplyTablePassword(ENGHANDLE table, const std::string& password);

}  // namespace eng
