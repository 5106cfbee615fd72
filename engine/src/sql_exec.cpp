#include "sql_exec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "api_support.h"
#include "change_hook.h"
#include "checksum.h"
#include "engine.h"
#include "expr.h"
#include "expr_fast.h"
#include "filter_layer.h"
#include "index_file.h"
#include "index_hooks.h"
#include "keycodec.h"
#include "record_codec.h"
#include "sql_query.h"
#include "sql_support.h"
#include "table_file.h"
#include "table_image.h"
#include "transaction.h"
#include "util.h"

namespace eng {

std::function<void()> g_alter_before_commit;
std::function<void()> g_alter_after_commit;

void ApplyTablePassword(ENGHANDLE table, const std::string& password) {
  if (password.empty()) return;
  ENGRESULT rc = EngEnableEncryption(table, password.c_str());
  if (rc != ENG_OK && rc != ENG_ERR_NOT_SUPPORTED) Fail(rc, LastErrorText());
}

std::string ResolveTablePath(ConnectionObject& conn, const std::string& name) {
  std::string n = name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  if (n.empty()) Fail(ENG_ERR_FILE_NOT_FOUND, "No table name given");
  if (!conn.dictionary.empty()) {
    try {
      return DictionaryTablePath(conn, n);
    } catch (const EngineError& e) {
      if (e.code() != ENG_ERR_NOT_IN_DICTIONARY) throw;
    }
  }
  if (!HasExtension(n)) n += ".adt";
  return ResolveNoCase(n[0] == '/' ? n : JoinPath(conn.folder, n));
}

namespace {

// ---- INSERT, UPDATE, DELETE ----

uint16_t ColumnNumber(TableHandle& t, const std::string& name, const std::string& table) {
  for (size_t i = 0; i < t.fields().size(); ++i)
    if (EqualsNoCase(t.fields()[i].name, name)) return static_cast<uint16_t>(i + 1);
  ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, name, "not found in table " + table);
}

// Writes a SET value into the record being changed (memo contents to `memos`).
void AssignValue(const FieldDef& f, size_t index, const Value& v, uint8_t* raw, uint32_t size,
                 TableHandle::Memos* memos) {
  try {
    if (f.type == ENG_AUTOINC) {
      if (v.is_null()) return;
      ColumnFail(ENG_ERR_COLUMN_VALUE, f.name, "an autoincrement column is numbered by the engine");
    }
    PutValue(f, index, v, raw, size, *memos);
  } catch (const EngineError& e) {
    if (e.code() == ENG_ERR_VALUE || e.code() == ENG_ERR_FIELD_TYPE)
      ColumnFail(ENG_ERR_COLUMN_VALUE, f.name, std::string("value rejected: ") + e.what());
    throw;
  }
}

// The hold of a statement on the table it changes: the table's lock (the
// statement waits for it at most the connection's lock wait) and one change
// for all of its records, so that the statement applies whole or not at all,
// across a failing record and a crash alike, and no other user changes the
// table in between. Inside a transaction the table joins the transaction
// first, and the statement's change is a part of the transaction's that a
// failure undoes alone.
class StatementChange {
 public:
  StatementChange(ConnectionObject& conn, OpenedTable& table, const char* operation)
      : table_(Enlisted(conn, table)), lock_(table_, conn.lock_wait_ms), scope_(table_, operation) {}
  void Commit() { scope_.Commit(); }

