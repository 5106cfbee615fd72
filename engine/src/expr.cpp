#include "expr.h"
#include "expr_fast.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "error.h"
#include "number_text.h"

namespace eng {

namespace {

constexpr double kFirstJulian = 1721426;  // 0001-01-01
constexpr double kLastJulian = 5373484;   // 9999-12-31

// Deeper trees would exhaust the stack of the recursive parser, binder and
// evaluator; no sensible filter comes near this.
constexpr int kMaxDepth = 128;

bool IsIdentStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }
bool IsIdentChar(unsigned char c) { return IsIdentStart(c) || (c >= '0' && c <= '9') || c == '$'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  return true;
}

std::string Upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = ToUpperAscii(c);
  return r;
}

// Words with a role in expressions or that start the clause after one; they
// are never taken as bare field names (quote a field that has such a name).
// Other keywords (DESC, SET, ...) stay usable as field names.
bool IsReservedWord(std::string_view word) {
  static const char* const kWords[] = {"AND", "OR", "NOT", "IS", "NULL", "TRUE", "FALSE", "LIKE",
                                       "IN", "BETWEEN", "FROM", "WHERE", "ORDER", "SELECT"};
  for (const char* w : kWords)
    if (EqualsNoCase(word, w)) return true;
  return false;
}

}  // namespace

// ---- Lexer --------------------------------------------------------------------

std::string DescribeToken(const Token& token) {
  if (token.kind == TokenKind::kEnd) return "end of text at position " + std::to_string(token.position + 1);
  std::string shown;
  switch (token.kind) {
    case TokenKind::kString: shown = "'" + token.text + "'"; break;
    case TokenKind::kQuoted: shown = "\"" + token.text + "\""; break;
    case TokenKind::kParameter: shown = ":" + token.text; break;
    default: shown = token.text; break;
  }
  if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
  return "\"" + shown + "\" at position " + std::to_string(token.position + 1);
}

Lexer::Lexer(std::string_view text, uint32_t error_code) : source_(text), error_code_(error_code) {
  size_t i = 0;
  const size_t n = text.size();
  auto fail_at = [&](size_t pos, size_t len, const std::string& why) {
    Token t;
    t.kind = TokenKind::kSymbol;
    t.text = std::string(text.substr(pos, std::min<size_t>(len, 20)));
    t.position = pos;
    t.length = len;
    Fail(t, why);
  };
  while (i < n) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      while (i < n && text[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) fail_at(i, 2, "Unterminated comment");
      i = end + 2;
      continue;
    }
    Token t;
    t.position = i;
    if (IsIdentStart(c)) {
      size_t start = i;
      while (i < n && IsIdentChar(static_cast<unsigned char>(text[i]))) ++i;
      t.kind = TokenKind::kIdentifier;
      t.text = std::string(text.substr(start, i - start));
    } else if (IsDigit(c) || (c == '.' && i + 1 < n && IsDigit(static_cast<unsigned char>(text[i + 1])))) {
      size_t start = i;
      while (i < n && IsDigit(static_cast<unsigned char>(text[i]))) ++i;
      if (i < n && text[i] == '.') {
        ++i;
        while (i < n && IsDigit(static_cast<unsigned char>(text[i]))) ++i;
      }
      if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < n && IsDigit(static_cast<unsigned char>(text[j]))) {
          i = j;
          while (i < n && IsDigit(static_cast<unsigned char>(text[i]))) ++i;
        }
      }
      t.kind = TokenKind::kNumber;
      t.text = std::string(text.substr(start, i - start));
    } else if (c == '\'' || c == '"') {
      size_t start = i++;
      std::string content;
      bool closed = false;
      while (i < n) {
        if (static_cast<unsigned char>(text[i]) == c) {
          if (i + 1 < n && static_cast<unsigned char>(text[i + 1]) == c) {
            content += static_cast<char>(c);
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        content += text[i++];
      }
      if (!closed) fail_at(start, n - start, "Unterminated quoted text");
      t.kind = c == '\'' ? TokenKind::kString : TokenKind::kQuoted;
      t.text = std::move(content);
    } else if (c == ':' && i + 1 < n && IsIdentStart(static_cast<unsigned char>(text[i + 1]))) {
      size_t start = ++i;
      while (i < n && IsIdentChar(static_cast<unsigned char>(text[i]))) ++i;
      t.kind = TokenKind::kParameter;
      t.text = std::string(text.substr(start, i - start));
    } else {
      static const char* const kTwo[] = {"<=", ">=", "<>", "!=", "==", "||"};
      t.kind = TokenKind::kSymbol;
      for (const char* two : kTwo) {
        if (i + 1 < n && text[i] == two[0] && text[i + 1] == two[1]) t.text = two;
      }
      if (t.text.empty()) {
        if (std::strchr("=<>+-*/(),.;{}", static_cast<char>(c)) == nullptr || c == 0)
          fail_at(i, 1, "Unexpected character");
        t.text = std::string(1, static_cast<char>(c));
      }
      i += t.text.size();
    }
    t.length = i - t.position;
    tokens_.push_back(std::move(t));
  }
  Token end;
  end.kind = TokenKind::kEnd;
  end.position = n;
  tokens_.push_back(end);
}

const Token& Lexer::Peek(size_t ahead) const {
  size_t i = next_ + ahead;
  return i < tokens_.size() ? tokens_[i] : tokens_.back();
}

Token Lexer::Next() {
  Token t = Peek();
  if (next_ < tokens_.size() - 1) {
    ++next_;
    consumed_end_ = t.position + t.length;
  }
  return t;
}

bool Lexer::PeekKeyword(const char* keyword, size_t ahead) const {
  const Token& t = Peek(ahead);
  return t.kind == TokenKind::kIdentifier && EqualsNoCase(t.text, keyword);
}

bool Lexer::PeekSymbol(const char* symbol, size_t ahead) const {
  const Token& t = Peek(ahead);
  return t.kind == TokenKind::kSymbol && t.text == symbol;
}

bool Lexer::AcceptKeyword(const char* keyword) {
  if (!PeekKeyword(keyword)) return false;
  Next();
  return true;
}

bool Lexer::AcceptSymbol(const char* symbol) {
  if (!PeekSymbol(symbol)) return false;
  Next();
  return true;
}

void Lexer::ExpectKeyword(const char* keyword) {
  if (!AcceptKeyword(keyword)) Fail(Peek(), std::string("Expected ") + keyword);
}

void Lexer::ExpectSymbol(const char* symbol) {
  if (!AcceptSymbol(symbol)) Fail(Peek(), std::string("Expected \"") + symbol + "\"");
}

void Lexer::Fail(const Token& token, const std::string& why) const {
  eng::Fail(error_code_, why + ": " + DescribeToken(token));
}

// ---- Parser -------------------------------------------------------------------

namespace {

using SyntaxPtr = std::unique_ptr<ExprSyntax>;

class ExpressionParser {
 public:
  ExpressionParser(Lexer& lexer, SubqueryParser* subqueries) : lx_(lexer), sub_(subqueries) {}

  SyntaxPtr ParseOr() {
    SyntaxPtr left = ParseAnd();
    while (lx_.PeekKeyword("OR")) {
      Token op = lx_.Next();
      left = Binary(op, "OR", std::move(left), ParseAnd());
    }
    return left;
  }

 private:
  SyntaxPtr ParseAnd() {
    SyntaxPtr left = ParseNot();
    while (lx_.PeekKeyword("AND")) {
      Token op = lx_.Next();
      left = Binary(op, "AND", std::move(left), ParseNot());
    }
    return left;
  }

  SyntaxPtr ParseNot() {
    if (lx_.PeekKeyword("NOT")) {
      Token op = lx_.Next();
      Enter(op);
      SyntaxPtr operand = ParseNot();
      --depth_;
      return Unary(op, "NOT", std::move(operand));
    }
    return ParseComparison();
  }

  SyntaxPtr ParseComparison() {
    SyntaxPtr left = ParseAdditive();
    for (;;) {
      const Token& t = lx_.Peek();
      if (t.kind == TokenKind::kSymbol &&
          (t.text == "=" || t.text == "==" || t.text == "<>" || t.text == "!=" || t.text == "<" || t.text == "<=" ||
           t.text == ">" || t.text == ">=")) {
        Token op = lx_.Next();
        std::string name = op.text == "==" ? "=" : op.text == "!=" ? "<>" : op.text;
        left = Binary(op, name, std::move(left), ParseAdditive());
      } else if (PeekPredicate(0) || (lx_.PeekKeyword("NOT") && PeekPredicate(1))) {
        bool negated = lx_.AcceptKeyword("NOT");
        Token op = lx_.Next();
        std::string name = Upper(op.text);
        SyntaxPtr node = Node(ExprSyntax::Kind::kBinary, op);
        node->text = name;
        node->negated = negated;
        node->children.push_back(std::move(left));
        if (name == "LIKE") {
          node->children.push_back(ParseAdditive());
        } else if (name == "BETWEEN") {
          node->children.push_back(ParseAdditive());
          lx_.ExpectKeyword("AND");
          node->children.push_back(ParseAdditive());
        } else if (lx_.PeekSymbol("(") && lx_.PeekKeyword("SELECT", 1)) {  // IN (SELECT ...)
          node->query = Subquery();
        } else {  // IN
          Token open = lx_.Peek();
          lx_.ExpectSymbol("(");
          Enter(open);
          do {
            node->children.push_back(ParseAdditive());
          } while (lx_.AcceptSymbol(","));
          --depth_;
          lx_.ExpectSymbol(")");
        }
        int depth = 0;
        for (auto& c : node->children) depth = std::max(depth, c->depth);
        // IN binds to a balanced OR tree: count its height too.
        int fan = 1;
        for (size_t n = node->children.size(); n > 1; n = (n + 1) / 2) ++fan;
        node->depth = depth + fan + 1;
        CheckDepth(*node);
        left = std::move(node);
      } else if (lx_.PeekKeyword("IS")) {
        Token op = lx_.Next();
        bool negated = lx_.AcceptKeyword("NOT");
        lx_.ExpectKeyword("NULL");
        SyntaxPtr node = Unary(op, "IS NULL", std::move(left));
        node->kind = ExprSyntax::Kind::kIsNull;
        node->negated = negated;
        left = std::move(node);
      } else {
        return left;
      }
    }
  }

