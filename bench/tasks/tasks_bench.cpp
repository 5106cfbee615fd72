// Tasks 0, 2, 3, 4, 5, 6, 29, 30 and 14 run through the window's logic on a
// generated large company, and the same work done with SQLite over the same
// rows: the corrections as set-based SQL statements (one transaction per
// task), and the same output, made the same way. Task 3 writes its debug
// file line by line through the same routine (opened, appended to and
// closed per line), tasks 5, 6, 29 and 30 append the same log lines to the
// same kind of log pane. Both sides use the settings of bench_support.h
// (SQLite memory-mapped, a 512 MB cache, no sync to disk; the engine never
// syncs either).
//
// After each task both sides must hold the same result: the same log lines
// and debug file, and the same rows, in order, of every table the task
// touches (a digest of their values). A difference stops the bench with a
// non-zero exit. Prints milliseconds per task for both, processor and
// wall-clock time, and "ratio task<N> <ours/sqlite>" of processor time.
// Each run is also recorded as every run of the window is (its tables saved
// before their first write, a line of history with the records changed);
// SQLite's side has nothing like it, so that processor time is printed on
// its own line ("run record") and left out of ours and of the ratio.
//
// The company: 50,000 employees (and as many supervisor setup and claim
// setup records), 200,000 leave applications of five leave days each (none
// across the turn of a year), so 1,000,000 leave details, of which one in
// ten carries a wrong leave year, and 500,000 claims. Tasks 29 and 30 run
// before task 14, whose idea of the right year differs from theirs, so that
// they correct about that tenth.
//
// Usage: bench_tasks [scale]        scale multiplies every count (default 1)
//        bench_tasks --scale N      runs at scale 1 and at scale N, each in
//                                   a process of its own, prints each task's
//                                   processor time per record at both, and
//                                   flags a task whose cost per record grows
//                                   by more than 30 %; also the peak resident
//                                   memory while the tasks ran
// BENCH_TASKS=29,30 runs only the tasks listed, in that order.
// BENCH_PREVIEW=1 first times the save a run makes before its first write
// to the company's largest table against a plain copy of that table's
// files (and tells whether the save was a clone), and before task 14 runs
// times its preview against the task's own run plus a plain copy of the
// company's folder ("ratio preview14", target at most 1.5).
// BENCH_PERF_CTL=FIFO writes "enable" to that perf control fifo as each of
// our tasks starts and "disable" as it ends, so that `perf record -D -1
// --control fifo:FIFO` profiles only our side of the tasks.
#include <sqlite3.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "appfiles.h"
#include "backup.h"
#include "bench_support.h"
#include "engine.h"
#include "dbtable.h"
#include "silent_ui.h"
#include "unit1logic.h"

namespace {

using bench::Check;
using bench::Clock;
using bench::CpuSeconds;
using bench::Seconds;
using bench::Sql;
using bench::TSilentUI;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "check failed: %s\n", what.c_str());
  std::exit(1);
}

// ---- dates ----

// A calendar day counted from 01/01/2003 (the data spans 2003 to 2006).
struct Day {
  int year, month, dom;
};
Day DayOf(long offset) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  Day d{2003, 1, 1};
  for (;;) {
    int len = d.year % 4 == 0 ? 366 : 365;
    if (offset < len) break;
    offset -= len;
    ++d.year;
  }
  for (;;) {
    int len = kDays[d.month - 1] + (d.month == 2 && d.year % 4 == 0 ? 1 : 0);
    if (offset < len) break;
    offset -= len;
    ++d.month;
  }
  d.dom = static_cast<int>(offset) + 1;
  return d;
}
std::string Iso(const Day& d) {  // yyyy-mm-dd: how both sides are given dates
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.dom);
  return text;
}
constexpr long kSpanDays = 4 * 365 + 1 - 6;  // start days leave room for five leave days

// Julian day number of a civil date (days from civil, shifted to the
// engine's day numbers).
int32_t Julian(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int>(doe) - 719468 + 2440588;
}
int32_t JulianOfIso(const std::string& iso) {
  return Julian(std::atoi(iso.c_str()), std::atoi(iso.c_str() + 5), std::atoi(iso.c_str() + 8));
}
// "yyyy-mm-dd" as "dd/mm/yyyy", the program's date format.
std::string DmyOfIso(std::string_view iso) {
  std::string dmy = "dd/mm/yyyy";
  if (iso.size() < 10) return std::string();
  std::memcpy(&dmy[0], iso.data() + 8, 2);
  std::memcpy(&dmy[3], iso.data() + 5, 2);
  std::memcpy(&dmy[6], iso.data(), 4);
  return dmy;
}
std::string IsoOfDateTime(dbu::DateTime value) {  // "" for the empty date
  if (value == 0) return std::string();
  const long days = static_cast<long>(value) - 25569;  // from 1970-01-01
  // civil from days
  const long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  const long y = static_cast<long>(yoe) + era * 400 + (m <= 2);
  char text[40];
  std::snprintf(text, sizeof text, "%04ld-%02u-%02u", y, m, d);
  return text;
}

