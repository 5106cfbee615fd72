// Syntax trees of the SQL statements the engine carries out. The parser
// (sql_parser.h) builds them; the statement executor binds their
// expressions to the table's fields (expr.h Bind) and runs them.
//
// Names are kept as written, quotes removed; compare them without regard to
// case. Table names may carry an extension ("SETUP.ADT") or a path. Every
// node records the 0-based position of its first token in the statement
// text so that execution errors can point at it. Plain values: copyable,
// no shared state beyond the immutable expression trees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "expr.h"

namespace eng::sql {

struct TableRef {
  std::string name;  // "TRANSFER", "SETUP.ADT", "C:\\data\\X.ADT"
  std::string alias;  // FROM EMPLOYEE E → "E"; empty when none
  size_t position = 0;
};

// An expression as parsed; bind it with Bind(*syntax, fields).
struct Expression {
  std::shared_ptr<const ExprSyntax> syntax;
  std::string text;  // the expression's source text
  size_t position = 0;
};

// Engine field type of a column definition. `length` is the field's length
// in the raw record for fixed-size types and the declared length for CHAR,
// NUMERIC, RAW and VARCHAR; memo, binary and image columns carry
// kMemoReferenceLength (the storage may choose its own reference size).
struct ColumnType {
  uint16_t type = 0;  // ENG_LOGICAL .. ENG_CURDOUBLE
  uint32_t length = 0;
  uint16_t decimals = 0;
  std::string spelled;  // as written, e.g. "char(30)", "curdouble"
};
constexpr uint32_t kMemoReferenceLength = 9;

struct ColumnDef {
  std::string name;
  ColumnType type;
  size_t position = 0;
};

// One column of a SELECT list: an expression, or "*" / "T.*".
struct SelectItem {
  bool star = false;
  std::string star_qualifier;  // T of T.*; empty for *
  Expression expression;       // empty for stars
  std::string alias;           // AS name; empty when none
  std::string heading;         // the alias, else the column name, else the item's text
  size_t position = 0;
};

enum class JoinKind : uint8_t { kFirst, kInner, kLeft, kComma };

// A table of the FROM list and how it joins those before it.
struct FromItem {
  TableRef table;
  JoinKind join = JoinKind::kFirst;
  std::optional<Expression> on;  // JOIN ... ON
};

// ORDER BY expr | ordinal [ASC|DESC]
struct OrderItem {
  Expression expression;
  uint32_t ordinal = 0;  // ORDER BY 2: 1-based result column; 0 when an expression
  bool descending = false;
  size_t position = 0;
};

// SELECT [DISTINCT] [TOP n] items [FROM ...] [WHERE] [GROUP BY] [HAVING]
struct SelectCore {
  bool distinct = false;
  std::optional<uint64_t> top;
  std::vector<SelectItem> items;
  std::vector<FromItem> from;  // empty: a SELECT of values alone
  std::optional<Expression> where;
  std::vector<Expression> group_by;
  std::optional<Expression> having;
  size_t position = 0;
};

// A whole query: cores joined by UNION [ALL], then ORDER BY and LIMIT for
// the whole. Used for statements and subqueries alike.
struct Query {
  std::vector<SelectCore> cores;  // at least one
  std::vector<bool> union_all;    // between cores[i] and cores[i + 1]
  std::vector<OrderItem> order_by;
  std::optional<uint64_t> limit;
  uint64_t offset = 0;
  size_t position = 0;
};

struct SelectStatement {
  std::shared_ptr<const Query> query;
};

struct AlterAction {
  enum class Kind : uint8_t { kAdd, kAlter, kDrop };
  Kind kind = Kind::kAdd;
  std::string column;    // ADD: the new column; ALTER, DROP: the existing one
  std::string new_name;  // ALTER only
  ColumnType type;       // ADD and ALTER
  size_t position = 0;
};

struct AlterTableStatement {
  TableRef table;
  std::vector<AlterAction> actions;  // at least one
};

struct CreateTableStatement {
  TableRef table;
  std::vector<ColumnDef> columns;  // at least one
};

struct DropTableStatement {
  TableRef table;
};

struct CreateIndexStatement {
  std::string tag;
  TableRef table;
  std::vector<std::string> columns;  // key segments in order
  bool unique = false;
  bool descending = false;
};

struct DropIndexStatement {
  TableRef table;
  std::string tag;
};

struct InsertStatement {
  TableRef table;
  std::vector<std::string> columns;            // empty: every column in table order
  std::vector<std::vector<Expression>> rows;   // one or more VALUES rows, or
  std::shared_ptr<const Query> query;          // INSERT ... SELECT
};

struct Assignment {
  std::string column;
  Expression value;
  size_t position = 0;
};

struct UpdateStatement {
  TableRef table;
  std::vector<Assignment> assignments;
  std::optional<Expression> where;
};

struct DeleteStatement {
  TableRef table;
  std::optional<Expression> where;
};

// BEGIN, COMMIT and ROLLBACK of the connection's transaction.
struct TransactionStatement {
  enum class Kind : uint8_t { kBegin, kCommit, kRollback };
  Kind kind = Kind::kBegin;
  size_t position = 0;
};

struct StatementBox;

// EXPLAIN statement: how the statement would be carried out.
struct ExplainStatement {
  std::shared_ptr<const StatementBox> statement;
};

using Statement = std::variant<SelectStatement, AlterTableStatement, CreateTableStatement, DropTableStatement,
                               CreateIndexStatement, DropIndexStatement, InsertStatement, UpdateStatement,
                               DeleteStatement, ExplainStatement, TransactionStatement>;

struct StatementBox {
  Statement statement;
};

}  // namespace eng::sql
