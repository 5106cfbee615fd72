// The engine's C interface: connections, tables, positioning, reading and
// editing. Each function validates its arguments, finds its handle and runs
// under Call(), which turns failures into result codes.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "api_support.h"
#include "change_hook.h"
#include "engine.h"
#include "index_hooks.h"
#include "table_format.h"
#include "util.h"

using namespace eng;

namespace {

// The table's path as asked for, before its spelling is looked up.
std::string TablePathAsAsked(const std::shared_ptr<ConnectionObject>& c, const char* name) {
  std::string n = name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  if (!HasExtension(n)) n += ".adt";
  return n[0] == '/' ? n : JoinPath(c->folder, n);
}

std::string TableName(const std::shared_ptr<ConnectionObject>& c, const char* name, struct ::stat* st) {
  return ResolveNoCase(TablePathAsAsked(c, name), st);
}

// A handle on a table this process closed a moment ago, found through the
// kept listing of its folder: the name is confirmed with the one status
// call of the folder that reviving the table makes anyway under its lock,
// instead of another one before. Null when that way does not apply.
std::unique_ptr<TableHandle> ReopenByKeptListing(const std::shared_ptr<ConnectionObject>& c, const char* name,
                                                 const OpenOptions& options, std::string* path) {
  if (options.exclusive) return nullptr;
  struct ::stat st {};
  if (!GuessFromKeptListing(TablePathAsAsked(c, name), path, &st.st_dev, &st.st_ino)) return nullptr;
  st.st_mode = S_IFREG;
  try {
    return std::make_unique<TableHandle>(*path, options, &st, true);
  } catch (const GuessNotConfirmed&) {
    return nullptr;
  }
}

std::string TableName(const std::shared_ptr<ConnectionObject>& c, const char* name) {
  struct ::stat st;
  return TableName(c, name, &st);
}

void CloseTableObject(const std::shared_ptr<TableObject>& t) {
  std::vector<ENGHANDLE> children;
  {
    std::lock_guard<std::mutex> g(t->mu);
    children.swap(t->children);
  }
  for (ENGHANDLE c : children) {
    auto idx = Handles::Remove(c);
    if (idx) ReleaseIndexObject(*idx);
  }
  std::lock_guard<std::mutex> g(t->mu);
  t->table.reset();
}

void DetachFromConnection(ENGHANDLE conn, ENGHANDLE child) {
  auto obj = Handles::Find(conn);
  if (!obj || obj->kind != ENG_HANDLE_CONNECTION) return;
  auto c = std::static_pointer_cast<ConnectionObject>(obj);
  std::lock_guard<std::mutex> g(c->mu);
  auto& v = c->children;
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] == child) {
      v.erase(v.begin() + static_cast<long>(i));
      break;
    }
}

}  // namespace

namespace eng {
ENGHANDLE RegisterTable(const std::shared_ptr<ConnectionObject>& conn, std::shared_ptr<TableObject> t, uint16_t kind) {
  ENGHANDLE h = Handles::Add(t, kind, conn->self);
  std::lock_guard<std::mutex> g(conn->mu);
  conn->children.push_back(h);
  return h;
}

void CloseAnyHandle(ENGHANDLE h) {
  auto obj = Handles::Remove(h);
  if (!obj) return;
  if (obj->kind == ENG_HANDLE_TABLE || obj->kind == ENG_HANDLE_CURSOR)
    CloseTableObject(std::static_pointer_cast<TableObject>(obj));
  else if (obj->kind == ENG_HANDLE_STATEMENT)
    ReleaseStatementObject(*obj);
}
}  // namespace eng