// ---- the company, written to both sides row by row ----

// A column: 'c' text, 'd' date, 'i' integer, 'l' logical. Values are given
// in one form for both sides: text, "yyyy-mm-dd", decimal, "1"/"0"; "" is
// an empty field (NULL in SQLite).
struct Column {
  const char* name;
  char kind;
  int length;  // of text columns
};
struct TableLayout {
  const char* name;
  std::vector<Column> columns;
  std::vector<std::pair<const char*, const char*>> tags;  // engine tags (tag, fields)
  std::vector<const char*> sqlIndexes;                     // CREATE INDEX statements
};

const TableLayout kMedsch{"MEDSCH", {{"CLAIMTYPE", 'c', 10}, {"NAME", 'c', 20}}, {}, {}};
const TableLayout kSetup{"SETUP", {{"CAT", 'c', 10}, {"SUPERVISOR", 'c', 10}}, {}, {}};
const TableLayout kEmployee{"EMPLOYEE",
                          {{"EMP_NO", 'c', 10},
                           {"EMP_NAME", 'c', 30},
                           {"SUPERVISOR_CODE2", 'c', 10},
                           {"SUPERVISOR_CODE3", 'c', 10},
                           {"STIN", 'c', 10},
                           {"STIN2", 'c', 10}},
                          {},
                          {"CREATE UNIQUE INDEX employee_no ON employee(emp_no)"}};
const TableLayout kMedical{"MEDICAL",
                         {{"EMPCODE", 'c', 10},
                          {"MEDICAL_DATE", 'd', 0},
                          {"VISIT_DATE", 'd', 0},
                          {"CLAIM_APPROVED", 'l', 0},
                          {"APPROVED_DATE", 'd', 0},
                          {"PERIOD_TO_TRANSFER", 'c', 6},
                          {"CYCLE", 'c', 1},
                          {"DATE_SERIALNUM", 'i', 0}},
                         {},
                         {}};
const TableLayout kLeavTrx{"LEAV_TRX",
                         {{"LEAVE_CODE", 'c', 10},
                          {"EMPCODE", 'c', 10},
                          {"DATE", 'd', 0},
                          {"ID", 'i', 0},
                          {"YEAR", 'i', 0},
                          {"MONTH", 'i', 0}},
                         {{"LTX", "LEAVE_CODE;EMPCODE;DATE;ID"}},
                         {"CREATE INDEX ltx ON leav_trx(leave_code, empcode, date, id)",
                          "CREATE INDEX ltid ON leav_trx(id)"}};
const TableLayout kEmpLeave{"EMPLEAVE",
                          {{"EMPCODE", 'c', 10},
                           {"START_DATE", 'd', 0},
                           {"LEAVE_CODE", 'c', 10},
                           {"ID", 'i', 0},
                           {"END_DATE", 'd', 0},
                           {"PERIOD", 'c', 4}},
                          {{"EMPCODE", "EMPCODE;START_DATE;LEAVE_CODE;ID"}},
                          {"CREATE INDEX empcode ON empleave(empcode, start_date, leave_code, id)"}};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One table being filled on both sides.
