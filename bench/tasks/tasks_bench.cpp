// Tasks 0, 2, 3, 4, 5, 6, 29, 30 and 14 run through the window's logic on a
// generated large company, and the same corrections in SQLite as SQL
// statements over the same rows (one transaction each). Prints milliseconds
// per task for both, processor and wall-clock time, and "ratio task<N>
// <ours/sqlite>" of processor time (the machine it runs on is shared, and
// neither side waits for the disk: no fsync on either).
//
// The company: 50,000 employees (and as many supervisor setup and claim
// setup records), 200,000 leave applications of five leave days each, so
// 1,000,000 leave details, of which one in ten carries a wrong leave year,
// and 500,000 claims. Tasks 29 and 30 run before task 14, whose idea of the
// right year differs from theirs, so that they correct about that tenth.
//
// Usage: bench_tasks [scale]   (scale multiplies every count; default 1)
// BENCH_TASKS=29,30 runs only the tasks listed, in that order.
// BENCH_PERF_CTL=FIFO writes "enable" to that perf control fifo once the
// data is made, so that `perf record -D -1 --control fifo:FIFO` profiles
// only the tasks.
#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "demodb.h"
#include "unit1logic.h"
#include "silent_ui.h"

namespace {

using Clock = std::chrono::steady_clock;
using dbu::TDemoScript;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Processor time of this (single-threaded) process, user and system, in
// milliseconds: unlike the wall clock it does not count the time other
// programs on a shared machine take the processor away.
double CpuMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

using bench::TSilentUI;

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
std::string Text(const Day& d) {  // dd/mm/yyyy, as the scripts take dates
  char text[40];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", d.dom, d.month, d.year);
  return text;
}
std::string Iso(const Day& d) {  // yyyy-mm-dd, as SQLite compares them
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.dom);
  return text;
}
constexpr long kSpanDays = 4 * 365 + 1 - 6;  // start days leave room for five leave days

// One generated table: its script for our engine and its rows for SQLite
// (a value per column; "" is NULL there).
struct Table {
  std::string script;
  std::string insert;  // "INSERT INTO t VALUES(?,...)"
  std::vector<std::vector<std::string>> rows;
  void Row(const std::vector<std::string>& scriptValues, std::vector<std::string> sqlValues) {
    script += "ROW ";
    for (size_t i = 0; i < scriptValues.size(); ++i) script += (i ? " | " : "") + scriptValues[i];
    script += "\n";
    rows.push_back(std::move(sqlValues));
  }
};

struct Company {
  std::vector<TDemoScript> scripts;
  std::vector<std::string> schema;  // SQLite CREATE statements
  std::vector<Table> tables;
  long wrongYears = 0;
};