 private:
  static SharedTable& Enlisted(ConnectionObject& conn, OpenedTable& table) {
    if (conn.transaction) conn.transaction->Enlist(table.table().table().path());
    return table.table().table();
  }
  SharedTable& table_;
  TableLock lock_;
  ChangeScope scope_;
};

ExecOutcome Insert(ConnectionObject& conn, const sql::InsertStatement& s, const StatementOptions& options) {
  OpenedTable dst(conn, s.table.name, options, false, true);
  std::lock_guard<std::mutex> g(dst.object().mu);
  TableHandle& t = dst.table();
  std::vector<uint16_t> targets;
  if (s.columns.empty()) {
    for (size_t i = 0; i < t.fields().size(); ++i) targets.push_back(static_cast<uint16_t>(i + 1));
  } else {
    for (const auto& c : s.columns) targets.push_back(ColumnNumber(t, c, s.table.name));
  }
  static const FieldList kNoFields;
  ExecOutcome outcome;
  outcome.has_count = true;
  // INSERT ... SELECT: every row is read before the first is written, and
  // before this table's lock is taken, so the statement never holds one
  // table while it waits for another.
  std::vector<std::vector<Value>> selected;
  if (s.query) selected = QueryRows(conn, *s.query, options);
  const size_t count = s.query ? selected.size() : s.rows.size();
  t.RequireAccess();
  StatementChange change(conn, dst, "insert into");
  std::vector<uint8_t> raw;
  TableHandle::Memos memos;
  const uint32_t size = t.table().record_length();
  for (size_t n = 0; n < count; ++n) {
    const size_t given = s.query ? selected[n].size() : s.rows[n].size();
    if (given != targets.size())
      Fail(ENG_ERR_SQL_EXECUTE, "INSERT INTO " + s.table.name + " gives " + std::to_string(given) +
                                    " values for " + std::to_string(targets.size()) + " columns");
    raw = t.table().EmptyRecord();
    memos.clear();
    for (size_t i = 0; i < targets.size(); ++i) {
      Value v = s.query ? std::move(selected[n][i])
                        : Evaluate(BindOrFail(s.rows[n][i], kNoFields, s.table.name), RecordView{}, kWholeTexts);
      AssignValue(t.Field(targets[i]), targets[i] - 1u, v, raw.data(), size, &memos);
    }
    t.AppendInChange(raw, memos);
    ++outcome.count;
  }
  change.Commit();
  return outcome;
}

// UPDATE and DELETE choose their records and change them in one hold of
// the table's lock and as one change (StatementChange): each record's WHERE
// is tested again, and its new values computed, on the record as it is when
// written, so no other user's change is lost or overridden. Subqueries of
// the WHERE and of the new values answer as of the selection, before any
// record is changed, whichever table they read.
ExecOutcome Update(ConnectionObject& conn, const sql::UpdateStatement& s, const StatementOptions& options) {
  OpenedTable dst(conn, s.table.name, options, false, true);
  std::lock_guard<std::mutex> g(dst.object().mu);
  TableHandle& t = dst.table();
  SharedTable& st = t.table();
  std::vector<uint16_t> targets;
  std::vector<const sql::Expression*> values;
  for (const auto& a : s.assignments) {
    targets.push_back(ColumnNumber(t, a.column, s.table.name));
    values.push_back(&a.value);
  }
  RecordSelector selector(conn, options, st, s.table.name, s.where ? &*s.where : nullptr, values);
  const uint32_t size = st.record_length();
  auto edit = [&](const uint8_t* now, uint8_t* raw, TableHandle::Memos* memos) {
    if (!selector.Matches(now)) return false;
    // Every value is computed from the record as it was: `raw` is a copy.
    for (size_t i = 0; i < targets.size(); ++i) {
      std::optional<Value> v = selector.ValueFor(i, now);
      // The table is held since the selection, so a record it chose keeps
      // the values its subqueries answered for; if not, change nothing.
      if (!v)
        Fail(ENG_ERR_SQL_EXECUTE, "UPDATE " + s.table.name + ": a record changed while the statement ran; nothing was changed");
      AssignValue(t.Field(targets[i]), targets[i] - 1u, *v, raw, size, memos);
    }
    return true;
  };
  ExecOutcome outcome;
  outcome.has_count = true;
  t.RequireAccess();
  StatementChange change(conn, dst, "update");
  for (uint32_t r : selector.Select())
    if (t.EditInChange(r, edit)) ++outcome.count;
  change.Commit();
  return outcome;
}

ExecOutcome Delete(ConnectionObject& conn, const sql::DeleteStatement& s, const StatementOptions& options) {
  OpenedTable dst(conn, s.table.name, options, false, true);
  std::lock_guard<std::mutex> g(dst.object().mu);
  TableHandle& t = dst.table();
  SharedTable& st = t.table();
  RecordSelector selector(conn, options, st, s.table.name, s.where ? &*s.where : nullptr);
  auto still = [&](const uint8_t* now) { return selector.Matches(now); };
  ExecOutcome outcome;
  outcome.has_count = true;
  t.RequireAccess();
  StatementChange change(conn, dst, "delete from");
  for (uint32_t r : selector.Select())
    if (t.DeleteInChange(r, still)) ++outcome.count;
  change.Commit();
  return outcome;
}

// ---- CREATE / DROP ----

FieldDecl DeclOfColumn(const std::string& name, const sql::ColumnType& type) {
  return {name, type.type, type.length, type.decimals};
}

ExecOutcome CreateTable(ConnectionObject& conn, const sql::CreateTableStatement& s, const StatementOptions& /*options*/) {
  std::vector<FieldDecl> field_decls;
  for (const auto& c : s.columns) field_decls.push_back(DeclOfColumn(c.name, c.type));
  std::string n = s.table.name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  if (!HasExtension(n)) n += ".adt";
  std::string path = ResolveNoCase(n[0] == '/' ? n : JoinPath(conn.folder, n));
  if (!conn.dictionary.empty()) CheckDictionaryTableFile(conn, s.table.name, path);
  if (!FileExists(path)) AnnounceChange(ENG_CHANGE_CREATE, path);
  CreateTableFile(path, field_decls);
  if (!conn.dictionary.empty()) RegisterInDictionary(conn, s.table.name, path);
  return {};
}

ExecOutcome DropTable(ConnectionObject& conn, const sql::DropTableStatement& s, const StatementOptions& options) {
  std::string path;
  {
    OpenedTable t(conn, s.table.name, options, true, true);
    path = t.path();
    TableLock lock(t.table().table());
    t.table().table().AnnounceChange();  // its files are saved before they go
  }
  std::string base = StripExtension(path);
  if (::unlink(path.c_str()) != 0) Fail(ENG_ERR_IO, "Cannot remove table " + path + ": " + std::strerror(errno));
  for (const char* ext : {".memo", ".tags", ".jrn"}) {
    std::string companion = ResolveNoCase(base + ext);
    if (FileExists(companion)) ::unlink(companion.c_str());
  }
  if (!conn.dictionary.empty()) {
    ENGRESULT rc = EngDictRemoveTable(conn.self, StripExtension(BaseName(s.table.name)).c_str());
    (void)rc;  // a free table beside the dictionary is not registered
  }
  return {};
}

void Check(ENGRESULT rc) {
  if (rc != ENG_OK) Fail(rc, LastErrorText());
}

ExecOutcome CreateIndex(ConnectionObject& conn, const sql::CreateIndexStatement& s, const StatementOptions& options) {
  OpenedTable t(conn, s.table.name, options, true, true);
  std::string segments;
  for (const auto& c : s.columns) {
    ColumnNumber(t.table(), c, s.table.name);
    segments += (segments.empty() ? "" : ";") + c;
  }
  uint32_t opts = (s.unique ? ENG_INDEX_UNIQUE : 0u) | (s.descending ? ENG_INDEX_DESCENDING : 0u);
  ENGHANDLE idx = 0;
  Check(EngCreateIndex(t.handle(), s.tag.c_str(), segments.c_str(), opts, 0, &idx));
  return {};
}

ExecOutcome DropIndex(ConnectionObject& conn, const sql::DropIndexStatement& s, const StatementOptions& options) {
  OpenedTable t(conn, s.table.name, options, true, true);
  ENGHANDLE idx = 0;
  Check(EngGetIndexHandle(t.handle(), s.tag.c_str(), &idx));
  Check(EngDeleteIndex(idx));
  return {};
}

// ---- ALTER TABLE ----

struct TagDef {
  std::string name;
  std::vector<std::string> segments;
  uint32_t options = 0;
  uint32_t page_size = 0;
};

std::string IndexText(ENGRESULT (*get)(ENGHANDLE, char*, uint16_t*), ENGHANDLE h) {
  char buf[300];
  uint16_t len = sizeof buf;
  Check(get(h, buf, &len));
  return std::string(buf, len);
}

std::vector<TagDef> ReadTags(ENGHANDLE table) {
  std::vector<ENGHANDLE> handles(1024);
  uint16_t count = static_cast<uint16_t>(handles.size());
  Check(EngGetAllIndexes(table, handles.data(), &count));
  std::vector<TagDef> tags;
  for (uint16_t i = 0; i < count && i < handles.size(); ++i) {
    TagDef tag;
    tag.name = IndexText(EngGetIndexName, handles[i]);
    uint16_t segments = 0;
    Check(EngGetNumSegments(handles[i], &segments));
    for (uint16_t k = 0; k < segments; ++k) {  // segments are numbered from 0
      char buf[300];
      uint16_t len = sizeof buf;
      Check(EngGetSegmentFieldname(handles[i], k, buf, &len));
      tag.segments.emplace_back(buf, len);
    }
    uint16_t unique = 0, descending = 0;
    Check(EngIsIndexUnique(handles[i], &unique));
    Check(EngIsIndexDescending(handles[i], &descending));
    Check(EngGetIndexPageSize(handles[i], &tag.page_size));
    tag.options = (unique ? ENG_INDEX_UNIQUE : 0u) | (descending ? ENG_INDEX_DESCENDING : 0u);
    tags.push_back(std::move(tag));
  }
  return tags;
}

struct NewColumn {
  FieldDecl field_decl;
  int32_t source = -1;  // index of the old field it comes from
};

std::vector<NewColumn> PlanColumns(SharedTable& st, const sql::AlterTableStatement& s) {
  std::vector<NewColumn> cols;
  for (size_t i = 0; i < st.fields().size(); ++i)
    cols.push_back({DeclOfField(st, i, st.fields()[i].name), static_cast<int32_t>(i)});
  auto find = [&](const std::string& name) -> int {
    for (size_t i = 0; i < cols.size(); ++i)
      if (EqualsNoCase(cols[i].field_decl.name, name)) return static_cast<int>(i);
    return -1;
  };
  for (const auto& a : s.actions) {
    int at = find(a.column);
    switch (a.kind) {
      case sql::AlterAction::Kind::kAdd:
        if (at >= 0) ColumnFail(ENG_ERR_INVALID_FIELD_DEF, a.column, "already exists in table " + s.table.name);
        cols.push_back({DeclOfColumn(a.column, a.type), -1});
        break;
      case sql::AlterAction::Kind::kAlter: {
        if (at < 0) ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, a.column, "not found in table " + s.table.name);
        int other = find(a.new_name);
        if (other >= 0 && other != at)
          ColumnFail(ENG_ERR_INVALID_FIELD_DEF, a.new_name, "already exists in table " + s.table.name);
        cols[static_cast<size_t>(at)].field_decl = DeclOfColumn(a.new_name, a.type);
        break;
      }
      case sql::AlterAction::Kind::kDrop:
        if (at < 0) ColumnFail(ENG_ERR_COLUMN_NOT_FOUND, a.column, "not found in table " + s.table.name);
        cols.erase(cols.begin() + at);
        break;
    }
  }
  if (cols.empty()) Fail(ENG_ERR_INVALID_FIELD_DEF, "ALTER TABLE " + s.table.name + " would leave no columns");
  return cols;
}

