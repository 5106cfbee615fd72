#include "preview.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "backup.h"
#include "csv.h"
#include "engine.h"
#include "recordcodec.h"
#include "runerror.h"
#include "undo.h"

namespace dbu {

namespace {

// ---- reading a table for the diff ----

// One table file opened read-only on a connection of its own.
class TOpenTable {
 public:
  TOpenTable(const std::string& adt, const std::string& password) {
    const std::filesystem::path path(adt);
    if (EngConnect(path.parent_path().c_str(), &conn_) != ENG_OK ||
        EngOpenTable(conn_, path.filename().c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                     ENG_IGNORE_RIGHTS, ENG_OPEN_READONLY, &table_) != ENG_OK) {
      error_ = EngineErrorText();
      table_ = 0;
      return;
    }
    uint16_t encrypted = 0;
    if (EngIsTableEncrypted(table_, &encrypted) == ENG_OK && encrypted &&
        EngEnableEncryption(table_, password.c_str()) != ENG_OK)
      error_ = EngineErrorText();
  }
  ~TOpenTable() {
    if (table_) EngCloseTable(table_);
    if (conn_) EngDisconnect(conn_);
  }
  TOpenTable(const TOpenTable&) = delete;
  TOpenTable& operator=(const TOpenTable&) = delete;

  bool Ok() const { return table_ != 0 && error_.empty(); }
  const std::string& Error() const { return error_; }
  ENGHANDLE Handle() const { return table_; }
  uint32_t LiveCount() const {
    uint32_t n = 0;
    EngGetRecordCount(table_, ENG_IGNOREFILTERS, &n);
    return n;
  }

