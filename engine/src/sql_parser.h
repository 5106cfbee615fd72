// Parser of the engine's SQL dialect: text → sql::Statement (sql_ast.h).
//
// Statements (keywords and names without regard to case; names bare or in
// double quotes; statements may span lines; one trailing ";" allowed;
// "--" and /* */ comments skipped):
//   [EXPLAIN] statement
//   SELECT [DISTINCT] [TOP n] item [, item ...] [FROM from] [WHERE expr]
//          [GROUP BY expr, ...] [HAVING expr]
//     [UNION [ALL] SELECT ...]... [ORDER BY expr|ordinal [ASC|DESC], ...]
//     [LIMIT n [OFFSET m]]
//     item: * | table.* | expr [[AS] name] (expressions may hold aggregates)
//     from: table [[AS] alias] followed by any of , table [alias] |
//           [INNER] JOIN table [alias] ON expr | LEFT [OUTER] JOIN ... ON
//           expr | CROSS JOIN table [alias]
//   ALTER TABLE table action [[,] action ...], action one of
//     ADD [COLUMN] name type | ALTER [COLUMN] name newname type | DROP [COLUMN] name
//   CREATE TABLE table (name type [, name type ...])
//   DROP TABLE table
//   CREATE [UNIQUE] INDEX tag ON table (column [, column ...]) [DESC]
//   DROP INDEX table.tag
//   INSERT INTO table [(column, ...)] VALUES (expr, ...) [, (expr, ...) ...]
//   INSERT INTO table [(column, ...)] SELECT ...
//   UPDATE table SET column = expr [, ...] [WHERE expr]
//   DELETE FROM table [WHERE expr]
//   BEGIN [TRANSACTION|WORK], COMMIT [...] (also END [...]), ROLLBACK [...]
// Types: CHAR(n) (also CHARACTER, STRING), VARCHAR(n), RAW(n),
// NUMERIC(n[,d]) (also DECIMAL), INTEGER (INT), SHORT (SHORTINT, SMALLINT),
// LOGICAL (BOOLEAN), DATE, COMPACTDATE, TIME, TIMESTAMP, DOUBLE,
// CURDOUBLE (MONEY), AUTOINC, BLOB (BINARY), MEMO, IMAGE.
// Expressions are those of expr.h, with subqueries: (SELECT ...) as a value,
// EXISTS (SELECT ...) and x [NOT] IN (SELECT ...), nested up to 24 deep.
//
// Stateless functions; safe from any thread.
#pragma once

#include <string_view>

#include "sql_ast.h"

namespace eng::sql {

// Throws EngineError(ENG_ERR_SQL_SYNTAX) whose text quotes the offending
// token and its 1-based position, e.g.
// `Expected FROM: "FORM" at position 10`.
Statement Parse(std::string_view text);

// Number of ":name" parameter markers outside quoted texts and comments.
// Never fails: any text, complete or not, gives a count (0 without markers).
int CountParameters(std::string_view text);

}  // namespace eng::sql