Company Generate(double scale) {
  auto count = [scale](long n) { return std::max(1L, static_cast<long>(n * scale)); };
  const long employees = count(50000), applications = count(200000), claims = count(500000);
  const long detailsPerApplication = 5;
  Company c;
  Table medsch{"TABLE MEDSCH.ADT\nFIELD CLAIMTYPE Char 10\nFIELD NAME Char 20\n",
               "INSERT INTO medsch VALUES(?,?)", {}};
  Table setup{"TABLE SETUP.ADT\nFIELD CAT Char 10\nFIELD SUPERVISOR Char 10\n", "INSERT INTO setup VALUES(?,?)", {}};
  Table employee{
      "TABLE EMPLOYEE.ADT\nFIELD EMP_NO Char 10\nFIELD EMP_NAME Char 30\nFIELD SUPERVISOR_CODE2 Char 10\n"
      "FIELD SUPERVISOR_CODE3 Char 10\nFIELD STIN Char 10\nFIELD STIN2 Char 10\n",
      "INSERT INTO employee VALUES(?,?,?,?,?,?)",
      {}};
  Table medical{
      "TABLE MEDICAL.ADT\nFIELD EMPCODE Char 10\nFIELD MEDICAL_DATE Date\nFIELD VISIT_DATE Date\n"
      "FIELD CLAIM_APPROVED Logical\nFIELD APPROVED_DATE Date\nFIELD PERIOD_TO_TRANSFER Char 6\nFIELD CYCLE Char 1\n"
      "FIELD DATE_SERIALNUM Integer\n",
      "INSERT INTO medical VALUES(?,?,?,?,?,?,?,?)",
      {}};
  Table leavTrx{
      "TABLE LEAV_TRX.ADT\nFIELD LEAVE_CODE Char 10\nFIELD EMPCODE Char 10\nFIELD DATE Date\nFIELD ID Integer\n"
      "FIELD YEAR Integer\nFIELD MONTH Integer\nINDEX LTX LEAVE_CODE;EMPCODE;DATE;ID\n",
      "INSERT INTO leav_trx VALUES(?,?,?,?,?,?)",
      {}};
  Table empLeave{
      "TABLE EMPLEAVE.ADT\nFIELD EMPCODE Char 10\nFIELD START_DATE Date\nFIELD LEAVE_CODE Char 10\nFIELD ID Integer\n"
      "FIELD END_DATE Date\nFIELD PERIOD Char 4\nINDEX EMPCODE EMPCODE;START_DATE;LEAVE_CODE;ID\n",
      "INSERT INTO empleave VALUES(?,?,?,?,?,?)",
      {}};
  c.schema = {"CREATE TABLE medsch(claimtype TEXT, name TEXT)",
              "CREATE TABLE setup(cat TEXT, supervisor TEXT)",
              "CREATE TABLE medical(empcode TEXT, medical_date TEXT, visit_date TEXT, claim_approved INT,"
              " approved_date TEXT, period_to_transfer TEXT, cycle TEXT, date_serialnum INT)",
              "CREATE TABLE employee(emp_no TEXT PRIMARY KEY, emp_name TEXT, supervisor_code2 TEXT,"
              " supervisor_code3 TEXT, stin TEXT, stin2 TEXT)",
              "CREATE TABLE leav_trx(leave_code TEXT, empcode TEXT, date TEXT, id INT, year INT, month INT)",
              "CREATE INDEX ltx ON leav_trx(leave_code, empcode, date, id)",
              "CREATE INDEX ltid ON leav_trx(id)",
              "CREATE TABLE empleave(empcode TEXT, start_date TEXT, leave_code TEXT, id INT, end_date TEXT, period TEXT)",
              "CREATE INDEX empcode ON empleave(empcode, start_date, leave_code, id)"};
  auto emp = [](long i) { return "E" + std::to_string(i); };
  for (long i = 0; i < employees; ++i) {
    // One claim setup and one supervisor setup record in ten has no type.
    const std::string type = i % 10 ? "T" + std::to_string(i % 7) : "";
    medsch.Row({type, "n" + std::to_string(i)}, {type, "n"});
    setup.Row({type, "s"}, {type, "s"});
    const std::string no = "P" + std::to_string(i), name = "Name " + std::to_string(i);
    employee.Row({no, name, "a", "b", "c", "d"}, {no, name, "a", "b", "c", "d"});
  }
  for (long i = 0; i < claims; ++i) {
    const Day d = DayOf(i * 7 % kSpanDays), v = DayOf((i * 7 + 3) % kSpanDays);
    const bool visited = i % 3 != 0, approved = i % 2 == 0;
    medical.Row({emp(i % employees), Text(d), visited ? Text(v) : "", approved ? "T" : "F", Text(d), "", "",
                 std::to_string(i)},
                {emp(i % employees), Iso(d), visited ? Iso(v) : "", approved ? "1" : "0", Iso(d), "", "",
                 std::to_string(i)});
  }
  long detail = 0;
  for (long a = 0; a < applications; ++a) {
    const long start = a * 7919 % kSpanDays;
    const std::string code = a % 3 ? "ANNU" : "SL", e = emp(a % employees), id = std::to_string(a);
    const Day first = DayOf(start), last = DayOf(start + detailsPerApplication - 1);
    const int period = first.year == 2004 || first.year == 2005 ? first.year + 1 : first.year;
    empLeave.Row({e, Text(first), code, id, Text(last), std::to_string(period)},
                 {e, Iso(first), code, id, Iso(last), std::to_string(period)});
    for (long k = 0; k < detailsPerApplication; ++k, ++detail) {
      const Day d = DayOf(start + k);
      // Days of 2004 and 2005 count toward the following leave year; one
      // detail in ten is two years off.
      int year = d.year == 2004 || d.year == 2005 ? d.year + 1 : d.year;
      if (detail % 10 == 0) {
        year += 2;
        ++c.wrongYears;
      }
      leavTrx.Row({code, e, Text(d), id, std::to_string(year), std::to_string(d.month)},
                  {code, e, Iso(d), id, std::to_string(year), std::to_string(d.month)});
    }
  }
  c.scripts = {{"base/mcompany.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nROW BIG\n"},
               {"company/BIG/medsch.tbl", std::move(medsch.script)},
               {"company/BIG/setup.tbl", std::move(setup.script)},
               {"company/BIG/medical.tbl", std::move(medical.script)},
               {"company/BIG/employee.tbl", std::move(employee.script)},
               {"company/BIG/leav_trx.tbl", std::move(leavTrx.script)},
               {"company/BIG/empleave.tbl", std::move(empLeave.script)}};
  c.tables = {std::move(medsch), std::move(setup), std::move(medical), std::move(employee), std::move(leavTrx),
              std::move(empLeave)};
  return c;
}