extern "C" {

// ---- Connection ----

ENGRESULT EngConnectEx(const char* connectPath, uint16_t /*serverTypes*/, const char* user, const char* password,
                       uint32_t /*options*/, ENGHANDLE* hConnect) {
  return Call([&] {
    Need(connectPath, "connect path");
    Need(hConnect, "connection handle");
    std::string path = connectPath;
    for (char& ch : path)
      if (ch == '\\') ch = '/';
    if (path.empty()) Fail(ENG_ERR_CONNECT, "The connect path is empty");
    // A relative path is fixed against today's working folder: table paths
    // are later built from the connection's folder, and a relative folder
    // would be joined to itself (and change meaning with the working folder).
    if (path[0] != '/') {
      std::error_code ec;
      std::filesystem::path absolute = std::filesystem::absolute(path, ec);
      if (!ec) path = absolute.lexically_normal().string();
    }
    std::string resolved = ResolveNoCase(path);
    auto conn = std::make_shared<ConnectionObject>();
    if (IsDirectory(resolved)) {
      conn->folder = resolved;
      while (conn->folder.size() > 1 && conn->folder.back() == '/') conn->folder.pop_back();
    } else if (FileExists(resolved)) {
      OpenDictionary(*conn, resolved, user ? user : "", password ? password : "");
    } else {
      Fail(ENG_ERR_CONNECT, "Cannot connect to " + path + ": no such folder or data dictionary");
    }
    *hConnect = Handles::Add(conn, ENG_HANDLE_CONNECTION, 0);
  });
}

ENGRESULT EngConnect(const char* connectPath, ENGHANDLE* hConnect) {
  return EngConnectEx(connectPath, ENG_LOCAL_SERVER | ENG_REMOTE_SERVER, "", "", 0, hConnect);
}

ENGRESULT EngDisconnect(ENGHANDLE hConnect) {
  return Call([&] {
    auto obj = Handles::Find(hConnect);
    if (!obj || obj->kind != ENG_HANDLE_CONNECTION)
      Fail(ENG_ERR_INVALID_CONNECTION, "Connection handle " + std::to_string(hConnect) + " is not open");
    auto conn = std::static_pointer_cast<ConnectionObject>(obj);
    // An open transaction ends with its connection, undone.
    if (std::shared_ptr<Transaction> txn = std::move(conn->transaction)) txn->Rollback();
    std::vector<ENGHANDLE> children;
    {
      std::lock_guard<std::mutex> g(conn->mu);
      children.swap(conn->children);
    }
    for (ENGHANDLE c : children) CloseAnyHandle(c);
    Handles::Remove(hConnect);
  });
}

ENGRESULT EngGetServerName(ENGHANDLE hConnect, char* name, uint16_t* len) {
  return Call([&] {
    FindConnection(hConnect);
    PutText("LOCAL", name, len);
  });
}

ENGRESULT EngSetServerType(uint16_t /*serverTypes*/) { return ENG_OK; }

ENGRESULT EngGetLastError(uint32_t* code, char* text, uint16_t* len) {
  if (code) *code = LastErrorCode();
  if (text && len) {
    const std::string& t = LastErrorText();
    uint16_t room = *len;
    if (room == 0) return ENG_ERR_BUFFER_TOO_SMALL;
    size_t n = t.size() < room ? t.size() : room - 1u;
    std::memcpy(text, t.data(), n);
    text[n] = 0;
    *len = static_cast<uint16_t>(n);
  }
  return ENG_OK;
}

namespace {
EngErrorHandler g_handler = nullptr;
void* g_handler_context = nullptr;
}  // namespace

ENGRESULT EngSetErrorHandler(EngErrorHandler handler, void* context) {
  g_handler = handler;
  g_handler_context = context;
  return ENG_OK;
}

ENGRESULT EngShowError(const char* caption) {
  const std::string& text = LastErrorText();
  if (g_handler)
    g_handler(caption ? caption : "", text.c_str(), g_handler_context);
  else
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "Engine error", text.c_str());
  return ENG_OK;
}

ENGRESULT EngGetHandleType(ENGHANDLE h, uint16_t* type) {
  return Call([&] {
    auto obj = Handles::Find(h);
    if (!obj) Fail(ENG_ERR_INVALID_HANDLE, "Handle " + std::to_string(h) + " is not open");
    PutValue(type, obj->kind);
  });
}

// ---- Tables ----

