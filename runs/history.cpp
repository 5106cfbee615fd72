#include "history.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "backup.h"
#include "engine.h"
#include "csv.h"
#include "runerror.h"

namespace dbu {

namespace {

// Field order of the table; the numbers are the engine's (from 1).
const char* const kFieldDefs =
    "STARTED,Char,19;ENDED,Char,19;OSUSER,Char,32;HOST,Char,64;COMPANY,Char,20;TASK,Char,3;"
    "CAPTION,Char,120;OUTCOME,Char,20;ERRTEXT,Memo;COUNTS,Memo;LOGLINES,Memo;BACKUP,Char,80";

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

class THistoryTable {
 public:
  THistoryTable(const std::string& baseDir, bool create) : path_(NormalPath(baseDir) + "/" + kHistoryTable + ".adt") {
    if (EngConnect(NormalPath(baseDir).c_str(), &conn_) != ENG_OK) Fail("cannot be reached");
    if (std::filesystem::exists(path_)) {
      if (EngOpenTable(conn_, kHistoryTable, nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                       ENG_IGNORE_RIGHTS, 0, &table_) != ENG_OK)
        Fail("cannot be opened");
    } else if (create) {
      if (EngCreateTable(conn_, kHistoryTable, kFieldDefs, 0, &table_) != ENG_OK) Fail("cannot be made");
    }
  }
  ~THistoryTable() {
    if (table_) EngCloseTable(table_);
    if (conn_) EngDisconnect(conn_);
  }
  THistoryTable(const THistoryTable&) = delete;
  THistoryTable& operator=(const THistoryTable&) = delete;

  bool Exists() const { return table_ != 0; }
  ENGHANDLE Handle() const { return table_; }
  [[noreturn]] void Fail(const std::string& what) const {
    throw ERunError("The run history " + path_ + " " + what + ": " + EngineErrorText());
  }
  void Set(uint16_t field, const std::string& value) {
    if (EngSetField(table_, field, reinterpret_cast<const uint8_t*>(value.data()),
                    static_cast<uint32_t>(value.size())) != ENG_OK)
      Fail("cannot take a value");
  }
  std::string Get(uint16_t field) {
    std::vector<uint8_t> buffer(4096);
    uint32_t len = static_cast<uint32_t>(buffer.size());
    ENGRESULT rc = EngGetField(table_, field, buffer.data(), &len);
    if (rc != ENG_OK && len > buffer.size()) {
      buffer.resize(len + 1);
      len = static_cast<uint32_t>(buffer.size());
      rc = EngGetField(table_, field, buffer.data(), &len);
    }
    if (rc != ENG_OK) Fail("cannot be read");
    return Trimmed(std::string(reinterpret_cast<char*>(buffer.data()), len));
  }

 private:
  std::string path_;
  ENGHANDLE conn_ = 0, table_ = 0;
};

std::string OneLine(const std::string& text) {
  std::string out = text;
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

}  // namespace

void AppendHistory(const std::string& baseDir, const THistoryRecord& r) {
  THistoryTable t(baseDir, true);
  if (EngAppendRecord(t.Handle()) != ENG_OK) t.Fail("cannot take a record");
  const std::string values[] = {r.Started, r.Ended,   r.User,   r.Host, r.Company, std::to_string(r.Task),
                                r.Caption, r.Outcome, r.Error,  r.Counts, r.Log,   r.Backup};
  for (uint16_t f = 0; f < 12; ++f) t.Set(f + 1, values[f]);
  if (EngWriteRecord(t.Handle()) != ENG_OK) t.Fail("cannot take a record");
}

std::vector<THistoryRecord> ReadHistory(const std::string& baseDir) {
  std::vector<THistoryRecord> out;
  THistoryTable t(baseDir, false);
  if (!t.Exists()) return out;
  uint16_t eof = 0;
  for (EngGotoTop(t.Handle()); EngAtEOF(t.Handle(), &eof) == ENG_OK && !eof; EngSkip(t.Handle(), 1)) {
    THistoryRecord r;
    r.Started = t.Get(1);
    r.Ended = t.Get(2);
    r.User = t.Get(3);
    r.Host = t.Get(4);
    r.Company = t.Get(5);
    r.Task = std::atoi(t.Get(6).c_str());
    r.Caption = t.Get(7);
    r.Outcome = t.Get(8);
    r.Error = t.Get(9);
    r.Counts = t.Get(10);
    r.Log = t.Get(11);
    r.Backup = t.Get(12);
    out.push_back(r);
  }
  return out;
}

std::string FormatHistory(const std::vector<THistoryRecord>& records, const std::string& company, bool csv) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"Started", "Ended", "User", "Host", "Company", "Task", "Caption", "Outcome", "Changes", "Backup",
                  "Error"});
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    if (!company.empty() && it->Company != company) continue;
    // One table per line in the table; "; " between them here.
    std::string counts;
    std::istringstream lines(it->Counts);
    for (std::string line; std::getline(lines, line);)
      if (!line.empty()) counts += (counts.empty() ? "" : "; ") + line;
    rows.push_back({it->Started, it->Ended, it->User, it->Host, it->Company, std::to_string(it->Task), it->Caption,
                    it->Outcome, counts, it->Backup, csv ? it->Error : OneLine(it->Error)});
  }
  std::ostringstream out;
  if (csv) {
    for (const auto& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) out << (i ? "," : "") << CsvField(row[i]);
      out << "\n";
    }
    return out.str();
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out << Trimmed(line) << "\n";
  }
  return out.str();
}

}  // namespace dbu