// The corrections of each task as SQL over the same rows.
const char* SqlOf(int task) {
  switch (task) {
    case 0:
      return "DELETE FROM medsch WHERE claimtype IS NULL OR claimtype = ''";
    case 2:
      return "UPDATE medical SET period_to_transfer = '200601', cycle = 'E' WHERE claim_approved = 1"
             " AND approved_date BETWEEN '2005-12-06' AND '2006-01-05'";
    case 3:
      return "UPDATE medical SET medical_date = visit_date, visit_date = medical_date WHERE visit_date IS NOT NULL";
    case 4:
      return "DELETE FROM setup WHERE cat IS NULL OR cat = ''";
    case 5:
      return "SELECT count(*) FROM leav_trx WHERE date >= '2004-01-01' AND leave_code <> 'ANNU' AND NOT"
             " (year = CAST(strftime('%Y', date) AS INT) + 1 AND month = CAST(strftime('%m', date) AS INT))";
    case 6:
      return "UPDATE employee SET supervisor_code2 = supervisor_code3, supervisor_code3 = stin2, stin2 = stin,"
             " stin = supervisor_code2";
    case 14:
      return "UPDATE leav_trx SET year = CAST(strftime('%Y', date) AS INT) WHERE leave_code = 'ANNU'"
             " AND year <> CAST(strftime('%Y', date) AS INT)";
    case 29:
      return "UPDATE empleave SET period = CAST(strftime('%Y', start_date) AS INT) + 1 WHERE id IN"
             " (SELECT id FROM leav_trx WHERE date BETWEEN '2004-01-01' AND '2005-12-31'"
             " AND year <> CAST(strftime('%Y', date) AS INT) + 1);"
             "UPDATE leav_trx SET year = CAST(strftime('%Y', date) AS INT) + 1 WHERE date BETWEEN '2004-01-01'"
             " AND '2005-12-31' AND year <> CAST(strftime('%Y', date) AS INT) + 1";
    case 30:
      return "UPDATE empleave SET period = substr(start_date, 1, 4) WHERE id IN (SELECT id FROM leav_trx WHERE"
             " date >= '2006-01-01' AND year <> CAST(strftime('%Y', date) AS INT));"
             "UPDATE leav_trx SET year = CAST(strftime('%Y', date) AS INT) WHERE date >= '2006-01-01'"
             " AND year <> CAST(strftime('%Y', date) AS INT)";
    default:
      return "";
  }
}

