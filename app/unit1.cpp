// The main window and its dialogs.
#include "unit1.h"

#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QScreen>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <algorithm>
#include <clocale>

#include "appfiles.h"
#include "previewdialog.h"
#include "undo.h"

namespace dbu {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// Items of the task list's drop-down are 13 pixels high.
class TFixedHeightDelegate : public QStyledItemDelegate {
 public:
  TFixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height_);
  }

 private:
  int height_;
};

constexpr int kOuterWidth = 446;
constexpr int kOuterHeight = 533;

}  // namespace

void PrepareApplication(QApplication& application) {
  application.setApplicationName(ApplicationTitle());
  std::setlocale(LC_NUMERIC, "C");
}

// ---------------------------------------------------------------- dialogs

QString ApplicationTitle() { return Q(ProgramTitle()); }

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok, parent);
  box->setDefaultButton(QMessageBox::Ok);
  box->setEscapeButton(QMessageBox::Ok);
  return box;
}

std::unique_ptr<QMessageBox> MakeConfirmBox(QWidget* parent, const QString& text) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, QStringLiteral("Warning"), text,
                                           QMessageBox::Yes | QMessageBox::No, parent);
  box->setDefaultButton(QMessageBox::Yes);
  box->setEscapeButton(QMessageBox::No);  // Escape and the close button
  return box;
}

std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* parent, const QString& text) {
  return MakeErrorBox(parent, ApplicationTitle(), text);
}

std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* parent, const QString& title, const QString& text) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
  box->setDefaultButton(QMessageBox::Ok);
  box->setEscapeButton(QMessageBox::Ok);
  return box;
}

std::unique_ptr<QInputDialog> MakeInputBox(QWidget* parent, const QString& title, const QString& prompt,
                                           const QString& defaultValue) {
  auto box = std::make_unique<QInputDialog>(parent);
  box->setInputMode(QInputDialog::TextInput);
  box->setWindowTitle(title);
  box->setLabelText(prompt);
  box->setTextValue(defaultValue);
  return box;
}

// ---------------------------------------------------------------- lookup

TCompanyLookupCombo::TCompanyLookupCombo(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  setCompleter(nullptr);
  auto* model = new QStandardItemModel(0, 2, this);
  model->setHorizontalHeaderLabels({QStringLiteral("COMPANY CODE"), QStringLiteral("COMPANY NAME")});
  setModel(model);
  setModelColumn(0);
  auto* grid = new QTableView(this);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setShowGrid(true);
  grid->verticalHeader()->hide();
  grid->horizontalHeader()->setVisible(true);
  setView(grid);
  SizeColumns();
}

void TCompanyLookupCombo::SizeColumns() {
  // 8 and 40 characters wide, and never narrower than the column's title or
  // its widest value, so that neither is cut.
  auto* grid = static_cast<QTableView*>(view());
  const int charWidth = grid->fontMetrics().averageCharWidth();
  const int characters[2] = {8, 40};
  for (int column = 0; column < 2; ++column) {
    int width = characters[column] * charWidth + 8;
    width = std::max(width, grid->horizontalHeader()->sectionSizeHint(column));
    width = std::max(width, static_cast<QAbstractItemView*>(grid)->sizeHintForColumn(column));
    grid->setColumnWidth(column, width);
  }
}

void TCompanyLookupCombo::SetRows(const std::vector<TCompanyRow>& rows) {
  const QString typed = currentText();
  auto* model = static_cast<QStandardItemModel*>(this->model());
  model->removeRows(0, model->rowCount());
  for (const TCompanyRow& row : rows) {
    auto* code = new QStandardItem(Q(row.Code));
    auto* name = new QStandardItem(Q(row.Name));
    code->setEditable(false);
    name->setEditable(false);
    model->appendRow({code, name});
  }
  // Filling the rows must not replace what the edit box shows.
  setCurrentIndex(-1);
  setEditText(typed);
  SizeColumns();
}

void TCompanyLookupCombo::showPopup() {
  auto* grid = static_cast<QTableView*>(view());
  SizeColumns();
  // Room for every column, and for the scroll bar when the rows need one.
  int width = grid->horizontalHeader()->length() + 2 * grid->frameWidth();
  if (model()->rowCount() > maxVisibleItems()) width += grid->verticalScrollBar()->sizeHint().width();
  grid->setMinimumWidth(width);
  QComboBox::showPopup();
}

// ---------------------------------------------------------------- window