class TableWriter {
 public:
  TableWriter(const TableLayout& layout, ENGHANDLE conn, sqlite3* db) : layout_(layout), db_(db) {
    std::string defs, create = "CREATE TABLE " + Lower(layout.name) + "(", insert = "INSERT INTO " + Lower(layout.name) + " VALUES(";
    for (size_t i = 0; i < layout.columns.size(); ++i) {
      const Column& c = layout.columns[i];
      if (i) defs += ";", create += ", ", insert += ",";
      defs += c.name;
      switch (c.kind) {
        case 'c': defs += ",Char," + std::to_string(c.length); break;
        case 'd': defs += ",Date"; break;
        case 'i': defs += ",Integer"; break;
        case 'l': defs += ",Logical"; break;
      }
      create += Lower(c.name) + (c.kind == 'c' || c.kind == 'd' ? " TEXT" : " INT");
      insert += "?";
    }
    Check(EngCreateTable(conn, layout.name, defs.c_str(), ENG_OPEN_EXCLUSIVE, &table_), layout.name);
    Sql(db, (create + ")").c_str());
    insert_ = bench::Prepare(db, (insert + ")").c_str());
  }
  void Row(const std::vector<std::string>& values) {
    Check(EngAppendRecord(table_), "append");
    for (size_t i = 0; i < values.size(); ++i) {
      const std::string& v = values[i];
      const auto field = static_cast<uint16_t>(i + 1);
      const int column = static_cast<int>(i + 1);
      if (v.empty()) {
        sqlite3_bind_null(insert_, column);
        continue;
      }
      switch (layout_.columns[i].kind) {
        case 'c':
          Check(EngSetField(table_, field, reinterpret_cast<const uint8_t*>(v.data()), static_cast<uint32_t>(v.size())),
                "set text");
          sqlite3_bind_text(insert_, column, v.c_str(), -1, SQLITE_STATIC);
          break;
        case 'd': {
          const int32_t julian = JulianOfIso(v);
          Check(EngSetFieldRaw(table_, field, reinterpret_cast<const uint8_t*>(&julian), 4), "set date");
          sqlite3_bind_text(insert_, column, v.c_str(), -1, SQLITE_STATIC);
          break;
        }
        case 'i': {
          const int32_t n = std::atoi(v.c_str());
          Check(EngSetFieldRaw(table_, field, reinterpret_cast<const uint8_t*>(&n), 4), "set integer");
          sqlite3_bind_int(insert_, column, n);
          break;
        }
        case 'l': {
          const uint8_t b = v == "1" ? 'T' : 'F';
          Check(EngSetFieldRaw(table_, field, &b, 1), "set logical");
          sqlite3_bind_int(insert_, column, v == "1");
          break;
        }
      }
    }
    Check(EngWriteRecord(table_), "write");
    if (sqlite3_step(insert_) != SQLITE_DONE) Fail(std::string("sqlite insert: ") + sqlite3_errmsg(db_));
    sqlite3_reset(insert_);
  }
  ~TableWriter() {
    for (const auto& [tag, fields] : layout_.tags) Check(EngCreateIndex(table_, tag, fields, 0, 0, nullptr), tag);
    for (const char* index : layout_.sqlIndexes) Sql(db_, index);
    Check(EngCloseTable(table_), "close");
    sqlite3_finalize(insert_);
  }

 private:
  const TableLayout& layout_;
  sqlite3* db_;
  ENGHANDLE table_ = 0;
  sqlite3_stmt* insert_ = nullptr;
};

struct Counts {
  long employees, applications, details, claims, wrongYears = 0;
};

Counts Generate(double scale, const std::string& base, sqlite3* db) {
  auto count = [scale](long n) { return std::max(1L, static_cast<long>(n * scale)); };
  Counts n{count(50000), count(200000), 0, count(500000)};
  std::filesystem::create_directories(base + "company/BIG");
  ENGHANDLE conn = 0;
  Check(EngConnect(base.c_str(), &conn), "connect");
  {
    ENGHANDLE t = 0;
    Check(EngCreateTable(conn, "mcompany", "COMPANY_CODE,Char,8", ENG_OPEN_EXCLUSIVE, &t), "mcompany");
    Check(EngAppendRecord(t), "append");
    Check(EngSetField(t, 1, reinterpret_cast<const uint8_t*>("BIG"), 3), "set");
    Check(EngWriteRecord(t), "write");
    Check(EngCloseTable(t), "close");
  }
  Check(EngDisconnect(conn), "disconnect");
  Check(EngConnect((base + "company/BIG").c_str(), &conn), "connect");
  Sql(db, "BEGIN");
  auto emp = [](long i) { return "E" + std::to_string(i); };
  {
    TableWriter medsch(kMedsch, conn, db), setup(kSetup, conn, db), employee(kEmployee, conn, db);
    for (long i = 0; i < n.employees; ++i) {
      // One claim setup and one supervisor setup record in ten has no type.
      const std::string type = i % 10 ? "T" + std::to_string(i % 7) : "";
      medsch.Row({type, "n" + std::to_string(i)});
      setup.Row({type, "s"});
      employee.Row({"P" + std::to_string(i), "Name " + std::to_string(i), "a", "b", "c", "d"});
    }
  }
  {
    TableWriter medical(kMedical, conn, db);
    for (long i = 0; i < n.claims; ++i) {
      const Day d = DayOf(i * 7 % kSpanDays), v = DayOf((i * 7 + 3) % kSpanDays);
      const bool visited = i % 3 != 0, approved = i % 2 == 0;
      medical.Row({emp(i % n.employees), Iso(d), visited ? Iso(v) : "", approved ? "1" : "0", Iso(d), "", "",
                   std::to_string(i)});
    }
  }
  {
    TableWriter leavTrx(kLeavTrx, conn, db), empLeave(kEmpLeave, conn, db);
    const long detailsPerApplication = 5;
    for (long a = 0; a < n.applications; ++a) {
      // Applications stay within one year: tasks 29 and 30 give an
      // application the leave year of the day they correct.
      long start = a * 7919 % kSpanDays;
      while (DayOf(start).year != DayOf(start + detailsPerApplication - 1).year) --start;
      const std::string code = a % 3 ? "ANNU" : "SL", e = emp(a % n.employees), id = std::to_string(a);
      const Day first = DayOf(start), last = DayOf(start + detailsPerApplication - 1);
      const int period = first.year == 2004 || first.year == 2005 ? first.year + 1 : first.year;
      empLeave.Row({e, Iso(first), code, id, Iso(last), std::to_string(period)});
      for (long k = 0; k < detailsPerApplication; ++k, ++n.details) {
        const Day d = DayOf(start + k);
        // Days of 2004 and 2005 count toward the following leave year; one
        // detail in ten is two years off.
        int year = d.year == 2004 || d.year == 2005 ? d.year + 1 : d.year;
        if (n.details % 10 == 0) {
          year += 2;
          ++n.wrongYears;
        }
        leavTrx.Row({code, e, Iso(d), id, std::to_string(year), std::to_string(d.month)});
      }
    }
  }
  Sql(db, "COMMIT");
  Sql(db, "ANALYZE");
  Check(EngDisconnect(conn), "disconnect");
  return n;
}

