// Expressions of filters and SQL clauses: tokenizing, parsing to a syntax
// tree, binding the tree to a table's fields (types checked, field offsets
// resolved) and evaluating it on raw records.
//
// Language (keywords and field names without regard to case):
//   names        FIELD, "FIELD" (a double-quoted text that names no field is
//                a string literal), TABLE.FIELD (the qualifier is ignored)
//   literals     'text' or "text" (a doubled quote stands for itself),
//                12, 12.5, .5, TRUE, FALSE, NULL,
//                dates {d '2005-05-24'} or DATE '2005-05-24',
//                times {t '08:30:00'} or TIME '08:30',
//                time stamps {ts '2005-12-06 08:30:00'} or TIMESTAMP '...';
//                a string literal compared with (or combined by + and - with)
//                a date, time or time stamp, or subtracted from one, is read
//                as one (YYYY-MM-DD, YYYYMMDD or YYYY/MM/DD; HH:MM[:SS])
//   operators    by rising precedence: OR; AND; NOT; = <> != < <= > >=,
//                [NOT] LIKE ("%" any run, "_" any one character; trailing
//                blanks of the value ignored), [NOT] BETWEEN lo AND hi,
//                [NOT] IN (a, b, ...) and IS [NOT] NULL; + -; * /; unary - +
//                || joins texts (as + does)
//   functions    UPPER, LOWER, TRIM, LTRIM, RTRIM, LEFT(s, n), RIGHT(s, n),
//                SUBSTRING(s, start[, count]) (also SUBSTR; start is 1-based),
//                LENGTH(s) (without trailing blanks), YEAR, MONTH, DAY,
//                ROUND(x[, digits]) (halves away from zero; digits below 0
//                count as 0), ABS(x), COALESCE(a, b, ...), IFNULL(a, b),
//                CAST(x AS type) (CHAR[(n)], VARCHAR[(n)], TEXT, INTEGER,
//                NUMERIC[(n[,d])], DOUBLE, DATE, TIMESTAMP, LOGICAL; a text
//                that is no number, date or logical casts to NULL; INTEGER
//                cuts toward zero)
//   CASE         CASE WHEN c THEN v ... [ELSE v] END, CASE x WHEN a THEN v
//                ... [ELSE v] END (no ELSE: NULL); CASE followed by an
//                operator or the end is a field named CASE
// In SQL statements (through a BindScope) also: aggregates COUNT(*),
// COUNT([DISTINCT] x), SUM, AVG, MIN, MAX; subqueries (SELECT ...) as
// values, EXISTS (SELECT ...) and x [NOT] IN (SELECT ...).
// Semantics: strings compare as stored, the shorter padded with blanks;
// with exactness off (a filter's partial match; SQL statements always
// compare exactly), a string compared with a string literal is compared
// over the literal's length only (NAME = 'SMI' matches "SMITH"). An empty
// field is NULL: comparisons and arithmetic with NULL give NULL, which a
// filter treats as not matching (AND, OR and NOT follow three-valued logic);
// IS NULL finds empty fields. Division by zero gives NULL. Dates plus or
// minus numbers are dates; date minus date is a number of days.
//
// Errors: Compile and the parsers throw EngineError(ENG_ERR_EXPRESSION, or
// the code the Lexer was given) whose text names the offending token and its
// 1-based position, e.g. `Unknown field: "NAMX" at position 1`.
//
// Threads: a CompiledExpression is immutable after Compile except for the
// scratch buffers that evaluation reuses; evaluate one compiled expression
// from one thread at a time (each filter owns its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record_codec.h"
#include "schema.h"
#include "value.h"

namespace eng {

// ---- Tokens -------------------------------------------------------------------

enum class TokenKind : uint8_t {
  kEnd,
  kIdentifier,  // bare name or keyword
  kQuoted,      // "..." (text holds the content)
  kString,      // '...' (text holds the content)
  kNumber,
  kParameter,   // :name (text holds the name)
  kSymbol,      // operators and punctuation
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;     // decoded content (quotes removed for quoted kinds)
  size_t position = 0;  // 0-based byte offset in the source text
  size_t length = 0;    // bytes in the source text
};

// Splits a text into tokens at construction; "--" comments to the end of the
// line and /* */ comments are skipped. Throws (with `error_code`) on an
// unterminated quote or a character that starts no token.
class Lexer {
 public:
  Lexer(std::string_view text, uint32_t error_code);

  const Token& Peek(size_t ahead = 0) const;
  Token Next();
  bool AtEnd() const { return Peek().kind == TokenKind::kEnd; }
  // True when the next token is the bare keyword (case-insensitive).
  bool PeekKeyword(const char* keyword, size_t ahead = 0) const;
  bool PeekSymbol(const char* symbol, size_t ahead = 0) const;
  bool AcceptKeyword(const char* keyword);
  bool AcceptSymbol(const char* symbol);
  void ExpectKeyword(const char* keyword);
  void ExpectSymbol(const char* symbol);