TForm1::TForm1(std::optional<std::string> baseDir, std::optional<std::string> company, QWidget* parent)
    : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Database Utility - 38 Tasks"));
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(11);  // 8 point at 96 dots per inch
  // Where that face is missing, a condensed sans keeps the captions inside
  // their fixed label widths.
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans Condensed"),
                    QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Nimbus Sans Narrow")});
  font.setStretch(QFont::Condensed);
  setFont(font);
  setPalette(QApplication::palette("QPushButton"));
  setAutoFillBackground(true);
  CreateControls();
  resize(kOuterWidth, kOuterHeight);
  logic_ = std::make_unique<TForm1Logic>(*this);
  if (baseDir) logic_->SetBaseDirOverride(*baseDir);
  logic_->FormCreate();
  if (company) SetCompanyText(*company);
}

TForm1::~TForm1() {
  if (hourglass_) QApplication::restoreOverrideCursor();
}

void TForm1::CreateControls() {
  auto place = [](QWidget* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(left, top, width, height);
  };
  Label1 = new QLabel(QStringLiteral("Company Code"), this);
  place(Label1, "Label1", 0, 14, 72, 13);
  DBLookupCombo1 = new TCompanyLookupCombo(this);
  place(DBLookupCombo1, "DBLookupCombo1", 120, 8, 121, 21);
  Button1 = new QPushButton(QStringLiteral("Process"), this);
  place(Button1, "Button1", 352, 10, 75, 25);
  Label3 = new QLabel(QStringLiteral("Select a task to execute"), this);
  place(Label3, "Label3", 0, 48, 115, 13);
  ComboBox1 = new QComboBox(this);
  place(ComboBox1, "ComboBox1", 120, 45, 305, 21);
  ComboBox1->setEditable(false);
  ComboBox1->setItemDelegate(new TFixedHeightDelegate(13, ComboBox1));
  for (int i = 0; i < kTaskCount; ++i) ComboBox1->addItem(Q(TaskCaption(i)));
  ComboBox1->setCurrentIndex(-1);
  Label2 = new QLabel(QStringLiteral("Log Content"), this);
  place(Label2, "Label2", 10, 88, 58, 13);
  RichEdit1 = new QPlainTextEdit(this);
  place(RichEdit1, "RichEdit1", 8, 104, 417, 361);
  RichEdit1->setLineWrapMode(QPlainTextEdit::NoWrap);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  RichEdit1->setReadOnly(false);
  RichEdit1->setTabChangesFocus(true);
  Button2 = new QPushButton(QStringLiteral("Save Log"), this);
  place(Button2, "Button2", 352, 472, 75, 25);

  for (QWidget* w : {static_cast<QWidget*>(Button1), static_cast<QWidget*>(ComboBox1),
                     static_cast<QWidget*>(DBLookupCombo1), static_cast<QWidget*>(Button2),
                     static_cast<QWidget*>(RichEdit1)})
    w->setFocusPolicy(Qt::StrongFocus);
  QWidget::setTabOrder(Button1, ComboBox1);
  QWidget::setTabOrder(ComboBox1, DBLookupCombo1);
  QWidget::setTabOrder(DBLookupCombo1, Button2);
  QWidget::setTabOrder(Button2, RichEdit1);
  Button1->setFocus();

  connect(Button1, &QPushButton::clicked, this, [this] {
    if (QApplication::keyboardModifiers() & Qt::ShiftModifier)
      PreviewClick();
    else
      logic_->Button1Click();
  });
  connect(Button2, &QPushButton::clicked, this, [this] { logic_->Button2Click(); });

  // The window manager's system menu is out of reach, so "Undo last run" is
  // a shortcut and a context menu entry. Where the log pane or the company
  // box has the focus, Ctrl+Z stays their own undo of typing.
  UndoRunAction = new QAction(QStringLiteral("Undo last run"), this);
  UndoRunAction->setObjectName(QStringLiteral("UndoRunAction"));
  UndoRunAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
  UndoRunAction->setShortcutContext(Qt::WindowShortcut);
  connect(UndoRunAction, &QAction::triggered, this, [this] { UndoLastRunClick(); });
  addAction(UndoRunAction);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  RichEdit1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(RichEdit1, &QWidget::customContextMenuRequested, this, &TForm1::ShowLogContextMenu);
}

void TForm1::ShowLogContextMenu(const QPoint& position) {
  // The pane's own editing menu, with the undo of a run below it.
  std::unique_ptr<QMenu> menu(RichEdit1->createStandardContextMenu(position));
  menu->addSeparator();
  menu->addAction(UndoRunAction);
  menu->exec(RichEdit1->viewport()->mapToGlobal(position));
}