// ---- the tasks on SQLite's side ----

// Runs a statement, handing each row to row().
void Each(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
  sqlite3_stmt* st = bench::Prepare(db, sql);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
  if (rc != SQLITE_DONE) Fail(std::string(sql) + ": " + sqlite3_errmsg(db));
  sqlite3_finalize(st);
}
std::string_view Text(sqlite3_stmt* st, int column) {
  const unsigned char* text = sqlite3_column_text(st, column);
  return text ? std::string_view(reinterpret_cast<const char*>(text), sqlite3_column_bytes(st, column))
              : std::string_view();
}

// The work of a task with SQLite: its correction and its output.
void SqliteTask(int task, sqlite3* db, dbu::TUserInterface& pane, const std::string& debugFile) {
  switch (task) {
    case 0:
      Sql(db, "DELETE FROM medsch WHERE claimtype IS NULL OR claimtype = ''");
      break;
    case 2:
      Sql(db,
          "UPDATE medical SET period_to_transfer = '200601', cycle = 'E' WHERE claim_approved = 1"
          " AND approved_date BETWEEN '2005-12-06' AND '2006-01-05'");
      break;
    case 3: {
      // A debug line per swapped claim, with its claim date before the swap
      // (the new visit date), written as the task writes it.
      std::string line;
      Each(db,
           "UPDATE medical SET medical_date = visit_date, visit_date = medical_date WHERE visit_date IS NOT NULL"
           " RETURNING empcode, visit_date, date_serialnum",
           [&](sqlite3_stmt* st) {
             line.assign(Text(st, 0));
             line += '*';
             line += DmyOfIso(Text(st, 1));
             line += '*';
             line += Text(st, 2);
             dbu::AppendLineToFile(debugFile, line);
           });
      break;
    }
    case 4:
      Sql(db, "DELETE FROM setup WHERE cat IS NULL OR cat = ''");
      break;
    case 5:
      Each(db,
           "SELECT empcode, date FROM leav_trx WHERE date >= '2004-01-01' AND leave_code <> 'ANNU' AND NOT"
           " (year = CAST(strftime('%Y', date) AS INT) + 1 AND month = CAST(strftime('%m', date) AS INT))",
           [&](sqlite3_stmt* st) {
             pane.AppendLogLine("Emp No: " + std::string(Text(st, 0)) + "  date: " + DmyOfIso(Text(st, 1)));
           });
      break;
    case 6:
      Each(db,
           "UPDATE employee SET supervisor_code2 = supervisor_code3, supervisor_code3 = stin2, stin2 = stin,"
           " stin = supervisor_code2 RETURNING emp_no, emp_name",
           [&](sqlite3_stmt* st) {
             pane.AppendLogLine("Emp No: " + std::string(Text(st, 0)) + "  Name: " + std::string(Text(st, 1)));
           });
      break;
    case 29:
    case 30: {
      // A log line per leave detail corrected, in the order of the walk.
      const std::string wrong =
          task == 29 ? "date BETWEEN '2004-01-01' AND '2005-12-31' AND year <> CAST(strftime('%Y', date) AS INT) + 1"
                     : "date >= '2006-01-01' AND year <> CAST(strftime('%Y', date) AS INT)";
      const std::string right = task == 29 ? "CAST(strftime('%Y', date) AS INT) + 1" : "CAST(strftime('%Y', date) AS INT)";
      Each(db, ("SELECT empcode FROM leav_trx WHERE " + wrong + " ORDER BY leave_code, empcode, date, id").c_str(),
           [&](sqlite3_stmt* st) { pane.AppendLogLine("Process - " + std::string(Text(st, 0))); });
      Sql(db, (std::string("UPDATE empleave SET period = ") +
               (task == 29 ? "CAST(strftime('%Y', start_date) AS INT) + 1" : "substr(start_date, 1, 4)") +
               " WHERE id IN (SELECT id FROM leav_trx WHERE " + wrong + ")")
                  .c_str());
      Sql(db, ("UPDATE leav_trx SET year = " + right + " WHERE " + wrong).c_str());
      break;
    }
    case 14:
      Sql(db,
          "UPDATE leav_trx SET year = CAST(strftime('%Y', date) AS INT) WHERE leave_code = 'ANNU'"
          " AND year <> CAST(strftime('%Y', date) AS INT)");
      break;
    default:
      Fail("no SQLite form of task " + std::to_string(task));
  }
}

