// The window's dialog showing a preview (dry run) of a task: what the run
// would change, table by table, and its log and boxes.
//
// The dialog owns its copy of the preview; each table's tab is a sortable
// view over a model that reads that copy in place (one row per changed
// field and per changed column), so a preview of 100,000 records opens
// without making an item per cell. Everything runs on the GUI thread.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>
#include <QTreeWidget>
#include <vector>

#include "preview.h"

namespace dbu {

// The rows of one table of a preview: first the columns a structure change
// touches, then every field of every record the run adds, deletes or
// changes. Sorting reorders an index, never the preview itself; ties keep
// their order.
class TPreviewTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum TColumn { kChange, kRecord, kKey, kField, kBefore, kAfter, kColumnCount };

  // table must outlive the model.
  TPreviewTableModel(const TPreviewTable& table, QObject* parent);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  // One row: a column of a structure change, or a field of a record.
  struct TRow {
    const TPreviewColumn* Column = nullptr;
    const TPreviewRecord* Record = nullptr;
    const TPreviewField* Field = nullptr;
    bool Cut = false;  // the record's values a narrowing cuts
  };
  QString Text(const TRow& row, int column) const;

  std::vector<TRow> rows_;
};

class TPreviewDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TPreviewDialog(TPreviewResult preview, QWidget* parent = nullptr);

  // The tabs: one per table, then "Log".
  QTabWidget* Tabs() const { return tabs_; }
  // The view of table i (in the preview's order).
  QTableView* TableView(int i) const { return tableViews_.at(static_cast<size_t>(i)); }
  QLabel* Summary() const { return summary_; }
  QPlainTextEdit* LogView() const { return log_; }
  QTreeWidget* BoxesView() const { return boxes_; }

  // A table's tab text: its name, its state when not just "changed", its
  // counts of records added, changed and deleted, its changed columns and
  // the records a narrowing cuts.
  static QString TabText(const TPreviewTable& table);

 private:
  QWidget* MakeLogTab();

  const TPreviewResult preview_;
  QTabWidget* tabs_ = nullptr;
  QLabel* summary_ = nullptr;
  std::vector<QTableView*> tableViews_;
  QPlainTextEdit* log_ = nullptr;
  QTreeWidget* boxes_ = nullptr;
};

}  // namespace dbu