  bool PeekPredicate(size_t ahead) const {
    return lx_.PeekKeyword("LIKE", ahead) || lx_.PeekKeyword("IN", ahead) || lx_.PeekKeyword("BETWEEN", ahead);
  }

  SyntaxPtr ParseAdditive() {
    SyntaxPtr left = ParseMultiplicative();
    while (lx_.PeekSymbol("+") || lx_.PeekSymbol("-") || lx_.PeekSymbol("||")) {
      Token op = lx_.Next();
      left = Binary(op, op.text, std::move(left), ParseMultiplicative());
    }
    return left;
  }

  // "(" SELECT ... ")": the query through the SQL layer's parser.
  std::shared_ptr<const sql::Query> Subquery() {
    Token open = lx_.Next();  // "("
    if (sub_ == nullptr) lx_.Fail(lx_.Peek(), "Subqueries are allowed only in SQL statements");
    Enter(open);
    std::shared_ptr<const sql::Query> query = sub_->ParseQuery(lx_);
    --depth_;
    lx_.ExpectSymbol(")");
    return query;
  }

  SyntaxPtr ParseMultiplicative() {
    SyntaxPtr left = ParseUnary();
    while (lx_.PeekSymbol("*") || lx_.PeekSymbol("/")) {
      Token op = lx_.Next();
      left = Binary(op, op.text, std::move(left), ParseUnary());
    }
    return left;
  }

  SyntaxPtr ParseUnary() {
    if (lx_.PeekSymbol("-") || lx_.PeekSymbol("+")) {
      Token op = lx_.Next();
      Enter(op);
      SyntaxPtr operand = ParseUnary();
      --depth_;
      return Unary(op, op.text, std::move(operand));
    }
    return ParsePrimary();
  }

  SyntaxPtr ParsePrimary() {
    const Token& t = lx_.Peek();
    switch (t.kind) {
      case TokenKind::kNumber: {
        SyntaxPtr node = Literal(lx_.Next(), LiteralKind::kNumber);
        ParseNumberText(node->text, &node->number);  // the lexer took only a well-formed number
        return node;
      }
      case TokenKind::kString: return Literal(lx_.Next(), LiteralKind::kString);
      case TokenKind::kQuoted: {
        SyntaxPtr node = Node(ExprSyntax::Kind::kName, lx_.Next());
        node->quoted = true;
        return node;
      }
      case TokenKind::kParameter: return Node(ExprSyntax::Kind::kParameter, lx_.Next());
      case TokenKind::kSymbol:
        if (t.text == "(" && lx_.PeekKeyword("SELECT", 1)) {
          SyntaxPtr node = Node(ExprSyntax::Kind::kSubquery, t);
          node->query = Subquery();
          return node;
        }
        if (t.text == "(") {
          Token open = lx_.Next();
          Enter(open);
          SyntaxPtr inner = ParseOr();
          --depth_;
          lx_.ExpectSymbol(")");
          return inner;
        }
        if (t.text == "{") return ParseEscapedLiteral();
        break;
      case TokenKind::kIdentifier: return ParseWord();
      case TokenKind::kEnd: break;
    }
    lx_.Fail(t, "Expected an expression");
  }

  // {d '...'}, {t '...'}, {ts '...'}
  SyntaxPtr ParseEscapedLiteral() {
    Token open = lx_.Next();
    const Token& kind = lx_.Peek();
    LiteralKind lk;
    if (lx_.PeekKeyword("D")) lk = LiteralKind::kDate;
    else if (lx_.PeekKeyword("T")) lk = LiteralKind::kTime;
    else if (lx_.PeekKeyword("TS")) lk = LiteralKind::kTimestamp;
    else lx_.Fail(kind, "Expected d, t or ts");
    lx_.Next();
    SyntaxPtr node = TypedLiteral(lk);
    lx_.ExpectSymbol("}");
    return node;
  }

  // The string token after DATE, TIME, TIMESTAMP or an escape's kind.
  SyntaxPtr TypedLiteral(LiteralKind kind) {
    const Token& t = lx_.Peek();
    if (t.kind != TokenKind::kString && t.kind != TokenKind::kQuoted) lx_.Fail(t, "Expected a quoted date or time");
    SyntaxPtr node = Literal(lx_.Next(), kind);
    if (!ConvertTemporalText(kind, node->text, &node->number)) {
      static const char* const kNames[] = {"", "", "", "", "date", "time", "time stamp"};
      lx_.Fail(node->token, std::string("Not a valid ") + kNames[static_cast<int>(kind)]);
    }
    return node;
  }

  SyntaxPtr ParseWord() {
    const Token& t = lx_.Peek();
    if (lx_.PeekKeyword("TRUE") || lx_.PeekKeyword("FALSE")) {
      SyntaxPtr node = Literal(lx_.Next(), LiteralKind::kLogical);
      node->number = EqualsNoCase(node->text, "TRUE") ? 1 : 0;
      return node;
    }
    if (lx_.PeekKeyword("NULL")) return Literal(lx_.Next(), LiteralKind::kNull);
    TokenKind after = lx_.Peek(1).kind;
    bool quoted_follows = after == TokenKind::kString;
    if (quoted_follows && lx_.PeekKeyword("DATE")) return (lx_.Next(), TypedLiteral(LiteralKind::kDate));
    if (quoted_follows && lx_.PeekKeyword("TIME")) return (lx_.Next(), TypedLiteral(LiteralKind::kTime));
    if (quoted_follows && lx_.PeekKeyword("TIMESTAMP")) return (lx_.Next(), TypedLiteral(LiteralKind::kTimestamp));
    if (IsReservedWord(t.text)) lx_.Fail(t, "Expected an expression");
    if (lx_.PeekKeyword("CASE") && StartsCase()) return ParseCase();
    if (lx_.PeekKeyword("CAST") && lx_.PeekSymbol("(", 1)) return ParseCast();
    if (lx_.PeekKeyword("EXISTS") && lx_.PeekSymbol("(", 1) && lx_.PeekKeyword("SELECT", 2)) {
      SyntaxPtr node = Node(ExprSyntax::Kind::kExists, lx_.Next());
      node->query = Subquery();
      return node;
    }
    if (lx_.PeekSymbol("(", 1)) return ParseCall();
    SyntaxPtr node = Node(ExprSyntax::Kind::kName, lx_.Next());
    // TABLE.FIELD: keep the field, remember the qualifier.
    if (lx_.PeekSymbol(".") &&
        (lx_.Peek(1).kind == TokenKind::kIdentifier || lx_.Peek(1).kind == TokenKind::kQuoted)) {
      lx_.Next();
      Token field = lx_.Next();
      node->qualifier = node->text;
      node->text = field.text;
      node->quoted = field.kind == TokenKind::kQuoted;
      node->token = field;
    }
    return node;
  }

  // CASE starts a CASE expression unless what follows can only continue a
  // name (a field called CASE compared, added to, listed, or alone).
  bool StartsCase() const {
    const Token& next = lx_.Peek(1);
    if (next.kind == TokenKind::kEnd) return false;
    if (next.kind == TokenKind::kSymbol) return next.text == "(" || next.text == "{";
    if (next.kind == TokenKind::kIdentifier) {
      static const char* const kContinuations[] = {"AND", "OR", "IS", "LIKE", "IN", "BETWEEN", "FROM", "WHERE",
                                                   "ORDER", "GROUP", "HAVING", "AS", "THEN", "ELSE", "END"};
      for (const char* w : kContinuations)
        if (EqualsNoCase(next.text, w)) return false;
    }
    return true;
  }

  SyntaxPtr ParseCase() {
    SyntaxPtr node = Node(ExprSyntax::Kind::kCase, lx_.Next());
    node->text = "CASE";
    Enter(node->token);
    if (!lx_.PeekKeyword("WHEN")) {
      node->has_operand = true;
      node->children.push_back(ParseOr());
    }
    if (!lx_.PeekKeyword("WHEN")) lx_.Fail(lx_.Peek(), "Expected WHEN");
    while (lx_.AcceptKeyword("WHEN")) {
      node->children.push_back(ParseOr());
      lx_.ExpectKeyword("THEN");
      node->children.push_back(ParseOr());
    }
    if (lx_.AcceptKeyword("ELSE")) {
      node->has_else = true;
      node->children.push_back(ParseOr());
    }
    lx_.ExpectKeyword("END");
    --depth_;
    int depth = 0;
    for (auto& c : node->children) depth = std::max(depth, c->depth);
    node->depth = depth + 1;
    CheckDepth(*node);
    return node;
  }

  // CAST(x AS type)
  SyntaxPtr ParseCast() {
    SyntaxPtr node = Node(ExprSyntax::Kind::kCast, lx_.Next());
    node->text = "CAST";
    Token open = lx_.Next();  // "("
    Enter(open);
    node->children.push_back(ParseOr());
    lx_.ExpectKeyword("AS");
    const Token& type = lx_.Peek();
    if (type.kind != TokenKind::kIdentifier) lx_.Fail(type, "Expected a type to cast to");
    std::string word = Upper(lx_.Next().text);
    auto size = [&](bool decimals) {
      if (!lx_.AcceptSymbol("(")) return;
      node->cast_length = static_cast<uint32_t>(Count(1, 65530));
      if (decimals && lx_.AcceptSymbol(",")) node->cast_decimals = Count(0, 30);
      lx_.ExpectSymbol(")");
    };
    if (word == "CHAR" || word == "CHARACTER" || word == "VARCHAR" || word == "STRING" || word == "TEXT") {
      node->cast_to = ValueType::kString;
      size(false);
    } else if (word == "INTEGER" || word == "INT" || word == "SMALLINT" || word == "SHORT" || word == "SHORTINT") {
      node->cast_to = ValueType::kNumber;
      node->cast_integer = true;
    } else if (word == "NUMERIC" || word == "DECIMAL") {
      node->cast_to = ValueType::kNumber;
      size(true);
      if (node->cast_length != 0 && node->cast_decimals < 0) node->cast_decimals = 0;
    } else if (word == "DOUBLE" || word == "REAL" || word == "FLOAT" || word == "MONEY" || word == "CURDOUBLE") {
      node->cast_to = ValueType::kNumber;
    } else if (word == "DATE") {
      node->cast_to = ValueType::kDate;
    } else if (word == "TIMESTAMP") {
      node->cast_to = ValueType::kTimestamp;
    } else if (word == "LOGICAL" || word == "BOOLEAN") {
      node->cast_to = ValueType::kLogical;
    } else {
      lx_.Fail(type, "Unknown type to cast to");
    }
    --depth_;
    lx_.ExpectSymbol(")");
    node->depth = node->children[0]->depth + 1;
    CheckDepth(*node);
    return node;
  }

