// The cycle the leave-year correction repeats for every record it fixes,
// through a TDbTable on a folder connection: close, point at the leave
// applications with an index name, open, search an employee's first
// application, walk to the matching one, edit it; close, point at the
// leave details with index field names, open, search four key values and
// edit the record. Prints microseconds per cycle and per part (reopen by
// index name, reopen by index field names, the searches and edits), so
// that the cost of reopening can be followed on its own.
//
// Usage: bench_cursor_reopen [employees] [cycles] [dictionary]
// With "dictionary" the tables are reached through a data dictionary that
// registers them (as on a company with a dictionary), else as free tables.
// BENCH_PERF_CTL=FIFO writes "enable" to that perf control fifo once the
// tables are made (perf record -D -1 --control fifo:FIFO).
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "datetime.h"
#include "dbconnection.h"
#include "dbtable.h"
#include "engine.h"

namespace {

using bench::Clock;

void Exec(ENGHANDLE statement, const std::string& sql) {
  ENGHANDLE cursor = 0;
  bench::Check(EngExecuteSQLDirect(statement, sql.c_str(), &cursor), sql.c_str());
  if (cursor != 0) EngCloseTable(cursor);
}

std::string Emp(long i) { return "E" + std::to_string(i); }

// Four applications of five days for each employee, one leave detail a day.
constexpr const char* kDictionaryUser = "DBSYS";
constexpr const char* kDictionaryPassword = "secret";

void Fill(const std::string& folder, long employees, const std::string& dictionary) {
  ENGHANDLE connection = 0, statement = 0;
  if (dictionary.empty())
    bench::Check(EngConnect(folder.c_str(), &connection), "EngConnect");
  else
    bench::Check(EngDictCreate(dictionary.c_str(), kDictionaryUser, kDictionaryPassword, &connection),
                 "EngDictCreate");
  bench::Check(EngCreateSQLStatement(connection, &statement), "EngCreateSQLStatement");
  Exec(statement,
       "CREATE TABLE EMPLEAVE (EMPCODE char(10), START_DATE date, LEAVE_CODE char(10), ID integer, "
       "END_DATE date, PERIOD char(4))");
  Exec(statement,
       "CREATE TABLE LEAV_TRX (LEAVE_CODE char(10), EMPCODE char(10), DATE date, ID integer, YEAR integer, "
       "MONTH integer)");
  long id = 0;
  std::string applications, details;
  auto flush = [&](bool last) {
    if (applications.size() > 200000 || (last && !applications.empty())) {
      Exec(statement, "INSERT INTO EMPLEAVE VALUES " + applications);
      applications.clear();
    }
    if (details.size() > 200000 || (last && !details.empty())) {
      Exec(statement, "INSERT INTO LEAV_TRX VALUES " + details);
      details.clear();
    }
  };
  for (long e = 0; e < employees; ++e) {
    for (int a = 0; a < 4; ++a, ++id) {
      const int month = 1 + a * 3;
      char start[32], end[32];
      std::snprintf(start, sizeof start, "DATE '2005-%02d-01'", month);
      std::snprintf(end, sizeof end, "DATE '2005-%02d-05'", month);
      if (!applications.empty()) applications += ", ";
      applications += "('" + Emp(e) + "', " + start + ", 'ANNU', " + std::to_string(id) + ", " + end + ", '2005')";
      for (int d = 1; d <= 5; ++d) {
        char day[32];
        std::snprintf(day, sizeof day, "DATE '2005-%02d-%02d'", month, d);
        if (!details.empty()) details += ", ";
        details += "('ANNU', '" + Emp(e) + "', " + day + ", " + std::to_string(id) + ", 2005, " +
                   std::to_string(month) + ")";
      }
      flush(false);
    }
  }
  flush(true);
  Exec(statement, "CREATE INDEX EMPCODE ON EMPLEAVE (EMPCODE, START_DATE, LEAVE_CODE, ID)");
  Exec(statement, "CREATE INDEX LTX ON LEAV_TRX (LEAVE_CODE, EMPCODE, DATE, ID)");
  EngCloseSQLStatement(statement);
  EngDisconnect(connection);
}

double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Processor time of the process (user and system), in microseconds: steadier
// than the wall clock on a shared machine.
double CpuMicroseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  const long employees = argc > 1 ? std::atol(argv[1]) : 20000;
  const long cycles = argc > 2 ? std::atol(argv[2]) : 20000;
  const bool viaDictionary = argc > 3 && std::string(argv[3]) == "dictionary";
  if (employees <= 0 || cycles <= 0 || (argc > 3 && !viaDictionary)) {
    std::fprintf(stderr, "usage: bench_cursor_reopen [employees > 0] [cycles > 0] [dictionary]\n");
    return 2;
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_cursor_reopen";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string dictionary = viaDictionary ? (dir / "company.add").string() : std::string();
  Fill(dir.string(), employees, dictionary);
  // A company folder has not changed for a while when the tasks run; a
  // folder changed within the last seconds has its names read afresh.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));

  dbu::TDbConnection connection;
  connection.SetName("DbConnection1");
  connection.SetConnectPath(viaDictionary ? dictionary : dir.string());
  connection.SetLoginPrompt(false);
  connection.SetUsername(kDictionaryUser);
  connection.SetPassword(kDictionaryPassword);
  dbu::TDbTable table;
  table.SetName("MEDSCH");
  table.SetDatabaseName("DbConnection1");
  // The leave details stay open beside, as the walking cursor keeps them.
  dbu::TDbTable walker;
  walker.SetName("DbTable1");
  walker.SetDatabaseName("DbConnection1");
  walker.SetTableName("LEAV_TRX");
  walker.Open();

  if (const char* fifo = std::getenv("BENCH_PERF_CTL")) {
    if (FILE* ctl = std::fopen(fifo, "w")) {
      std::fputs("enable\n", ctl);
      std::fclose(ctl);
    }
  }
  Clock::duration byName{}, byFields{}, search{};
  long found = 0;
  const auto start = Clock::now();
  const double cpuStart = CpuMicroseconds();
  for (long c = 0; c < cycles; ++c) {
    const long e = (c * 7919) % employees;
    const long id = e * 4 + c % 4;
    const int month = 1 + static_cast<int>(c % 4) * 3;
    const dbu::DateTime day = dbu::EncodeDate(2005, month, 3);
    auto t0 = Clock::now();
    table.Close();
    table.SetTableName("EMPLEAVE.ADT");
    table.SetIndexName("EMPCODE");
    table.Open();
    auto t1 = Clock::now();
    table.FindKey({Emp(e)});
    for (; !table.Eof(); table.Next()) {
      if (table.FieldByName("EmpCode").AsString() != Emp(e)) break;
      if (table.FieldByName("ID").AsInteger() == id && table.FieldByName("start_date").AsDateTime() <= day &&
          table.FieldByName("end_date").AsDateTime() >= day) {
        table.Edit();
        table.FieldByName("period").SetAsString("2006");
        table.Post();
        ++found;
        break;
      }
    }
    auto t2 = Clock::now();
    table.Close();
    table.SetTableName("LEAV_TRX.ADT");
    table.SetIndexName("");
    table.SetIndexFieldNames("LEAVE_CODE;EMPCODE;DATE;ID");
    table.Open();
    auto t3 = Clock::now();
    if (table.FindKey({std::string("ANNU"), Emp(e), dbu::Variant::FromDateTime(day), static_cast<int>(id)})) {
      table.Edit();
      table.FieldByName("YEAR").SetAsString("2006");
      table.Post();
      ++found;
    }
    auto t4 = Clock::now();
    byName += t1 - t0;
    byFields += t3 - t2;
    search += (t2 - t1) + (t4 - t3);
  }
  const double total = Microseconds(Clock::now() - start), cpu = CpuMicroseconds() - cpuStart;
  table.Close();
  walker.Close();
  if (found != 2 * cycles) {
    std::fprintf(stderr, "found %ld of %ld records\n", found, 2 * cycles);
    return 1;
  }
  std::printf("%s, %ld employees, %ld cycles: %.2f us per cycle (processor %.2f us); reopen by index name %.2f us, by index field names "
              "%.2f us, searches and edits %.2f us\n",
              viaDictionary ? "dictionary" : "free tables", employees, cycles, total / cycles, cpu / cycles, Microseconds(byName) / cycles, Microseconds(byFields) / cycles,
              Microseconds(search) / cycles);
  std::filesystem::remove_all(dir);
  return 0;
}
