#include "table_format.h"

#include <cstring>
#include <map>

#include "engine.h"
#include "error.h"
#include "util.h"

namespace eng {

namespace {
struct TypeInfo {
  const char* name;
  uint16_t type;
  uint32_t fixed;  // raw length, 0 = given by the definition
};
const TypeInfo kTypes[] = {
    {"LOGICAL", ENG_LOGICAL, 1},     {"NUMERIC", ENG_NUMERIC, 0},     {"DATE", ENG_DATE, 4},
    {"CHAR", ENG_STRING, 0},         {"CHARACTER", ENG_STRING, 0},    {"STRING", ENG_STRING, 0},
    {"MEMO", ENG_MEMO, 8},           {"BINARY", ENG_BINARY, 8},       {"BLOB", ENG_BINARY, 8},
    {"IMAGE", ENG_IMAGE, 8},         {"VARCHAR", ENG_VARCHAR, 8},     {"COMPACTDATE", ENG_COMPACTDATE, 3},
    {"SHORTDATE", ENG_COMPACTDATE, 3}, {"DOUBLE", ENG_DOUBLE, 8},     {"INTEGER", ENG_INTEGER, 4},
    {"SHORTINT", ENG_SHORTINT, 2},   {"SHORT", ENG_SHORTINT, 2},      {"TIME", ENG_TIME, 4},
    {"TIMESTAMP", ENG_TIMESTAMP, 8}, {"AUTOINC", ENG_AUTOINC, 4},     {"RAW", ENG_RAW, 0},
    {"CURDOUBLE", ENG_CURDOUBLE, 8}, {"MONEY", ENG_CURDOUBLE, 8},
};

const TypeInfo* FindType(const std::string& name) {
  for (const auto& t : kTypes)
    if (EqualsNoCase(name, t.name)) return &t;
  return nullptr;
}

bool ValidFieldName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == ',' || c == ';' || c == '"' || c == 0x7F) return false;
  return name.front() != ' ' && name.back() != ' ';
}

bool ParseUnsigned(const std::string& s, uint32_t* out) {
  if (s.empty() || s.size() > 9) return false;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *out = v;
  return true;
}
}  // namespace

const char* TypeName(uint16_t type) {
  static const char* names[] = {"?",       "Logical", "Numeric",     "Date",   "Char",    "Memo",
                                "Binary",  "Image",   "Varchar",     "CompactDate", "Double", "Integer",
                                "ShortInt", "Time",   "TimeStamp",   "AutoInc", "Raw",    "CurDouble"};
  return type < sizeof(names) / sizeof(names[0]) ? names[type] : "?";
}

std::vector<FieldDecl> ParseFieldDecls(const std::string& text) {
  std::vector<FieldDecl> field_decls;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string def = TrimBlanks(text.substr(start, end - start));
    start = end + 1;
    if (def.empty()) continue;
    std::vector<std::string> parts;
    size_t p = 0;
    while (true) {
      size_t c = def.find(',', p);
      parts.push_back(TrimBlanks(def.substr(p, c == std::string::npos ? std::string::npos : c - p)));
      if (c == std::string::npos) break;
      p = c + 1;
    }
    if (parts.size() < 2 || parts.size() > 4)
      Fail(ENG_ERR_INVALID_FIELD_DEF, "Field definition '" + def + "' must read NAME,TYPE[,LENGTH[,DECIMALS]]");
    const TypeInfo* type = FindType(parts[1]);
    if (!type) Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + parts[0] + ": unknown type '" + parts[1] + "'");
    FieldDecl field_decl;
    field_decl.name = parts[0];
    field_decl.type = type->type;
    if (parts.size() >= 3 && !ParseUnsigned(parts[2], &field_decl.length))
      Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + parts[0] + ": length '" + parts[2] + "' is not a number");
    uint32_t dec = 0;
    if (parts.size() == 4 && (!ParseUnsigned(parts[3], &dec) || dec > 255))
      Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + parts[0] + ": decimals '" + parts[3] + "' is not valid");
    field_decl.decimals = static_cast<uint16_t>(dec);
    field_decls.push_back(field_decl);
  }
  if (field_decls.empty()) Fail(ENG_ERR_INVALID_FIELD_DEF, "A table needs at least one field");
  return field_decls;
}