 private:
  ENGHANDLE conn_ = 0, table_ = 0;
  std::string error_;
};

struct TColumnDef {
  std::string Name;
  uint16_t Number = 0, Type = 0, Decimals = 0;
  uint32_t Length = 0;            // as declared
  uint32_t Stored = 0, Offset = 0;  // bytes in the raw record, and where
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<TColumnDef> ColumnsOf(ENGHANDLE t) {
  std::vector<TColumnDef> columns;
  uint16_t n = 0;
  EngGetNumFields(t, &n);
  for (uint16_t f = 1; f <= n; ++f) {
    TColumnDef c;
    c.Number = f;
    char name[ENG_MAX_FIELD_NAME + 2] = {};
    uint16_t len = sizeof name;
    EngGetFieldName(t, f, name, &len);
    c.Name = name;
    EngGetFieldType(t, f, &c.Type);
    EngGetFieldDeclaredLength(t, f, &c.Length);
    EngGetFieldDecimals(t, f, &c.Decimals);
    EngGetFieldLength(t, f, &c.Stored);
    EngGetFieldOffset(t, f, &c.Offset);
    columns.push_back(c);
  }
  return columns;
}

std::string TypeText(const TColumnDef& c) {
  switch (c.Type) {
    case ENG_LOGICAL: return "LOGICAL";
    case ENG_NUMERIC: return "NUMERIC(" + std::to_string(c.Length) + "," + std::to_string(c.Decimals) + ")";
    case ENG_DATE: return "DATE";
    case ENG_STRING: return "CHAR(" + std::to_string(c.Length) + ")";
    case ENG_MEMO: return "MEMO";
    case ENG_BINARY: return "BINARY";
    case ENG_IMAGE: return "IMAGE";
    case ENG_VARCHAR: return "VARCHAR(" + std::to_string(c.Length) + ")";
    case ENG_COMPACTDATE: return "COMPACTDATE";
    case ENG_DOUBLE: return "DOUBLE";
    case ENG_INTEGER: return "INTEGER";
    case ENG_SHORTINT: return "SHORTINT";
    case ENG_TIME: return "TIME";
    case ENG_TIMESTAMP: return "TIMESTAMP";
    case ENG_AUTOINC: return "AUTOINC";
    case ENG_RAW: return "RAW(" + std::to_string(c.Length) + ")";
    case ENG_CURDOUBLE: return "MONEY";
  }
  return "TYPE" + std::to_string(c.Type);
}

bool StoredOutside(const TColumnDef& c) { return IsBlobType(c.Type); }

// Texts as shown: strings without their trailing blanks, numbers without
// their leading ones, dates YYYY-MM-DD, binary contents by their size.
std::string Shown(const TColumnDef& c, std::string value) {
  if (c.Type == ENG_STRING || c.Type == ENG_RAW) value.erase(value.find_last_not_of(' ') + 1);
  if (c.Type == ENG_NUMERIC) value.erase(0, value.find_first_not_of(' '));
  if ((c.Type == ENG_DATE || c.Type == ENG_COMPACTDATE) && value.size() == 8)
    value = value.substr(0, 4) + "-" + value.substr(4, 2) + "-" + value.substr(6, 2);
  return value;
}

// A field's text from the raw record alone, for the kinds whose text is
// their bytes or a number (no engine call per field: a diff reads hundreds
// of thousands of records); false for the others.
bool RawText(const uint8_t* raw, const TColumnDef& c, std::string& text) {
  const TEngineFieldDef def{c.Name, c.Number, c.Type, c.Stored, c.Decimals, c.Offset};
  const uint8_t* p = raw + c.Offset;
  switch (c.Type) {
    case ENG_STRING:
    case ENG_NUMERIC:
      // An empty field of a native table is all zero bytes.
      if (codec::IsEmpty(raw, def, true))
        text.clear();
      else
        text = Shown(c, std::string(reinterpret_cast<const char*>(p), c.Stored));
      return true;
    case ENG_LOGICAL:
    case ENG_INTEGER:
    case ENG_AUTOINC:
    case ENG_SHORTINT:
      if (codec::IsEmpty(raw, def, true)) {
        text.clear();
      } else if (c.Type == ENG_LOGICAL) {
        text = codec::DecodeBoolean(raw, def) ? "T" : "F";
      } else {
        text = std::to_string(codec::DecodeInteger(raw, def));
      }
      return true;
    case ENG_DATE: {
      if (c.Stored != 4) return false;
      if (codec::IsEmpty(raw, def, true)) {
        text.clear();
        return true;
      }
      int32_t julian = 0;
      std::memcpy(&julian, p, 4);
      char ymd[16] = {};
      uint16_t len = sizeof ymd;
      if (EngConvertJulianToString(julian, ymd, &len) != ENG_OK) return false;
      text = Shown(c, std::string(ymd, len));
      return true;
    }
    default: return false;
  }
}

// One record of one table: its raw bytes, and the table for the fields
// that need the engine (memos, binaries, floating point, times).
struct TRecordView {
  ENGHANDLE Table = 0;
  uint32_t RecordNumber = 0;
  const uint8_t* Raw = nullptr;
  const std::vector<TColumnDef>* Columns = nullptr;
  bool Positioned = false;

