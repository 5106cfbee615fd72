// Task 3 (swap the claim date and the date of expense) under an index that
// an earlier run left on MEDSCH and that holds the claim date: task 23 runs
// first, then task 3 walks "MEDICAL" in the order of its claim dates while
// each swap moves the record within that order. The claims come with their
// claim dates in reverse order of their record numbers, every tenth without
// a date of expense. Prints the time of task 3 and checks that every claim
// with a date of expense was swapped exactly once and that the debug file
// has one line per swapped claim.
//
// Usage: bench_swap_dates [claims]   (default 8,000)
// BENCH_DEBUG_COPY=FILE keeps a copy of the debug file (to compare runs).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "datetime.h"
#include "dbtable.h"
#include "demodb.h"
#include "formatsettings.h"
#include "silent_ui.h"
#include "unit1logic.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string DateText(dbu::DateTime value) { return dbu::FormatDateTime("dd/MM/yyyy", value); }

}  // namespace

int main(int argc, char** argv) {
  const long claims = argc > 1 ? std::atol(argv[1]) : 8000;
  if (claims < 1) {
    std::fprintf(stderr, "usage: bench_swap_dates [claims > 0]\n");
    return 2;
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_swap_dates";
  std::filesystem::remove_all(dir);
  // Claim dates run backwards from 2030, dates of expense forwards from 1950:
  // every swap moves its claim from the end of the order to its front part.
  const dbu::DateTime lastClaim = dbu::EncodeDate(2030, 1, 1), firstVisit = dbu::EncodeDate(1950, 1, 1);
  std::string medical =
      "TABLE MEDICAL.ADT\nFIELD EMPCODE Char 10\nFIELD MEDICAL_CODE Char 10\nFIELD MEDICAL_DATE Date\n"
      "FIELD DATE_SERIALNUM Integer\nFIELD VISIT_DATE Date\n"
      "INDEX CLAIM EMPCODE;MEDICAL_CODE;MEDICAL_DATE;DATE_SERIALNUM\n";
  for (long i = 0; i < claims; ++i) {
    const bool visited = i % 10 != 0;
    medical += "ROW E1 | OPD | " + DateText(lastClaim - static_cast<double>(i)) + " | " + std::to_string(i) + " | " +
               (visited ? DateText(firstVisit + static_cast<double>(i)) : "") + "\n";
  }
  std::vector<std::string> report;
  const std::vector<dbu::TDemoScript> scripts{
      {"base/mcompany.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nROW BIG\n"},
      {"company/BIG/medical.tbl", medical}};
  dbu::CreateDemoDatabases(dir.string(), scripts, report);

  bench::TSilentUI ui;
  dbu::TForm1Logic form(ui);
  form.SetBaseDirOverride(dir.string() + "/");
  if (!form.FormCreate()) {
    std::fprintf(stderr, "start-up failed: %s\n", ui.LastMessage.c_str());
    return 1;
  }
  ui.SetCompanyText("BIG");
  ui.SetTaskIndex(23);  // leaves the claim index on MEDSCH
  if (form.Button1Click() != dbu::TRunEnd::Done) {
    std::fprintf(stderr, "task 23 failed: %s\n", ui.LastMessage.c_str());
    return 1;
  }
  ui.SetTaskIndex(3);
  const Clock::time_point start = Clock::now();
  const dbu::TRunEnd end = form.Button1Click();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (end != dbu::TRunEnd::Done) {
    std::fprintf(stderr, "task 3 failed: %s\n", ui.LastMessage.c_str());
    return 1;
  }

  // Each claim with a date of expense has its two dates swapped, once.
  dbu::TDbTable check;
  check.SetName("Check");
  check.SetDatabaseName((dir / "company" / "BIG").string());
  check.SetTableName("MEDICAL");
  check.Open();
  long swapped = 0, wrong = 0;
  for (check.First(); !check.Eof(); check.Next()) {
    const long i = static_cast<long>(check.FieldByName("DATE_SERIALNUM").AsInteger());
    const dbu::DateTime claim = check.FieldByName("MEDICAL_DATE").AsDateTime();
    const dbu::DateTime visit = check.FieldByName("VISIT_DATE").AsDateTime();
    const dbu::DateTime claimBefore = lastClaim - static_cast<double>(i);
    if (i % 10 == 0) {
      wrong += claim != claimBefore || visit != 0;
    } else {
      ++swapped;
      wrong += claim != firstVisit + static_cast<double>(i) || visit != claimBefore;
    }
  }
  check.Close();
  long debugLines = 0;
  std::ifstream debug(dir / "debug_zozuzezi.txt");
  for (std::string line; std::getline(debug, line);) ++debugLines;
  if (const char* copy = std::getenv("BENCH_DEBUG_COPY"))
    std::filesystem::copy_file(dir / "debug_zozuzezi.txt", copy, std::filesystem::copy_options::overwrite_existing);
  std::printf("task 3 on %ld claims (%ld swapped) under an inherited claim-date index: %.1f ms\n", claims, swapped, ms);
  std::filesystem::remove_all(dir);
  if (wrong != 0 || debugLines != swapped) {
    std::fprintf(stderr, "wrong result: %ld claims not swapped exactly once, %ld debug lines for %ld swaps\n", wrong,
                 debugLines, swapped);
    return 1;
  }
  return 0;
}