ENGRESULT EngCreateTable(ENGHANDLE hConnect, const char* name, const char* fieldDefs, uint32_t options,
                         ENGHANDLE* hTable) {
  return Call([&] {
    Need(name, "table name");
    Need(fieldDefs, "field definitions");
    auto conn = FindConnection(hConnect);
    std::string path = TableName(conn, name);
    if (!conn->dictionary.empty()) CheckDictionaryTableFile(*conn, name, path);
    std::vector<FieldDecl> decls = ParseFieldDecls(fieldDefs);
    if (!FileExists(path)) AnnounceChange(ENG_CHANGE_CREATE, path);
    CreateTableFile(path, decls);
    if (!conn->dictionary.empty()) RegisterInDictionary(*conn, name, path);
    if (hTable) {
      OpenOptions o;
      o.exclusive = options & ENG_OPEN_EXCLUSIVE;
      auto t = std::make_shared<TableObject>();
      t->table = std::make_unique<TableHandle>(path, o);
      t->path = path;
      t->open_options = options & (ENG_OPEN_EXCLUSIVE | ENG_OPEN_READONLY);
      *hTable = RegisterTable(conn, t, ENG_HANDLE_TABLE);
    }
  });
}

ENGRESULT EngOpenTable(ENGHANDLE hConnect, const char* name, const char* /*alias*/, uint16_t tableType,
                       uint16_t charType, uint16_t lockType, uint32_t /*rights*/, uint32_t options,
                       ENGHANDLE* hTable) {
  return Call([&] {
    Need(name, "table name");
    Need(hTable, "table handle");
    auto conn = FindConnection(hConnect);
    if (*name == 0) Fail(ENG_ERR_FILE_NOT_FOUND, "No table name given");
    // Opening the file tells whether it exists (as "does not exist"); the
    // status read while finding its name tells which file it is.
    OpenOptions o;
    o.exclusive = options & ENG_OPEN_EXCLUSIVE;
    o.read_only = options & ENG_OPEN_READONLY;
    o.char_type = charType;
    o.lock_type = lockType;
    auto t = std::make_shared<TableObject>();
    std::string path;
    if (conn->dictionary.empty()) t->table = ReopenByKeptListing(conn, name, o, &path);
    if (!t->table) {
      struct ::stat st;
      st.st_ino = 0;
      path = conn->dictionary.empty() ? TableName(conn, name, &st) : DictionaryTablePath(*conn, name);
      t->table = std::make_unique<TableHandle>(path, o, st.st_ino != 0 ? &st : nullptr);
    }
    t->path = path;
    t->open_options = (o.exclusive ? ENG_OPEN_EXCLUSIVE : 0) | (t->table->options().read_only ? ENG_OPEN_READONLY : 0);
    t->table_type = tableType == ENG_TABLE_DEFAULT ? ENG_TABLE_NATIVE : tableType;
    ENGHANDLE h = RegisterTable(conn, t, ENG_HANDLE_TABLE);
    try {
      AttachIndexes(*t);
    } catch (...) {
      DetachFromConnection(conn->self, h);
      CloseAnyHandle(h);
      throw;
    }
    *hTable = h;
  });
}

ENGRESULT EngCloseTable(ENGHANDLE hTable) {
  return Call([&] {
    auto t = FindTable(hTable);
    DetachFromConnection(t->connection, hTable);
    CloseAnyHandle(hTable);
  });
}

#define WITH_TABLE(h, body)                         \
  return Call([&] {                                 \
    HandleRef ref_(h);                              \
    TableObject* tobj = &TableOf(ref_, h);          \
    std::lock_guard<std::mutex> lock_(tobj->mu);    \
    TableHandle& t = Live(*tobj);                   \
    (void)t;                                        \
    body;                                           \
  })

#define WITH_NAV(h, body)                           \
  return Call([&] {                                 \
    NavRef nav(h);                                  \
    std::lock_guard<std::mutex> lock_(nav.table().mu); \
    TableHandle& t = Live(nav.table());             \
    (void)t;                                        \
    body;                                           \
  })

ENGRESULT EngGetTableType(ENGHANDLE hTable, uint16_t* tableType) { WITH_TABLE(hTable, PutValue(tableType, tobj->table_type)); }

ENGRESULT EngGetTableFilename(ENGHANDLE hTable, char* path, uint16_t* len) { WITH_TABLE(hTable, PutText(tobj->path, path, len)); }