// The tables each task may change.
std::vector<const TableLayout*> TablesOf(int task) {
  switch (task) {
    case 0: return {&kMedsch};
    case 2:
    case 3: return {&kMedical};
    case 4: return {&kSetup};
    case 6: return {&kEmployee};
    case 29:
    case 30:
    case 14: return {&kLeavTrx, &kEmpLeave};
    default: return {};
  }
}

// ---- checks ----

// FNV-1a over the rows in natural order, each value in the common form.
struct Digest {
  uint64_t hash = 1469598103934665603ull;
  long rows = 0;
  void Add(std::string_view value) {
    for (unsigned char c : value) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0x1f) * 1099511628211ull;
  }
  bool operator==(const Digest& o) const { return hash == o.hash && rows == o.rows; }
};

Digest OurDigest(const std::string& folder, const TableLayout& layout) {
  dbu::TDbTable t;
  t.SetName("Digest");
  t.SetDatabaseName(folder);
  t.SetTableName(layout.name);
  t.Open();
  Digest d;
  std::vector<dbu::TField*> fields;
  for (const Column& c : layout.columns) fields.push_back(&t.FieldByName(c.name));
  for (; !t.Eof(); t.Next(), ++d.rows) {
    for (size_t i = 0; i < fields.size(); ++i) {
      switch (layout.columns[i].kind) {
        case 'c': {
          std::string_view v = fields[i]->AsStringView();
          while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
          d.Add(v);
          break;
        }
        case 'd': d.Add(IsoOfDateTime(fields[i]->AsDateTime())); break;
        case 'i': d.Add(fields[i]->IsNull() ? std::string() : std::to_string(fields[i]->AsInteger())); break;
        case 'l': d.Add(fields[i]->AsBoolean() ? "1" : "0"); break;
      }
    }
  }
  t.Close();
  return d;
}

