// The preview dialog on a hand-made preview: one tab per table with its
// rows, the log tab, and sorting by a column.
#include "previewdialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>

namespace dbu {
namespace {

TPreviewResult TwoTables() {
  TPreviewResult p;
  p.Company = "A01";
  p.Task = 25;
  p.Caption = "Enlarge the Batch No field to 15 length";
  p.Outcome = "done";
  p.Log = {"first line", "second line"};
  p.Boxes = {{"confirm", "Continue? ", "Yes"}, {"message", "Done!", ""}};

  TPreviewTable leave;
  leave.Table = "LEAV_TRX.ADT";
  leave.State = "changed";
  leave.Changed = 2;
  leave.Added = 1;
  leave.Records.push_back({TPreviewChange::Changed, 7, "EMP_NO=S0319", {{"YEAR", "205", "2005"}}});
  leave.Records.push_back({TPreviewChange::Added, 40, "EMP_NO=A0001", {{"EMP_NO", "", "A0001"}, {"YEAR", "", "2024"}}});
  leave.Records.push_back(
      {TPreviewChange::Changed, 3, "EMP_NO=B0002", {{"YEAR", "1905", "2005"}, {"DAYS", "1", "2"}}});
  p.Tables.push_back(leave);

  TPreviewTable batch;
  batch.Table = "BATCH.ADT";
  batch.State = "restructured";
  batch.Columns = {{"BATCH_NO", "narrowed", "CHAR(20)", "CHAR(15)"}, {"NOTE", "added", "", "CHAR(10)"}};
  batch.Changed = 1;
  batch.Records.push_back({TPreviewChange::Changed, 12, "", {{"BATCH_NO", "ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNO"}}});
  batch.CutRecords = {12};
  p.Tables.push_back(batch);
  return p;
}

std::vector<std::string> Column(QTableView* view, int column) {
  std::vector<std::string> values;
  QAbstractItemModel* model = view->model();
  for (int row = 0; row < model->rowCount(); ++row)
    values.push_back(model->index(row, column).data().toString().toStdString());
  return values;
}

TEST(PreviewDialog, ShowsATabPerTableWithItsRowsAndSortsByAColumn) {
  TPreviewDialog dialog(TwoTables());
  EXPECT_EQ(dialog.windowTitle(), "Preview: A01, task 25 - Enlarge the Batch No field to 15 length");
  EXPECT_TRUE(dialog.Summary()->text().contains("nothing was changed")) << dialog.Summary()->text().toStdString();
  EXPECT_TRUE(dialog.Summary()->text().contains("done"));
  QTabWidget* tabs = dialog.Tabs();
  ASSERT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->tabText(0), "LEAV_TRX.ADT  +1 ~2 -0");
  EXPECT_EQ(tabs->tabText(1), "BATCH.ADT restructured  +0 ~1 -0, 2 columns, 1 cut");
  EXPECT_EQ(tabs->tabText(2), "Log");

  // One row per field: 1 + 2 + 2 in the first table; the columns, then the field, in the second.
  QTableView* leave = dialog.TableView(0);
  ASSERT_EQ(leave->model()->columnCount(), 6);
  std::vector<std::string> titles;
  for (int c = 0; c < 6; ++c) titles.push_back(leave->model()->headerData(c, Qt::Horizontal).toString().toStdString());
  EXPECT_EQ(titles, (std::vector<std::string>{"Change", "Record", "Key", "Field", "Before", "After"}));
  EXPECT_EQ(Column(leave, 1), (std::vector<std::string>{"7", "40", "40", "3", "3"}));
  EXPECT_EQ(Column(leave, 0), (std::vector<std::string>{"changed", "added", "added", "changed", "changed"}));
  EXPECT_EQ(Column(leave, 3), (std::vector<std::string>{"YEAR", "EMP_NO", "YEAR", "YEAR", "DAYS"}));
  QTableView* batch = dialog.TableView(1);
  EXPECT_EQ(Column(batch, 0),
            (std::vector<std::string>{"column narrowed", "column added", "changed, cut by narrowing"}));
  EXPECT_EQ(Column(batch, 4), (std::vector<std::string>{"CHAR(20)", "", "ABCDEFGHIJKLMNOPQ"}));
  EXPECT_EQ(Column(batch, 5), (std::vector<std::string>{"CHAR(15)", "CHAR(10)", "ABCDEFGHIJKLMNO"}));

  // Sorting by a column reorders whole rows; by the record number as a number (40 after 7).
  EXPECT_TRUE(leave->isSortingEnabled());
  leave->sortByColumn(1, Qt::AscendingOrder);
  EXPECT_EQ(Column(leave, 1), (std::vector<std::string>{"3", "3", "7", "40", "40"}));
  EXPECT_EQ(Column(leave, 3), (std::vector<std::string>{"YEAR", "DAYS", "YEAR", "EMP_NO", "YEAR"}));
  leave->sortByColumn(4, Qt::DescendingOrder);
  EXPECT_EQ(Column(leave, 4), (std::vector<std::string>{"205", "1905", "1", "", ""}));
  EXPECT_EQ(Column(leave, 5), (std::vector<std::string>{"2005", "2005", "2", "A0001", "2024"}));
  leave->sortByColumn(3, Qt::AscendingOrder);
  EXPECT_EQ(Column(leave, 3), (std::vector<std::string>{"DAYS", "EMP_NO", "YEAR", "YEAR", "YEAR"}));

  // The log tab: the log lines and each box with its answer.
  EXPECT_EQ(dialog.LogView()->toPlainText(), "first line\nsecond line");
  ASSERT_EQ(dialog.BoxesView()->topLevelItemCount(), 2);
  EXPECT_EQ(dialog.BoxesView()->topLevelItem(0)->text(0), "confirm");
  EXPECT_EQ(dialog.BoxesView()->topLevelItem(0)->text(1), "Continue? ");
  EXPECT_EQ(dialog.BoxesView()->topLevelItem(0)->text(2), "Yes");
}

}  // namespace
}  // namespace dbu
