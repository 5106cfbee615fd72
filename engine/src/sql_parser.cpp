#include "sql_parser.h"

#include <cstring>

#include "engine.h"
#include "error.h"

namespace eng::sql {

namespace {

bool EqualsNoCase(std::string_view a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

// Words that end a clause; a bare alias may not be one of them.
bool IsClauseWord(std::string_view word) {
  static const char* const kWords[] = {"FROM",  "WHERE", "ORDER", "BY",     "AS",    "ASC",   "DESC",  "SET",
                                       "VALUES", "AND",  "OR",    "NOT",    "IS",    "NULL",  "ON",    "INTO",
                                       "LIKE",  "GROUP", "HAVING", "UNION", "LIMIT", "OFFSET", "JOIN", "INNER",
                                       "LEFT",  "CROSS", "OUTER", "SELECT"};
  for (const char* w : kWords)
    if (EqualsNoCase(word, w)) return true;
  return false;
}

// Subqueries may nest this deep: each level parses, binds and runs with
// its own recursion.
constexpr int kMaxQueryDepth = 24;

class StatementParser : public SubqueryParser {
 public:
  explicit StatementParser(std::string_view text) : lx_(text, ENG_ERR_SQL_SYNTAX) {}

  Statement Run() {
    Statement statement = ParseStatement();
    lx_.AcceptSymbol(";");
    if (!lx_.AtEnd()) lx_.Fail(lx_.Peek(), "Unexpected text after the statement");
    return statement;
  }

 private:
  Statement ParseStatement() {
    if (lx_.AcceptKeyword("EXPLAIN")) {
      if (lx_.PeekKeyword("EXPLAIN")) lx_.Fail(lx_.Peek(), "Expected the statement to explain");
      auto box = std::make_shared<StatementBox>();
      box->statement = ParseStatement();
      return ExplainStatement{std::move(box)};
    }
    if (lx_.PeekKeyword("SELECT")) return SelectStatement{ParseQuery(lx_)};
    if (lx_.AcceptKeyword("ALTER")) return ParseAlterTable();
    if (lx_.AcceptKeyword("CREATE")) {
      if (lx_.AcceptKeyword("TABLE")) return ParseCreateTable();
      bool unique = lx_.AcceptKeyword("UNIQUE");
      if (lx_.AcceptKeyword("INDEX")) return ParseCreateIndex(unique);
      lx_.Fail(lx_.Peek(), unique ? "Expected INDEX" : "Expected TABLE, INDEX or UNIQUE INDEX");
    }
    if (lx_.AcceptKeyword("DROP")) {
      if (lx_.AcceptKeyword("TABLE")) return DropTableStatement{ParseTable()};
      if (lx_.AcceptKeyword("INDEX")) return ParseDropIndex();
      lx_.Fail(lx_.Peek(), "Expected TABLE or INDEX");
    }
    if (lx_.AcceptKeyword("INSERT")) return ParseInsert();
    if (lx_.AcceptKeyword("UPDATE")) return ParseUpdate();
    if (lx_.AcceptKeyword("DELETE")) return ParseDelete();
    using Kind = TransactionStatement::Kind;
    if (lx_.AcceptKeyword("BEGIN")) return ParseTransaction(Kind::kBegin);
    if (lx_.AcceptKeyword("COMMIT") || lx_.AcceptKeyword("END")) return ParseTransaction(Kind::kCommit);
    if (lx_.AcceptKeyword("ROLLBACK")) return ParseTransaction(Kind::kRollback);
    lx_.Fail(lx_.Peek(), "Expected SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, DROP, EXPLAIN, BEGIN, COMMIT or ROLLBACK");
  }

  // ---- Pieces ----

  bool PeekName(size_t ahead = 0) const {
    TokenKind k = lx_.Peek(ahead).kind;
    return k == TokenKind::kIdentifier || k == TokenKind::kQuoted;
  }

  std::string ParseName(const char* what) {
    if (!PeekName()) lx_.Fail(lx_.Peek(), std::string("Expected ") + what);
    return lx_.Next().text;
  }

  // A column reference; a TABLE. qualifier is dropped.
  std::string ParseColumnRef() {
    std::string name = ParseName("a column name");
    while (lx_.PeekSymbol(".") && PeekName(1)) {
      lx_.Next();
      name = lx_.Next().text;
    }
    return name;
  }

  // Dotted parts of a table name: "X.ADT", X.ADT, "C:\p\X.ADT".
  std::vector<Token> ParseDottedName(const char* what) {
    std::vector<Token> parts;
    if (!PeekName()) lx_.Fail(lx_.Peek(), std::string("Expected ") + what);
    parts.push_back(lx_.Next());
    while (lx_.PeekSymbol(".") && PeekName(1)) {
      lx_.Next();
      parts.push_back(lx_.Next());
    }
    return parts;
  }

  static std::string Join(const std::vector<Token>& parts, size_t from, size_t to) {
    std::string s;
    for (size_t i = from; i < to; ++i) {
      if (i > from) s += '.';
      s += parts[i].text;
    }
    return s;
  }

  TableRef ParseTable() {
    TableRef t;
    t.position = lx_.Peek().position;
    std::vector<Token> parts = ParseDottedName("a table name");
    t.name = Join(parts, 0, parts.size());
    if (t.name.empty()) lx_.Fail(parts[0], "Empty table name");
    return t;
  }

  Expression ParseExpr() {
    Expression e;
    e.position = lx_.Peek().position;
    e.syntax = ParseExpression(lx_, this);
    e.text = std::string(lx_.source().substr(e.position, lx_.consumed_end() - e.position));
    return e;
  }

  uint32_t ParseCount(const char* what, uint32_t min, uint32_t max) {
    const Token& t = lx_.Peek();
    if (t.kind != TokenKind::kNumber || t.text.find_first_not_of("0123456789") != std::string::npos || t.text.size() > 9)
      lx_.Fail(t, std::string("Expected ") + what);
    auto v = static_cast<uint32_t>(std::stoul(t.text));
    if (v < min || v > max)
      lx_.Fail(t, std::string("Expected ") + what + " from " + std::to_string(min) + " to " + std::to_string(max));
    lx_.Next();
    return v;
  }

  ColumnType ParseType() {
    const Token& t = lx_.Peek();
    if (t.kind != TokenKind::kIdentifier) lx_.Fail(t, "Expected a column type");
    Token word = lx_.Next();
    const std::string& w = word.text;
    ColumnType type;
    auto fixed = [&](uint16_t code, uint32_t length) {
      type.type = code;
      type.length = length;
    };
    auto sized = [&](uint16_t code, uint32_t max) {
      type.type = code;
      lx_.ExpectSymbol("(");
      type.length = ParseCount("a length", 1, max);
      lx_.ExpectSymbol(")");
    };
    if (EqualsNoCase(w, "CHAR") || EqualsNoCase(w, "CHARACTER") || EqualsNoCase(w, "STRING")) sized(ENG_STRING, 65530);
    else if (EqualsNoCase(w, "VARCHAR")) sized(ENG_VARCHAR, 65000);
    else if (EqualsNoCase(w, "RAW")) sized(ENG_RAW, 65530);
    else if (EqualsNoCase(w, "NUMERIC") || EqualsNoCase(w, "DECIMAL")) {
      type.type = ENG_NUMERIC;
      lx_.ExpectSymbol("(");
      type.length = ParseCount("a length", 1, 32);
      if (lx_.AcceptSymbol(",")) {
        const Token& at = lx_.Peek();
        type.decimals = static_cast<uint16_t>(ParseCount("a number of decimals", 0, 30));
        // Room for the point and one digit before it.
        if (type.decimals > 0 && type.decimals + 2u > type.length)
          lx_.Fail(at, "Too many decimals for a numeric of length " + std::to_string(type.length));
      }
      lx_.ExpectSymbol(")");
    } else if (EqualsNoCase(w, "INTEGER") || EqualsNoCase(w, "INT")) fixed(ENG_INTEGER, 4);
    else if (EqualsNoCase(w, "SHORT") || EqualsNoCase(w, "SHORTINT") || EqualsNoCase(w, "SMALLINT")) fixed(ENG_SHORTINT, 2);
    else if (EqualsNoCase(w, "LOGICAL") || EqualsNoCase(w, "BOOLEAN")) fixed(ENG_LOGICAL, 1);
    else if (EqualsNoCase(w, "DATE")) fixed(ENG_DATE, 4);
    else if (EqualsNoCase(w, "COMPACTDATE")) fixed(ENG_COMPACTDATE, 3);
    else if (EqualsNoCase(w, "TIME")) fixed(ENG_TIME, 4);
    else if (EqualsNoCase(w, "TIMESTAMP")) fixed(ENG_TIMESTAMP, 8);
    else if (EqualsNoCase(w, "DOUBLE")) {
      fixed(ENG_DOUBLE, 8);
      // A table stores no decimals for a double, so DOUBLE(n) is refused
      // here rather than parsed and then refused by CREATE TABLE.
      if (lx_.PeekSymbol("("))
        lx_.Fail(lx_.Peek(), "DOUBLE takes no length or decimals (use NUMERIC(length, decimals) for fixed decimals)");
    } else if (EqualsNoCase(w, "CURDOUBLE") || EqualsNoCase(w, "MONEY")) fixed(ENG_CURDOUBLE, 8);
    else if (EqualsNoCase(w, "AUTOINC")) fixed(ENG_AUTOINC, 4);
    else if (EqualsNoCase(w, "BLOB") || EqualsNoCase(w, "BINARY")) fixed(ENG_BINARY, kMemoReferenceLength);
    else if (EqualsNoCase(w, "MEMO")) fixed(ENG_MEMO, kMemoReferenceLength);
    else if (EqualsNoCase(w, "IMAGE")) fixed(ENG_IMAGE, kMemoReferenceLength);
    else lx_.Fail(word, "Unknown column type");
    type.spelled = std::string(lx_.source().substr(word.position, lx_.consumed_end() - word.position));
    return type;
  }

  // ---- SELECT ----

  TransactionStatement ParseTransaction(TransactionStatement::Kind kind) {
    TransactionStatement s;
    s.kind = kind;
    if (!lx_.AcceptKeyword("TRANSACTION")) lx_.AcceptKeyword("WORK");
    return s;
  }

  // A query, from SELECT to its end (the lexer is lx_ itself).
  std::shared_ptr<const Query> ParseQuery(Lexer& /*lexer*/) override {
    if (++depth_ > kMaxQueryDepth) lx_.Fail(lx_.Peek(), "Subqueries nested too deeply");
    auto q = std::make_shared<Query>();
    q->position = lx_.Peek().position;
    lx_.ExpectKeyword("SELECT");
    q->cores.push_back(ParseCore());
    while (lx_.AcceptKeyword("UNION")) {
      q->union_all.push_back(lx_.AcceptKeyword("ALL"));
      const Token& at = lx_.Peek();
      lx_.ExpectKeyword("SELECT");
      q->cores.push_back(ParseCore());
      if (q->cores.back().top) lx_.Fail(at, "TOP is allowed only in the first SELECT of a UNION");
    }
    if (lx_.AcceptKeyword("ORDER")) {
      lx_.ExpectKeyword("BY");
      do {
        OrderItem item;
        item.position = lx_.Peek().position;
        const Token& t = lx_.Peek();
        if (t.kind == TokenKind::kNumber && t.text.find_first_not_of("0123456789") == std::string::npos &&
            !PeekContinues(1)) {
          item.ordinal = ParseCount("a column number", 1, 65535);
        } else {
          item.expression = ParseExpr();
        }
        if (lx_.AcceptKeyword("DESC")) item.descending = true;
        else lx_.AcceptKeyword("ASC");
        q->order_by.push_back(std::move(item));
      } while (lx_.AcceptSymbol(","));
    }
    if (lx_.AcceptKeyword("LIMIT")) {
      q->limit = ParseCount64("a number of rows");
      if (lx_.AcceptKeyword("OFFSET")) q->offset = ParseCount64("a number of rows to skip");
    } else if (lx_.AcceptKeyword("OFFSET")) {
      q->offset = ParseCount64("a number of rows to skip");
    }
    --depth_;
    return q;
  }

  // Whether the token `ahead` continues an expression (so that "2" before
  // it is no ordinal).
  bool PeekContinues(size_t ahead) const {
    const Token& t = lx_.Peek(ahead);
    if (t.kind != TokenKind::kSymbol) return false;
    return t.text != "," && t.text != ")" && t.text != ";";
  }

  uint64_t ParseCount64(const char* what) {
    const Token& t = lx_.Peek();
    if (t.kind != TokenKind::kNumber || t.text.find_first_not_of("0123456789") != std::string::npos || t.text.size() > 18)
      lx_.Fail(t, std::string("Expected ") + what);
    return std::stoull(lx_.Next().text);
  }

  SelectCore ParseCore() {
    SelectCore c;
    c.position = lx_.Peek().position;
    for (;;) {
      if (lx_.AcceptKeyword("DISTINCT")) {
        c.distinct = true;
      } else if (lx_.PeekKeyword("ALL") && !lx_.PeekSymbol("(", 1) && !lx_.PeekSymbol(".", 1)) {
        lx_.Next();
      } else if (lx_.PeekKeyword("TOP") && lx_.Peek(1).kind == TokenKind::kNumber && !c.top) {
        lx_.Next();
        c.top = ParseCount64("a number of rows");
      } else {
        break;
      }
    }
    do {
      c.items.push_back(ParseSelectItem());
    } while (lx_.AcceptSymbol(","));
    if (lx_.AcceptKeyword("FROM")) ParseFrom(&c);
    if (lx_.AcceptKeyword("WHERE")) c.where = ParseExpr();
    if (lx_.AcceptKeyword("GROUP")) {
      lx_.ExpectKeyword("BY");
      do {
        c.group_by.push_back(ParseExpr());
      } while (lx_.AcceptSymbol(","));
    }
    if (lx_.AcceptKeyword("HAVING")) c.having = ParseExpr();
    return c;
  }

  void ParseFrom(SelectCore* c) {
    FromItem first;
    first.table = ParseTableWithAlias();
    c->from.push_back(std::move(first));
    for (;;) {
      FromItem item;
      if (lx_.AcceptSymbol(",")) {
        item.join = JoinKind::kComma;
      } else if (lx_.AcceptKeyword("JOIN")) {
        item.join = JoinKind::kInner;
      } else if (lx_.PeekKeyword("INNER") && lx_.PeekKeyword("JOIN", 1)) {
        lx_.Next();
        lx_.Next();
        item.join = JoinKind::kInner;
      } else if (lx_.PeekKeyword("CROSS") && lx_.PeekKeyword("JOIN", 1)) {
        lx_.Next();
        lx_.Next();
        item.join = JoinKind::kComma;
      } else if (lx_.PeekKeyword("LEFT") && (lx_.PeekKeyword("JOIN", 1) || lx_.PeekKeyword("OUTER", 1))) {
        lx_.Next();
        lx_.AcceptKeyword("OUTER");
        lx_.ExpectKeyword("JOIN");
        item.join = JoinKind::kLeft;
      } else {
        return;
      }
      item.table = ParseTableWithAlias();
      if (item.join != JoinKind::kComma) {
        lx_.ExpectKeyword("ON");
        item.on = ParseExpr();
      }
      c->from.push_back(std::move(item));
    }
  }

  TableRef ParseTableWithAlias() {
    TableRef t = ParseTable();
    if (lx_.AcceptKeyword("AS")) t.alias = ParseName("an alias");
    else if (PeekName() && !(lx_.Peek().kind == TokenKind::kIdentifier && IsClauseWord(lx_.Peek().text)))
      t.alias = lx_.Next().text;
    return t;
  }

  SelectItem ParseSelectItem() {
    SelectItem item;
    const Token& first = lx_.Peek();
    item.position = first.position;
    if (lx_.AcceptSymbol("*")) {
      item.star = true;
      item.heading = "*";
      return item;
    }
    // T.* (and "T".*)
    if (PeekName() && lx_.PeekSymbol(".", 1) && lx_.PeekSymbol("*", 2)) {
      item.star = true;
      item.star_qualifier = lx_.Next().text;
      lx_.Next();
      lx_.Next();
      item.heading = item.star_qualifier + ".*";
      return item;
    }
    item.expression = ParseExpr();
    size_t end = lx_.consumed_end();
    if (lx_.AcceptKeyword("AS")) {
      item.alias = ParseName("a column alias");
    } else if (PeekName() && !(lx_.Peek().kind == TokenKind::kIdentifier && IsClauseWord(lx_.Peek().text))) {
      item.alias = lx_.Next().text;
    }
    if (!item.alias.empty()) item.heading = item.alias;
    else if (item.expression.syntax->kind == ExprSyntax::Kind::kName) item.heading = item.expression.syntax->text;
    else item.heading = std::string(lx_.source().substr(item.position, end - item.position));
    return item;
  }

  // ---- ALTER TABLE ----

  AlterTableStatement ParseAlterTable() {
    lx_.ExpectKeyword("TABLE");
    AlterTableStatement s;
    s.table = ParseTable();
    for (;;) {
      AlterAction action;
      action.position = lx_.Peek().position;
      if (lx_.AcceptKeyword("ADD")) {
        action.kind = AlterAction::Kind::kAdd;
        SkipColumnWord();
        action.column = ParseName("a column name");
        action.type = ParseType();
      } else if (lx_.AcceptKeyword("ALTER")) {
        action.kind = AlterAction::Kind::kAlter;
        SkipColumnWord();
        action.column = ParseName("a column name");
        action.new_name = ParseName("the new column name");
        action.type = ParseType();
      } else if (lx_.AcceptKeyword("DROP")) {
        action.kind = AlterAction::Kind::kDrop;
        SkipColumnWord();
        action.column = ParseName("a column name");
      } else if (s.actions.empty()) {
        lx_.Fail(lx_.Peek(), "Expected ADD, ALTER or DROP");
      } else {
        break;
      }
      s.actions.push_back(std::move(action));
      lx_.AcceptSymbol(",");
    }
    return s;
  }

  // The optional COLUMN after ADD, ALTER and DROP (a column may itself be
  // called COLUMN when a name follows).
  void SkipColumnWord() {
    if (lx_.PeekKeyword("COLUMN") && PeekName(1)) lx_.Next();
  }

  // ---- CREATE / DROP ----

  CreateTableStatement ParseCreateTable() {
    CreateTableStatement s;
    s.table = ParseTable();
    lx_.ExpectSymbol("(");
    do {
      ColumnDef c;
      c.position = lx_.Peek().position;
      c.name = ParseName("a column name");
      c.type = ParseType();
      s.columns.push_back(std::move(c));
    } while (lx_.AcceptSymbol(","));
    lx_.ExpectSymbol(")");
    return s;
  }

  CreateIndexStatement ParseCreateIndex(bool unique) {
    CreateIndexStatement s;
    s.unique = unique;
    s.tag = ParseName("an index name");
    lx_.ExpectKeyword("ON");
    s.table = ParseTable();
    lx_.ExpectSymbol("(");
    do {
      s.columns.push_back(ParseColumnRef());
      lx_.AcceptKeyword("ASC");
    } while (lx_.AcceptSymbol(","));
    lx_.ExpectSymbol(")");
    if (lx_.AcceptKeyword("DESC")) s.descending = true;
    else lx_.AcceptKeyword("ASC");
    return s;
  }

  DropIndexStatement ParseDropIndex() {
    DropIndexStatement s;
    s.table.position = lx_.Peek().position;
    std::vector<Token> parts = ParseDottedName("table.index");
    if (parts.size() < 2) lx_.Fail(lx_.Peek(), "Expected \".\" and the index name after the table name");
    s.table.name = Join(parts, 0, parts.size() - 1);
    s.tag = parts.back().text;
    return s;
  }

  // ---- INSERT / UPDATE / DELETE ----

  InsertStatement ParseInsert() {
    lx_.ExpectKeyword("INTO");
    InsertStatement s;
    s.table = ParseTable();
    if (lx_.AcceptSymbol("(")) {
      do {
        s.columns.push_back(ParseColumnRef());
      } while (lx_.AcceptSymbol(","));
      lx_.ExpectSymbol(")");
    }
    if (lx_.PeekKeyword("SELECT")) {
      s.query = ParseQuery(lx_);
      return s;
    }
    lx_.ExpectKeyword("VALUES");
    do {
      Token open = lx_.Peek();
      lx_.ExpectSymbol("(");
      std::vector<Expression> row;
      do {
        row.push_back(ParseExpr());
      } while (lx_.AcceptSymbol(","));
      lx_.ExpectSymbol(")");
      size_t want = !s.columns.empty() ? s.columns.size() : (s.rows.empty() ? row.size() : s.rows[0].size());
      if (row.size() != want)
        lx_.Fail(open, "The row has " + std::to_string(row.size()) + " values where " + std::to_string(want) +
                           " are expected");
      s.rows.push_back(std::move(row));
    } while (lx_.AcceptSymbol(","));
    return s;
  }

  UpdateStatement ParseUpdate() {
    UpdateStatement s;
    s.table = ParseTable();
    lx_.ExpectKeyword("SET");
    do {
      Assignment a;
      a.position = lx_.Peek().position;
      a.column = ParseColumnRef();
      lx_.ExpectSymbol("=");
      a.value = ParseExpr();
      s.assignments.push_back(std::move(a));
    } while (lx_.AcceptSymbol(","));
    if (lx_.AcceptKeyword("WHERE")) s.where = ParseExpr();
    return s;
  }

  DeleteStatement ParseDelete() {
    lx_.ExpectKeyword("FROM");
    DeleteStatement s;
    s.table = ParseTable();
    if (lx_.AcceptKeyword("WHERE")) s.where = ParseExpr();
    return s;
  }

  Lexer lx_;
  int depth_ = 0;  // queries being parsed, the statement's own included
};

bool IsNameStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }

}  // namespace

Statement Parse(std::string_view text) { return StatementParser(text).Run(); }

int CountParameters(std::string_view text) {
  int count = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      // Skip to the closing quote; an unterminated text runs to the end.
      size_t close = text.find(c, i + 1);
      i = close == std::string_view::npos ? n : close + 1;
    } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      size_t eol = text.find('\n', i);
      i = eol == std::string_view::npos ? n : eol + 1;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      size_t close = text.find("*/", i + 2);
      i = close == std::string_view::npos ? n : close + 2;
    } else if (c == ':' && i + 1 < n && IsNameStart(static_cast<unsigned char>(text[i + 1])) &&
               (i == 0 || text[i - 1] != ':')) {
      ++count;
      i += 2;
    } else {
      ++i;
    }
  }
  return count;
}

}  // namespace eng::sql