void TForm1::PreviewClick() {
  TPreviewResult preview;
  const QString log = RichEdit1->toPlainText();
  if (logic_->PreviewClick(preview) == TRunEnd::Ignored) return;
  // The pane is the log of what ran: a preview's lines go to its dialog
  // only, so that "Save Log" never writes them as done.
  if (RichEdit1->toPlainText() != log) {
    RichEdit1->setPlainText(log);
    RichEdit1->moveCursor(QTextCursor::End);
  }
  // A preview that never ran (the company refused, say) has shown its error box already.
  if (preview.Outcome.empty() && preview.Tables.empty() && preview.Log.empty() && preview.Boxes.empty()) return;
  TPreviewDialog dialog(std::move(preview), this);
  dialog.exec();
}

void TForm1::UndoLastRunClick() {
  // A shortcut let through by a task's pending events must not undo under the run.
  if (logic_->Running()) return;
  try {
    std::optional<TRunManifest> run;
    if (!logic_->BaseDir().empty())
      for (TRunManifest& candidate : ListRuns(BackupsFolder(logic_->BaseDir())))
        if (candidate.Undone.empty()) {
          run = std::move(candidate);
          break;
        }
    if (!run) {
      ShowMessage("There is no run to undo.");
      return;
    }
    std::string question = "Undo run " + run->Id + "?\n\nCompany " + run->Company + ", task " +
                           std::to_string(run->Task) + ": " + run->Caption + "\nStarted " + run->Started +
                           (run->Finished() ? " (" + run->Outcome + ")" : " (did not end)") +
                           "\n\nIts tables are put back as they were before the run.";
    auto box = MakeConfirmBox(this, Q(question));
    box->setDefaultButton(QMessageBox::No);  // undo cannot itself be undone
    if (box->exec() != QMessageBox::Yes) return;
    // Undo takes each table exclusively: the logic's tables are let go first.
    logic_->DbConnection1.Disconnect();
    logic_->DbConnection2.Disconnect();
    logic_->DbConnection3.Disconnect();
    const std::vector<std::string> lines = UndoRun(logic_->BaseDir(), run->Id, false);
    std::string text;
    for (const std::string& line : lines) {
      AppendLogLine(line);
      text += (text.empty() ? "" : "\n") + line;
    }
    ShowMessage(text);
  } catch (const std::exception& error) {
    ShowError(error.what());
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  // The outer size includes the frame, known only once the window is shown.
  const QSize frame = frameGeometry().size() - size();
  resize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
  if (QScreen* s = screen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - QPoint(kOuterWidth / 2, kOuterHeight / 2));
  }
  Button1->setFocus();
}

void TForm1::ShowMessage(const std::string& text) { MakeMessageBox(this, Q(text))->exec(); }

bool TForm1::Confirm(const std::string& text) { return MakeConfirmBox(this, Q(text))->exec() == QMessageBox::Yes; }

bool TForm1::InputQuery(const std::string& title, const std::string& prompt, std::string& value) {
  auto box = MakeInputBox(this, Q(title), Q(prompt), Q(value));
  if (box->exec() != QDialog::Accepted) return false;
  value = box->textValue().toStdString();
  return true;
}

void TForm1::ShowError(const std::string& text) { MakeErrorBox(this, Q(text))->exec(); }

void TForm1::ShowTitledError(const std::string& title, const std::string& text) {
  MakeErrorBox(this, Q(title), Q(text))->exec();
}

void TForm1::SetHourglass(bool on) {
  if (on == hourglass_) return;
  hourglass_ = on;
  if (on)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TForm1::ProcessMessages() { QApplication::processEvents(); }

void TForm1::AppendLogLine(const std::string& line) { RichEdit1->appendPlainText(Q(line)); }

std::vector<std::string> TForm1::LogLines() const {
  std::vector<std::string> lines;
  const QString text = RichEdit1->toPlainText();
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(line.toStdString());
  return lines;
}

std::string TForm1::CompanyText() const { return DBLookupCombo1->EditText().toStdString(); }

void TForm1::SetCompanyText(const std::string& code) { DBLookupCombo1->SetLookupValue(Q(code)); }

void TForm1::SetCompanyRows(const std::vector<TCompanyRow>& rows) { DBLookupCombo1->SetRows(rows); }

int TForm1::TaskIndex() const { return ComboBox1->currentIndex(); }

void TForm1::SetTaskIndex(int index) { ComboBox1->setCurrentIndex(index); }

}  // namespace dbu
