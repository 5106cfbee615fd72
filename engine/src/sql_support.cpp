#include "sql_support.h"

#include <algorithm>
#include <cctype>

#include "api_support.h"
#include "engine.h"
#include "util.h"

namespace eng {

[[noreturn]] void ColumnFail(uint32_t code, const std::string& column, const std::string& why) {
  Fail(code, "Column \"" + column + "\": " + why);
}

OpenedTable::OpenedTable(ConnectionObject& conn, const std::string& name, const StatementOptions& options,
                         bool exclusive, bool /*for_write*/) {
    path_ = ResolveTablePath(conn, name);
    if (!FileExists(path_)) Fail(ENG_ERR_FILE_NOT_FOUND, "Table " + name + " does not exist (" + path_ + ")");
    uint32_t open = exclusive ? ENG_OPEN_EXCLUSIVE : 0;
    ENGRESULT rc = EngOpenTable(conn.self, path_.c_str(), nullptr, ENG_TABLE_NATIVE, options.char_type,
                                options.lock_type, ENG_IGNORE_RIGHTS, open, &h_);
    if (rc != ENG_OK) {
      if (rc == ENG_ERR_TABLE_LOCKED && exclusive)
        Fail(rc, "Table " + name + " is in use; this statement needs it exclusively: " + LastErrorText());
      Fail(rc, LastErrorText());
    }
    try {
      auto it = options.passwords.find(ToUpper(StripExtension(BaseName(path_))));
      if (it != options.passwords.end()) ApplyTablePassword(h_, it->second);
      obj_ = FindTable(h_);
    } catch (...) {
      Close();  // a wrong password must not leave the table open (and held exclusively)
      throw;
    }
}

CompiledExpression BindOrFail(const sql::Expression& e, const FieldList& fields, const std::string& table) {
  try {
    return Bind(*e.syntax, fields);
  } catch (const EngineError& err) {
    std::string text = err.what();
    size_t at = text.find("Unknown field: \"");
    if (at != std::string::npos) {
      size_t start = at + 16, end = text.find('"', start);
      Fail(ENG_ERR_COLUMN_NOT_FOUND, "Column \"" + text.substr(start, end - start) + "\" not found in table " + table +
                                         ": " + text);
    }
    Fail(err.code(), "In table " + table + ": " + text);
  }
}

CompiledExpression BindCondition(const sql::Expression& e, const FieldList& fields, const std::string& table) {
  CompiledExpression c = BindOrFail(e, fields, table);
  if (c.result_type() != ValueType::kLogical && c.result_type() != ValueType::kNull)
    Fail(ENG_ERR_EXPRESSION, "WHERE " + e.text + " is not a condition");
  return c;
}

std::string ValidName(const std::string& heading, size_t index, ResultNames& used) {
  std::string n;
  for (char c : heading) {
    unsigned char u = static_cast<unsigned char>(c);
    n += (std::isalnum(u) || c == '_') ? c : '_';
  }
  while (!n.empty() && n.back() == '_') n.pop_back();
  if (n.empty() || std::isdigit(static_cast<unsigned char>(n[0]))) n = "EXPR_" + std::to_string(index + 1);
  if (n.size() > 120) n.resize(120);
  return used.Take(n);
}

FieldDecl DeclForValueType(const std::string& name, ValueType type, uint32_t max_length) {
  switch (type) {
    case ValueType::kLogical: return {name, ENG_LOGICAL, 1, 0};
    case ValueType::kNumber: return {name, ENG_DOUBLE, 8, 0};
    case ValueType::kDate: return {name, ENG_DATE, 4, 0};
    case ValueType::kTime: return {name, ENG_TIME, 4, 0};
    case ValueType::kTimestamp: return {name, ENG_TIMESTAMP, 8, 0};
    case ValueType::kString:
      if (max_length == 0 || max_length > fmt::kMaxFieldLength) return {name, ENG_MEMO, 9, 0};
      return {name, ENG_STRING, max_length, 0};
    default: return {name, ENG_STRING, 1, 0};
  }
}

FieldDecl DeclOfField(SharedTable& t, size_t i, const std::string& name) {
  const FieldDef& f = t.fields()[i];
  return {name, f.type, f.type == ENG_VARCHAR ? t.declared_length(i) : f.length, f.decimals};
}

// Writes a value into a result or converted record's field (memo contents go to `memos`).
void PutValue(const FieldDef& f, size_t index, const Value& v, uint8_t* raw, size_t size,
              std::vector<std::pair<size_t, std::string>>& memos) {
  if (IsMemoType(f.type)) {
    memos.emplace_back(index, v.is_null() ? std::string() : v.type() == ValueType::kString ? v.string() : v.ToText());
    return;
  }
  EncodeField(f, v, raw, size);
}

}  // namespace eng
