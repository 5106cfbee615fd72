// Calls of layers that are not built yet (indexes, filters, statements,
// dictionaries, encryption). Each answers as the engine without that layer
// would: no indexes, no filters, plain tables, and a clear "not supported"
// error for the rest.
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
ENGHANDLE IndexOwner(Object& index) { return index.connection; }
RecordOrder* IndexOrder(Object&) { return nullptr; }
void ReleaseIndexObject(Object&) {}
void AttachIndexes(TableObject&) {}
void SetKeySegment(Object&, uint16_t, const uint8_t*, uint32_t, bool) { NotYet("Building index keys"); }
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

ENGRESULT EngEnableEncryption(ENGHANDLE hTable, const char*) {
  return Call([&] { FindTable(hTable); });
}
ENGRESULT EngEncryptTable(ENGHANDLE) { return Call([&] { NotYet("Table encryption"); }); }
ENGRESULT EngDecryptTable(ENGHANDLE hTable) {
  return Call([&] { FindTable(hTable); });
}
ENGRESULT EngIsTableEncrypted(ENGHANDLE hTable, uint16_t* encrypted) {
  return Call([&] {
    FindTable(hTable);
    PutValue<uint16_t>(encrypted, 0);
  });
}

ENGRESULT EngCreateIndex(ENGHANDLE, const char*, const char*, uint32_t, uint32_t, ENGHANDLE*) {
  return Call([&] { NotYet("Creating an index"); });
}
ENGRESULT EngDeleteIndex(ENGHANDLE) { return Call([&] { NotYet("Dropping an index"); }); }
ENGRESULT EngReindex(ENGHANDLE hTable) {
  return Call([&] { FindTable(hTable); });
}
ENGRESULT EngGetAllIndexes(ENGHANDLE hTable, ENGHANDLE*, uint16_t* count) {
  return Call([&] {
    FindTable(hTable);
    PutValue<uint16_t>(count, 0);
  });
}
ENGRESULT EngGetIndexHandle(ENGHANDLE hTable, const char* tag, ENGHANDLE*) {
  return Call([&] {
    auto t = FindTable(hTable);
    Fail(ENG_ERR_INDEX_NOT_FOUND, std::string("Index tag ") + (tag ? tag : "") + " does not exist for table " + t->path);
  });
}
ENGRESULT EngGetIndexName(ENGHANDLE, char*, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngGetNumSegments(ENGHANDLE, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngGetSegmentFieldname(ENGHANDLE, uint16_t, char*, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngIsIndexUnique(ENGHANDLE, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngIsIndexDescending(ENGHANDLE, uint16_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngGetIndexPageSize(ENGHANDLE, uint32_t*) { return Call([&] { NotYet("Indexes"); }); }
ENGRESULT EngOpenIndex(ENGHANDLE, const char*, ENGHANDLE*, uint16_t*) { return Call([&] { NotYet("Index files"); }); }
ENGRESULT EngCloseIndex(ENGHANDLE) { return Call([&] { NotYet("Index files"); }); }
ENGRESULT EngGetIndexFilename(ENGHANDLE, uint16_t, char*, uint16_t*) { return Call([&] { NotYet("Index files"); }); }
ENGRESULT EngInitRawKey(ENGHANDLE) { return Call([&] { NotYet("Index keys"); }); }
ENGRESULT EngBuildRawKey(ENGHANDLE, uint8_t*, uint16_t*) { return Call([&] { NotYet("Index keys"); }); }
ENGRESULT EngSeek(ENGHANDLE, const uint8_t*, uint16_t, uint16_t, uint16_t, uint16_t*) {
  return Call([&] { NotYet("Index seeks"); });
}

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
