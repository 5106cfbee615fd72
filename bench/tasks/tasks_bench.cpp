// Tasks 0, 2, 3, 4, 5, 6, 14, 29 and 30 run through the window's logic on a
// generated company of N records per table (default 100,000; one record in
// a hundred needs a leave year correction), and the same corrections in
// SQLite as SQL statements over the same rows (one transaction each).
// Prints milliseconds per task for both and "ratio <task> <ours/sqlite>".
//
// Usage: bench_tasks [records]
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "demodb.h"
#include "unit1logic.h"

namespace {

using Clock = std::chrono::steady_clock;
using dbu::TDemoScript;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Answers every question "Yes" and keeps no dialogs.
class TSilentUI : public dbu::TPlainView {
 public:
  std::string LastMessage;
  void ShowMessage(const std::string& text) override { LastMessage = text; }
  bool Confirm(const std::string&) override { return true; }
  bool InputQuery(const std::string&, const std::string&, std::string&) override { return true; }
  void ShowError(const std::string& text) override { LastMessage = "error: " + text; }
  void SetHourglass(bool) override {}
  void ProcessMessages() override {}
};

std::string Date(long day) {  // dd/mm/yyyy spread over 2003 to 2006
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = 2003 + static_cast<int>(day % 4), month = static_cast<int>(day / 4 % 12) + 1;
  int dom = static_cast<int>(day / 48 % kDays[month - 1]) + 1;
  char text[40];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", dom, month, year);
  return text;
}
std::string IsoDate(const std::string& d) { return d.substr(6, 4) + "-" + d.substr(3, 2) + "-" + d.substr(0, 2); }
int YearOf(const std::string& d) { return std::stoi(d.substr(6, 4)); }
int MonthOf(const std::string& d) { return std::stoi(d.substr(3, 2)); }

struct Company {
  std::vector<TDemoScript> scripts;
  std::vector<std::string> sql;  // CREATE and INSERT statements
};

Company Generate(long n) {
  Company c;
  std::string medsch = "TABLE MEDSCH.ADT\nFIELD CLAIMTYPE Char 10\nFIELD NAME Char 20\n";
  std::string setup = "TABLE SETUP.ADT\nFIELD CAT Char 10\nFIELD SUPERVISOR Char 10\n";
  std::string medical =
      "TABLE MEDICAL.ADT\nFIELD EMPCODE Char 10\nFIELD MEDICAL_DATE Date\nFIELD VISIT_DATE Date\n"
      "FIELD CLAIM_APPROVED Logical\nFIELD APPROVED_DATE Date\nFIELD PERIOD_TO_TRANSFER Char 6\nFIELD CYCLE Char 1\n"
      "FIELD DATE_SERIALNUM Integer\n";
  std::string employee =
      "TABLE EMPLOYEE.ADT\nFIELD EMP_NO Char 10\nFIELD EMP_NAME Char 30\nFIELD SUPERVISOR_CODE2 Char 10\n"
      "FIELD SUPERVISOR_CODE3 Char 10\nFIELD STIN Char 10\nFIELD STIN2 Char 10\n";
  std::string leavTrx =
      "TABLE LEAV_TRX.ADT\nFIELD LEAVE_CODE Char 10\nFIELD EMPCODE Char 10\nFIELD DATE Date\nFIELD ID Integer\n"
      "FIELD YEAR Integer\nFIELD MONTH Integer\nINDEX LTX LEAVE_CODE;EMPCODE;DATE;ID\n";
  std::string empLeave =
      "TABLE EMPLEAVE.ADT\nFIELD EMPCODE Char 10\nFIELD START_DATE Date\nFIELD LEAVE_CODE Char 10\nFIELD ID Integer\n"
      "FIELD END_DATE Date\nFIELD PERIOD Char 4\nINDEX EMPCODE EMPCODE;START_DATE;LEAVE_CODE;ID\n";
  c.sql = {"CREATE TABLE medsch(claimtype TEXT, name TEXT)",
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
  auto q = [](const std::string& s) { return "'" + s + "'"; };
  for (long i = 0; i < n; ++i) {
    const std::string emp = "E" + std::to_string(i % 5000), d = Date(i), v = i % 3 ? Date(i + 7) : "";
    const std::string type = i % 10 ? "T" + std::to_string(i % 7) : "";
    medsch += "ROW " + type + " | n" + std::to_string(i) + "\n";
    setup += "ROW " + type + " | s\n";
    c.sql.push_back("INSERT INTO medsch VALUES(" + q(type) + ",'n')");
    c.sql.push_back("INSERT INTO setup VALUES(" + q(type) + ",'s')");
    const bool approved = i % 2 == 0;
    medical += "ROW " + emp + " | " + d + " | " + v + " | " + (approved ? "T" : "F") + " | " + d + " | | | " +
               std::to_string(i) + "\n";
    c.sql.push_back("INSERT INTO medical VALUES(" + q(emp) + "," + q(IsoDate(d)) + "," +
                    (v.empty() ? "NULL" : q(IsoDate(v))) + "," + (approved ? "1" : "0") + "," + q(IsoDate(d)) +
                    ",'',''," + std::to_string(i) + ")");
    const std::string no = "P" + std::to_string(i);
    employee += "ROW " + no + " | Name " + std::to_string(i) + " | a | b | c | d\n";
    c.sql.push_back("INSERT INTO employee VALUES(" + q(no) + ",'Name','a','b','c','d')");
    // One leave day in a hundred carries a leave year that needs correcting.
    const int y = YearOf(d);
    const int leaveYear = i % 100 == 0 ? y + 2 : (y == 2004 || y == 2005 ? y + 1 : y);
    const std::string code = i % 3 ? "ANNU" : "SL";
    leavTrx += "ROW " + code + " | " + emp + " | " + d + " | " + std::to_string(i) + " | " + std::to_string(leaveYear) +
               " | " + std::to_string(MonthOf(d)) + "\n";
    c.sql.push_back("INSERT INTO leav_trx VALUES(" + q(code) + "," + q(emp) + "," + q(IsoDate(d)) + "," +
                    std::to_string(i) + "," + std::to_string(leaveYear) + "," + std::to_string(MonthOf(d)) + ")");
    empLeave += "ROW " + emp + " | " + d + " | " + code + " | " + std::to_string(i) + " | " + d + " | " +
                std::to_string(leaveYear) + "\n";
    c.sql.push_back("INSERT INTO empleave VALUES(" + q(emp) + "," + q(IsoDate(d)) + "," + q(code) + "," +
                    std::to_string(i) + "," + q(IsoDate(d)) + "," + q(std::to_string(leaveYear)) + ")");
  }
  c.scripts = {{"base/mcompany.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nROW BIG\n"},
               {"company/BIG/medsch.tbl", medsch},
               {"company/BIG/setup.tbl", setup},
               {"company/BIG/medical.tbl", medical},
               {"company/BIG/employee.tbl", employee},
               {"company/BIG/leav_trx.tbl", leavTrx},
               {"company/BIG/empleave.tbl", empLeave}};
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
      return "UPDATE empleave SET period = (SELECT t.year FROM leav_trx t WHERE t.id = empleave.id) + 0 WHERE id IN"
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
  const long n = argc > 1 ? std::atol(argv[1]) : 100000;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_tasks";
  std::filesystem::remove_all(dir);
  Company company = Generate(n);
  std::vector<std::string> report;
  dbu::CreateDemoDatabases(dir.string(), company.scripts, report);

  sqlite3* db = nullptr;
  SqlOk(sqlite3_open((dir / "big.sqlite").c_str(), &db), db, "open");
  SqlOk(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; BEGIN", nullptr, nullptr, nullptr), db,
        "begin");
  for (const std::string& statement : company.sql)
    SqlOk(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), db, "fill");
  SqlOk(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");

  TSilentUI ui;
  dbu::TForm1Logic form(ui);
  form.SetBaseDirOverride(dir.string() + "/");
  if (!form.FormCreate()) {
    std::fprintf(stderr, "start-up failed: %s\n", ui.LastMessage.c_str());
    return 1;
  }
  ui.SetCompanyText("BIG");
  std::printf("records per table: %ld\n", n);
  for (int task : {0, 2, 3, 4, 5, 6, 14, 29, 30}) {
    // Each task after another leaves MEDSCH's index to the next: start
    // every timed task from the start-up settings.
    form.MEDSCH.Close();
    form.MEDSCH.SetIndexName("");
    ui.SetTaskIndex(task);
    Clock::time_point start = Clock::now();
    dbu::TRunEnd end = form.Button1Click();
    const double ours = MillisecondsSince(start);
    if (end != dbu::TRunEnd::Done) {
      std::fprintf(stderr, "task %d failed: %s\n", task, ui.LastMessage.c_str());
      return 1;
    }
    start = Clock::now();
    SqlOk(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    SqlOk(sqlite3_exec(db, SqlOf(task), nullptr, nullptr, nullptr), db, "task");
    SqlOk(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    const double theirs = MillisecondsSince(start);
    std::printf("task %2d  ours %10.1f ms  sqlite %10.1f ms\n", task, ours, theirs);
    std::printf("ratio task%d %.2f\n", task, theirs > 0 ? ours / theirs : 0.0);
  }
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
  return 0;
}