ENGRESULT EngGetTableOpenOptions(ENGHANDLE hTable, uint32_t* options) {
  WITH_TABLE(hTable, PutValue(options, tobj->open_options | (tobj->static_cursor ? ENG_OPEN_READONLY : 0u)));
}

ENGRESULT EngGetRecordLength(ENGHANDLE hTable, uint32_t* length) { WITH_TABLE(hTable, PutValue(length, t.table().record_length())); }

ENGRESULT EngGetLayoutStamp(ENGHANDLE hTable, uint64_t* stamp) {
  WITH_TABLE(hTable, {
    SharedTable& table = t.table();
    if (table.in_memory()) {
      PutValue(stamp, uint64_t{0});
      return;
    }
    TableLock lock(table);
    PutValue(stamp, table.LayoutStamp());
  });
}

ENGRESULT EngGetNumFields(ENGHANDLE hTable, uint16_t* count) {
  WITH_TABLE(hTable, PutValue(count, static_cast<uint16_t>(t.fields().size())));
}

ENGRESULT EngGetFieldNum(ENGHANDLE hTable, const char* name, uint16_t* field) {
  WITH_TABLE(hTable, Need(name, "field name"); PutValue(field, t.FieldNumber(name)));
}

ENGRESULT EngGetFieldName(ENGHANDLE hTable, uint16_t field, char* name, uint16_t* len) {
  WITH_TABLE(hTable, PutText(t.Field(field).name, name, len));
}

ENGRESULT EngGetFieldType(ENGHANDLE hTable, uint16_t field, uint16_t* type) {
  WITH_TABLE(hTable, PutValue(type, t.Field(field).type));
}

ENGRESULT EngGetFieldLength(ENGHANDLE hTable, uint16_t field, uint32_t* length) {
  WITH_TABLE(hTable, PutValue(length, t.Field(field).length));
}

ENGRESULT EngGetFieldDeclaredLength(ENGHANDLE hTable, uint16_t field, uint32_t* length) {
  WITH_TABLE(hTable, const FieldDef& f = t.Field(field);
             PutValue(length, f.type == ENG_VARCHAR ? t.table().declared_length(field - 1u) : f.length));
}

ENGRESULT EngGetFieldDecimals(ENGHANDLE hTable, uint16_t field, uint16_t* decimals) {
  WITH_TABLE(hTable, PutValue(decimals, t.Field(field).decimals));
}

ENGRESULT EngGetFieldOffset(ENGHANDLE hTable, uint16_t field, uint32_t* offset) {
  WITH_TABLE(hTable, PutValue(offset, t.Field(field).offset));
}

ENGRESULT EngGetRecordCount(ENGHANDLE h, uint16_t option, uint32_t* count) {
  {
    HandleRef ref(h);
    if (ref.get() && ref.get()->kind == ENG_HANDLE_STATEMENT) return StatementRowCount(*ref.get(), count);
  }
  WITH_NAV(h, PutValue(count, static_cast<uint32_t>(t.RecordCount(option == ENG_RESPECTFILTERS))));
}

ENGRESULT EngZapTable(ENGHANDLE hTable) { WITH_TABLE(hTable, RefuseStatic(*tobj); t.Zap()); }

ENGRESULT EngPackTable(ENGHANDLE hTable) { WITH_TABLE(hTable, RefuseStatic(*tobj); t.Pack()); }

// ---- Positioning and reading ----

ENGRESULT EngGotoTop(ENGHANDLE h) { WITH_NAV(h, t.GotoTop(nav.order())); }
ENGRESULT EngGotoBottom(ENGHANDLE h) { WITH_NAV(h, t.GotoBottom(nav.order())); }
ENGRESULT EngSkip(ENGHANDLE h, int32_t records) { WITH_NAV(h, t.Skip(nav.order(), records)); }
// A handle without the password of an encrypted table has no position in
// its records: its ends are refused as its records are, or it would look empty.
ENGRESULT EngAtEOF(ENGHANDLE h, uint16_t* atEof) {
  WITH_NAV(h, {
    t.RequireAccess();
    PutValue<uint16_t>(atEof, t.AtEof());
  });
}
ENGRESULT EngAtBOF(ENGHANDLE h, uint16_t* atBof) {
  WITH_NAV(h, {
    t.RequireAccess();
    PutValue<uint16_t>(atBof, t.AtBof());
  });
}
ENGRESULT EngIsRecordVisible(ENGHANDLE h, uint16_t* visible) { WITH_NAV(h, PutValue<uint16_t>(visible, t.IsVisible())); }