// Converts an old field's value to the new field's type; strings are cut to
// a narrower width, anything else that does not convert fails.
void ConvertInto(const FieldDef& to, size_t index, Value v, uint8_t* raw, size_t size,
                 std::vector<std::pair<size_t, std::string>>& memos, uint64_t recno, const std::string& table) {
  if (to.type == ENG_STRING && !v.is_null()) {
    std::string text = v.type() == ValueType::kString ? v.string() : v.ToText();
    if (text.size() > to.length) text.resize(to.length);
    v = Value::String(text);
  }
  try {
    PutValue(to, index, v, raw, size, memos);
  } catch (const EngineError& e) {
    ColumnFail(ENG_ERR_COLUMN_VALUE, to.name,
               "record " + std::to_string(recno) + " of table " + table + " does not convert: " + e.what());
  }
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(ENG_ERR_IO, "Cannot read back " + path + ": " + std::strerror(errno));
  auto fail = [&](int err) {
    ::close(fd);
    Fail(ENG_ERR_IO, "Cannot read back " + path + ": " + std::strerror(err));
  };
  struct stat st;
  if (::fstat(fd, &st) != 0) fail(errno);
  // Read in one piece into a buffer of the file's size: the files are whole
  // tables, and growing a vector as they come copies them over and over.
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    if (n == 0) fail(EIO);  // shorter than it was a moment ago
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return bytes;
}