  int Count(int min, int max) {
    const Token& t = lx_.Peek();
    if (t.kind != TokenKind::kNumber || t.text.find_first_not_of("0123456789") != std::string::npos ||
        t.text.size() > 6 || std::stoi(t.text) < min || std::stoi(t.text) > max)
      lx_.Fail(t, "Expected a number from " + std::to_string(min) + " to " + std::to_string(max));
    return std::stoi(lx_.Next().text);
  }

  SyntaxPtr ParseCall() {
    Token name = lx_.Next();
    SyntaxPtr node = Node(ExprSyntax::Kind::kCall, name);
    node->text = Upper(name.text);
    Token open = lx_.Next();  // "("
    Enter(open);
    if (IsAggregateName(node->text) && lx_.PeekKeyword("DISTINCT")) {
      lx_.Next();
      node->distinct = true;
    }
    if (!lx_.PeekSymbol(")")) {
      do {
        if (lx_.PeekSymbol("*") && (lx_.PeekSymbol(")", 1) || lx_.PeekSymbol(",", 1))) {
          node->children.push_back(Node(ExprSyntax::Kind::kStar, lx_.Next()));
        } else {
          node->children.push_back(ParseOr());
        }
      } while (lx_.AcceptSymbol(","));
    }
    --depth_;
    lx_.ExpectSymbol(")");
    int depth = 0;
    for (auto& c : node->children) depth = std::max(depth, c->depth);
    node->depth = depth + 1;
    CheckDepth(*node);
    return node;
  }

  static bool ConvertTemporalText(LiteralKind kind, const std::string& text, double* out) {
    if (kind == LiteralKind::kDate) {
      int32_t julian;
      if (!ParseDateText(text, &julian)) return false;
      *out = julian;
      return true;
    }
    if (kind == LiteralKind::kTime) {
      int32_t ms;
      if (!ParseTimeText(text, &ms)) return false;
      *out = ms;
      return true;
    }
    return ParseTimestampText(text, out);
  }

  void Enter(const Token& t) {
    if (++depth_ > kMaxDepth) lx_.Fail(t, "Expression nested too deeply");
  }

  void CheckDepth(const ExprSyntax& node) {
    if (node.depth > kMaxDepth) lx_.Fail(node.token, "Expression nested too deeply");
  }

  static SyntaxPtr Node(ExprSyntax::Kind kind, const Token& t) {
    auto node = std::make_unique<ExprSyntax>();
    node->kind = kind;
    node->text = t.text;
    node->token = t;
    return node;
  }

  static SyntaxPtr Literal(const Token& t, LiteralKind kind) {
    SyntaxPtr node = Node(ExprSyntax::Kind::kLiteral, t);
    node->literal = kind;
    return node;
  }

  SyntaxPtr Unary(const Token& op, const std::string& name, SyntaxPtr operand) {
    SyntaxPtr node = Node(ExprSyntax::Kind::kUnary, op);
    node->text = name;
    node->depth = operand->depth + 1;
    node->children.push_back(std::move(operand));
    CheckDepth(*node);
    return node;
  }

  SyntaxPtr Binary(const Token& op, const std::string& name, SyntaxPtr left, SyntaxPtr right) {
    SyntaxPtr node = Node(ExprSyntax::Kind::kBinary, op);
    node->text = name;
    node->depth = std::max(left->depth, right->depth) + 1;
    node->children.push_back(std::move(left));
    node->children.push_back(std::move(right));
    CheckDepth(*node);
    return node;
  }

  Lexer& lx_;
  SubqueryParser* sub_;
  int depth_ = 0;
};

}  // namespace

std::unique_ptr<ExprSyntax> ParseExpression(Lexer& lexer, SubqueryParser* subqueries) {
  return ExpressionParser(lexer, subqueries).ParseOr();
}

bool IsAggregateName(std::string_view n) {
  return n == "COUNT" || n == "SUM" || n == "AVG" || n == "MIN" || n == "MAX";
}

// ---- Binder -------------------------------------------------------------------

enum class CompiledExpression::Op : uint8_t {
  kConst,      // scalar, logical or null constant
  kConstText,  // string constant
  kField,      // fixed-size field
  kMemo,       // memo-like field
  kNegate,
  kAdd,
  kSub,
  kMul,
  kDiv,
  kConcat,
  kCompare,
  kLike,  // compare kNe for NOT LIKE
  kAnd,
  kOr,
  kNot,
  kIsNull,
  kIsNotNull,
  kUpper,
  kLower,
  kTrim,
  kLTrim,
  kRTrim,
  kLeft,
  kRight,
  kSubstr,
  kLength,
  kYear,
  kMonth,
  kDay,
  kSlot,        // RecordView::values[field]
  kCase,        // args: when, then, ..., else (or -1)
  kCoalesce,    // args
  kRound,       // a, digits b (or -1)
  kAbs,
  kCastNumber,  // param: decimals to round to, -1 none, -2 cut to an integer
  kCastText,    // param: the length to cut to (0: none)
  kCastDate,
  kCastTimestamp,
  kCastLogical,
  kScalarSub,   // subquery
  kExistsSub,
  kInSub,       // a IN subquery
};

class ExpressionBinder {
 public:
  using Op = CompiledExpression::Op;
  using NodeT = CompiledExpression::Node;

  ExpressionBinder(const FieldList& fields, BindScope* scope) : fields_(fields), scope_(scope) {}

  CompiledExpression Run(const ExprSyntax& syntax) {
    out_.root_ = Bind(syntax);
    out_.result_type_ = Type(out_.root_);
    out_.scratch_.resize(out_.nodes_.size());
    std::sort(out_.referenced_fields_.begin(), out_.referenced_fields_.end());
    out_.referenced_fields_.erase(std::unique(out_.referenced_fields_.begin(), out_.referenced_fields_.end()),
                                  out_.referenced_fields_.end());
    return std::move(out_);
  }

 private:
  [[noreturn]] static void Error(const ExprSyntax& at, const std::string& why) {
    Fail(ENG_ERR_EXPRESSION, why + ": " + DescribeToken(at.token));
  }

  ValueType Type(int32_t i) const { return out_.nodes_[static_cast<size_t>(i)].type; }
  NodeT& At(int32_t i) { return out_.nodes_[static_cast<size_t>(i)]; }

  int32_t Add(NodeT node) {
    out_.nodes_.push_back(std::move(node));
    return static_cast<int32_t>(out_.nodes_.size() - 1);
  }

  int32_t MakeNode(Op op, ValueType type, int32_t a = -1, int32_t b = -1, int32_t c = -1) {
    NodeT n;
    n.op = op;
    n.type = type;
    n.a = a;
    n.b = b;
    n.c = c;
    return Add(std::move(n));
  }

  int32_t MakeConst(ValueType type, double number) {
    int32_t i = MakeNode(Op::kConst, type);
    At(i).number = number;
    return i;
  }

  static bool IsTemporal(ValueType t) { return t == ValueType::kDate || t == ValueType::kTimestamp || t == ValueType::kTime; }
  static bool IsDateLike(ValueType t) { return t == ValueType::kDate || t == ValueType::kTimestamp; }
  bool IsTextLiteral(int32_t i) const { return out_.nodes_[static_cast<size_t>(i)].op == Op::kConstText; }

  // Turns a string literal into a constant of the temporal type `want`.
  void ConvertLiteral(int32_t i, ValueType want, const ExprSyntax& at) {
    NodeT& n = At(i);
    bool ok = false;
    double v = 0;
    if (want == ValueType::kDate || want == ValueType::kTimestamp) {
      ok = ParseTimestampText(n.text, &v);
      if (ok && want == ValueType::kDate && v != std::floor(v)) want = ValueType::kTimestamp;
    } else if (want == ValueType::kTime) {
      int32_t ms;
      ok = ParseTimeText(n.text, &ms);
      v = ms;
    }
    if (!ok) Error(at, std::string("Not a valid ") + ValueTypeName(want) + " '" + n.text + "'");
    n.op = Op::kConst;
    n.type = want;
    n.number = v;
    n.text.clear();
  }

  void RequireType(int32_t i, const ExprSyntax& at, std::initializer_list<ValueType> allowed, const char* what) {
    ValueType t = Type(i);
    if (t == ValueType::kNull) return;
    for (ValueType a : allowed)
      if (a == t) return;
    Error(at, std::string("Expected ") + what + ", found " + ValueTypeName(t));
  }

  int32_t Bind(const ExprSyntax& s) {
    if (scope_ != nullptr)
      if (std::optional<BindScope::Name> slot = scope_->Replace(s)) return Named(s, *slot);
    switch (s.kind) {
      case ExprSyntax::Kind::kLiteral: return BindLiteral(s);
      case ExprSyntax::Kind::kName: return BindName(s);
      case ExprSyntax::Kind::kParameter: Error(s, "Parameter markers are not supported here");
      case ExprSyntax::Kind::kStar: Error(s, "Unexpected \"*\"");
      case ExprSyntax::Kind::kUnary: return BindUnary(s);
      case ExprSyntax::Kind::kBinary: return BindBinary(s);
      case ExprSyntax::Kind::kIsNull: {
        int32_t a = Bind(*s.children[0]);
        return MakeNode(s.negated ? Op::kIsNotNull : Op::kIsNull, ValueType::kLogical, a);
      }
      case ExprSyntax::Kind::kCall: return BindCall(s);
      case ExprSyntax::Kind::kCase: return BindCase(s);
      case ExprSyntax::Kind::kCast: return BindCast(s);
      case ExprSyntax::Kind::kSubquery: {
        BindScope::Subquery q = Subquery(s);
        int32_t i = MakeNode(Op::kScalarSub, q.type);
        At(i).max_length = q.max_length;
        At(i).subquery = std::move(q.eval);
        return i;
      }
      case ExprSyntax::Kind::kExists: {
        BindScope::Subquery q = Subquery(s);
        int32_t i = MakeNode(Op::kExistsSub, ValueType::kLogical);
        At(i).subquery = std::move(q.eval);
        return i;
      }
    }
    Error(s, "Unexpected token");
  }