  std::string Text(const TColumnDef& c) {
    std::string text;
    if (!StoredOutside(c) && RawText(Raw, c, text)) return text;
    if (!Positioned && EngGotoRecord(Table, RecordNumber) != ENG_OK) return "(unreadable)";
    Positioned = true;
    uint16_t empty = 0;
    if (EngIsEmpty(Table, c.Number, &empty) == ENG_OK && empty) return "";
    uint32_t len = 0;
    if (c.Type == ENG_BINARY || c.Type == ENG_IMAGE) {
      EngGetMemoLength(Table, c.Number, &len);
      return "(" + std::to_string(len) + " bytes)";
    }
    if (StoredOutside(c)) EngGetMemoLength(Table, c.Number, &len);
    text.assign(std::max<uint32_t>(len, 256) + 1, '\0');
    len = static_cast<uint32_t>(text.size());
    if (EngGetField(Table, c.Number, reinterpret_cast<uint8_t*>(text.data()), &len) != ENG_OK) return "(unreadable)";
    text.resize(len);
    return Shown(c, std::move(text));
  }
};

// The fields of the table's first index (a unique one if it has any):
// what names a record to a reader better than its number.
std::vector<std::string> KeyFields(ENGHANDLE t) {
  ENGHANDLE indexes[64] = {};
  uint16_t count = 64;
  if (EngGetAllIndexes(t, indexes, &count) != ENG_OK || count == 0) return {};
  ENGHANDLE chosen = indexes[0];
  for (uint16_t i = 0; i < count; ++i) {
    uint16_t unique = 0;
    if (EngIsIndexUnique(indexes[i], &unique) == ENG_OK && unique) {
      chosen = indexes[i];
      break;
    }
  }
  std::vector<std::string> fields;
  uint16_t segments = 0;
  EngGetNumSegments(chosen, &segments);
  for (uint16_t s = 0; s < segments; ++s) {
    char name[ENG_MAX_FIELD_NAME + 2] = {};
    uint16_t len = sizeof name;
    if (EngGetSegmentFieldname(chosen, s, name, &len) == ENG_OK && name[0]) fields.push_back(Upper(name));
  }
  return fields;
}

const TColumnDef* FindColumn(const std::vector<TColumnDef>& columns, const std::string& upperName) {
  for (const TColumnDef& c : columns)
    if (Upper(c.Name) == upperName) return &c;
  return nullptr;
}

// What the diff of one table walks with: both tables, their columns paired
// by name, the key, and the result it fills.
struct TTableWalk {
  ENGHANDLE Before = 0, After = 0;
  std::vector<TColumnDef> BeforeColumns, AfterColumns;
  std::vector<std::pair<const TColumnDef*, const TColumnDef*>> Common;  // before, after
  std::vector<std::pair<const TColumnDef*, uint32_t>> Narrowed;         // before column, new width
  std::vector<const TColumnDef*> Key;                                   // of the table after
  std::vector<const TColumnDef*> KeyBefore;
  TPreviewTable* Out = nullptr;
  std::string Error;
  std::vector<uint8_t> BeforeBuffer, AfterBuffer;

  TRecordView ViewBefore(uint32_t recno, const uint8_t* raw) { return {Before, recno, raw, &BeforeColumns, false}; }
  TRecordView ViewAfter(uint32_t recno, const uint8_t* raw) { return {After, recno, raw, &AfterColumns, false}; }

  static std::string KeyText(TRecordView& record, const std::vector<const TColumnDef*>& key) {
    std::string text;
    for (const TColumnDef* c : key) {
      if (!text.empty()) text += "; ";
      text += c->Name + "=" + record.Text(*c);
    }
    return text;
  }

  void AddWhole(TPreviewChange change, TRecordView record) {
    TPreviewRecord r;
    r.Change = change;
    r.RecordNumber = record.RecordNumber;
    r.Key = KeyText(record, change == TPreviewChange::Added ? Key : KeyBefore);
    for (const TColumnDef& c : *record.Columns) {
      std::string value = record.Text(c);
      r.Fields.push_back(change == TPreviewChange::Added ? TPreviewField{c.Name, "", std::move(value)}
                                                         : TPreviewField{c.Name, std::move(value), ""});
    }
    (change == TPreviewChange::Added ? Out->Added : Out->Deleted)++;
    Out->Records.push_back(std::move(r));
  }

