// Task 34 (asset import from "marlix.xls") through the window's logic on a
// generated company: a workbook of N asset rows (default 20,000) whose
// mapping fills 20 columns of ASSET (a category code row, a group code row,
// both function types) and 5 of FAACCDEP. The workbook is written by
// Debian's python3-xlwt before timing. Prints the time of the whole run
// (opening the workbook included), rows per second, and checks the result.
//
// Usage: import_assets_bench [rows]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "dbtable.h"
#include "demodb.h"
#include "sheet_reader.h"
#include "unit1logic.h"
#include "silent_ui.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::TSilentUI;

const char* kMapping =
    "TABLE MARLIX.ADT\nFIELD TABLE_NAME Char 10\nFIELD FIELD_NO Integer\nFIELD FIELD_NAME Char 20\n"
    "FIELD EXCEL_COL Char 3\nFIELD CODE_CATEGORY Char 10\nFIELD EXCEL_COL2 Char 3\nFIELD FUNCTION_TYPE Integer\n"
    "INDEX TABLEFIELD TABLE_NAME;FIELD_NO UNIQUE\n"
    "ROW ASSET | 1 | ASSET_NO | A | | |\nROW ASSET | 2 | ASSET_DESC | B | | |\n"
    "ROW ASSET | 3 | CATEGORY | C | | |\nROW ASSET | 4 | CATEGORY | D | CAT | C |\n"
    "ROW ASSET | 5 | GROUP_CODE | E | | |\nROW ASSET | 6 | GROUP_CODE | F | GRP | E |\n"
    "ROW ASSET | 7 | PURCHASE_DATE | G | | | 1\nROW ASSET | 8 | PURCHASE_COST | H | | |\n"
    "ROW ASSET | 9 | INSTALL_COST | I | | | 2\nROW ASSET | 10 | LOCATION | J | | |\n"
    "ROW ASSET | 11 | SUPPLIER | K | | |\nROW ASSET | 12 | INVOICE_NO | L | | |\n"
    "ROW ASSET | 13 | SERIAL_NO | M | | |\nROW ASSET | 14 | BRAND | N | | |\n"
    "ROW ASSET | 15 | MODEL | O | | |\nROW ASSET | 16 | DEPT | P | | |\n"
    "ROW ASSET | 17 | QTY | Q | | |\nROW ASSET | 18 | LIFE | R | | |\n"
    "ROW ASSET | 19 | RATE | S | | |\nROW ASSET | 20 | REMARK | T | | |\n"
    "ROW FAACCDEP | 1 | ASSET_CODE | A | | |\nROW FAACCDEP | 2 | PURCHASE_DATE | G | | | 1\n"
    "ROW FAACCDEP | 3 | PURCHASE_COST | H | | |\nROW FAACCDEP | 4 | INSTALL_COST | I | | | 2\n"
    "ROW FAACCDEP | 5 | ACC_DEPR | S | | |\n";
const char* kAsset =
    "TABLE ASSET.ADT\nFIELD ASSET_NO Char 15\nFIELD ASSET_DESC Char 40\nFIELD CATEGORY Char 10\n"
    "FIELD GROUP_CODE Char 10\nFIELD PURCHASE_DATE Date\nFIELD PURCHASE_COST CurDouble\n"
    "FIELD INSTALL_COST CurDouble\nFIELD TOTAL_COST CurDouble\nFIELD START_DEPR Char 6\nFIELD DISPOSE_DATE Date\n"
    "FIELD LOCATION Char 10\nFIELD SUPPLIER Char 30\nFIELD INVOICE_NO Char 15\nFIELD SERIAL_NO Char 20\n"
    "FIELD BRAND Char 20\nFIELD MODEL Char 20\nFIELD DEPT Char 10\nFIELD QTY Integer\nFIELD LIFE Integer\n"
    "FIELD RATE Double\nFIELD REMARK Char 40\nINDEX ASSET_NO ASSET_NO UNIQUE\nROW OLD1 | Old asset | | | | | | | | | | | | | | | | | | |\n";
const char* kDepreciation =
    "TABLE FAACCDEP.ADT\nFIELD ASSET_CODE Char 15\nFIELD PURCHASE_DATE Date\nFIELD PURCHASE_COST CurDouble\n"
    "FIELD INSTALL_COST CurDouble\nFIELD TOTAL_COST CurDouble\nFIELD ACC_DEPR Double\nFIELD START_DEPR Char 6\n"
    "FIELD DISPOSE_DATE Date\nINDEX ASSET_CODE ASSET_CODE UNIQUE\n";
const char* kCodes =
    "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD DESC Char 30\n"
    "INDEX CATCODE CATEGORY;CODE UNIQUE\n";
const char* kGroups =
    "TABLE GRPCODE.ADT\nFIELD GROUP_CODE Char 10\nFIELD GROUP_DESC Char 30\nINDEX GROUP_CODE GROUP_CODE UNIQUE\n";

std::string Periods() {
  std::string script =
      "TABLE PGRP_TRX.ADT\nFIELD PAY_GROUP Char 5\nFIELD PERIOD Char 6\nFIELD YEAR Integer\nFIELD START_DATE Date\n"
      "FIELD END_DATE Date\n";
  static const int kEnd[] = {30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 28, 31};
  for (int i = 0; i < 12; ++i) {
    const int month = (i + 3) % 12 + 1, year = month >= 4 ? 2005 : 2006;
    char row[120];
    std::snprintf(row, sizeof row, "ROW MTH | 2006%02d | 2006 | 01/%02d/%04d | %02d/%02d/%04d\n", i + 1, month, year,
                  kEnd[i], month, year);
    script += row;
  }
  return script;
}