  BindScope::Subquery Subquery(const ExprSyntax& s) {
    if (scope_ == nullptr) Error(s, "Subqueries are allowed only in SQL statements");
    BindScope::Subquery q = scope_->BindSubquery(s);
    for (size_t f : q.fields) Reference(f);
    return q;
  }

  // A field of the record (its bytes read in place) or a slot of the scope.
  int32_t Named(const ExprSyntax& s, const BindScope::Name& name) {
    if (name.slot >= 0) {
      int32_t i = MakeNode(Op::kSlot, name.type);
      At(i).field = static_cast<size_t>(name.slot);
      At(i).max_length = name.max_length;
      return i;
    }
    return FieldNode(s, static_cast<size_t>(name.field));
  }

  void Reference(size_t i) {
    const FieldDef& f = fields_[i];
    if (!IsMemoType(f.type))
      out_.min_record_size_ = std::max<size_t>(out_.min_record_size_, static_cast<size_t>(f.offset) + f.length);
    out_.referenced_fields_.push_back(i);
  }

  int32_t FieldNode(const ExprSyntax& s, size_t i) {
    const FieldDef& f = fields_[i];
    ValueType type = ValueTypeOfField(f.type);
    if (type == ValueType::kNull) Error(s, "Field has a type expressions cannot read");
    if (f.length < MinimumFieldLength(f.type))
      Error(s, "Field is " + std::to_string(f.length) + " bytes long, too short for its type");
    NodeT n;
    n.op = IsMemoType(f.type) ? Op::kMemo : Op::kField;
    n.type = type;
    n.field = i;
    n.def = f;
    n.max_length = IsMemoType(f.type) ? 0 : f.length;
    Reference(i);
    return Add(std::move(n));
  }

  // The kind several branches of a CASE or COALESCE share: equal kinds, a
  // date beside a time stamp, NULL beside anything; a text literal beside a
  // date or time stamp reads as one. Strings: the longest (0: unbounded).
  ValueType Unify(const std::vector<int32_t>& items, const ExprSyntax& s, uint32_t* max_length) {
    ValueType type = ValueType::kNull;
    for (int32_t i : items)
      if (i >= 0 && Type(i) != ValueType::kNull && !IsTextLiteral(i)) {
        ValueType t = Type(i);
        if (type == ValueType::kNull || type == t) type = t;
        else if (IsDateLike(type) && IsDateLike(t)) type = ValueType::kTimestamp;
        else Error(s, std::string("Cannot mix ") + ValueTypeName(type) + " and " + ValueTypeName(t));
      }
    for (int32_t i : items)
      if (i >= 0 && IsTextLiteral(i)) {
        if (IsTemporal(type)) ConvertLiteral(i, type == ValueType::kDate ? ValueType::kTimestamp : type, s);
        else if (type == ValueType::kNull) type = ValueType::kString;
        else if (type != ValueType::kString)
          Error(s, std::string("Cannot mix ") + ValueTypeName(type) + " and string");
      }
    // A date beside a converted literal with a time of day is a time stamp.
    if (type == ValueType::kDate)
      for (int32_t i : items)
        if (i >= 0 && Type(i) == ValueType::kTimestamp) type = ValueType::kTimestamp;
    *max_length = 0;
    if (type == ValueType::kString) {
      for (int32_t i : items) {
        if (i < 0 || Type(i) != ValueType::kString) continue;
        if (At(i).max_length == 0 && !IsTextLiteral(i)) {
          *max_length = 0;
          break;
        }
        *max_length = std::max(*max_length, At(i).max_length);
      }
    }
    return type;
  }

  int32_t BindCase(const ExprSyntax& s) {
    size_t k = s.has_operand ? 1 : 0;
    const size_t end = s.children.size() - (s.has_else ? 1 : 0);
    std::vector<int32_t> args, results;
    for (; k + 1 < end; k += 2) {
      int32_t when;
      if (s.has_operand) {
        when = BindComparison(s, CompareOp::kEq, Bind(*s.children[0]), Bind(*s.children[k]), *s.children[k]);
      } else {
        when = Bind(*s.children[k]);
        RequireType(when, *s.children[k], {ValueType::kLogical}, "a condition after WHEN");
      }
      int32_t then = Bind(*s.children[k + 1]);
      args.push_back(when);
      args.push_back(then);
      results.push_back(then);
    }
    int32_t otherwise = s.has_else ? Bind(*s.children.back()) : -1;
    args.push_back(otherwise);
    results.push_back(otherwise);
    uint32_t max_length = 0;
    ValueType type = Unify(results, s, &max_length);
    int32_t i = MakeNode(Op::kCase, type);
    At(i).args = std::move(args);
    At(i).max_length = max_length;
    return i;
  }

  int32_t BindCast(const ExprSyntax& s) {
    int32_t a = Bind(*s.children[0]);
    ValueType from = Type(a);
    auto refuse = [&]() -> void {
      Error(s, std::string("Cannot cast ") + ValueTypeName(from) + " to " + ValueTypeName(s.cast_to));
    };
    int32_t i = -1;
    switch (s.cast_to) {
      case ValueType::kNumber:
        if (from != ValueType::kNull && from != ValueType::kNumber && from != ValueType::kString &&
            from != ValueType::kLogical)
          refuse();
        i = MakeNode(Op::kCastNumber, ValueType::kNumber, a);
        At(i).param = s.cast_integer ? -2 : s.cast_decimals;
        return i;
      case ValueType::kString: {
        i = MakeNode(Op::kCastText, ValueType::kString, a);
        uint32_t natural = from == ValueType::kString ? At(a).max_length
                           : from == ValueType::kDate  ? 10
                           : from == ValueType::kLogical ? 5
                                                         : 32;
        At(i).max_length = s.cast_length != 0 && (natural == 0 || s.cast_length < natural) ? s.cast_length : natural;
        At(i).param = static_cast<int32_t>(s.cast_length);
        return i;
      }
      case ValueType::kDate:
      case ValueType::kTimestamp:
        if (from != ValueType::kNull && !IsDateLike(from) && from != ValueType::kString) refuse();
        return MakeNode(s.cast_to == ValueType::kDate ? Op::kCastDate : Op::kCastTimestamp, s.cast_to, a);
      case ValueType::kLogical:
        if (from != ValueType::kNull && from != ValueType::kLogical && from != ValueType::kNumber &&
            from != ValueType::kString)
          refuse();
        return MakeNode(Op::kCastLogical, ValueType::kLogical, a);
      default: break;
    }
    refuse();
    return -1;
  }

  int32_t BindLiteral(const ExprSyntax& s) {
    switch (s.literal) {
      case LiteralKind::kNull: return MakeConst(ValueType::kNull, 0);
      case LiteralKind::kString: {
        int32_t i = MakeNode(Op::kConstText, ValueType::kString);
        At(i).text = s.text;
        At(i).max_length = static_cast<uint32_t>(s.text.size());
        return i;
      }
      case LiteralKind::kNumber:
        if (!std::isfinite(s.number)) Error(s, "Number out of range");
        return MakeConst(ValueType::kNumber, s.number);
      case LiteralKind::kLogical: return MakeConst(ValueType::kLogical, s.number);
      case LiteralKind::kDate: return MakeConst(ValueType::kDate, s.number);
      case LiteralKind::kTime: return MakeConst(ValueType::kTime, s.number);
      case LiteralKind::kTimestamp: return MakeConst(ValueType::kTimestamp, s.number);
    }
    Error(s, "Unexpected literal");
  }

  int32_t BindName(const ExprSyntax& s) {
    if (scope_ != nullptr) {
      if (std::optional<BindScope::Name> name = scope_->Resolve(s)) return Named(s, *name);
    } else {
      for (size_t i = 0; i < fields_.size(); ++i)
        if (EqualsNoCase(fields_[i].name, s.text)) return FieldNode(s, i);
    }
    if (s.quoted && s.qualifier.empty()) {
      int32_t i = MakeNode(Op::kConstText, ValueType::kString);
      At(i).text = s.text;
      At(i).max_length = static_cast<uint32_t>(s.text.size());
      return i;
    }
    Error(s, "Unknown field");
  }

  int32_t BindUnary(const ExprSyntax& s) {
    int32_t a = Bind(*s.children[0]);
    if (s.text == "NOT") {
      RequireType(a, s, {ValueType::kLogical}, "a condition after NOT");
      return MakeNode(Op::kNot, ValueType::kLogical, a);
    }
    RequireType(a, s, {ValueType::kNumber}, "a number");
    if (s.text == "+") return a;
    return MakeNode(Op::kNegate, ValueType::kNumber, a);
  }

