// The preview dialog and its table model.
#include "previewdialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QSplitter>
#include <QVBoxLayout>
#include <algorithm>
#include <numeric>
#include <string_view>

namespace dbu {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

const char* ChangeName(TPreviewChange change) {
  switch (change) {
    case TPreviewChange::Added: return "added";
    case TPreviewChange::Deleted: return "deleted";
    case TPreviewChange::Changed: break;
  }
  return "changed";
}

}  // namespace

// ---------------------------------------------------------------- model

TPreviewTableModel::TPreviewTableModel(const TPreviewTable& table, QObject* parent) : QAbstractTableModel(parent) {
  std::vector<uint32_t> cut = table.CutRecords;
  std::sort(cut.begin(), cut.end());
  size_t rows = table.Columns.size();
  for (const TPreviewRecord& record : table.Records) rows += std::max<size_t>(record.Fields.size(), 1);
  rows_.reserve(rows);
  for (const TPreviewColumn& column : table.Columns) rows_.push_back({&column, nullptr, nullptr, false});
  for (const TPreviewRecord& record : table.Records) {
    const bool isCut = std::binary_search(cut.begin(), cut.end(), record.RecordNumber);
    // A record without fields still gets its row, so that none goes unseen.
    if (record.Fields.empty()) rows_.push_back({nullptr, &record, nullptr, isCut});
    for (const TPreviewField& field : record.Fields) rows_.push_back({nullptr, &record, &field, isCut});
  }
}

int TPreviewTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TPreviewTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QString TPreviewTableModel::Text(const TRow& row, int column) const {
  if (row.Column) {
    switch (column) {
      case kChange: return QStringLiteral("column ") + Q(row.Column->Change);
      case kField: return Q(row.Column->Name);
      case kBefore: return Q(row.Column->Before);
      case kAfter: return Q(row.Column->After);
      default: return QString();
    }
  }
  switch (column) {
    case kChange: {
      QString text = QString::fromLatin1(ChangeName(row.Record->Change));
      if (row.Cut) text += QStringLiteral(", cut by narrowing");
      return text;
    }
    case kRecord: return QString::number(row.Record->RecordNumber);
    case kKey: return Q(row.Record->Key);
    case kField: return row.Field ? Q(row.Field->Name) : QString();
    case kBefore: return row.Field ? Q(row.Field->Before) : QString();
    case kAfter: return row.Field ? Q(row.Field->After) : QString();
    default: return QString();
  }
}

QVariant TPreviewTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return QVariant();
  const TRow& row = rows_[static_cast<size_t>(index.row())];
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return Text(row, index.column());
  if (role == Qt::TextAlignmentRole && index.column() == kRecord)
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  return QVariant();
}

QVariant TPreviewTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return QVariant();
  if (orientation == Qt::Vertical) return section + 1;
  static const char* const kTitles[kColumnCount] = {"Change", "Record", "Key", "Field", "Before", "After"};
  return section >= 0 && section < kColumnCount ? QString::fromLatin1(kTitles[section]) : QVariant();
}

void TPreviewTableModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kColumnCount) return;
  // The sort key of a row in the column: the record number as a number
  // (columns of a structure change, which have none, first), else the text
  // as stored, compared byte by byte.
  auto number = [](const TRow& r) -> int64_t { return r.Record ? static_cast<int64_t>(r.Record->RecordNumber) : -1; };
  auto text = [column](const TRow& r) -> std::string_view {
    static const std::string kNone;
    if (r.Column) {
      switch (column) {
        case kChange: return r.Column->Change;
        case kField: return r.Column->Name;
        case kBefore: return r.Column->Before;
        case kAfter: return r.Column->After;
        default: return kNone;
      }
    }
    switch (column) {
      case kChange: return ChangeName(r.Record->Change);
      case kKey: return r.Record->Key;
      case kField: return r.Field ? std::string_view(r.Field->Name) : kNone;
      case kBefore: return r.Field ? std::string_view(r.Field->Before) : kNone;
      case kAfter: return r.Field ? std::string_view(r.Field->After) : kNone;
      default: return kNone;
    }
  };
  auto less = [&](const TRow& a, const TRow& b) {
    if (column == kRecord) return number(a) < number(b);
    if (column == kChange && (a.Column == nullptr) != (b.Column == nullptr)) return a.Column != nullptr;
    if (column == kChange && a.Cut != b.Cut && text(a) == text(b)) return !a.Cut;
    return text(a) < text(b);
  };
  std::vector<int> permutation(rows_.size());
  std::iota(permutation.begin(), permutation.end(), 0);
  std::stable_sort(permutation.begin(), permutation.end(), [&](int a, int b) {
    const TRow& x = rows_[static_cast<size_t>(a)];
    const TRow& y = rows_[static_cast<size_t>(b)];
    return order == Qt::AscendingOrder ? less(x, y) : less(y, x);
  });

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<TRow> sorted;
  sorted.reserve(rows_.size());
  std::vector<int> newRow(rows_.size());
  for (size_t i = 0; i < permutation.size(); ++i) {
    sorted.push_back(rows_[static_cast<size_t>(permutation[i])]);
    newRow[static_cast<size_t>(permutation[i])] = static_cast<int>(i);
  }
  rows_ = std::move(sorted);
  // The selection and the current cell follow their rows.
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& index : before)
    after.push_back(index.isValid() ? this->index(newRow[static_cast<size_t>(index.row())], index.column())
                                    : QModelIndex());
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