// The files of the altered table, ready to replace the old ones: paths in
// the statement's temporary folder ("" for a file the new table lacks).
struct NewTableFiles {
  std::string adt, memo, tags;
};

// Writes the image out as a table at path and, when tags are kept, builds
// them there through the engine, as a table of its own; the old table is
// untouched, so a failure here (a unique tag whose keys now repeat, say)
// leaves it as it was.
NewTableFiles BuildNewTable(ConnectionObject& conn, TableImage& image, const std::string& path,
                            const std::vector<TagDef>& keep, StatementOptions options, const std::string& password) {
  image.WriteFiles();
  NewTableFiles files{path, image.has_memo() ? StripExtension(path) + ".memo" : "", ""};
  ChangeHookPause quiet;  // the statement's own scratch table is nobody's change
  if (keep.empty()) return files;
  {
    // A sealed image opens with the password of the table it replaces.
    options.passwords.clear();
    if (!password.empty()) options.passwords[ToUpper(StripExtension(BaseName(path)))] = password;
    OpenedTable built(conn, path, options, true, true);
    // Its folder goes away: no cached copy may keep the files mapped.
    built.table().table().DiscardWhenClosed();
    for (const TagDef& tag : keep) {
      std::string segments;
      for (const auto& seg : tag.segments) segments += (segments.empty() ? "" : ";") + seg;
      ENGHANDLE idx = 0;
      Check(EngCreateIndex(built.handle(), tag.name.c_str(), segments.c_str(), tag.options, tag.page_size, &idx));
    }
  }
  files.tags = StripExtension(path) + ".tags";
  return files;
}