void SqlOk(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK) return;
  std::fprintf(stderr, "%s failed: %s\n", what, sqlite3_errmsg(db));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (!(scale > 0)) {
    std::fprintf(stderr, "usage: bench_tasks [scale > 0]\n");
    return 2;
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_tasks";
  std::filesystem::remove_all(dir);
  Clock::time_point made = Clock::now();
  Company company = Generate(scale);
  std::vector<std::string> report;
  dbu::CreateDemoDatabases(dir.string(), company.scripts, report);
  company.scripts.clear();

  sqlite3* db = nullptr;
  SqlOk(sqlite3_open((dir / "big.sqlite").c_str(), &db), db, "open");
  SqlOk(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; BEGIN", nullptr, nullptr, nullptr), db,
        "begin");
  for (const std::string& statement : company.schema)
    SqlOk(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), db, "schema");
  for (Table& table : company.tables) {
    sqlite3_stmt* insert = nullptr;
    SqlOk(sqlite3_prepare_v2(db, table.insert.c_str(), -1, &insert, nullptr), db, "prepare");
    for (const std::vector<std::string>& row : table.rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        if (row[i].empty())
          sqlite3_bind_null(insert, static_cast<int>(i + 1));
        else
          sqlite3_bind_text(insert, static_cast<int>(i + 1), row[i].c_str(), -1, SQLITE_STATIC);
      }
      if (sqlite3_step(insert) != SQLITE_DONE) SqlOk(SQLITE_ERROR, db, "fill");
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    table.rows.clear();
    table.rows.shrink_to_fit();
  }
  SqlOk(sqlite3_exec(db, "COMMIT; ANALYZE", nullptr, nullptr, nullptr), db, "commit");
  std::printf("scale %g: 50,000 employees, 1,000,000 leave details (%ld two years off), 200,000 applications, "
              "500,000 claims at scale 1; made in %.1f s\n",
              scale, company.wrongYears, MillisecondsSince(made) / 1000);

  TSilentUI ui;
  dbu::TForm1Logic form(ui);
  form.SetBaseDirOverride(dir.string() + "/");
  if (!form.FormCreate()) {
    std::fprintf(stderr, "start-up failed: %s\n", ui.LastMessage.c_str());
    return 1;
  }
  ui.SetCompanyText("BIG");
  int changedBefore = sqlite3_total_changes(db);
  // BENCH_TASKS="29,30" times only those tasks (for profiling).
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
  if (const char* fifo = std::getenv("BENCH_PERF_CTL")) {
    if (FILE* ctl = std::fopen(fifo, "w")) {
      std::fputs("enable\n", ctl);
      std::fclose(ctl);
    }
  }
  for (int task : tasks) {
    // Each task after another leaves MEDSCH's index to the next: start
    // every timed task from the start-up settings.
    form.MEDSCH.Close();
    form.MEDSCH.SetIndexName("");
    ui.SetTaskIndex(task);
    const size_t linesBefore = ui.LineCount();
    Clock::time_point start = Clock::now();
    double cpuStart = CpuMilliseconds();
    dbu::TRunEnd end = form.Button1Click();
    const double ours = MillisecondsSince(start), oursCpu = CpuMilliseconds() - cpuStart;
    if (end != dbu::TRunEnd::Done) {
      std::fprintf(stderr, "task %d failed: %s\n", task, ui.LastMessage.c_str());
      return 1;
    }
    const size_t lines = ui.LineCount() - linesBefore;
    start = Clock::now();
    cpuStart = CpuMilliseconds();
    SqlOk(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    SqlOk(sqlite3_exec(db, SqlOf(task), nullptr, nullptr, nullptr), db, "task");
    const int changed = sqlite3_total_changes(db);
    SqlOk(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    const double theirs = MillisecondsSince(start), theirsCpu = CpuMilliseconds() - cpuStart;
    std::printf("task %2d  processor: ours %9.1f ms sqlite %9.1f ms   wall: ours %9.1f ms sqlite %9.1f ms"
                " (ratio %.2f)   log lines %zu, sqlite rows changed %d\n",
                task, oursCpu, theirsCpu, ours, theirs, theirs > 0 ? ours / theirs : 0.0, lines, changed - changedBefore);
    changedBefore = changed;
    std::printf("ratio task%d %.2f\n", task, theirsCpu > 0 ? oursCpu / theirsCpu : 0.0);
    std::fflush(stdout);
  }
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
  return 0;
}
