// Filter, statement and dictionary calls until those layers are wired: the
// engine answers as one without them would.
#include "api_support.h"
#include "engine.h"
#include "index_hooks.h"

using namespace eng;

namespace {
[[noreturn]] void NotYet(const char* what) {
  Fail(ENG_ERR_NOT_SUPPORTED, std::string(what) + " is not supported by this engine build");
}
}  // namespace

namespace eng {
void ReleaseStatementObject(Object&) {}
ENGRESULT StatementRowCount(Object&, uint32_t*) {
  SetLastError(ENG_ERR_NO_ROW_COUNT, "The statement has no row count");
  return ENG_ERR_NO_ROW_COUNT;
}
void OpenDictionary(ConnectionObject&, const std::string& path, const std::string&, const std::string&) {
  Fail(ENG_ERR_NOT_SUPPORTED, "Cannot connect to " + path + ": data dictionaries are not supported by this engine build");
}
void RegisterInDictionary(ConnectionObject&, const std::string&, const std::string&) { NotYet("A data dictionary"); }
std::string DictionaryTablePath(ConnectionObject&, const std::string&) { NotYet("A data dictionary"); }
}  // namespace eng

extern "C" {

ENGRESULT EngSetExactEx(ENGHANDLE h, uint16_t) {
  return Call([&] { FindTable(h); });
}
ENGRESULT EngSetOptimizedFilter(ENGHANDLE, const char*, uint16_t) { return Call([&] { NotYet("Filters"); }); }
ENGRESULT EngSetFilter(ENGHANDLE, const char*) { return Call([&] { NotYet("Filters"); }); }
ENGRESULT EngClearOptimizedFilter(ENGHANDLE h) {
  return Call([&] {
    FindTable(h);
    Fail(ENG_ERR_NO_FILTER, "No filter is set");
  });
}
ENGRESULT EngClearFilter(ENGHANDLE h) { return EngClearOptimizedFilter(h); }
ENGRESULT EngExpressionLongToShort(ENGHANDLE, const char*, char*, uint16_t*) { return Call([&] { NotYet("Expressions"); }); }
ENGRESULT EngExpressionShortToLong(ENGHANDLE, const char*, char*, uint16_t*) { return Call([&] { NotYet("Expressions"); }); }

ENGRESULT EngCreateSQLStatement(ENGHANDLE, ENGHANDLE*) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngPrepareSQL(ENGHANDLE, const char*) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngExecuteSQL(ENGHANDLE, ENGHANDLE*) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngExecuteSQLDirect(ENGHANDLE, const char*, ENGHANDLE*) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngCloseSQLStatement(ENGHANDLE) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngGetSQLStmtParams(const char* sql, uint16_t* count) {
  return Call([&] {
    Need(sql, "statement");
    uint16_t n = 0;
    char quote = 0;
    for (const char* p = sql; *p; ++p) {
      if (quote) {
        if (*p == quote) quote = 0;
      } else if (*p == '\'' || *p == '"') {
        quote = *p;
      } else if (*p == ':' && (isalpha(static_cast<unsigned char>(p[1])) || p[1] == '_')) {
        ++n;
      }
    }
    PutValue(count, n);
  });
}
ENGRESULT EngStmtSetTableLockType(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtSetTableCharType(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtSetTableRights(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtSetTableReadOnly(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtSetTableType(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtConstrainUpdates(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtReadAllColumns(ENGHANDLE, uint16_t) { return Call([&] { NotYet("SQL"); }); }
ENGRESULT EngStmtSetTablePassword(ENGHANDLE, const char*, const char*) { return Call([&] { NotYet("SQL"); }); }

ENGRESULT EngDictCreate(const char*, const char*, const char*, ENGHANDLE*) { return Call([&] { NotYet("Data dictionaries"); }); }
ENGRESULT EngDictCreateUser(ENGHANDLE, const char*, const char*) { return Call([&] { NotYet("Data dictionaries"); }); }
ENGRESULT EngDictAddTable(ENGHANDLE, const char*, const char*) { return Call([&] { NotYet("Data dictionaries"); }); }
ENGRESULT EngDictRemoveTable(ENGHANDLE, const char*) { return Call([&] { NotYet("Data dictionaries"); }); }
ENGRESULT EngDictGetTableProperty(ENGHANDLE, const char*, uint16_t, void*, uint16_t*) {
  return Call([&] { NotYet("Data dictionaries"); });
}
ENGRESULT EngDictSetTableProperty(ENGHANDLE, const char*, uint16_t, const char*) {
  return Call([&] { NotYet("Data dictionaries"); });
}

}  // extern "C"