ENGRESULT EngGetRecord(ENGHANDLE h, uint8_t* buffer, uint32_t* len) {
  WITH_NAV(h, {
    Need(buffer, "buffer");
    Need(len, "length");
    uint32_t need = t.table().record_length();
    if (*len < need) {
      *len = need;
      Fail(ENG_ERR_BUFFER_TOO_SMALL, "Record buffer too small");
    }
    t.CopyCurrentRecord(buffer);
    *len = need;
  });
}

ENGRESULT EngGetRecordNum(ENGHANDLE h, uint16_t /*option*/, uint32_t* recno) { WITH_NAV(h, PutValue(recno, t.RecNo())); }

ENGRESULT EngGotoRecord(ENGHANDLE h, uint32_t recno) { WITH_NAV(h, t.GotoRecord(recno)); }

ENGRESULT EngGetBookmarkLength(ENGHANDLE h, uint32_t* len) { WITH_NAV(h, PutValue<uint32_t>(len, 4)); }

ENGRESULT EngGetBookmarkEx(ENGHANDLE h, uint8_t* bookmark, uint32_t* len) {
  WITH_NAV(h, {
    uint8_t b[4];
    Store32(b, t.RecNo());
    PutData(b, 4, bookmark, len);
  });
}

ENGRESULT EngGotoBookmark(ENGHANDLE h, const uint8_t* bookmark, uint32_t len) {
  WITH_NAV(h, {
    Need(bookmark, "bookmark");
    if (len < 4) Fail(ENG_ERR_INVALID_ARGUMENT, "A bookmark has 4 bytes");
    uint32_t recno = Load32(bookmark);
    if (recno == 0) Fail(ENG_ERR_NO_SUCH_RECORD, "The bookmark names no record");
    t.GotoRecord(recno);
  });
}

ENGRESULT EngIsEmpty(ENGHANDLE h, uint16_t field, uint16_t* empty) {
  WITH_NAV(h, PutValue<uint16_t>(empty, t.FieldIsEmpty(field)));
}

ENGRESULT EngGetField(ENGHANDLE h, uint16_t field, uint8_t* buffer, uint32_t* len) {
  WITH_NAV(h, {
    std::string text = t.FieldText(field);
    PutData(text.data(), text.size(), buffer, len);
  });
}

ENGRESULT EngGetMemoLength(ENGHANDLE h, uint16_t field, uint32_t* len) { WITH_NAV(h, PutValue(len, t.MemoLength(field))); }
ENGRESULT EngGetBinaryLength(ENGHANDLE h, uint16_t field, uint32_t* len) { WITH_NAV(h, PutValue(len, t.MemoLength(field))); }

ENGRESULT EngGetMemoDataType(ENGHANDLE h, uint16_t field, uint16_t* type) {
  WITH_NAV(h, {
    uint16_t ft = t.Field(field).type;
    if (!IsMemoType(ft)) Fail(ENG_ERR_FIELD_TYPE, "Field " + t.Field(field).name + " is not a memo field");
    PutValue<uint16_t>(type, (ft == ENG_MEMO || ft == ENG_VARCHAR) ? ENG_MEMO_TEXT : ENG_MEMO_BINARY);
  });
}

ENGRESULT EngGetDeleted(ENGHANDLE h, uint16_t* showDeleted) { WITH_NAV(h, PutValue<uint16_t>(showDeleted, 0)); }