ExecOutcome AlterTable(ConnectionObject& conn, const sql::AlterTableStatement& s, const StatementOptions& options) {
  // Failures of the system below (the new files in the temporary folder,
  // the journal, the copy into place) name the statement and its table.
  OperationScope operation("alter", s.table.name);
  OpenedTable old(conn, s.table.name, options, true, true);
  // An encrypted table is altered sealed, with its own key and salt: the
  // new files are encrypted from their first byte, and the switch-over
  // below journals only sealed bytes, so it is never readable without its
  // password, not even for a moment or after a crash.
  std::string password;
  if (old.table().IsEncrypted()) {
    auto it = options.passwords.find(ToUpper(StripExtension(BaseName(old.path()))));
    if (it == options.passwords.end() || !old.table().table().unlocked())
      Fail(ENG_ERR_ENCRYPTED, "Table " + s.table.name +
                                  " is encrypted: ALTER TABLE needs its password (EngStmtSetTablePassword)");
    password = it->second;
  }
  std::vector<TagDef> tags = ReadTags(old.handle());
  std::unique_lock<std::mutex> g(old.object().mu);
  TableHandle& handle = old.table();
  SharedTable& st = handle.table();
  {
    // Before anything is written beside the table (a new memo file).
    TableLock lock(st);
    st.AnnounceChange();
  }
  std::vector<NewColumn> cols = PlanColumns(st, s);
  std::vector<FieldDecl> field_decls;
  for (const auto& c : cols) field_decls.push_back(c.field_decl);
  std::vector<uint32_t> declared;
  LayoutFields(field_decls, &declared);

  TempFolder folder("dbsql-alter");
  // Streamed to its file: the new table is copied from there in the kernel.
  TableImage image(folder.path() + "/new.adt", field_decls, TableImage::Mode::kStreamed);
  if (!password.empty()) image.Seal(st.cipher(), st.crypto_params());
  const FieldList& out = image.fields();
  const FieldList& in = st.fields();
  int32_t autoinc_new = -1;
  for (size_t i = 0; i < cols.size(); ++i)
    if (out[i].type == ENG_AUTOINC && (cols[i].source < 0 || in[static_cast<size_t>(cols[i].source)].type != ENG_AUTOINC))
      autoinc_new = static_cast<int32_t>(i);
  uint32_t next_autoinc = 1;
  {
    TableLock lock(st);
    next_autoinc = Load32(st.table_file().data() + fmt::kOffNextAutoinc);
    uint64_t count = st.SlotCount();
    image.Reserve(count);
    std::vector<uint8_t> rec(image.record_length());
    std::vector<std::pair<size_t, std::string>> memos;
    uint32_t numbering = 0;
    for (uint64_t r = 1; r <= count; ++r) {
      std::memcpy(rec.data(), image.empty().data(), rec.size());
      memos.clear();
      if (!st.IsLive(r)) {
        image.Add(fmt::kSlotDeleted, rec.data(), memos);
        continue;
      }
      const uint8_t* raw = st.Record(r);
      TableMemoSource memo_source(st, raw);
      RecordView view{raw, st.record_length(), &memo_source};
      for (size_t i = 0; i < cols.size(); ++i) {
        if (static_cast<int32_t>(i) == autoinc_new) {
          ConvertInto(out[i], i, Value::Number(++numbering), rec.data(), rec.size(), memos, r, s.table.name);
          continue;
        }
        if (cols[i].source < 0) continue;
        Value v = DecodeField(in, static_cast<size_t>(cols[i].source), view);
        ConvertInto(out[i], i, v, rec.data(), rec.size(), memos, r, s.table.name);
      }
      image.Add(fmt::kSlotLive, rec.data(), memos);
    }
    if (autoinc_new >= 0) next_autoinc = numbering + 1;
  }
  image.Finish(next_autoinc);

  // Tags are recreated on the new layout; those on a dropped column go.
  std::vector<TagDef> keep;
  for (TagDef& tag : tags) {
    bool ok = true;
    for (std::string& seg : tag.segments) {
      bool found = false;
      for (size_t i = 0; i < cols.size() && !found; ++i) {
        if (cols[i].source >= 0 && EqualsNoCase(in[static_cast<size_t>(cols[i].source)].name, seg)) {
          seg = cols[i].field_decl.name;
          found = true;
        }
      }
      ok = ok && found;
    }
    if (ok) keep.push_back(tag);
  }
  g.unlock();
  NewTableFiles files = BuildNewTable(conn, image, folder.path() + "/new.adt", keep, options, password);

  // A memo file the old table does not have is written beside it first: the
  // old table never reads it, so a crash before the commit leaves it unused.
  // The old table always has the tags file the new one needs (kept tags are
  // some of its own).
  std::string memo_path = ResolveNoCase(st.base() + ".memo");
  bool old_memo = st.has_memo();
  if (image.has_memo() && !old_memo) {
    std::string tmp = memo_path + ".alter";
    TableImage::WriteFile(tmp, ReadFileBytes(files.memo));
    if (::rename(tmp.c_str(), memo_path.c_str()) != 0) {
      int err = errno;
      ::unlink(tmp.c_str());
      FailIo("Cannot write " + memo_path, err);
    }
  }
  g.lock();
  // The files change wholesale below: whatever the outcome, this process
  // loads the table afresh when it is next opened.
  st.DiscardWhenClosed();
  {
    TableLock lock(st);
    ChangeScope scope(st, "alter");
    // The tags change in the same journaled change as the records, so a
    // crash or a failure leaves the old table with its tags or the new one
    // with the rebuilt ones.
    IndexSet& indexes = st.indexes();
    uint64_t tags_length = 0;
    if (keep.empty()) {
      while (indexes.TagCount() > 0) indexes.DropTag(indexes.TagCount() - 1);
    } else {
      tags_length = indexes.ReplaceFileFrom(files.tags);
    }
    MappedFile& adt = st.table_file();
    adt.Refresh();
    st.journal().Save(SharedTable::kTableFile, 0, adt.size());
    if (image.has_memo() && old_memo) {
      MappedFile& memo = st.memo_file();
      memo.Refresh();
      st.journal().Save(SharedTable::kMemoFile, 0, memo.size());
      memo.CopyFrom(files.memo);
    }
    st.LendIdentity(files.adt);
    const uint64_t adt_length = adt.CopyFrom(files.adt);
    if (g_alter_before_commit) g_alter_before_commit();
    scope.Commit();
    if (g_alter_after_commit) g_alter_after_commit();
    adt.Truncate(adt_length);
    if (!keep.empty()) indexes.TruncateFile(tags_length);
  }
  handle.SkipTrimAtClose();
  g.unlock();
  old.Close();
  if (old_memo && !image.has_memo()) ::unlink(memo_path.c_str());
  return {};
}

