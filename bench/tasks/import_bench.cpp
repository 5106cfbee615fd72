// Task 32 ("Import Approval Flow from Excel file") through the window's
// logic on a generated company and workbook (written by python3-xlwt).
// Prints the wall-clock and processor time of the run and its rows per
// second (the processor time tells more on a busy machine).
//
// Task 32: S sections of E employees each (default 500 x 100); every
// employee has an approval record in force and one dated ahead, so every
// employee is located and written. Run twice: with an index on the
// employees' section code and without one. Each section's SELECT (the
// statement the task sends, on the encrypted employee table) is also timed
// alone, through one statement handle as the task uses it, rows read.
//
// Prints "ratio <name> <seconds/target>" lines (at most 1.0 meets the
// target): the task's processor time against 1 s without the index and
// 0.2 s with it, and the SELECTs alone against the same.
//
// Usage: import_bench [sections [employees per section]]
// BENCH_VARIANT=with_index (or without_index) runs that variant alone.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "demodb.h"
#include "unit1logic.h"
#include "silent_ui.h"

#ifndef DBU_WRITE_WORKBOOK_SCRIPT
#error "DBU_WRITE_WORKBOOK_SCRIPT must name tasks/tests/write_workbook.py"
#endif

namespace {

using bench::TSilentUI;

constexpr const char* kPassword = dbu::TForm1Logic::kAdminPassword;  // the demo scripts encrypt with it

// Writes a workbook from cell lines "sheet\trow\tcol\tkind\tvalue\tformat".
void WriteWorkbook(const std::filesystem::path& file, const std::string& cells) {
  const std::string input = file.string() + ".cells";
  std::FILE* f = std::fopen(input.c_str(), "wb");
  if (f == nullptr || std::fwrite(cells.data(), 1, cells.size(), f) != cells.size()) {
    std::fprintf(stderr, "cannot write %s\n", input.c_str());
    std::exit(1);
  }
  std::fclose(f);
  const std::string command =
      "/usr/bin/python3 '" DBU_WRITE_WORKBOOK_SCRIPT "' '" + file.string() + "' < '" + input + "'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  std::filesystem::remove(input);
}

// A window over base directory dir whose program folder is dir too.
struct TBenchWindow {
  TSilentUI ui;
  dbu::TForm1Logic form{ui};
  TBenchWindow(const std::filesystem::path& dir, const std::string& company) {
    form.SetProgramFolder(dir.string() + "/");
    form.SetBaseDirOverride(dir.string() + "/");
    if (!form.FormCreate()) {
      std::fprintf(stderr, "start-up failed: %s\n", ui.LastMessage.c_str());
      std::exit(1);
    }
    ui.SetCompanyText(company);
  }
  double CpuSeconds = 0;
  double Run(int task) {
    ui.SetTaskIndex(task);
    const std::clock_t cpuStart = std::clock();
    const bench::Clock::time_point start = bench::Clock::now();
    const dbu::TRunEnd end = form.Button1Click();
    const double seconds = bench::Seconds(start);
    CpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (end != dbu::TRunEnd::Done) {
      std::fprintf(stderr, "task %d failed: %s\n", task, ui.LastMessage.c_str());
      std::exit(1);
    }
    return seconds;
  }
};

std::string Cell(int row, int col, const std::string& text) {
  return "Sheet1\t" + std::to_string(row) + "\t" + std::to_string(col) + "\tt\t" + text + "\t\n";
}

// The section SELECTs of the task alone, on one statement handle, every
// row read; returns the processor seconds.
double TimeSectionQueries(const std::filesystem::path& company, long sections, long perSection) {
  ENGHANDLE conn = 0, stmt = 0;
  bench::Check(EngConnect(company.string().c_str(), &conn), "connect");
  bench::Check(EngCreateSQLStatement(conn, &stmt), "statement");
  const std::clock_t start = std::clock();
  long rows = 0;
  char section[32];
  for (long s = 0; s < sections; ++s) {
    std::snprintf(section, sizeof section, "S%04ld", s);
    const std::string sql = std::string("SELECT EMP_NO, EMP_NAME FROM EMPLOYEE WHERE (SECTION_CODE='") + section +
                            "') ORDER BY EMP_NO\r\n";
    bench::Check(EngStmtSetTablePassword(stmt, "EMPLOYEE", kPassword), "password");
    bench::Check(EngStmtSetTablePassword(stmt, "EMPLOYEE.ADT", kPassword), "password");
    ENGHANDLE cursor = 0;
    bench::Check(EngExecuteSQLDirect(stmt, sql.c_str(), &cursor), "select");
    uint8_t rec[256];
    uint16_t eof = 0;
    bench::Check(EngGotoTop(cursor), "top");
    for (EngAtEOF(cursor, &eof); !eof; EngAtEOF(cursor, &eof)) {
      uint32_t len = sizeof rec;
      bench::Check(EngGetRecord(cursor, rec, &len), "read");
      ++rows;
      EngSkip(cursor, 1);
    }
    EngCloseTable(cursor);
  }
  const double cpu = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  EngCloseSQLStatement(stmt);
  EngDisconnect(conn);
  if (rows != sections * perSection) {
    std::fprintf(stderr, "section queries gave %ld rows, not %ld\n", rows, sections * perSection);
    std::exit(1);
  }
  return cpu;
}

// ---- task 32: approval flow ----
void BenchApprovalFlowImport(const std::filesystem::path& dir, long sections, long perSection, bool indexed) {
  std::string employee =
      "TABLE EMPLOYEE.ADT\nFIELD EMP_NO Char 10\nFIELD EMP_NAME Char 40\nFIELD SECTION_CODE Char 10\n"
      "INDEX EMP_NO EMP_NO UNIQUE\n" + std::string(indexed ? "INDEX SECTION SECTION_CODE\n" : "") +
      "ENCRYPT KVRNA7310\n";
  std::string approval =
      "TABLE APPRFLOW.ADT\nFIELD EMP_NO Char 10\nFIELD EFFECTIVE_DATE Date\nFIELD SUPERVISOR_CODE Char 10\n"
      "FIELD SUPERVISOR_CODE2 Char 10\nFIELD SUPERVISOR_CODE3 Char 10\nFIELD STIN Char 10\nFIELD STIN2 Char 10\n"
      "FIELD STIN3 Char 10\nINDEX EMP_NO2 EMP_NO\nENCRYPT KVRNA7310\n";
  const std::string code =
      "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD APPRFILE Char 20\n"
      "INDEX CATCODE CATEGORY;CODE UNIQUE\nROW LEA | ANNU | APPRFLOW\n";
  std::string cells = Cell(0, 0, "SECTION");
  char no[32], section[32];
  for (long s = 0; s < sections; ++s) {
    std::snprintf(section, sizeof section, "S%04ld", s);
    for (long e = 0; e < perSection; ++e) {
      std::snprintf(no, sizeof no, "E%07ld", s * perSection + e);
      employee += std::string("ROW ") + no + " | Employee " + no + " | " + section + "\n";
      approval += std::string("ROW ") + no + " | 01/01/2099 | A | | | A | |\n";
      approval += std::string("ROW ") + no + " | 01/01/2005 | B | | | B | |\n";
    }
    const int row = static_cast<int>(s) + 1;
    cells += Cell(row, 0, section);
    for (int col = 2; col <= 12; col += 2) cells += Cell(row, col, "X" + std::to_string(col) + section);
  }
  std::vector<std::string> report;
  dbu::CreateDemoDatabases(dir.string(),
                           {{"base/mcompany.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nROW AF\n"},
                            {"company/AF/employee.tbl", employee},
                            {"company/AF/apprflow.tbl", approval},
                            {"company/AF/code.tbl", code}},
                           report);
  WriteWorkbook(dir / "approval_flow.xls", cells);

  TBenchWindow window(dir, "AF");
  const double seconds = window.Run(32);
  const size_t lines = window.ui.LogLines().size();
  if (lines != static_cast<size_t>(sections)) {
    std::fprintf(stderr, "task 32: %zu log lines for %ld sections (employees without a record?)\n", lines, sections);
    std::exit(1);
  }
  const double employees = static_cast<double>(sections * perSection);
  const double cpu = window.CpuSeconds;
  const char* variant = indexed ? "with_index" : "without_index";
  std::printf("task 32 %s: %ld sections x %ld employees in %.3f s (cpu %.3f s): %.0f employees per second (cpu %.0f), "
              "%.1f sheet rows per second (cpu %.1f)\n",
              variant, sections, perSection, seconds, cpu, employees / seconds, employees / cpu,
              static_cast<double>(sections) / seconds, static_cast<double>(sections) / cpu);
  const double queries = TimeSectionQueries(dir / "company" / "AF", sections, perSection);
  std::printf("task 32 %s: the %ld section SELECTs alone, cpu %.3f s\n", variant, sections, queries);
  // The targets are for the default size; other sizes scale them by employees.
  const double scale = employees / 50000.0;
  const double target = (indexed ? 0.2 : 1.0) * scale;
  std::printf("ratio task32_%s %.3f\n", variant, cpu / target);
  std::printf("ratio task32_selects_%s %.3f\n", variant, queries / target);
}

}  // namespace

int main(int argc, char** argv) {
  const long sections = argc > 1 ? std::atol(argv[1]) : 500;
  const long perSection = argc > 2 ? std::atol(argv[2]) : 100;
  if (sections <= 0 || perSection <= 0) {
    std::fprintf(stderr, "usage: import_bench [sections [employees per section]]\n");
    return 2;
  }
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "bench_import";
  std::filesystem::remove_all(root);
  const char* only = std::getenv("BENCH_VARIANT");  // with_index or without_index: that one alone
  for (bool indexed : {false, true}) {
    if (only != nullptr && std::string(only) != (indexed ? "with_index" : "without_index")) continue;
    const std::filesystem::path dir = root / (indexed ? "indexed" : "plain");
    std::filesystem::create_directories(dir);
    BenchApprovalFlowImport(dir, sections, perSection, indexed);
  }
  std::filesystem::remove_all(root);
  return 0;
}