Digest SqliteDigest(sqlite3* db, const TableLayout& layout) {
  std::string select = "SELECT ";
  for (size_t i = 0; i < layout.columns.size(); ++i) select += (i ? ", " : "") + Lower(layout.columns[i].name);
  Digest d;
  Each(db, (select + " FROM " + Lower(layout.name) + " ORDER BY rowid").c_str(), [&](sqlite3_stmt* st) {
    for (int i = 0; i < static_cast<int>(layout.columns.size()); ++i) d.Add(Text(st, i));
    ++d.rows;
  });
  return d;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void CheckSame(int task, const std::vector<std::string>& ours, const std::vector<std::string>& theirs,
               const char* what) {
  if (ours == theirs) return;
  size_t i = 0;
  while (i < ours.size() && i < theirs.size() && ours[i] == theirs[i]) ++i;
  Fail("task " + std::to_string(task) + ": " + what + " differ at line " + std::to_string(i + 1) + " of " +
       std::to_string(ours.size()) + "/" + std::to_string(theirs.size()) + ": '" +
       (i < ours.size() ? ours[i] : "") + "' against '" + (i < theirs.size() ? theirs[i] : "") + "'");
}

// ---- one run ----

struct TaskTime {
  int task;
  double ours, sqlite;  // processor seconds
  long records;         // records of the table the task walks
  double grew, anonGrew;  // MiB: resident memory our side added at its peak; anonymous memory it kept
};

long RecordsOf(int task, const Counts& n) {
  switch (task) {
    case 0:
    case 4:
    case 6: return n.employees;
    case 2:
    case 3: return n.claims;
    default: return n.details;
  }
}

// Peak resident memory since the last reset, in MiB (VmHWM), and the
// anonymous and file-backed parts of what is resident now.
struct Memory {
  double peak = 0, anon = 0, file = 0, now = 0;
};
Memory ReadMemory() {
  Memory m;
  std::ifstream status("/proc/self/status");
  std::string key;
  double kb = 0;
  while (status >> key) {
    if (key == "VmHWM:" && status >> kb) m.peak = kb / 1024;
    if (key == "RssAnon:" && status >> kb) m.anon = kb / 1024;
    if (key == "RssFile:" && status >> kb) m.file = kb / 1024;
    if (key == "VmRSS:" && status >> kb) m.now = kb / 1024;
  }
  return m;
}
void ResetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::vector<int> TasksToRun() {
  std::vector<int> tasks = {0, 2, 3, 4, 5, 6, 29, 30, 14};
  if (const char* only = std::getenv("BENCH_TASKS")) {
    tasks.clear();
    for (const char* p = only; *p;) {
      char* end = nullptr;
      long task = std::strtol(p, &end, 10);
      if (end == p) break;
      tasks.push_back(static_cast<int>(task));
      p = *end == ',' ? end + 1 : end;
    }
  }
  return tasks;
}

// ---- the safe runs' costs (BENCH_PREVIEW) ----

bool PreviewFiguresWanted() { return std::getenv("BENCH_PREVIEW") != nullptr; }

// A plain copy (bytes read and written) of every file in from into to.
double PlainCopySeconds(const std::string& from, const std::string& to) {
  std::filesystem::create_directories(to);
  const Clock::time_point start = Clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(from)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ofstream out(to + "/" + entry.path().filename().string(), std::ios::binary);
    out << in.rdbuf();
  }
  return Seconds(start);
}

// The save before the first write to the company's largest table (the
// backup's own code, as the engine's change hook calls it), against a
// plain copy of the same files.
void SaveFigures(const std::string& base, const std::string& company) {
  std::string largest;
  uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(company)) {
    if (Lower(entry.path().extension().string()) == ".adt" && entry.file_size() > bytes) {
      bytes = entry.file_size();
      largest = entry.path().string();
    }
  }
  const std::string scratch = base + "savebench";
  dbu::TBackupScope scope;
  scope.SaveUnder = base;
  dbu::TRunManifest header;
  header.Id = "save";
  dbu::TRunBackup backup(scope, scratch + "/backups", header);
  backup.OnChange(ENG_CHANGE_TABLE, largest);
  const dbu::TSaveFigure& save = backup.Figures().at(0);
  const dbu::TTableFiles files = dbu::FindTableFiles(largest);
  std::filesystem::create_directories(scratch + "/plain");
  const Clock::time_point start = Clock::now();
  for (const std::string& file : {files.Adt, files.Memo, files.Tags}) {
    if (file.empty()) continue;
    std::ifstream in(file, std::ios::binary);
    std::ofstream out(scratch + "/plain/" + std::filesystem::path(file).filename().string(), std::ios::binary);
    out << in.rdbuf();
  }
  const double plain = Seconds(start);
  std::printf("save before the first write of %s (%.1f MiB with its companions): %.1f ms by %s;"
              " a plain copy of its files %.1f ms\n",
              std::filesystem::path(largest).filename().c_str(), static_cast<double>(save.Bytes) / (1 << 20),
              save.Seconds * 1e3, dbu::CopyWayName(save.Way), plain * 1e3);
  // The table was written moments ago, so a clone first writes its pages
  // back; a company's table at rest has none to write. Time that case too.
  const int folder = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::syncfs(folder);
    ::close(folder);
  }
  header.Id = "save-at-rest";
  dbu::TRunBackup atRest(scope, scratch + "/backups", header);
  atRest.OnChange(ENG_CHANGE_TABLE, largest);
  const dbu::TSaveFigure& rested = atRest.Figures().at(0);
  std::printf("save of the same table at rest (file system synced first): %.1f ms by %s\n", rested.Seconds * 1e3,
              dbu::CopyWayName(rested.Way));
  std::filesystem::remove_all(scratch);
}