FieldList LayoutFields(const std::vector<FieldDecl>& field_decls, std::vector<uint32_t>* declared) {
  if (field_decls.empty()) Fail(ENG_ERR_INVALID_FIELD_DEF, "A table needs at least one field");
  if (field_decls.size() > fmt::kMaxFields)
    Fail(ENG_ERR_INVALID_FIELD_DEF, "A table may have at most " + std::to_string(fmt::kMaxFields) + " fields");
  FieldList fields;
  std::map<std::string, int> seen;
  uint64_t offset = 0;
  for (const FieldDecl& s : field_decls) {
    if (!ValidFieldName(s.name)) Fail(ENG_ERR_INVALID_FIELD_DEF, "Field name '" + s.name + "' is not valid");
    if (!seen.emplace(ToUpper(s.name), 1).second)
      Fail(ENG_ERR_INVALID_FIELD_DEF, "Field name '" + s.name + "' is used twice");
    FieldDef f;
    f.name = s.name;
    f.type = s.type;
    uint32_t decl = 0;
    switch (s.type) {
      case ENG_NUMERIC:
        if (s.length < 1 || s.length > 32)
          Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + s.name + ": numeric length must be 1 to 32");
        if (s.decimals > 0 && s.decimals + 2u > s.length)
          Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + s.name + ": too many decimals for length " + std::to_string(s.length));
        f.length = s.length;
        f.decimals = s.decimals;
        break;
      case ENG_STRING:
      case ENG_RAW:
        if (s.length < 1 || s.length > fmt::kMaxFieldLength)
          Fail(ENG_ERR_INVALID_FIELD_DEF,
               "Field " + s.name + ": length must be 1 to " + std::to_string(fmt::kMaxFieldLength));
        f.length = s.length;
        break;
      case ENG_VARCHAR:
        if (s.length > fmt::kMaxFieldLength)
          Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + s.name + ": varchar length too large");
        decl = s.length;
        f.length = 8;
        break;
      default:
        for (const auto& t : kTypes)
          if (t.type == s.type) f.length = t.fixed;
        if (f.length == 0) Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + s.name + ": unknown type");
        break;
    }
    if (s.decimals && s.type != ENG_NUMERIC)
      Fail(ENG_ERR_INVALID_FIELD_DEF, "Field " + s.name + ": only numeric fields have decimals");
    f.offset = static_cast<uint32_t>(offset);
    offset += f.length;
    if (offset > fmt::kMaxRecordLength) Fail(ENG_ERR_INVALID_FIELD_DEF, "Record length too large");
    fields.push_back(f);
    if (declared) declared->push_back(decl);
  }
  return fields;
}

void WriteEmptyField(const FieldDef& f, uint8_t* raw) {
  uint8_t* p = raw + f.offset;
  switch (f.type) {
    case ENG_LOGICAL:
      p[0] = ' ';
      break;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
      Store32(p, 32);
      Store32(p + 4, 0x80000000u);
      break;
    case ENG_INTEGER:
      Store32(p, 0x80000000u);
      break;
    case ENG_SHORTINT:
      Store16(p, 0x8000u);
      break;
    case ENG_TIME:
    case ENG_AUTOINC:
      Store32(p, 0xFFFFFFFFu);
      break;
    case ENG_TIMESTAMP:
      Store32(p, 0);
      Store32(p + 4, 0xFFFFFFFFu);
      break;
    default:
      std::memset(p, 0, f.length);
      break;
  }
}

bool IsEmptyField(const FieldDef& f, const uint8_t* raw) {
  const uint8_t* p = raw + f.offset;
  switch (f.type) {
    case ENG_LOGICAL:
      return p[0] == ' ' || p[0] == 0;
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
      return Load32(p) == 32 && Load32(p + 4) == 0x80000000u;
    case ENG_INTEGER:
      return Load32(p) == 0x80000000u;
    case ENG_SHORTINT:
      return Load16(p) == 0x8000u;
    case ENG_TIME:
    case ENG_AUTOINC:
      return Load32(p) == 0xFFFFFFFFu;
    case ENG_TIMESTAMP:
      return Load32(p) == 0;
    case ENG_MEMO:
    case ENG_BINARY:
    case ENG_IMAGE:
    case ENG_VARCHAR:
      return Load32(p + 4) == 0;  // no content
    default:
      for (uint32_t i = 0; i < f.length; ++i)
        if (p[i] != 0) return false;
      return true;
  }
}

}  // namespace eng
