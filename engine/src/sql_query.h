// Queries: SELECT with joins, grouping, DISTINCT, UNION, subqueries,
// ORDER BY and LIMIT, planned and run on a connection's tables; EXPLAIN;
// the rows of INSERT ... SELECT; and the row selection of UPDATE and
// DELETE, with subqueries in their WHERE.
//
// A statement opens each table it reads once (a table named twice, as in a
// self-join, is one open table) and runs with the locks of all of them held,
// taken in one order (by device and inode) so that statements of several
// processes never wait on each other in a circle; so a query sees one
// state of every table, as a single table's SELECT always did.
//
// Rows are joined left to right in FROM order. Each table after the first
// is reached through an index whose leading field an equality (or range)
// of the ON or WHERE compares with values known by then (an equality walks
// each value once, and hashes the table in one pass once the values walked
// are many beside its size), else through a
// hash of the field an equality names, else by a scan of the records its
// own conditions admit; the first table is read through an index when the
// WHERE bounds an index's leading field with constants, else scanned in
// blocks with the conditions tested on the raw record bytes. Conditions are
// tested as soon as the tables they name are joined (LEFT JOIN: its ON
// decides the match, the WHERE is tested on the joined row).
//
// Results are static cursors held in memory (a file without a name) unless
// they are large, when they go to a private folder in TMPDIR as before.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "expr.h"
#include "objects.h"
#include "sql_ast.h"
#include "sql_exec.h"

namespace eng {

// SELECT: the result as a static cursor.
ExecOutcome RunSelect(const std::shared_ptr<ConnectionObject>& conn, const sql::Query& query,
                      const StatementOptions& options);

// EXPLAIN statement: a cursor of one text column, PLAN, a line for each step
// (which table is scanned, which is searched through which index and on
// what, how rows are grouped and sorted, the subqueries).
ExecOutcome RunExplain(const std::shared_ptr<ConnectionObject>& conn, const sql::Statement& statement,
                       const StatementOptions& options);

// The rows a query gives, as values (INSERT ... SELECT reads them all
// before it writes anything, so a query on its own target sees the table
// as it was).
std::vector<std::vector<Value>> QueryRows(ConnectionObject& conn, const sql::Query& query,
                                          const StatementOptions& options);

// The row selection of UPDATE and DELETE on one table: its WHERE (which may
// hold subqueries, also on the table itself) bound to the table's fields,
// and UPDATE's new values (which may hold subqueries too, correlated to the
// record or not). Select() names the records that match now, walking only
// an index's range when the WHERE bounds the leading field of one; the
// statement then changes each record in one hold of the table's lock,
// asking Matches() whether it still matches as it is then and ValueFor()
// for its new values. Subqueries are run during Select() (with every table
// they read locked, the target's lock included), those of the values for
// each record selected; Matches() and ValueFor() give their answers from
// then, so they take no other lock, and every subquery sees the tables as
// they were before the statement changed any record. A record whose
// correlated values changed meanwhile no longer counts as matching, and has
// no new value (ValueFor() gives none).
class RecordSelector {
 public:
  // `target` is the statement's own handle on the table (named `table` in
  // errors); where may be null (every record).
  RecordSelector(ConnectionObject& conn, const StatementOptions& options, SharedTable& target,
                 const std::string& table, const sql::Expression* where,
                 const std::vector<const sql::Expression*>& values = {});
  ~RecordSelector();
  RecordSelector(const RecordSelector&) = delete;
  RecordSelector& operator=(const RecordSelector&) = delete;

  // Takes the locks itself: call it holding none.
  std::vector<uint32_t> Select();
  // Under the target's lock; raw holds the table's record length.
  bool Matches(const uint8_t* raw) const;
  // The value of values[i] for the record as it is now (under the target's
  // lock); none when a subquery of it has no answer for the record's values
  // because they changed after Select().
  std::optional<Value> ValueFor(size_t i, const uint8_t* raw) const;
  // How Select() finds the records, as EXPLAIN shows it.
  std::vector<std::string> Plan() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Results whose records and memo contents take up to this many bytes are
// held in memory; larger ones go to a file in TMPDIR. A variable for tests.
extern uint64_t g_result_memory_limit;

// Tables a statement handle keeps open from one execution to the next: an
// encrypted table closed is not kept loaded by the process (its decrypted
// blocks go with it), so a statement run again and again on one (the
// approval flow import sends one SELECT per section) would decrypt the whole
// table every time. Kept while the statement lives and runs only queries;
// any other statement, and closing it, lets them go.
class KeptTables {
 public:
  KeptTables();
  ~KeptTables();
  KeptTables(const KeptTables&) = delete;
  KeptTables& operator=(const KeptTables&) = delete;
  void Clear();

 private:
  friend class TableSet;
  struct Entry {
    std::string path, password;
    std::shared_ptr<TableHandle> handle;
  };
  std::vector<Entry> entries_;
};

}  // namespace eng