// BEGIN, COMMIT, ROLLBACK.
ExecOutcome RunTransactionStatement(ConnectionObject& conn, const sql::TransactionStatement& s) {
  using Kind = sql::TransactionStatement::Kind;
  if (s.kind == Kind::kBegin) {
    if (conn.transaction)
      Fail(ENG_ERR_SQL_EXECUTE, "BEGIN: a transaction is already open on this connection (COMMIT or ROLLBACK it first)");
    conn.transaction = std::make_shared<Transaction>(conn.lock_wait_ms);
    return {};
  }
  if (!conn.transaction)
    Fail(ENG_ERR_SQL_EXECUTE, std::string(s.kind == Kind::kCommit ? "COMMIT" : "ROLLBACK") + ": no transaction is open");
  conn.transaction->RequireOwner();
  // The transaction ends either way: a commit that fails has rolled back.
  std::shared_ptr<Transaction> txn = std::move(conn.transaction);
  if (s.kind == Kind::kCommit)
    txn->Commit();
  else
    txn->Rollback();
  return {};
}

// Statements that replace or create files need their tables exclusively,
// which a transaction's own hold of its tables rules out; and what they do
// could not be undone with the transaction.
void RefuseInTransaction(const ConnectionObject& conn, const sql::Statement& statement) {
  if (!conn.transaction) return;
  const char* what = std::visit(
      [](const auto& s) -> const char* {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, sql::AlterTableStatement>) return "ALTER TABLE";
        if constexpr (std::is_same_v<T, sql::CreateTableStatement>) return "CREATE TABLE";
        if constexpr (std::is_same_v<T, sql::DropTableStatement>) return "DROP TABLE";
        if constexpr (std::is_same_v<T, sql::CreateIndexStatement>) return "CREATE INDEX";
        if constexpr (std::is_same_v<T, sql::DropIndexStatement>) return "DROP INDEX";
        return nullptr;
      },
      statement);
  if (what) Fail(ENG_ERR_SQL_EXECUTE, std::string(what) + " cannot run inside a transaction: COMMIT or ROLLBACK first");
}

}  // namespace

ExecOutcome ExecuteStatement(const std::shared_ptr<ConnectionObject>& conn, const sql::Statement& statement,
                             const StatementOptions& options) {
  RefuseInTransaction(*conn, statement);
  if (conn->transaction) conn->transaction->RequireOwner();
  LockWaitScope wait(conn->lock_wait_ms);
  return std::visit(
      [&](const auto& s) -> ExecOutcome {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, sql::SelectStatement>) return RunSelect(conn, *s.query, options);
        if constexpr (std::is_same_v<T, sql::ExplainStatement>) return RunExplain(conn, s.statement->statement, options);
        if constexpr (std::is_same_v<T, sql::InsertStatement>) return Insert(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::UpdateStatement>) return Update(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::DeleteStatement>) return Delete(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::CreateTableStatement>) return CreateTable(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::DropTableStatement>) return DropTable(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::CreateIndexStatement>) return CreateIndex(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::DropIndexStatement>) return DropIndex(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::AlterTableStatement>) return AlterTable(*conn, s, options);
        if constexpr (std::is_same_v<T, sql::TransactionStatement>) return RunTransactionStatement(*conn, s);
      },
      statement);
}

}  // namespace eng