  int32_t BindBinary(const ExprSyntax& s) {
    const std::string& op = s.text;
    if (op == "IN" && s.query) return Negate(s, BindInSubquery(s));
    if (op == "BETWEEN" || op == "IN") return Negate(s, op == "IN" ? BindIn(s) : BindBetween(s));
    if (op == "||") {
      int32_t a = Bind(*s.children[0]);
      int32_t b = Bind(*s.children[1]);
      RequireType(a, *s.children[0], {ValueType::kString}, "a string");
      RequireType(b, *s.children[1], {ValueType::kString}, "a string");
      return Concat(a, b);
    }
    int32_t a = Bind(*s.children[0]);
    int32_t b = Bind(*s.children[1]);
    if (op == "AND" || op == "OR") {
      RequireType(a, *s.children[0], {ValueType::kLogical}, "a condition");
      RequireType(b, *s.children[1], {ValueType::kLogical}, "a condition");
      return MakeNode(op == "AND" ? Op::kAnd : Op::kOr, ValueType::kLogical, a, b);
    }
    if (op == "+" || op == "-") return BindAdditive(s, a, b);
    if (op == "LIKE") {
      RequireType(a, *s.children[0], {ValueType::kString}, "a string");
      RequireType(b, *s.children[1], {ValueType::kString}, "a string pattern");
      int32_t i = MakeNode(Op::kLike, ValueType::kLogical, a, b);
      At(i).compare = s.negated ? CompareOp::kNe : CompareOp::kEq;
      return i;
    }
    if (op == "*" || op == "/") {
      RequireType(a, *s.children[0], {ValueType::kNumber}, "a number");
      RequireType(b, *s.children[1], {ValueType::kNumber}, "a number");
      return MakeNode(op == "*" ? Op::kMul : Op::kDiv, ValueType::kNumber, a, b);
    }
    CompareOp cmp = op == "=" ? CompareOp::kEq : op == "<>" ? CompareOp::kNe : op == "<" ? CompareOp::kLt
                  : op == "<=" ? CompareOp::kLe : op == ">" ? CompareOp::kGt : CompareOp::kGe;
    return BindComparison(s, cmp, a, b, *s.children[1]);
  }

  int32_t Concat(int32_t a, int32_t b) {
    uint32_t la = At(a).max_length, lb = At(b).max_length;
    int32_t i = MakeNode(Op::kConcat, ValueType::kString, a, b);
    // Unbounded stays unbounded; a NULL operand adds nothing.
    bool unbounded = (la == 0 && Type(a) == ValueType::kString && !IsTextLiteral(a)) ||
                     (lb == 0 && Type(b) == ValueType::kString && !IsTextLiteral(b));
    At(i).max_length = unbounded ? 0 : la + lb;
    return i;
  }

  int32_t Negate(const ExprSyntax& s, int32_t i) { return s.negated ? MakeNode(Op::kNot, ValueType::kLogical, i) : i; }

  // x BETWEEN lo AND hi is x >= lo AND x <= hi (x is evaluated twice).
  int32_t BindBetween(const ExprSyntax& s) {
    int32_t low = BindComparison(s, CompareOp::kGe, Bind(*s.children[0]), Bind(*s.children[1]), *s.children[1]);
    int32_t high = BindComparison(s, CompareOp::kLe, Bind(*s.children[0]), Bind(*s.children[2]), *s.children[2]);
    return MakeNode(Op::kAnd, ValueType::kLogical, low, high);
  }

  // x IN (a, b, ...) is x = a OR x = b ..., as a balanced tree so that long
  // lists stay shallow.
  int32_t BindIn(const ExprSyntax& s) {
    std::vector<int32_t> terms;
    for (size_t i = 1; i < s.children.size(); ++i)
      terms.push_back(BindComparison(s, CompareOp::kEq, Bind(*s.children[0]), Bind(*s.children[i]), *s.children[i]));
    while (terms.size() > 1) {
      std::vector<int32_t> next;
      for (size_t i = 0; i + 1 < terms.size(); i += 2) next.push_back(MakeNode(Op::kOr, ValueType::kLogical, terms[i], terms[i + 1]));
      if (terms.size() % 2 == 1) next.push_back(terms.back());
      terms.swap(next);
    }
    return terms[0];
  }

  // x IN (SELECT y ...): x and y compare as x = y would.
  int32_t BindInSubquery(const ExprSyntax& s) {
    int32_t a = Bind(*s.children[0]);
    BindScope::Subquery q = Subquery(s);
    ValueType ta = Type(a), tb = q.type;
    if (IsTemporal(tb) && IsTextLiteral(a)) {
      ConvertLiteral(a, tb, *s.children[0]);
      ta = Type(a);
    }
    bool ok = ta == ValueType::kNull || tb == ValueType::kNull || ta == tb || (IsDateLike(ta) && IsDateLike(tb));
    if (!ok) Error(s, std::string("Cannot compare ") + ValueTypeName(ta) + " with " + ValueTypeName(tb));
    int32_t i = MakeNode(Op::kInSub, ValueType::kLogical, a);
    At(i).subquery = std::move(q.eval);
    return i;
  }

  int32_t BindAdditive(const ExprSyntax& s, int32_t a, int32_t b) {
    bool plus = s.text == "+";
    ValueType ta = Type(a), tb = Type(b);
    // A text beside a date reads as a date ('2005-05-24' - BIRTH_DATE).
    if (IsDateLike(ta) && IsTextLiteral(b) && !plus) ConvertLiteral(b, ta, *s.children[1]);
    if (IsDateLike(tb) && IsTextLiteral(a) && !plus) ConvertLiteral(a, tb, *s.children[0]);
    ta = Type(a);
    tb = Type(b);
    if (ta == ValueType::kNull || tb == ValueType::kNull) {
      ValueType other = ta == ValueType::kNull ? tb : ta;
      if (other == ValueType::kString && plus) return Concat(a, b);
      if (other == ValueType::kNull || other == ValueType::kNumber || IsDateLike(other))
        return MakeNode(plus ? Op::kAdd : Op::kSub, other == ValueType::kNull ? ValueType::kNumber : other, a, b);
    }
    if (ta == ValueType::kNumber && tb == ValueType::kNumber)
      return MakeNode(plus ? Op::kAdd : Op::kSub, ValueType::kNumber, a, b);
    if (plus && ta == ValueType::kString && tb == ValueType::kString)
      return Concat(a, b);
    if (IsDateLike(ta) && tb == ValueType::kNumber) return MakeNode(plus ? Op::kAdd : Op::kSub, ta, a, b);
    if (plus && ta == ValueType::kNumber && IsDateLike(tb)) return MakeNode(Op::kAdd, tb, a, b);
    if (!plus && IsDateLike(ta) && IsDateLike(tb)) return MakeNode(Op::kSub, ValueType::kNumber, a, b);
    Error(s, std::string("Cannot ") + (plus ? "add " : "subtract ") + ValueTypeName(tb) + (plus ? " to " : " from ") +
                 ValueTypeName(ta));
  }

  // `s` is the operator (for errors), `right` the syntax of operand b.
  int32_t BindComparison(const ExprSyntax& s, CompareOp cmp, int32_t a, int32_t b, const ExprSyntax& right) {
    NodeT n;
    n.op = Op::kCompare;
    n.type = ValueType::kLogical;
    n.compare = cmp;
    if (IsTemporal(Type(a)) && IsTextLiteral(b)) ConvertLiteral(b, Type(a), right);
    if (IsTemporal(Type(b)) && IsTextLiteral(a)) ConvertLiteral(a, Type(b), *s.children[0]);
    ValueType ta = Type(a), tb = Type(b);
    bool ok = ta == ValueType::kNull || tb == ValueType::kNull || ta == tb || (IsDateLike(ta) && IsDateLike(tb));
    if (!ok) Error(s, std::string("Cannot compare ") + ValueTypeName(ta) + " with " + ValueTypeName(tb));
    n.string_compare = ta == ValueType::kString || tb == ValueType::kString;
    if (n.string_compare) {
      if (IsTextLiteral(b)) n.literal_side = 1;
      else if (IsTextLiteral(a)) n.literal_side = 0;
    }
    n.a = a;
    n.b = b;
    return Add(std::move(n));
  }

  int32_t BindCall(const ExprSyntax& s) {
    const std::string& name = s.text;
    struct Function {
      const char* name;
      Op op;
      size_t min_args, max_args;
    };
    static const Function kFunctions[] = {
        {"UPPER", Op::kUpper, 1, 1},   {"LOWER", Op::kLower, 1, 1},     {"TRIM", Op::kTrim, 1, 1},
        {"LTRIM", Op::kLTrim, 1, 1},   {"RTRIM", Op::kRTrim, 1, 1},     {"LEFT", Op::kLeft, 2, 2},
        {"RIGHT", Op::kRight, 2, 2},   {"SUBSTRING", Op::kSubstr, 2, 3}, {"SUBSTR", Op::kSubstr, 2, 3},
        {"LENGTH", Op::kLength, 1, 1}, {"LEN", Op::kLength, 1, 1},       {"YEAR", Op::kYear, 1, 1},
        {"MONTH", Op::kMonth, 1, 1},   {"DAY", Op::kDay, 1, 1},
    };
    const Function* fn = nullptr;
    for (const Function& f : kFunctions)
      if (name == f.name) fn = &f;
    if (fn == nullptr) {
      if (IsAggregateName(name))
        Error(s, scope_ ? "An aggregate is not allowed here (only in SELECT columns, HAVING and ORDER BY, and not "
                          "within another aggregate)"
                        : "Aggregate functions are allowed only in SQL statements");
      if (name == "COALESCE" || name == "IFNULL") return BindCoalesce(s);
      if (name == "ROUND" || name == "ABS") return BindRounding(s);
      Error(s, "Unknown function");
    }
    size_t n = s.children.size();
    if (n < fn->min_args || n > fn->max_args)
      Error(s, "Wrong number of arguments (" + std::to_string(n) + ")");
    int32_t args[3] = {-1, -1, -1};
    for (size_t i = 0; i < n; ++i) args[i] = Bind(*s.children[i]);
    auto text_arg = [&](size_t i) { RequireType(args[i], *s.children[i], {ValueType::kString}, "a string"); };
    auto number_arg = [&](size_t i) { RequireType(args[i], *s.children[i], {ValueType::kNumber}, "a number"); };
    switch (fn->op) {
      case Op::kYear:
      case Op::kMonth:
      case Op::kDay:
        if (IsTextLiteral(args[0])) ConvertLiteral(args[0], ValueType::kDate, *s.children[0]);
        RequireType(args[0], *s.children[0], {ValueType::kDate, ValueType::kTimestamp}, "a date");
        return MakeNode(fn->op, ValueType::kNumber, args[0]);
      case Op::kLength:
        text_arg(0);
        return MakeNode(fn->op, ValueType::kNumber, args[0]);
      default:
        text_arg(0);
        for (size_t i = 1; i < n; ++i) number_arg(i);
        int32_t node = MakeNode(fn->op, ValueType::kString, args[0], args[1], args[2]);
        // Every string function returns at most its first argument's bytes.
        At(node).max_length = At(args[0]).max_length;
        return node;
    }
  }

