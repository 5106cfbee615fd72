// The preview dialog on a generated preview of R rows (default 100,000):
// R/2 changed records of two fields in one table. Times making and showing
// the dialog (first paint included), then sorting the table by the "Before"
// column and back by record number, under the offscreen platform.
//
// Prints "ratio <name> <seconds/target>" lines (at most 1.0 meets the
// target): opening against 1 s, each sort against 1 s.
//
// Usage: preview_dialog_bench [rows]
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "previewdialog.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

dbu::TPreviewResult Generated(long rows) {
  dbu::TPreviewResult preview;
  preview.Company = "A01";
  preview.Task = 14;
  preview.Caption = "Rectify invalid Year entry in leave detail";
  preview.Outcome = "done";
  dbu::TPreviewTable table;
  table.Table = "LEAV_TRX.ADT";
  table.State = "changed";
  for (long i = 0; i < rows / 2; ++i) {
    dbu::TPreviewRecord record;
    record.RecordNumber = static_cast<uint32_t>(i + 1);
    record.Key = "EMPCODE=S" + std::to_string(100000 + (i * 7919) % 100000);
    record.Fields = {{"YEAR", std::to_string(1900 + (i * 31) % 200), "2005"},
                     {"DAYS", std::to_string((i * 13) % 365), std::to_string((i * 17) % 365)}};
    table.Records.push_back(std::move(record));
  }
  table.Changed = table.Records.size();
  preview.Tables.push_back(std::move(table));
  return preview;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
  dbu::TPreviewResult preview = Generated(rows);

  auto start = Clock::now();
  dbu::TPreviewDialog dialog(std::move(preview));
  dialog.show();
  QApplication::processEvents();
  const double open = Since(start);
  QTableView* view = dialog.TableView(0);
  if (view->model()->rowCount() != rows) {
    std::fprintf(stderr, "expected %ld rows, the view has %d\n", rows, view->model()->rowCount());
    return 1;
  }
  start = Clock::now();
  view->sortByColumn(4, Qt::DescendingOrder);
  QApplication::processEvents();
  const double byBefore = Since(start);
  start = Clock::now();
  view->sortByColumn(1, Qt::AscendingOrder);
  QApplication::processEvents();
  const double byRecord = Since(start);
  if (view->model()->index(0, 1).data().toString() != "1") {
    std::fprintf(stderr, "sorting by record number did not put record 1 first\n");
    return 1;
  }
  std::printf("rows %ld: open %.3f s, sort by Before %.3f s, sort by Record %.3f s\n", rows, open, byBefore,
              byRecord);
  std::printf("ratio preview_dialog_open %.3f\n", open / 1.0);
  std::printf("ratio preview_dialog_sort_text %.3f\n", byBefore / 1.0);
  std::printf("ratio preview_dialog_sort_number %.3f\n", byRecord / 1.0);
  return 0;
}
