// The main window TForm1 (unit Unit1) in Qt Widgets: its controls at their
// fixed places, the company lookup drop-down, and the platform dialogs. It
// implements TUserInterface for the window logic (TForm1Logic), which owns
// the database objects and carries out start-up, runs and "Save Log".
// Beyond the fixed controls: "Process" with Shift held previews the task
// (TPreviewDialog), and "Undo last run" (Ctrl+Z, or the context menu of the
// window's background and of the log pane) puts back the newest run.
//
// The window owns its controls (Qt parent-child) and its logic. Everything
// runs on the GUI thread.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QAction>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "unit1logic.h"
#include "userinterface.h"

namespace dbu {

// The company lookup drop-down: an editable box whose drop-down is a grid of
// the company table ("COMPANY CODE", "COMPANY NAME"). Picking a row puts its
// code in the edit box; typed text is kept as typed.
class TCompanyLookupCombo : public QComboBox {
  Q_OBJECT
 public:
  explicit TCompanyLookupCombo(QWidget* parent);
  void SetRows(const std::vector<TCompanyRow>& rows);
  // The lookup value: shown in the edit box.
  void SetLookupValue(const QString& code) { setEditText(code); }
  QString EditText() const { return currentText(); }

 protected:
  void showPopup() override;

 private:
  void SizeColumns();
};

class TForm1 : public QWidget, public TUserInterface {
  Q_OBJECT
 public:
  // Creates the controls and the logic, then runs FormCreate. baseDir
  // replaces the base directory, company the first company's code.
  explicit TForm1(std::optional<std::string> baseDir = std::nullopt,
                  std::optional<std::string> company = std::nullopt, QWidget* parent = nullptr);
  ~TForm1() override;

  TForm1Logic& Logic() { return *logic_; }

  // ---- TUserInterface ----
  void ShowMessage(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override;
  void ShowError(const std::string& text) override;
  void ShowTitledError(const std::string& title, const std::string& text) override;
  void SetHourglass(bool on) override;
  void ProcessMessages() override;
  void AppendLogLine(const std::string& line) override;
  std::vector<std::string> LogLines() const override;
  std::string CompanyText() const override;
  void SetCompanyText(const std::string& code) override;
  void SetCompanyRows(const std::vector<TCompanyRow>& rows) override;
  int TaskIndex() const override;
  void SetTaskIndex(int index) override;

  // ---- controls ----
  QLabel* Label1;
  TCompanyLookupCombo* DBLookupCombo1;
  QPushButton* Button1;
  QLabel* Label3;
  QComboBox* ComboBox1;
  QLabel* Label2;
  QPlainTextEdit* RichEdit1;
  QPushButton* Button2;
  // "Undo last run": no control of its own, so no fixed place moves.
  QAction* UndoRunAction;

  // "Process" with Shift held: the preview of the selected task in a modal
  // dialog. Nothing under the base directory changes, nor the log pane (the
  // preview's lines are in the dialog).
  void PreviewClick();
  // Asks to undo the newest run not yet undone (naming it), then puts back
  // its tables and tells what was done; its lines go to the log pane too,
  // so a saved log does not present undone changes as in place. A refusal
  // (a table changed since the run) shows the error box and changes nothing.
  void UndoLastRunClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  void ShowLogContextMenu(const QPoint& position);
  std::unique_ptr<TForm1Logic> logic_;
  bool hourglass_ = false;
  bool placed_ = false;
};

// Readies the window's application object right after it is made: its name
// (the title of the boxes), and LC_NUMERIC back to "C". Qt takes the whole
// locale from the environment; the date format keeps the desktop's date
// separator, but a decimal comma has no place in the program's numbers,
// which are written and read without the locale in any case.
void PrepareApplication(QApplication& application);

// The platform dialogs, built but not shown (the window shows them modally).
QString ApplicationTitle();
// Message box: application title, the text, "OK".
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text);
// Confirmation box: "Warning", warning icon, Yes (default) and No; Escape
// and closing answer No.
std::unique_ptr<QMessageBox> MakeConfirmBox(QWidget* parent, const QString& text);
// Standard error box: application title, error icon, "OK".
std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* parent, const QString& text);
// The same box under another title (the spreadsheet component's "Error").
std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* parent, const QString& title, const QString& text);
// Input box: title, prompt, one text field preset to the default.
std::unique_ptr<QInputDialog> MakeInputBox(QWidget* parent, const QString& title, const QString& prompt,
                                           const QString& defaultValue);

}  // namespace dbu