  int32_t BindCoalesce(const ExprSyntax& s) {
    size_t n = s.children.size();
    if (n < 2 || (s.text == "IFNULL" && n != 2)) Error(s, "Wrong number of arguments (" + std::to_string(n) + ")");
    std::vector<int32_t> args;
    for (const auto& child : s.children) args.push_back(Bind(*child));
    uint32_t max_length = 0;
    ValueType type = Unify(args, s, &max_length);
    int32_t i = MakeNode(Op::kCoalesce, type);
    At(i).args = std::move(args);
    At(i).max_length = max_length;
    return i;
  }

  int32_t BindRounding(const ExprSyntax& s) {
    size_t n = s.children.size();
    bool round = s.text == "ROUND";
    if (n < 1 || n > (round ? 2u : 1u)) Error(s, "Wrong number of arguments (" + std::to_string(n) + ")");
    int32_t a = Bind(*s.children[0]);
    RequireType(a, *s.children[0], {ValueType::kNumber}, "a number");
    int32_t b = -1;
    if (n == 2) {
      b = Bind(*s.children[1]);
      RequireType(b, *s.children[1], {ValueType::kNumber}, "a number of digits");
    }
    return MakeNode(round ? Op::kRound : Op::kAbs, ValueType::kNumber, a, b);
  }

  const FieldList& fields_;
  BindScope* scope_;
  CompiledExpression out_;
};

int32_t CompiledExpression::field_reference() const {
  if (nodes_.empty()) return -1;
  const Node& root = nodes_[static_cast<size_t>(root_)];
  return (root.op == Op::kField || root.op == Op::kMemo) ? static_cast<int32_t>(root.field) : -1;
}

int32_t CompiledExpression::slot_reference() const {
  if (nodes_.empty()) return -1;
  const Node& root = nodes_[static_cast<size_t>(root_)];
  return root.op == Op::kSlot ? static_cast<int32_t>(root.field) : -1;
}

uint32_t CompiledExpression::result_max_length() const {
  return nodes_.empty() ? 0 : nodes_[static_cast<size_t>(root_)].max_length;
}

CompiledExpression Bind(const ExprSyntax& syntax, const FieldList& fields) {
  return ExpressionBinder(fields, nullptr).Run(syntax);
}

CompiledExpression Bind(const ExprSyntax& syntax, const FieldList& fields, BindScope& scope) {
  return ExpressionBinder(fields, &scope).Run(syntax);
}

CompiledExpression Compile(std::string_view text, const FieldList& fields) {
  Lexer lexer(text, ENG_ERR_EXPRESSION);
  if (lexer.AtEnd()) lexer.Fail(lexer.Peek(), "Empty expression");
  std::unique_ptr<ExprSyntax> syntax = ParseExpression(lexer);
  if (!lexer.AtEnd()) lexer.Fail(lexer.Peek(), "Unexpected token after the expression");
  return Bind(*syntax, fields);
}

CompiledExpression CompileFilter(std::string_view text, const FieldList& fields) {
  CompiledExpression e = Compile(text, fields);
  if (e.result_type() != ValueType::kLogical && e.result_type() != ValueType::kNull)
    Fail(ENG_ERR_EXPRESSION, std::string("The expression is not a condition (it gives a ") +
                                 ValueTypeName(e.result_type()) + "): " + std::string(text));
  return e;
}

// ---- Evaluator ----------------------------------------------------------------