  std::string_view source() const { return source_; }
  // Byte offset just past the last token taken with Next (0 before any).
  size_t consumed_end() const { return consumed_end_; }
  uint32_t error_code() const { return error_code_; }
  // Throws EngineError(error_code) with `why`, the token and its position.
  [[noreturn]] void Fail(const Token& token, const std::string& why) const;

 private:
  std::string_view source_;
  uint32_t error_code_;
  std::vector<Token> tokens_;
  size_t next_ = 0;
  size_t consumed_end_ = 0;
};

// Quotes a token for error texts: "NAME" at position 5, or end of text.
std::string DescribeToken(const Token& token);

// ---- Syntax tree --------------------------------------------------------------

enum class LiteralKind : uint8_t { kNull, kString, kNumber, kLogical, kDate, kTime, kTimestamp };

namespace sql {
struct Query;  // a SELECT as the SQL layer parses it (sql_ast.h)
}

struct ExprSyntax {
  // kCase: children are [operand,] when, then, when, then, ... [, else];
  // kCast: one child; kSubquery, kExists: `query`; an IN over a subquery is
  // a kBinary "IN" with one child (the value) and `query`.
  enum class Kind : uint8_t { kLiteral, kName, kParameter, kUnary, kBinary, kIsNull, kCall, kStar, kCase, kCast,
                              kSubquery, kExists };
  Kind kind = Kind::kLiteral;
  LiteralKind literal = LiteralKind::kNull;  // kLiteral
  std::string text;       // name, operator, upper-cased function name, or literal text
  std::string qualifier;  // TABLE of TABLE.FIELD
  bool quoted = false;    // kName from a double-quoted text (may be a string literal)
  bool negated = false;   // kIsNull: IS NOT NULL
  double number = 0;      // numeric literals; parsed dates (Julian), times (ms), time stamps
  std::vector<std::unique_ptr<ExprSyntax>> children;
  Token token;            // where it stands in the source, for error texts
  int depth = 1;          // height of the subtree (bounded by the parser)
  bool distinct = false;  // kCall: an aggregate over distinct values
  bool has_operand = false, has_else = false;  // kCase
  // kCast: the type cast to; length 0 = none given, decimals -1 = none.
  ValueType cast_to = ValueType::kNull;
  bool cast_integer = false;
  uint32_t cast_length = 0;
  int cast_decimals = -1;
  std::shared_ptr<const sql::Query> query;  // subqueries
};

// Parses the SELECT of a subquery for the expression parser; only SQL
// statements have one (a filter knows no subqueries).
class SubqueryParser {
 public:
  virtual ~SubqueryParser() = default;
  // Called with the lexer on SELECT; takes the query up to, not including,
  // the closing parenthesis.
  virtual std::shared_ptr<const sql::Query> ParseQuery(Lexer& lexer) = 0;
};

// Parses one expression from the lexer's current token; stops before the
// first token that cannot continue it (",", ")", a keyword such as FROM).
std::unique_ptr<ExprSyntax> ParseExpression(Lexer& lexer, SubqueryParser* subqueries = nullptr);

// Aggregate function names (upper case): COUNT, SUM, AVG, MIN, MAX.
bool IsAggregateName(std::string_view upper_name);

// ---- Compiled expressions -----------------------------------------------------

enum class CompareOp : uint8_t { kEq, kNe, kLt, kLe, kGt, kGe };

// Whether a three-way comparison result c (<0, 0, >0) satisfies op.
inline bool CompareHolds(CompareOp op, int c) {
  switch (op) {
    case CompareOp::kEq: return c == 0;
    case CompareOp::kNe: return c != 0;
    case CompareOp::kLt: return c < 0;
    case CompareOp::kLe: return c <= 0;
    case CompareOp::kGt: return c > 0;
    case CompareOp::kGe: return c >= 0;
  }
  return false;
}

// A conjunct of the top-level AND chain of the form FIELD op literal (or
// literal op FIELD, reported with op reversed): every matching record
// satisfies it, so the engine may seek an index whose leading segment is
// `field` and walk only the range it admits. The literal has already been
// converted to the field's kind (a text compared with a date field is a
// date). For string fields with exactness off, an equality means "begins
// with the literal", so treat kEq as a prefix range there. Records found
// through a hint must still pass Matches: the hint narrows, it does not
// decide.
struct SeekHint {
  size_t field = 0;
  CompareOp op = CompareOp::kEq;
  Value literal;
};

// The rows of a subquery as an expression that holds one reads them.
// `outer` is the record that expression is evaluated on: a correlated
// subquery takes its outer values from it.
class SubqueryEval {
 public:
  virtual ~SubqueryEval() = default;
  // The one value of a one-column subquery (NULL without rows; more than
  // one row fails).
  virtual Value Scalar(const RecordView& outer) = 0;
  virtual bool Exists(const RecordView& outer) = 0;
  // x IN (subquery): true when a row equals x; NULL (nullopt) when x is
  // NULL and there are rows, or when no row equals x but one is NULL.
  virtual std::optional<bool> Contains(const RecordView& outer, const Value& x) = 0;
};

// How the names, aggregates and subqueries of an SQL expression bind.
// (Filters bind names to the fields of one table and have neither.)
class BindScope {
 public:
  // What a name stands for: a field of the record the expression reads (an
  // index into the FieldList given to Bind) or a value the caller supplies
  // in RecordView::values.
  struct Name {
    int32_t field = -1;
    int32_t slot = -1;
    ValueType type = ValueType::kNull;  // of a slot
    uint32_t max_length = 0;            // of a slot holding texts; 0: unbounded
  };
  struct Subquery {
    std::shared_ptr<SubqueryEval> eval;
    ValueType type = ValueType::kNull;  // the column of a scalar or IN subquery
    uint32_t max_length = 0;
    std::vector<size_t> fields;         // fields its correlated values read
  };
  virtual ~BindScope() = default;
  // A column reference; nullopt when no column has the name (the binder
  // then reports it). May throw for an ambiguous name.
  virtual std::optional<Name> Resolve(const ExprSyntax& name) = 0;
  // A node the scope computes itself (an aggregate, a GROUP BY expression),
  // as a slot; nullopt to bind it as usual.
  virtual std::optional<Name> Replace(const ExprSyntax& node) {
    (void)node;
    return std::nullopt;
  }
  // kSubquery, kExists and IN (SELECT ...) nodes.
  virtual Subquery BindSubquery(const ExprSyntax& node) = 0;
};

class CompiledExpression {
 public:
  CompiledExpression() = default;