std::vector<TaskTime> RunAtScale(double scale, Memory& memory) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bench_tasks." + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  const std::string base = dir.string() + "/", company = base + "company/BIG";
  std::filesystem::create_directories(dir);
  const Clock::time_point made = Clock::now();
  sqlite3* db = nullptr;
  if (sqlite3_open((dir / "big.sqlite").c_str(), &db) != SQLITE_OK) Fail("sqlite open");
  bench::Tune(db);
  const Counts n = Generate(scale, base, db);
  std::printf("scale %g: %ld employees, %ld leave details (%ld two years off), %ld applications, %ld claims;"
              " made in %.1f s\n",
              scale, n.employees, n.details, n.wrongYears, n.applications, n.claims, Seconds(made));

  TSilentUI ui;
  dbu::TForm1Logic form(ui);
  form.SetBaseDirOverride(base);
  if (!form.FormCreate()) Fail("start-up: " + ui.LastMessage);
  ui.SetCompanyText("BIG");
  const std::string debugFile = base + "debug_zozuzezi.txt";
  FILE* perfControl = nullptr;
  if (const char* fifo = std::getenv("BENCH_PERF_CTL")) perfControl = std::fopen(fifo, "w");
  auto tellPerf = [perfControl](const char* command) {
    if (perfControl == nullptr) return;
    std::fputs(command, perfControl);
    std::fflush(perfControl);
  };
  std::vector<TaskTime> times;
  if (PreviewFiguresWanted()) SaveFigures(base, company);
  for (int task : TasksToRun()) {
    // Each task after another leaves MEDSCH's index to the next: start
    // every timed task from the start-up settings.
    form.MEDSCH.Close();
    form.MEDSCH.SetIndexName("");
    ui.SetTaskIndex(task);
    std::filesystem::remove(debugFile);
    double previewWall = 0, copyWall = 0;
    if (task == 14 && PreviewFiguresWanted()) {
      copyWall = PlainCopySeconds(company, base + "plaincopy");
      std::filesystem::remove_all(base + "plaincopy");
      dbu::TPreviewResult preview;
      const Clock::time_point start = Clock::now();
      if (form.PreviewClick(preview) != dbu::TRunEnd::Done) Fail("preview of task 14 failed: " + ui.LastMessage);
      previewWall = Seconds(start);
      uint64_t changed = 0;
      for (const dbu::TPreviewTable& t : preview.Tables) changed += t.Changed;
      std::printf("preview of task 14: %.1f ms wall, %llu records changed in %zu tables\n", previewWall * 1e3,
                  static_cast<unsigned long long>(changed), preview.Tables.size());
      form.MEDSCH.Close();
      form.MEDSCH.SetIndexName("");
    }
    const size_t linesBefore = ui.LineCount();
    const Memory before = ReadMemory();
    ResetPeakMemory();
    tellPerf("enable\n");
    Clock::time_point start = Clock::now();
    double cpu = CpuSeconds();
    const dbu::TRunEnd end = form.Button1Click();
    const double oursWall = Seconds(start), whole = CpuSeconds() - cpu;
    tellPerf("disable\n");
    // Recording the run (the saves before its first writes, the history)
    // has no counterpart on SQLite's side: timed apart.
    const double recording = form.LastRunRecordingSeconds(), ours = whole - recording;
    const Memory after = ReadMemory();
    if (end != dbu::TRunEnd::Done) Fail("task " + std::to_string(task) + " failed: " + ui.LastMessage);
    const std::string oursDebug = FileText(debugFile);
    std::filesystem::remove(debugFile);

    TSilentUI pane;
    const int changedBefore = sqlite3_total_changes(db);
    start = Clock::now();
    cpu = CpuSeconds();
    Sql(db, "BEGIN");
    SqliteTask(task, db, pane, debugFile);
    Sql(db, "COMMIT");
    const double theirsWall = Seconds(start), theirs = CpuSeconds() - cpu;
    const int changed = sqlite3_total_changes(db) - changedBefore;

    // The same output and the same rows on both sides.
    const std::vector<std::string> all = ui.LogLines();
    CheckSame(task, std::vector<std::string>(all.begin() + static_cast<long>(linesBefore), all.end()), pane.LogLines(),
              "log lines");
    const std::string theirDebug = FileText(debugFile);
    if (oursDebug != theirDebug)
      Fail("task " + std::to_string(task) + ": debug files differ (" + std::to_string(oursDebug.size()) + " and " +
           std::to_string(theirDebug.size()) + " bytes)");
    for (const TableLayout* layout : TablesOf(task)) {
      const Digest ours = OurDigest(company, *layout), theirs = SqliteDigest(db, *layout);
      if (!(ours == theirs))
        Fail("task " + std::to_string(task) + ": table " + layout->name + " differs (" + std::to_string(ours.rows) +
             " and " + std::to_string(theirs.rows) + " rows)");
    }
    std::printf("task %2d  processor: ours %9.1f ms sqlite %9.1f ms   wall: ours %9.1f ms sqlite %9.1f ms"
                "   log lines %zu, debug lines %zu, rows changed %d\n",
                task, ours * 1e3, theirs * 1e3, oursWall * 1e3, theirsWall * 1e3, pane.LineCount(),
                static_cast<size_t>(std::count(theirDebug.begin(), theirDebug.end(), '\n')), changed);
    std::printf("task %2d  run record: %.1f ms processor beside ours (saves before first writes, history)\n", task,
                recording * 1e3);
    std::printf("task %2d  memory: ours added %.1f MiB resident at its peak (mapped file pages included),"
                " kept %.1f MiB anonymous\n",
                task, after.peak - before.now, after.anon - before.anon);
    std::printf("ratio task%d %.2f\n", task, theirs > 0 ? ours / theirs : 0.0);
    if (previewWall > 0)
      std::printf("task 14 run %.1f ms + plain copy of the company %.1f ms; ratio preview14 %.2f\n", oursWall * 1e3,
                  copyWall * 1e3, previewWall / (oursWall + copyWall));
    std::fflush(stdout);
    times.push_back({task, ours, theirs, RecordsOf(task, n), after.peak - before.now, after.anon - before.anon});
  }
  memory = ReadMemory();
  memory.peak = 0;
  for (const TaskTime& t : times) memory.peak = std::max(memory.peak, t.grew);
  if (perfControl != nullptr) std::fclose(perfControl);
  form.MEDSCH.Close();
  form.DbTable1.Close();
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
  return times;
}