  // false when the two records are alike.
  bool AddChanged(TRecordView before, TRecordView after) {
    TPreviewRecord r;
    r.RecordNumber = after.RecordNumber;
    for (const auto& [b, a] : Common) {
      // Alike in layout: the bytes decide, without a text made.
      if (b->Type == a->Type && b->Stored == a->Stored && !StoredOutside(*a) &&
          std::memcmp(before.Raw + b->Offset, after.Raw + a->Offset, a->Stored) == 0)
        continue;
      std::string was = before.Text(*b), is = after.Text(*a);
      if (was != is) r.Fields.push_back({a->Name, std::move(was), std::move(is)});
    }
    if (r.Fields.empty()) return false;
    bool cut = false;
    for (const auto& [b, width] : Narrowed)
      if (before.Text(*b).size() > width) cut = true;
    r.Key = KeyText(after, Key);
    ++Out->Changed;
    if (cut) Out->CutRecords.push_back(r.RecordNumber);
    Out->Records.push_back(std::move(r));
    return true;
  }
};

int DiffCallback(void* context, uint32_t recno, const uint8_t* oldRaw, const uint8_t* newRaw) {
  TTableWalk& w = *static_cast<TTableWalk*>(context);
  if (oldRaw == nullptr)
    w.AddWhole(TPreviewChange::Added, w.ViewAfter(recno, newRaw));
  else if (newRaw == nullptr)
    w.AddWhole(TPreviewChange::Deleted, w.ViewBefore(recno, oldRaw));
  else
    w.AddChanged(w.ViewBefore(recno, oldRaw), w.ViewAfter(recno, newRaw));
  return 0;
}

bool AtEof(ENGHANDLE t) {
  uint16_t eof = 1;
  return EngAtEOF(t, &eof) != ENG_OK || eof != 0;
}

// The current record of t, read into buffer.
TRecordView Current(ENGHANDLE t, std::vector<uint8_t>& buffer, const std::vector<TColumnDef>& columns) {
  uint32_t length = 0;
  EngGetRecordLength(t, &length);
  buffer.assign(length + 1, 0);
  uint32_t len = static_cast<uint32_t>(buffer.size());
  EngGetRecord(t, buffer.data(), &len);
  uint32_t recno = 0;
  EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
  return {t, recno, buffer.data(), &columns, true};
}

// Tables whose record numbers changed (a pack, a zap): the live records of
// both in natural order, paired by position, as a pack keeps their order.
// countOnly: nothing is kept, and the walk stops at the first difference.
uint64_t WalkByPosition(TTableWalk& w, bool countOnly) {
  uint64_t differences = 0;
  TPreviewTable scratch;
  TPreviewTable* out = w.Out;
  if (countOnly) w.Out = &scratch;
  EngGotoTop(w.Before);
  EngGotoTop(w.After);
  while (!AtEof(w.Before) && !AtEof(w.After)) {
    if (w.AddChanged(Current(w.Before, w.BeforeBuffer, w.BeforeColumns), Current(w.After, w.AfterBuffer, w.AfterColumns)))
      ++differences;
    if (countOnly && differences) break;
    EngSkip(w.Before, 1);
    EngSkip(w.After, 1);
  }
  for (; !AtEof(w.Before) && !(countOnly && differences); EngSkip(w.Before, 1), ++differences)
    if (!countOnly) w.AddWhole(TPreviewChange::Deleted, Current(w.Before, w.BeforeBuffer, w.BeforeColumns));
  for (; !AtEof(w.After) && !(countOnly && differences); EngSkip(w.After, 1), ++differences)
    if (!countOnly) w.AddWhole(TPreviewChange::Added, Current(w.After, w.AfterBuffer, w.AfterColumns));
  w.Out = out;
  return differences;
}

void WalkAll(TTableWalk& w, TPreviewChange change) {
  const bool added = change == TPreviewChange::Added;
  ENGHANDLE t = added ? w.After : w.Before;
  for (EngGotoTop(t); !AtEof(t); EngSkip(t, 1))
    w.AddWhole(change, added ? Current(t, w.AfterBuffer, w.AfterColumns) : Current(t, w.BeforeBuffer, w.BeforeColumns));
}

// The record slots a table file holds, live or not (its header's count):
// what a pack leaves out is the difference.
uint64_t SlotCount(const std::string& adt) {
  uint64_t slots = 0;
  const int fd = ::open(adt.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  if (::pread(fd, &slots, sizeof slots, 32) != static_cast<ssize_t>(sizeof slots)) slots = 0;
  ::close(fd);
  return slots;
}

void CompareColumns(TTableWalk& w) {
  for (const TColumnDef& b : w.BeforeColumns) {
    const TColumnDef* a = FindColumn(w.AfterColumns, Upper(b.Name));
    if (!a) {
      w.Out->Columns.push_back({b.Name, "dropped", TypeText(b), ""});
      continue;
    }
    w.Common.push_back({&b, a});
    if (a->Type == b.Type && a->Length == b.Length && a->Decimals == b.Decimals) continue;
    std::string change = "retyped";
    if (a->Type == b.Type && a->Length > b.Length) change = "widened";
    if (a->Type == b.Type && a->Length < b.Length) {
      change = "narrowed";
      w.Narrowed.push_back({&b, a->Length});
    }
    w.Out->Columns.push_back({b.Name, change, TypeText(b), TypeText(*a)});
  }
  for (const TColumnDef& a : w.AfterColumns)
    if (!FindColumn(w.BeforeColumns, Upper(a.Name))) w.Out->Columns.push_back({a.Name, "added", "", TypeText(a)});
}

}  // namespace

TPreviewTable DiffTable(const std::string& name, const std::string& beforeAdt, const std::string& afterAdt,
                        const std::string& password) {
  TPreviewTable out;
  out.Table = name;
  if (beforeAdt.empty() || afterAdt.empty()) {
    const bool created = beforeAdt.empty();
    out.State = created ? "created" : "dropped";
    if (created && afterAdt.empty()) return out;
    TOpenTable t(created ? afterAdt : beforeAdt, password);
    if (t.Ok()) (created ? out.Added : out.Deleted) = t.LiveCount();
    return out;
  }
  TOpenTable before(beforeAdt, password), after(afterAdt, password);
  if (!before.Ok() || !after.Ok()) {
    out.State = "changed (cannot be read: " + (before.Ok() ? after.Error() : before.Error()) + ")";
    return out;
  }
  TTableWalk w;
  w.Before = before.Handle();
  w.After = after.Handle();
  w.BeforeColumns = ColumnsOf(w.Before);
  w.AfterColumns = ColumnsOf(w.After);
  for (const std::string& field : KeyFields(w.After)) {
    const TColumnDef* a = FindColumn(w.AfterColumns, field);
    const TColumnDef* b = FindColumn(w.BeforeColumns, field);
    if (a) w.Key.push_back(a);
    if (b) w.KeyBefore.push_back(b);
  }
  w.Out = &out;
  CompareColumns(w);
  uint16_t comparable = 0;
  if (EngDiffRecords(w.Before, w.After, DiffCallback, &w, &comparable) != ENG_OK && w.Error.empty())
    w.Error = EngineErrorText();
  if (comparable == 1 || comparable == 2) {
    out.State = comparable == 1 ? "changed" : "restructured";
  } else if (w.Error.empty()) {
    // The record numbers changed: a pack (records kept in order) or a zap.
    const uint32_t beforeCount = before.LiveCount(), afterCount = after.LiveCount();
    if (afterCount == 0 && beforeCount > 0) {
      out.State = "emptied";
      WalkAll(w, TPreviewChange::Deleted);
    } else if (!out.Columns.empty()) {
      out.State = "restructured";
      WalkByPosition(w, false);
    } else if (beforeCount == afterCount && WalkByPosition(w, true) == 0) {
      out.State = "packed";
      const uint64_t slotsBefore = SlotCount(beforeAdt), slotsAfter = SlotCount(afterAdt);
      out.Deleted = slotsBefore > slotsAfter ? slotsBefore - slotsAfter : 0;
    } else {
      // Emptied and filled again: the old records all go, the new all come.
      out.State = beforeCount == 0 ? "changed" : "emptied";
      WalkAll(w, TPreviewChange::Deleted);
      WalkAll(w, TPreviewChange::Added);
    }
  }
  if (!w.Error.empty()) out.State += " (cannot be read: " + w.Error + ")";
  return out;
}

std::vector<TPreviewTable> DiffSavedTables(const TRunManifest& manifest, const std::string& savedFolder,
                                           const std::string& root, const std::string& password) {
  std::vector<TPreviewTable> tables;
  for (const TSavedTable& t : manifest.Tables) {
    const std::string now = NormalPath(root) + "/" + t.Path;
    std::error_code ec;
    const bool present = std::filesystem::is_regular_file(now, ec);
    const std::string before = t.Existed ? savedFolder + "/" + std::to_string(t.Number) + ".adt" : "";
    tables.push_back(DiffTable(t.Path, before, present ? now : "", password));
  }
  for (const TSavedDictionary& d : manifest.Dictionaries) {
    TPreviewTable table;
    table.Table = d.Path;
    std::error_code ec;
    const bool present = std::filesystem::is_regular_file(NormalPath(root) + "/" + d.Path, ec);
    table.State = !d.Existed ? "created" : present ? "changed" : "dropped";
    tables.push_back(table);
  }
  return tables;
}

// ---- output ----

namespace {

const char* ChangeName(TPreviewChange change) {
  switch (change) {
    case TPreviewChange::Added: return "added";
    case TPreviewChange::Deleted: return "deleted";
    case TPreviewChange::Changed: return "changed";
  }
  return "changed";
}

void CsvLine(std::ostream& out, std::initializer_list<std::string> values) {
  bool first = true;
  for (const std::string& v : values) {
    if (!first) out << ',';
    out << CsvField(v);
    first = false;
  }
  out << "\r\n";
}

}  // namespace

void PrintPreview(const TPreviewResult& preview, std::ostream& out) { PrintPreview(preview, out, true); }

void PrintPreview(const TPreviewResult& preview, std::ostream& out, bool withBoxesAndLog) {
  out << "Preview of task " << preview.Task << " \"" << preview.Caption << "\" for company " << preview.Company
      << " (nothing was changed)\n";
  out << "Outcome: " << preview.Outcome << (preview.Error.empty() ? "" : ": " + preview.Error) << "\n";
  if (preview.Tables.empty()) out << "No table would change.\n";
  for (const TPreviewTable& t : preview.Tables) {
    out << t.Table << ": " << t.State << " (+" << t.Added << " ~" << t.Changed << " -" << t.Deleted;
    if (!t.CutRecords.empty()) out << ", " << t.CutRecords.size() << " cut";
    out << ")\n";
    for (const TPreviewColumn& c : t.Columns) {
      out << "  column " << c.Name << " " << c.Change << ": ";
      if (c.Before.empty()) out << c.After;
      else if (c.After.empty()) out << c.Before;
      else out << c.Before << " \xE2\x86\x92 " << c.After;
      out << "\n";
    }
    for (const TPreviewRecord& r : t.Records) {
      out << "  " << ChangeName(r.Change) << " #" << r.RecordNumber << (r.Key.empty() ? "" : " " + r.Key) << ":";
      const char* sep = " ";
      for (const TPreviewField& f : r.Fields) {
        out << sep << f.Name << ": ";
        if (r.Change == TPreviewChange::Changed) out << f.Before << " \xE2\x86\x92 " << f.After;
        else out << (r.Change == TPreviewChange::Added ? f.After : f.Before);
        sep = "; ";
      }
      out << "\n";
    }
  }
  if (!withBoxesAndLog) return;
  for (const TPreviewBox& b : preview.Boxes)
    out << "[" << b.Kind << "] " << b.Text << (b.Answer.empty() ? "" : " -> " + b.Answer) << "\n";
  for (const std::string& line : preview.Log) out << line << "\n";
}

void PrintPreviewCsv(const TPreviewResult& preview, std::ostream& out) {
  CsvLine(out, {"table", "change", "record", "key", "field", "before", "after"});
  for (const TPreviewTable& t : preview.Tables) {
    CsvLine(out, {t.Table, t.State, "", "", "", "", ""});
    for (const TPreviewColumn& c : t.Columns) CsvLine(out, {t.Table, "column " + c.Change, "", "", c.Name, c.Before, c.After});
    for (const TPreviewRecord& r : t.Records)
      for (const TPreviewField& f : r.Fields)
        CsvLine(out, {t.Table, ChangeName(r.Change), std::to_string(r.RecordNumber), r.Key, f.Name, f.Before, f.After});
  }
  for (const TPreviewBox& b : preview.Boxes) CsvLine(out, {"", b.Kind, "", "", "", b.Text, b.Answer});
}

// ---- the preview's folder ----

namespace {

constexpr const char* kPreviewPrefix = ".preview-";

bool ProcessAlive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// Copies a folder's tree (links followed), cloning files.
bool CopyTree(const std::filesystem::path& from, const std::filesystem::path& to) {
  bool cloned = true;
  std::filesystem::create_directories(to);
  for (const auto& entry : std::filesystem::directory_iterator(from)) {
    const std::filesystem::path target = to / entry.path().filename();
    if (entry.is_directory()) cloned = CopyTree(entry.path(), target) && cloned;
    else if (entry.is_regular_file()) cloned = CopyFileCloning(entry.path().string(), target.string()) == TCopyWay::Clone && cloned;
  }
  return cloned;
}

}  // namespace

void RemoveStalePreviews(const std::string& baseDir) {
  const std::string backups = BackupsFolder(baseDir);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(backups, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kPreviewPrefix, 0) != 0) continue;
    const long pid = std::atol(name.c_str() + std::strlen(kPreviewPrefix));
    if (pid == static_cast<long>(::getpid()) || !ProcessAlive(pid)) RemoveTree(it->path().string());
  }
}

TPreviewCopy::TPreviewCopy(const std::string& baseDir) : base_(NormalPath(baseDir)) {
  RemoveStalePreviews(base_);
  const std::string backups = BackupsFolder(base_);
  std::error_code ec;
  if (!std::filesystem::is_directory(backups, ec)) {
    if (::mkdir(backups.c_str(), 0755) == 0)
      madeBackups_ = true;
    else if (errno != EEXIST)
      throw ERunError("Cannot make the preview's folder under " + backups + ": " + std::strerror(errno));
  }
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  folder_ = backups + "/" + kPreviewPrefix + std::to_string(::getpid()) + "-" +
            std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  root_ = folder_ + "/data";
  saved_ = folder_ + "/saved";
  if (::mkdir(folder_.c_str(), 0700) != 0 || ::mkdir(root_.c_str(), 0755) != 0) {
    const int err = errno;
    RemoveTree(folder_);
    if (madeBackups_) ::rmdir(backups.c_str());
    throw ERunError("Cannot make the preview's folder " + folder_ + ": " + std::strerror(err));
  }
}

TPreviewCopy::~TPreviewCopy() {
  RemoveTree(folder_);
  if (madeBackups_) ::rmdir(BackupsFolder(base_).c_str());
}

std::string TPreviewCopy::CopyOf(const std::string& companyPath) {
  const std::string path = NormalPath(companyPath);
  const std::string companies = base_ + "/company/";
  if (path.compare(0, companies.size(), companies) != 0 || path.size() == companies.size())
    throw ERunError("A preview copies company databases only, not " + companyPath);
  const std::string relative = path.substr(base_.size() + 1);
  const std::string folder = relative.substr(0, relative.find('/', companies.size() - base_.size() - 1));
  bool known = false;
  for (const std::string& c : copied_) known = known || c == folder;
  std::error_code ec;
  if (!known && std::filesystem::is_directory(base_ + "/" + folder, ec)) {
    try {
      allCloned_ = CopyTree(base_ + "/" + folder, root_ + "/" + folder) && allCloned_;
    } catch (const std::exception& error) {
      throw ERunError("Cannot copy " + folder + " for the preview: " + error.what());
    }
    copied_.push_back(folder);
  }
  return root_ + "/" + relative;
}

}  // namespace dbu