// ---------------------------------------------------------------- dialog

QString TPreviewDialog::TabText(const TPreviewTable& table) {
  QString text = Q(table.Table);
  if (!table.State.empty() && table.State != "changed") text += QLatin1Char(' ') + Q(table.State);
  text += QStringLiteral("  +%1 ~%2 -%3").arg(table.Added).arg(table.Changed).arg(table.Deleted);
  if (!table.Columns.empty())
    text += QStringLiteral(", %1 %2").arg(table.Columns.size()).arg(table.Columns.size() == 1 ? "column" : "columns");
  if (!table.CutRecords.empty()) text += QStringLiteral(", %1 cut").arg(table.CutRecords.size());
  return text;
}

TPreviewDialog::TPreviewDialog(TPreviewResult preview, QWidget* parent)
    : QDialog(parent), preview_(std::move(preview)) {
  setObjectName(QStringLiteral("PreviewDialog"));
  setWindowTitle(QStringLiteral("Preview: %1, task %2 - %3")
                     .arg(Q(preview_.Company))
                     .arg(preview_.Task)
                     .arg(Q(preview_.Caption)));
  setSizeGripEnabled(true);
  resize(860, 520);

  QString summary = QStringLiteral("Preview only: nothing was changed. The run would end: %1.")
                        .arg(preview_.Outcome.empty() ? QStringLiteral("(unknown)") : Q(preview_.Outcome));
  if (!preview_.Error.empty()) summary += QStringLiteral("\nIts error: ") + Q(preview_.Error);
  if (preview_.Tables.empty()) summary += QStringLiteral("\nIt would change no table.");
  summary_ = new QLabel(summary, this);
  summary_->setWordWrap(true);
  summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  tabs_ = new QTabWidget(this);
  for (const TPreviewTable& table : preview_.Tables) {
    auto* view = new QTableView(tabs_);
    view->setModel(new TPreviewTableModel(table, view));
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    // Opened in the preview's own order (columns, then records by number):
    // no sort indicator when sorting is turned on, which sorts by it.
    view->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    view->setSortingEnabled(true);
    view->horizontalHeader()->setStretchLastSection(true);
    view->verticalHeader()->hide();
    // Fixed widths: measuring the cells would read every row.
    const int charWidth = view->fontMetrics().averageCharWidth();
    const int widths[TPreviewTableModel::kColumnCount - 1] = {18, 8, 28, 14, 24};
    for (int column = 0; column < TPreviewTableModel::kColumnCount - 1; ++column)
      view->setColumnWidth(column, widths[column] * charWidth + 12);
    tableViews_.push_back(view);
    tabs_->addTab(view, TabText(table));
  }
  tabs_->addTab(MakeLogTab(), QStringLiteral("Log"));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(summary_);
  layout->addWidget(tabs_, 1);
  layout->addWidget(buttons);
}

QWidget* TPreviewDialog::MakeLogTab() {
  auto* splitter = new QSplitter(Qt::Vertical, tabs_);
  log_ = new QPlainTextEdit(splitter);
  log_->setReadOnly(true);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(preview_.Log.size()));
  for (const std::string& line : preview_.Log) lines.push_back(Q(line));
  log_->setPlainText(lines.join(QLatin1Char('\n')));

  boxes_ = new QTreeWidget(splitter);
  boxes_->setRootIsDecorated(false);
  boxes_->setHeaderLabels({QStringLiteral("Box"), QStringLiteral("Text"), QStringLiteral("Answer")});
  for (const TPreviewBox& box : preview_.Boxes) {
    auto* item = new QTreeWidgetItem(boxes_, {Q(box.Kind), Q(box.Text), Q(box.Answer)});
    item->setToolTip(1, Q(box.Text));
  }
  boxes_->setColumnWidth(0, 10 * boxes_->fontMetrics().averageCharWidth());
  boxes_->setColumnWidth(1, 70 * boxes_->fontMetrics().averageCharWidth());
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 1);
  return splitter;
}

}  // namespace dbu