namespace {
enum class Tri : uint8_t { kFalse, kTrue, kNull };

// SQL LIKE: "%" any run of characters, "_" any one character. Greedy with
// one backtrack point, so the cost stays O(value * pattern) at worst.
bool LikeMatch(std::string_view value, std::string_view pattern) {
  size_t v = 0, p = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (v < value.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star = p++;
      resume = v;
    } else if (p < pattern.size() && (pattern[p] == '_' || pattern[p] == value[v])) {
      ++p;
      ++v;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      v = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

// ROUND: halves away from zero, on the number's decimal digits (to 15
// significant digits, as its text shows it) rather than on its binary
// value, so that 2.675 rounds to 2.68. Digits below 0 count as 0.
double RoundHalfAway(double x, double digits_wanted) {
  if (!std::isfinite(x) || x == 0) return x;
  int digits = std::isnan(digits_wanted) || digits_wanted < 0 ? 0 : digits_wanted > 30 ? 30 : static_cast<int>(digits_wanted);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14e", std::fabs(x));  // d.dddddddddddddde+XX
  std::string mantissa;
  for (const char* p = buf; *p && *p != 'e'; ++p)
    if (*p != '.') mantissa += *p;
  int exponent = std::atoi(std::strchr(buf, 'e') + 1);
  // Significant digits to keep: those before the point and `digits` after.
  int keep = exponent + 1 + digits;
  if (keep >= static_cast<int>(mantissa.size())) return x;
  if (keep < 0) return 0;
  bool up = mantissa[static_cast<size_t>(keep)] >= '5';
  std::string kept = mantissa.substr(0, static_cast<size_t>(keep));
  if (up) {
    int k = keep - 1;
    while (k >= 0 && kept[static_cast<size_t>(k)] == '9') kept[static_cast<size_t>(k--)] = '0';
    if (k >= 0) {
      ++kept[static_cast<size_t>(k)];
    } else {
      kept.insert(kept.begin(), '1');
      ++exponent;
    }
  }
  if (kept.empty()) kept = "0";
  // kept holds the leading digits of a number whose first digit stands for 10^exponent.
  std::string text = "0." + kept + "e" + std::to_string(exponent + 1);
  double r = std::strtod(text.c_str(), nullptr);
  return x < 0 ? -r : r;
}

// Counts and positions from numbers, clamped so that casts stay defined.
int64_t ToCount(double d) {
  if (std::isnan(d)) return 0;
  d = std::floor(d);
  if (d > 1e12) return static_cast<int64_t>(1e12);
  if (d < -1e12) return static_cast<int64_t>(-1e12);
  return static_cast<int64_t>(d);
}
}  // namespace

class ExpressionEvaluator {
 public:
  using Op = CompiledExpression::Op;
  using NodeT = CompiledExpression::Node;

  ExpressionEvaluator(const CompiledExpression& e, const RecordView& r, bool exact) : e_(e), rec_(r), exact_(exact) {
    if (e.min_record_size_ > r.size || (e.min_record_size_ > 0 && r.data == nullptr))
      Fail(ENG_ERR_INTERNAL, "Record of " + std::to_string(r.size) + " bytes is too short for the expression (needs " +
                                 std::to_string(e.min_record_size_) + ").");
  }

  Value Run() { return ValueOf(e_.root_); }

  // The value of any node, as a Value.
  Value ValueOf(int32_t root) {
    switch (N(root).type) {
      case ValueType::kNull: return Value::Null();
      case ValueType::kLogical: {
        Tri t = Logical(root);
        return t == Tri::kNull ? Value::Null() : Value::Logical(t == Tri::kTrue);
      }
      case ValueType::kString: {
        std::string_view s;
        return Text(root, &s) ? Value::String(std::string(s)) : Value::Null();
      }
      case ValueType::kNumber:
      case ValueType::kDate:
      case ValueType::kTime:
      case ValueType::kTimestamp: {
        double d;
        if (!Scalar(root, &d)) return Value::Null();
        switch (N(root).type) {
          case ValueType::kDate: return Value::Date(static_cast<int32_t>(d));
          case ValueType::kTime: return Value::Time(static_cast<int32_t>(d));
          case ValueType::kTimestamp: return Value::Timestamp(d);
          default: return Value::Number(d);
        }
      }
    }
    return Value::Null();
  }

  bool Match() {
    if (e_.result_type_ == ValueType::kNull) return false;
    if (e_.result_type_ != ValueType::kLogical)
      Fail(ENG_ERR_EXPRESSION, std::string("The filter is not a condition (it gives a ") + ValueTypeName(e_.result_type_) + ").");
    return Logical(e_.root_) == Tri::kTrue;
  }

 private:
  const NodeT& N(int32_t i) const { return e_.nodes_[static_cast<size_t>(i)]; }
  std::string& Scratch(int32_t i) const { return e_.scratch_[static_cast<size_t>(i)]; }

  Tri Logical(int32_t i) {
    const NodeT& n = N(i);
    switch (n.op) {
      case Op::kConst:
        if (n.type == ValueType::kNull) return Tri::kNull;
        return n.number != 0 ? Tri::kTrue : Tri::kFalse;
      case Op::kField: {
        bool b;
        if (!ReadLogicalField(n.def, rec_.data, &b)) return Tri::kNull;
        return b ? Tri::kTrue : Tri::kFalse;
      }
      case Op::kCompare: return Compare(n);
      case Op::kLike: {
        std::string_view value, pattern;
        if (!Text(n.a, &value) || !Text(n.b, &pattern)) return Tri::kNull;
        // Stored padding is not part of the value.
        while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
        bool match = LikeMatch(value, pattern);
        return match == (n.compare == CompareOp::kEq) ? Tri::kTrue : Tri::kFalse;
      }
      case Op::kAnd: {
        Tri a = Logical(n.a);
        if (a == Tri::kFalse) return Tri::kFalse;
        Tri b = Logical(n.b);
        if (b == Tri::kFalse) return Tri::kFalse;
        return (a == Tri::kTrue && b == Tri::kTrue) ? Tri::kTrue : Tri::kNull;
      }
      case Op::kOr: {
        Tri a = Logical(n.a);
        if (a == Tri::kTrue) return Tri::kTrue;
        Tri b = Logical(n.b);
        if (b == Tri::kTrue) return Tri::kTrue;
        return (a == Tri::kFalse && b == Tri::kFalse) ? Tri::kFalse : Tri::kNull;
      }
      case Op::kNot: {
        Tri a = Logical(n.a);
        return a == Tri::kNull ? Tri::kNull : (a == Tri::kTrue ? Tri::kFalse : Tri::kTrue);
      }
      case Op::kIsNull: return IsNull(n.a) ? Tri::kTrue : Tri::kFalse;
      case Op::kIsNotNull: return IsNull(n.a) ? Tri::kFalse : Tri::kTrue;
      case Op::kSlot: {
        const Value& v = rec_.values[n.field];
        return v.is_null() ? Tri::kNull : (v.logical() ? Tri::kTrue : Tri::kFalse);
      }
      case Op::kCase: {
        int32_t r = CaseResult(n);
        return r < 0 ? Tri::kNull : Logical(r);
      }
      case Op::kCoalesce:
        for (int32_t a : n.args) {
          Tri t = Logical(a);
          if (t != Tri::kNull) return t;
        }
        return Tri::kNull;
      case Op::kCastLogical: return CastLogical(n);
      case Op::kScalarSub: {
        Value v = n.subquery->Scalar(rec_);
        return v.is_null() ? Tri::kNull : (v.logical() ? Tri::kTrue : Tri::kFalse);
      }
      case Op::kExistsSub: return n.subquery->Exists(rec_) ? Tri::kTrue : Tri::kFalse;
      case Op::kInSub: {
        std::optional<bool> found = n.subquery->Contains(rec_, ValueOf(n.a));
        return !found ? Tri::kNull : (*found ? Tri::kTrue : Tri::kFalse);
      }
      default: return Tri::kNull;
    }
  }

  // The THEN (or ELSE) node a CASE gives, -1 for NULL.
  int32_t CaseResult(const NodeT& n) {
    const size_t pairs = (n.args.size() - 1) / 2;
    for (size_t k = 0; k < pairs; ++k)
      if (Logical(n.args[2 * k]) == Tri::kTrue) return n.args[2 * k + 1];
    return n.args.back();
  }

  Tri CastLogical(const NodeT& n) {
    switch (N(n.a).type) {
      case ValueType::kLogical: return Logical(n.a);
      case ValueType::kNumber: {
        double d;
        if (!Scalar(n.a, &d)) return Tri::kNull;
        return d != 0 ? Tri::kTrue : Tri::kFalse;
      }
      case ValueType::kString: {
        std::string_view t;
        if (!Text(n.a, &t)) return Tri::kNull;
        std::string w = Upper(TrimmedView(t));
        if (w == "T" || w == "TRUE" || w == "Y" || w == "YES" || w == "1") return Tri::kTrue;
        if (w == "F" || w == "FALSE" || w == "N" || w == "NO" || w == "0") return Tri::kFalse;
        return Tri::kNull;
      }
      default: return Tri::kNull;
    }
  }

  static std::string_view TrimmedView(std::string_view t) {
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
  }

  bool IsNull(int32_t i) {
    const NodeT& n = N(i);
    if (n.op == Op::kField) return IsFieldEmpty(n.def, rec_.data);
    switch (n.type) {
      case ValueType::kNull: return true;
      case ValueType::kLogical: return Logical(i) == Tri::kNull;
      case ValueType::kString: {
        std::string_view s;
        return !Text(i, &s);
      }
      default: {
        double d;
        return !Scalar(i, &d);
      }
    }
  }

  Tri Compare(const NodeT& n) {
    int c;
    if (n.string_compare) {
      std::string_view a, b;
      if (!Text(n.a, &a) || !Text(n.b, &b)) return Tri::kNull;
      if (!exact_ && n.literal_side == 1 && a.size() > b.size()) a = a.substr(0, b.size());
      if (!exact_ && n.literal_side == 0 && b.size() > a.size()) b = b.substr(0, a.size());
      c = ComparePadded(a, b);
    } else {
      double a, b;
      if (!Scalar(n.a, &a) || !Scalar(n.b, &b)) return Tri::kNull;
      c = a < b ? -1 : (a > b ? 1 : 0);
    }
    return CompareHolds(n.compare, c) ? Tri::kTrue : Tri::kFalse;
  }

  bool Scalar(int32_t i, double* out) {
    const NodeT& n = N(i);
    switch (n.op) {
      case Op::kConst:
        if (n.type == ValueType::kNull) return false;
        *out = n.number;
        return true;
      case Op::kField: return ReadScalarField(n.def, rec_.data, out);
      case Op::kNegate:
        if (!Scalar(n.a, out)) return false;
        *out = -*out;
        return true;
      case Op::kAdd:
      case Op::kSub:
      case Op::kMul:
      case Op::kDiv: {
        double a, b;
        if (!Scalar(n.a, &a) || !Scalar(n.b, &b)) return false;
        double r;
        if (n.op == Op::kAdd) r = a + b;
        else if (n.op == Op::kSub) r = a - b;
        else if (n.op == Op::kMul) r = a * b;
        else if (b == 0) return false;
        else r = a / b;
        if (n.type == ValueType::kDate) r = std::floor(r);
        if (!std::isfinite(r)) return false;
        // Dates beyond the calendar (years 1 to 9999) have no value.
        if ((n.type == ValueType::kDate || n.type == ValueType::kTimestamp) && (r < kFirstJulian || r >= kLastJulian + 1))
          return false;
        *out = r;
        return true;
      }
      case Op::kLength: {
        std::string_view s;
        if (!Text(n.a, &s)) return false;
        while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
        *out = static_cast<double>(s.size());
        return true;
      }
      case Op::kYear:
      case Op::kMonth:
      case Op::kDay: {
        double d;
        if (!Scalar(n.a, &d) || !(std::fabs(d) < 1e9)) return false;
        int32_t y, m, day;
        CivilFromJulian(static_cast<int32_t>(std::floor(d)), &y, &m, &day);
        *out = n.op == Op::kYear ? y : (n.op == Op::kMonth ? m : day);
        return true;
      }
      case Op::kSlot: {
        const Value& v = rec_.values[n.field];
        if (v.is_null()) return false;
        *out = v.scalar();
        return true;
      }
      case Op::kCase: {
        int32_t r = CaseResult(n);
        return r >= 0 && Scalar(r, out);
      }
      case Op::kCoalesce:
        for (int32_t a : n.args)
          if (Scalar(a, out)) return true;
        return false;
      case Op::kRound: {
        double x, digits = 0;
        if (!Scalar(n.a, &x) || (n.b >= 0 && !Scalar(n.b, &digits))) return false;
        *out = RoundHalfAway(x, digits);
        return true;
      }
      case Op::kAbs:
        if (!Scalar(n.a, out)) return false;
        *out = std::fabs(*out);
        return true;
      case Op::kCastNumber: {
        double d;
        switch (N(n.a).type) {
          case ValueType::kNumber:
            if (!Scalar(n.a, &d)) return false;
            break;
          case ValueType::kLogical: {
            Tri t = Logical(n.a);
            if (t == Tri::kNull) return false;
            d = t == Tri::kTrue ? 1 : 0;
            break;
          }
          case ValueType::kString: {
            std::string_view t;
            if (!Text(n.a, &t) || !ParseNumberText(TrimmedView(t), &d) || !std::isfinite(d)) return false;
            break;
          }
          default: return false;
        }
        if (n.param == -2) d = std::trunc(d);
        else if (n.param >= 0) d = RoundHalfAway(d, n.param);
        *out = d == 0 ? 0 : d;  // no -0
        return true;
      }
      case Op::kCastDate:
      case Op::kCastTimestamp: {
        double d;
        if (N(n.a).type == ValueType::kString) {
          std::string_view t;
          if (!Text(n.a, &t) || !ParseTimestampText(TrimmedView(t), &d)) return false;
        } else if (!Scalar(n.a, &d)) {
          return false;
        }
        *out = n.op == Op::kCastDate ? std::floor(d) : d;
        return true;
      }
      case Op::kScalarSub: {
        Value v = n.subquery->Scalar(rec_);
        if (v.is_null()) return false;
        *out = v.scalar();
        return true;
      }
      default: {
        if (n.type == ValueType::kLogical) {
          Tri t = Logical(i);
          if (t == Tri::kNull) return false;
          *out = t == Tri::kTrue ? 1 : 0;
          return true;
        }
        return false;
      }
    }
  }

  bool Text(int32_t i, std::string_view* out) {
    const NodeT& n = N(i);
    switch (n.op) {
      case Op::kConstText: *out = n.text; return true;
      case Op::kConst: return false;  // NULL
      case Op::kField: return ReadTextField(n.def, rec_.data, out);
      case Op::kMemo: {
        std::string& buf = Scratch(i);
        buf.clear();
        if (rec_.memos == nullptr || !rec_.memos->ReadMemo(n.field, &buf)) return false;
        *out = buf;
        return true;
      }
      case Op::kConcat: {
        std::string_view a, b;
        if (!Text(n.a, &a) || !Text(n.b, &b)) return false;
        std::string& buf = Scratch(i);
        buf.assign(a);
        buf.append(b);
        *out = buf;
        return true;
      }
      case Op::kUpper:
      case Op::kLower: {
        std::string_view a;
        if (!Text(n.a, &a)) return false;
        std::string& buf = Scratch(i);
        buf.assign(a);
        for (char& c : buf) c = n.op == Op::kUpper ? ToUpperAscii(c) : ToLowerAscii(c);
        *out = buf;
        return true;
      }
      case Op::kTrim:
      case Op::kLTrim:
      case Op::kRTrim: {
        std::string_view a;
        if (!Text(n.a, &a)) return false;
        if (n.op != Op::kRTrim)
          while (!a.empty() && a.front() == ' ') a.remove_prefix(1);
        if (n.op != Op::kLTrim)
          while (!a.empty() && a.back() == ' ') a.remove_suffix(1);
        *out = a;
        return true;
      }
      case Op::kLeft:
      case Op::kRight: {
        std::string_view a;
        double count;
        if (!Text(n.a, &a) || !Scalar(n.b, &count)) return false;
        int64_t k = std::clamp<int64_t>(ToCount(count), 0, static_cast<int64_t>(a.size()));
        *out = n.op == Op::kLeft ? a.substr(0, static_cast<size_t>(k)) : a.substr(a.size() - static_cast<size_t>(k));
        return true;
      }
      case Op::kSubstr: {
        std::string_view a;
        double start;
        if (!Text(n.a, &a) || !Scalar(n.b, &start)) return false;
        int64_t len = static_cast<int64_t>(a.size());
        int64_t from = ToCount(start);
        int64_t to = len + 1;  // one past the last position, 1-based
        if (n.c >= 0) {
          double count;
          if (!Scalar(n.c, &count)) return false;
          int64_t k = ToCount(count);
          to = k < 0 ? from : std::min(to, from + k);
        }
        from = std::max<int64_t>(from, 1);
        if (to <= from) {
          *out = std::string_view();
          return true;
        }
        *out = a.substr(static_cast<size_t>(from - 1), static_cast<size_t>(to - from));
        return true;
      }
      case Op::kSlot: {
        const Value& v = rec_.values[n.field];
        if (v.is_null()) return false;
        *out = v.string();
        return true;
      }
      case Op::kCase: {
        int32_t r = CaseResult(n);
        return r >= 0 && Text(r, out);
      }
      case Op::kCoalesce:
        for (int32_t a : n.args)
          if (Text(a, out)) return true;
        return false;
      case Op::kCastText: {
        std::string& buf = Scratch(i);
        ValueType from = N(n.a).type;
        if (from == ValueType::kString) {
          std::string_view a;
          if (!Text(n.a, &a)) return false;
          buf.assign(a);
        } else {
          Value v = ValueOf(n.a);
          if (v.is_null()) return false;
          buf = v.ToText();
        }
        if (n.param > 0 && buf.size() > static_cast<size_t>(n.param)) buf.resize(static_cast<size_t>(n.param));
        *out = buf;
        return true;
      }
      case Op::kScalarSub: {
        Value v = n.subquery->Scalar(rec_);
        if (v.is_null()) return false;
        std::string& buf = Scratch(i);
        buf = v.string();
        *out = buf;
        return true;
      }
      default: return false;
    }
  }

  const CompiledExpression& e_;
  const RecordView& rec_;
  bool exact_;
};

Value Evaluate(const CompiledExpression& expression, const RecordView& record, bool exact) {
  if (expression.empty()) return Value::Null();
  return ExpressionEvaluator(expression, record, exact).Run();
}

bool Matches(const CompiledExpression& expression, const RecordView& record, bool exact) {
  if (expression.empty()) return true;
  return ExpressionEvaluator(expression, record, exact).Match();
}

// ---- Index assistance ---------------------------------------------------------

std::vector<SeekHint> FindSeekHints(const CompiledExpression& e) {
  using Op = CompiledExpression::Op;
  std::vector<SeekHint> hints;
  if (e.empty()) return hints;
  std::vector<int32_t> pending{e.root_};
  while (!pending.empty()) {
    const auto& n = e.nodes_[static_cast<size_t>(pending.back())];
    pending.pop_back();
    if (n.op == Op::kAnd) {
      // Right first so that hints come out in the conjuncts' order.
      pending.push_back(n.b);
      pending.push_back(n.a);
      continue;
    }
    if (n.op != Op::kCompare || n.compare == CompareOp::kNe) continue;
    const auto& a = e.nodes_[static_cast<size_t>(n.a)];
    const auto& b = e.nodes_[static_cast<size_t>(n.b)];
    bool field_left = a.op == Op::kField;
    const auto& field = field_left ? a : b;
    const auto& literal = field_left ? b : a;
    if (field.op != Op::kField) continue;
    SeekHint hint;
    if (literal.op == Op::kConstText) {
      hint.literal = Value::String(literal.text);
    } else if (literal.op == Op::kConst && literal.type != ValueType::kNull) {
      switch (literal.type) {
        case ValueType::kLogical: hint.literal = Value::Logical(literal.number != 0); break;
        case ValueType::kDate: hint.literal = Value::Date(static_cast<int32_t>(literal.number)); break;
        case ValueType::kTime: hint.literal = Value::Time(static_cast<int32_t>(literal.number)); break;
        case ValueType::kTimestamp: hint.literal = Value::Timestamp(literal.number); break;
        default: hint.literal = Value::Number(literal.number); break;
      }
    } else {
      continue;
    }
    hint.field = field.field;
    hint.op = n.compare;
    if (!field_left) {
      switch (n.compare) {
        case CompareOp::kLt: hint.op = CompareOp::kGt; break;
        case CompareOp::kLe: hint.op = CompareOp::kGe; break;
        case CompareOp::kGt: hint.op = CompareOp::kLt; break;
        case CompareOp::kGe: hint.op = CompareOp::kLe; break;
        default: break;
      }
    }
    hints.push_back(std::move(hint));
  }
  return hints;
}

// ---- Fast conditions -------------------------------------------------------------

// Translates the nodes of a compiled condition into a FastCondition; gives
// up (nullopt) at the first node that has no fast form.
class FastTranslator {
 public:
  using Op = CompiledExpression::Op;
  using Node = CompiledExpression::Node;
  using F = FastCondition;

  explicit FastTranslator(const CompiledExpression& e) : e_(e) {}

  std::optional<int32_t> Condition(int32_t i) {
    const Node& n = N(i);
    F::Node out;
    switch (n.op) {
      case Op::kConst:
        out.constant = n.type == ValueType::kNull ? F::kNull : (n.number != 0 ? F::kTrue : F::kFalse);
        return fast_.AddNode(out);
      case Op::kField:
        out.kind = F::Kind::kLogicalField;
        out.a = fast_.AddOperand(FieldOperand(n));
        return fast_.AddNode(out);
      case Op::kAnd:
      case Op::kOr:
      case Op::kNot: {
        auto a = Condition(n.a);
        if (!a) return std::nullopt;
        out.kind = n.op == Op::kAnd ? F::Kind::kAnd : n.op == Op::kOr ? F::Kind::kOr : F::Kind::kNot;
        out.a = *a;
        if (n.op != Op::kNot) {
          auto b = Condition(n.b);
          if (!b) return std::nullopt;
          out.b = *b;
        }
        return fast_.AddNode(out);
      }
      case Op::kIsNull:
      case Op::kIsNotNull: {
        const Node& x = N(n.a);
        if (x.op == Op::kConst && x.type == ValueType::kNull) {
          out.constant = n.op == Op::kIsNull ? F::kTrue : F::kFalse;
          return fast_.AddNode(out);
        }
        if (x.op != Op::kField) return std::nullopt;
        out.kind = n.op == Op::kIsNull ? F::Kind::kIsNull : F::Kind::kIsNotNull;
        out.a = fast_.AddOperand(FieldOperand(x));
        return fast_.AddNode(out);
      }
      case Op::kCompare: return Compare(n);
      default: return std::nullopt;
    }
  }

  FastCondition Finish(int32_t root) {
    fast_.SetRoot(root);
    return std::move(fast_);
  }

 private:
  const Node& N(int32_t i) const { return e_.nodes_[static_cast<size_t>(i)]; }
  static bool IsNullConst(const Node& x) { return x.op == Op::kConst && x.type == ValueType::kNull; }

  static F::Operand FieldOperand(const Node& x) {
    F::Operand o;
    o.is_field = true;
    o.def = x.def;
    return o;
  }

  std::optional<int32_t> Compare(const Node& n) {
    const Node& x = N(n.a);
    const Node& y = N(n.b);
    F::Node out;
    // A NULL operand makes the comparison NULL whatever the record holds.
    if ((IsNullConst(x) && (y.op == Op::kField || y.op == Op::kConst || y.op == Op::kConstText)) ||
        (IsNullConst(y) && (x.op == Op::kField || x.op == Op::kConst || x.op == Op::kConstText))) {
      out.constant = F::kNull;
      return fast_.AddNode(out);
    }
    auto a = Operand(x, n.string_compare);
    auto b = Operand(y, n.string_compare);
    if (!a || !b) return std::nullopt;
    // A string field = or <> a literal: against the literal padded to the
    // field's width (a literal longer than the field, trailing blanks
    // aside, is padded past it, so it never equals). Not for raw bytes,
    // which pad with zeros, nor literals holding a zero byte.
    if (n.string_compare && (n.compare == CompareOp::kEq || n.compare == CompareOp::kNe) &&
        a->is_field != b->is_field) {
      F::Operand& field = a->is_field ? *a : *b;
      F::Operand& literal = a->is_field ? *b : *a;
      if (field.def.type == ENG_STRING && literal.text.find('\0') == std::string::npos) {
        std::string padded = literal.text;
        while (padded.size() > field.def.length && padded.back() == ' ') padded.pop_back();
        if (padded.size() <= field.def.length) padded.resize(field.def.length, ' ');
        else padded.resize(field.def.length + 1);  // never equal
        // Field first, the literal as written (for a comparison with
        // exactness off) and, right after it, the literal padded.
        F::Node eq;
        eq.kind = F::Kind::kTextEquals;
        eq.compare = n.compare;
        eq.literal_side = 1;
        eq.a = fast_.AddOperand(std::move(field));
        eq.b = fast_.AddOperand(std::move(literal));
        F::Operand padded_literal;
        padded_literal.text = std::move(padded);
        fast_.AddOperand(std::move(padded_literal));
        return fast_.AddNode(eq);
      }
    }
    out.kind = n.string_compare ? F::Kind::kTextCompare : F::Kind::kScalarCompare;
    out.compare = n.compare;
    out.literal_side = n.literal_side;
    out.a = fast_.AddOperand(std::move(*a));
    out.b = fast_.AddOperand(std::move(*b));
    return fast_.AddNode(out);
  }

  std::optional<F::Operand> Operand(const Node& x, bool text) const {
    if (x.op == Op::kField) return FieldOperand(x);
    F::Operand o;
    if (text && x.op == Op::kConstText) {
      o.text = x.text;
      return o;
    }
    if (!text && Number(x, &o.number)) return o;
    return std::nullopt;
  }

  // A number constant, possibly negated ("QTY > -1" binds as a negation).
  bool Number(const Node& x, double* out) const {
    if (x.op == Op::kConst && x.type != ValueType::kNull) {
      *out = x.number;
      return true;
    }
    if (x.op == Op::kNegate && Number(N(x.a), out)) {
      *out = -*out;
      return true;
    }
    return false;
  }

  const CompiledExpression& e_;
  FastCondition fast_;
};

std::optional<FastCondition> FastCondition::From(const CompiledExpression& expression) {
  if (expression.empty() || expression.result_type() != ValueType::kLogical) return std::nullopt;
  FastTranslator translator(expression);
  auto root = translator.Condition(expression.root_);
  if (!root) return std::nullopt;
  return translator.Finish(*root);
}

}  // namespace eng