  ValueType result_type() const { return result_type_; }
  // Indexes (into the FieldList) of every field the expression reads.
  const std::vector<size_t>& referenced_fields() const { return referenced_fields_; }
  // The smallest record size the expression may be evaluated on.
  size_t min_record_size() const { return min_record_size_; }
  bool empty() const { return nodes_.empty(); }
  // The field index when the whole expression is one field, else -1 (a
  // SELECT column that is a field keeps the field's definition).
  int32_t field_reference() const;
  // The slot when the whole expression is one BindScope slot, else -1.
  int32_t slot_reference() const;
  // For string results: the most bytes the result can have, so that a result
  // column can be sized; 0 when unbounded (memo contents).
  uint32_t result_max_length() const;

 private:
  friend class ExpressionBinder;
  friend class ExpressionEvaluator;
  friend std::vector<SeekHint> FindSeekHints(const CompiledExpression&);
  friend class FastCondition;
  friend class FastTranslator;

  enum class Op : uint8_t;
  struct Node {
    Op op{};
    ValueType type = ValueType::kNull;
    CompareOp compare = CompareOp::kEq;
    bool string_compare = false;  // comparison of texts (else of scalars)
    int8_t literal_side = -1;     // comparison: 0 or 1 when that operand is a string literal
    int32_t a = -1, b = -1, c = -1;
    size_t field = 0;             // field index
    FieldDef def;                 // field definition (offset pre-resolved)
    double number = 0;            // scalar constants
    std::string text;             // string constants
    uint32_t max_length = 0;      // string nodes: longest possible result, 0 = unbounded
    int32_t param = 0;            // casts: digits or length
    std::vector<int32_t> args;    // CASE (when, then pairs, then else or -1), COALESCE
    std::shared_ptr<SubqueryEval> subquery;
  };

  std::vector<Node> nodes_;
  int32_t root_ = -1;
  ValueType result_type_ = ValueType::kNull;
  std::vector<size_t> referenced_fields_;
  size_t min_record_size_ = 0;
  mutable std::vector<std::string> scratch_;  // one per node, reused across evaluations
};

// Binds a parsed expression to the table's fields. Throws
// EngineError(ENG_ERR_EXPRESSION) for unknown fields, type mismatches,
// unknown functions, wrong argument counts and parameter markers.
CompiledExpression Bind(const ExprSyntax& syntax, const FieldList& fields);
// The same in an SQL statement: names, aggregates and subqueries through
// `scope` (fields: the record's, which Name::field indexes).
CompiledExpression Bind(const ExprSyntax& syntax, const FieldList& fields, BindScope& scope);
// Parses and binds; the whole text must be one expression.
CompiledExpression Compile(std::string_view text, const FieldList& fields);
// As Compile, and the result must be a condition (logical).
CompiledExpression CompileFilter(std::string_view text, const FieldList& fields);

// Evaluates on one record. `exact` is the exactness flag of string
// comparisons (see above). Throws EngineError(ENG_ERR_INTERNAL) when the
// record is shorter than min_record_size().
Value Evaluate(const CompiledExpression& expression, const RecordView& record, bool exact);
// For conditions: true only when the expression yields TRUE (NULL and
// FALSE do not match).
bool Matches(const CompiledExpression& expression, const RecordView& record, bool exact);

// ---- Index assistance ---------------------------------------------------------

std::vector<SeekHint> FindSeekHints(const CompiledExpression& expression);

}  // namespace eng