// Runs one scale in a child process (so that each has its own peak
// memory), handing back its times through a pipe.
std::vector<TaskTime> RunInChild(double scale, Memory& memory) {
  int fds[2];
  if (::pipe(fds) != 0) Fail("pipe");
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    Memory m;
    const std::vector<TaskTime> times = RunAtScale(scale, m);
    std::string out = std::to_string(m.peak) + " " + std::to_string(m.anon) + " " + std::to_string(m.file) + "\n";
    for (const TaskTime& t : times)
      out += std::to_string(t.task) + " " + std::to_string(t.ours) + " " + std::to_string(t.sqlite) + " " +
             std::to_string(t.records) + " " + std::to_string(t.grew) + " " + std::to_string(t.anonGrew) + "\n";
    if (::write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) std::_Exit(1);
    std::fflush(stdout);
    std::_Exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
  std::istringstream in(text);
  in >> memory.peak >> memory.anon >> memory.file;
  std::vector<TaskTime> times;
  TaskTime t{};
  while (in >> t.task >> t.ours >> t.sqlite >> t.records >> t.grew >> t.anonGrew) times.push_back(t);
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--scale") == 0) {
    const double scale = std::atof(argv[2]);
    if (!(scale > 0)) Fail("usage: bench_tasks --scale N (N > 0)");
    Memory small, large;
    const std::vector<TaskTime> one = RunInChild(1, small);
    const std::vector<TaskTime> many = RunInChild(scale, large);
    std::printf("\nprocessor time per record (ours, then SQLite), scale 1 against scale %g\n", scale);
    bool grew = false;
    for (size_t i = 0; i < one.size() && i < many.size(); ++i) {
      const double a = one[i].ours / one[i].records * 1e9, b = many[i].ours / many[i].records * 1e9;
      const double sa = one[i].sqlite / one[i].records * 1e9, sb = many[i].sqlite / many[i].records * 1e9;
      const bool flag = b > a * 1.3;
      grew = grew || flag;
      std::printf("task %2d  ours %8.1f -> %8.1f ns/record (x%.2f)   sqlite %8.1f -> %8.1f ns/record (x%.2f)"
                  "   ours' memory +%.0f -> +%.0f MiB resident, +%.0f -> +%.0f MiB anonymous%s\n",
                  one[i].task, a, b, b / a, sa, sb, sb / sa, one[i].grew, many[i].grew, one[i].anonGrew,
                  many[i].anonGrew, flag ? "   GROWS by more than 30 %" : "");
    }
    std::printf("most resident memory one of our tasks added at its peak: %.0f MiB at scale 1, %.0f MiB at scale %g"
                " (the whole process at the end, both sides: anonymous %.0f / %.0f MiB, mapped files %.0f / %.0f MiB)\n",
                small.peak, large.peak, scale, small.anon, large.anon, small.file, large.file);
    std::printf("cost per record %s\n", grew ? "grows for a task flagged above" : "grows by at most 30 % for every task");
    return 0;
  }
  const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (!(scale > 0)) {
    std::fprintf(stderr, "usage: bench_tasks [scale > 0] | --scale N\n");
    return 2;
  }
  Memory memory;
  RunAtScale(scale, memory);
  std::printf("most resident memory one of our tasks added at its peak: %.0f MiB (the whole process at the end, both"
              " sides: anonymous %.0f MiB, mapped files %.0f MiB)\n",
              memory.peak, memory.anon, memory.file);
  return 0;
}