ENGRESULT EngConvertStringToJulian(const char* yyyymmdd, uint16_t len, double* julian) {
  return Call([&] {
    Need(yyyymmdd, "date text");
    Need(julian, "result");
    std::string s(yyyymmdd, strnlen(yyyymmdd, len));
    std::string t = TrimBlanks(s);
    if (t.empty()) {
      *julian = 0;
      return;
    }
    int y = 0, m = 0, d = 0;
    bool digits = t.size() == 8;
    for (char c : t) digits = digits && c >= '0' && c <= '9';
    if (digits) {
      y = std::atoi(t.substr(0, 4).c_str());
      m = std::atoi(t.substr(4, 2).c_str());
      d = std::atoi(t.substr(6, 2).c_str());
    }
    if (!digits || !ValidDate(y, m, d)) Fail(ENG_ERR_VALUE, "'" + s + "' is not a date of the form YYYYMMDD");
    *julian = static_cast<double>(JulianFromDate(y, m, d));
  });
}

ENGRESULT EngConvertJulianToString(double julian, char* yyyymmdd, uint16_t* len) {
  return Call([&] {
    if (!std::isfinite(julian) || julian < 1721426 || julian > 5373484)
      Fail(ENG_ERR_VALUE, "Julian day " + std::to_string(julian) + " is outside the years 1 to 9999");
    int y, m, d;
    DateFromJulian(static_cast<int64_t>(julian), &y, &m, &d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    PutText(buf, yyyymmdd, len);
  });
}

// ---- Editing ----

ENGRESULT EngLockRecord(ENGHANDLE hTable, uint32_t recno) { WITH_TABLE(hTable, RefuseStatic(*tobj); t.LockRecord(recno)); }
ENGRESULT EngUnlockRecord(ENGHANDLE hTable, uint32_t recno) { WITH_TABLE(hTable, t.UnlockRecord(recno)); }

ENGRESULT EngClearRecordBuffer(ENGHANDLE hTable, uint8_t* buffer, uint32_t* len) {
  WITH_TABLE(hTable, {
    const auto& e = t.table().EmptyRecord();
    PutData(e.data(), e.size(), buffer, len);
  });
}

ENGRESULT EngGetNullRecord(ENGHANDLE hTable, uint8_t* buffer, uint32_t* len) {
  return EngClearRecordBuffer(hTable, buffer, len);
}

ENGRESULT EngAppendRecord(ENGHANDLE hTable) { WITH_TABLE(hTable, RefuseStatic(*tobj); t.Append()); }

ENGRESULT EngSetField(ENGHANDLE h, uint16_t field, const uint8_t* value, uint32_t len) {
  return Call([&] {
    Need(value, "value");
    HandleRef ref(h);
    if (ref.get() && ref.get()->kind == ENG_HANDLE_INDEX) {
      SetKeySegment(*ref.get(), field, value, len, false);
      return;
    }
    TableObject& tobj = TableOf(ref, h);
    std::lock_guard<std::mutex> g(tobj.mu);
    RefuseStatic(tobj);
    Live(tobj).SetFieldText(field, value, len);
  });
}

ENGRESULT EngSetFieldRaw(ENGHANDLE h, uint16_t field, const uint8_t* value, uint32_t len) {
  return Call([&] {
    Need(value, "value");
    HandleRef ref(h);
    if (ref.get() && ref.get()->kind == ENG_HANDLE_INDEX) {
      SetKeySegment(*ref.get(), field, value, len, true);
      return;
    }
    TableObject& tobj = TableOf(ref, h);
    std::lock_guard<std::mutex> g(tobj.mu);
    RefuseStatic(tobj);
    Live(tobj).SetFieldRaw(field, value, len);
  });
}

ENGRESULT EngSetEmpty(ENGHANDLE h, uint16_t field) { WITH_TABLE(h, RefuseStatic(*tobj); t.SetEmpty(field)); }
ENGRESULT EngWriteRecord(ENGHANDLE hTable) { WITH_TABLE(hTable, RefuseStatic(*tobj); t.Write()); }
ENGRESULT EngCancelUpdate(ENGHANDLE hTable) { WITH_TABLE(hTable, t.CancelUpdate()); }
ENGRESULT EngDeleteRecord(ENGHANDLE hTable) { WITH_TABLE(hTable, RefuseStatic(*tobj); t.Delete()); }
ENGRESULT EngGetLastAutoinc(ENGHANDLE h, uint32_t* value) { WITH_TABLE(h, PutValue(value, t.LastAutoinc())); }

}  // extern "C"