// The python script that writes the workbook of rows asset rows.
const char* kWriter = R"py(
import datetime, sys, xlwt
rows = int(sys.argv[2])
book = xlwt.Workbook()
sheet = book.add_sheet("Assets")
date_style = xlwt.easyxf(num_format_str="dd/mm/yyyy")
amount_style = xlwt.easyxf(num_format_str="0.00")
for c, h in enumerate("ABCDEFGHIJKLMNOPQRST"):
    sheet.write(0, c, "Column " + h)
start = datetime.date(2003, 1, 1)
for r in range(1, rows + 1):
    w = sheet.write
    w(r, 0, "AS%08d" % r)
    w(r, 1, "Asset number %d" % r)
    w(r, 2, "C%03d" % (r % 50))
    w(r, 3, "Category %d" % (r % 50))
    w(r, 4, "G%02d" % (r % 20))
    w(r, 5, "Group %d" % (r % 20))
    w(r, 6, start + datetime.timedelta(days=r % 1500), date_style)
    w(r, 7, 1000 + (r % 997) * 1.25, amount_style)
    w(r, 8, (r % 13) * 10.5, amount_style)
    w(r, 9, "LOC%02d" % (r % 30))
    w(r, 10, "Supplier %d" % (r % 200))
    w(r, 11, "INV%07d" % r)
    w(r, 12, "SN-%010d" % (r * 7919))
    w(r, 13, "Brand %d" % (r % 40))
    w(r, 14, "Model %d" % (r % 300))
    w(r, 15, "D%02d" % (r % 25))
    w(r, 16, r % 9 + 1)
    w(r, 17, r % 10 + 3)
    w(r, 18, (r % 100) / 8.0)
    w(r, 19, "Remark for row %d" % r)
book.save(sys.argv[1])
)py";

// Processor time of this process so far (user and system), in seconds: on a
// loaded machine it tells the work from the waiting.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long CountRecords(const std::string& folder, const char* table) {
  dbu::TDbTable t;
  t.SetName("Count");
  t.SetDatabaseName(folder);
  t.SetTableName(table);
  t.Open();
  long n = 0;
  for (t.First(); !t.Eof(); t.Next()) ++n;
  t.Close();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 20000;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("import_assets_bench_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string base = dir.string() + "/";

  std::vector<dbu::TDemoScript> scripts = {
      {"base/mcompany.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nROW A01\n"},
      {"company/A01/marlix.tbl", kMapping},       {"company/A01/asset.tbl", kAsset},
      {"company/A01/faaccdep.tbl", kDepreciation}, {"company/A01/code.tbl", kCodes},
      {"company/A01/grpcode.tbl", kGroups},       {"company/A01/pgrp_trx.tbl", Periods()},
  };
  std::vector<std::string> report;
  dbu::CreateDemoDatabases(dir.string(), scripts, report);

  const std::string writer = base + "write_marlix.py";
  std::ofstream(writer) << kWriter;
  const auto writeStart = Clock::now();
  const std::string command =
      "/usr/bin/python3 '" + writer + "' '" + base + "marlix.xls' " + std::to_string(rows);
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "writing the workbook failed: %s\n", command.c_str());
    return 1;
  }
  std::printf("workbook of %ld rows x 20 columns written in %.1f s (%.1f MB)\n", rows,
              std::chrono::duration<double>(Clock::now() - writeStart).count(),
              static_cast<double>(std::filesystem::file_size(base + "marlix.xls")) / 1e6);

  // What opening the workbook alone costs, to tell it from the import.
  {
    dbu::TSheetReader reader;
    dbu::SetUpSheetReader1(reader);
    reader.Workbooks()[0].SetFilename(base + "marlix.xls");
    const auto start = Clock::now();
    const double cpuStart = CpuSeconds();
    reader.SetConnected(true);
    std::printf("opening the workbook alone: %.3f s (processor %.3f s)\n",
                std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpuStart);
  }

  TSilentUI ui;
  int status = 0;
  {
    dbu::TForm1Logic form(ui);
    form.SetProgramFolder(base);
    form.SetBaseDirOverride(base);
    if (!form.FormCreate()) {
      std::fprintf(stderr, "start-up failed: %s\n", ui.LastMessage.c_str());
      return 1;
    }
    ui.SetCompanyText("A01");
    ui.SetTaskIndex(34);
    const auto start = Clock::now();
    const double cpuStart = CpuSeconds();
    const dbu::TRunEnd end = form.Button1Click();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("task 34: %ld rows, 20 mapped columns (ASSET) + 5 (FAACCDEP): %.3f s (processor %.3f s), %.0f rows/s "
                "(target: < 2 s)\n",
                rows, seconds, cpu, static_cast<double>(rows) / seconds);
    if (end != dbu::TRunEnd::Done || ui.LastMessage != "Done!" || !ui.LogLines().empty()) {
      std::fprintf(stderr, "the run did not end cleanly: %s (%zu log lines)\n", ui.LastMessage.c_str(),
                   ui.LogLines().size());
      status = 1;
    }
  }
  const std::string folder = base + "company/A01";
  const long assets = CountRecords(folder, "ASSET"), depreciation = CountRecords(folder, "FAACCDEP");
  const long codes = CountRecords(folder, "CODE"), groups = CountRecords(folder, "GRPCODE");
  std::printf("ASSET %ld, FAACCDEP %ld, CODE %ld, GRPCODE %ld records\n", assets, depreciation, codes, groups);
  if (assets != rows || depreciation != rows || codes != 50 || groups != 20) {
    std::fprintf(stderr, "unexpected record counts\n");
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
