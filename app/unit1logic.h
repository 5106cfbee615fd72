// The main window's logic without its widgets (unit Unit1): the objects
// that every task uses, start-up, the run of a task, the log and the
// company list. The Qt window, the command line and the tests drive it
// through TUserInterface, so all of them run the same code.
//
// Ownership: the logic owns, for its whole life, the three connections, the
// five table cursors, the query and the spreadsheet component; tasks own
// nothing and re-point the shared cursors. The user interface is borrowed
// and must outlive the logic. While alive, the logic routes the data access
// layer's pointer changes to its user interface (one logic per process at a
// time). Single-threaded: everything runs on the window's thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "dbconnection.h"
#include "dbquery.h"
#include "dbtable.h"
#include "preview.h"
#include "runrecorder.h"
#include "sheet_reader.h"
#include "tasklist.h"
#include "userinterface.h"

namespace dbu {

// The logic's view of the front end's user interface: passes every call
// through; while a preview records, it also notes each box with the answer
// the front end gave (a preview asks exactly what the run would).
class TBoxRecordingUI : public TUserInterface {
 public:
  explicit TBoxRecordingUI(TUserInterface& ui) : ui_(ui) {}
  // boxes: where the boxes go from now on; nullptr stops recording.
  void Record(std::vector<TPreviewBox>* boxes) { boxes_ = boxes; }

  void ShowMessage(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override;
  void ShowError(const std::string& text) override;
  void ShowTitledError(const std::string& title, const std::string& text) override;
  void SetHourglass(bool on) override { ui_.SetHourglass(on); }
  void ProcessMessages() override { ui_.ProcessMessages(); }
  void AppendLogLine(const std::string& line) override { ui_.AppendLogLine(line); }
  std::vector<std::string> LogLines() const override { return ui_.LogLines(); }
  std::string CompanyText() const override { return ui_.CompanyText(); }
  void SetCompanyText(const std::string& code) override { ui_.SetCompanyText(code); }
  void SetCompanyRows(const std::vector<TCompanyRow>& rows) override { ui_.SetCompanyRows(rows); }
  int TaskIndex() const override { return ui_.TaskIndex(); }
  void SetTaskIndex(int index) override { ui_.SetTaskIndex(index); }

 private:
  void Note(const char* kind, const std::string& text, const std::string& answer);
  TUserInterface& ui_;
  std::vector<TPreviewBox>* boxes_ = nullptr;
};

// How one press of "Process" ended.
enum class TRunEnd {
  Done,     // normal end: "Done!" was shown
  Error,    // an error ended it: the standard error box was shown
  Stopped,  // a confirmation answered other than "Yes", or a task's own stop
  Ignored,  // pressed while a run was in progress: nothing happened
};

class TForm1Logic : public TComponent {
 public:
  // The administrator password: connection password and table password.
  static constexpr const char* kAdminPassword = "KVRNA7310";
  static constexpr const char* kDefaultDateFormat = "dd/MM/yyyy";
  // The stored index fields of Code and groupCode; given to the cursors
  // once they select orders by field names.
  static constexpr const char* kCodeIndexFieldNames = "CATEGORY;CODE";
  static constexpr const char* kGroupCodeIndexFieldNames = "GROUP_CODE";

  explicit TForm1Logic(TUserInterface& ui);
  ~TForm1Logic() override;

  // Replaces the base directory found by FormCreate (program folder or the
  // settings file); the command line's --base. Takes effect at FormCreate.
  void SetBaseDirOverride(const std::string& dir) { baseDirOverride_ = dir; }
  // The folder FormCreate starts from; the running program's by default.
  void SetProgramFolder(const std::string& folder) { programFolder_ = folder; }
  // That folder, ending with a separator: the import tasks' workbooks lie there.
  const std::string& ProgramDir() const { return programFolder_; }

  // ---- handlers ----
  // Creation: base directory, company list, first task, date format. An
  // error shows the standard error box and skips the remaining steps; the
  // result is false then.
  bool FormCreate();
  void ReadSettingsFile();
  static std::string GetAdminPassword() { return kAdminPassword; }
  // "Process": one run. A press during a run is ignored.
  TRunEnd Button1Click();
  // Processor time the last Button1Click spent recording its run (the
  // saves before first writes, the history): beyond the task's own work.
  double LastRunRecordingSeconds() const { return lastRecordingSeconds_; }
  // "Process" with Shift held: runs the selected task on a private copy of
  // the databases it writes (see preview.h) and fills result with what the
  // run would change, its log lines and boxes; nothing under the base
  // directory changes and no history is written. Ignored during a run.
  TRunEnd PreviewClick(TPreviewResult& result);
  // "Save Log": true when the file was written.
  bool Button2Click();
  void SetCompanyPath();
  // Where the database of company code lies (CompanyDatabasePath, what
  // naming the code in errors); during a preview, in the preview's copy,
  // which gets the company's folder the first time it is asked for.
  std::string CompanyPath(const std::string& code, const std::string& what);
  // During a preview: its private copy; nullptr otherwise.
  const TPreviewCopy* Preview() const { return preview_; }
  void WriteDebugLine(const std::string& line);

  // ---- services for task bodies ----
  void AddLogLine(const std::string& line);
  void ShowMessage(const std::string& text) { ui_.ShowMessage(text); }
  // A message box telling an error that a task caught itself and went on
  // after (the structure routines): shown as any message box, counted as an
  // error shown.
  void ShowErrorMessage(const std::string& text) {
    ++errorsShown_;
    ui_.ShowMessage(text);
  }
  // Errors shown since creation: standard error boxes (start-up, runs, "Save
  // Log"), the spreadsheet component's boxes and ShowErrorMessage. Lets the
  // command line tell a run that reached "Done!" after errors from a clean one.
  int ErrorsShown() const { return errorsShown_; }
  bool Confirm(const std::string& text) { return ui_.Confirm(text); }
  std::string InputBox(const std::string& title, const std::string& prompt, const std::string& defaultValue) {
    return ui_.InputBox(title, prompt, defaultValue);
  }
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) {
    return ui_.InputQuery(title, prompt, value);
  }
  void ProcessMessages() { ui_.ProcessMessages(); }
  TUserInterface& UI() { return ui_; }
  TTaskDispatcher& Dispatcher() { return dispatcher_; }

  const std::string& BaseDir() const { return baseDir_; }
  bool Running() const { return running_; }
  // The company code of the next run: the company edit text.
  std::string CompanyCode() const { return ui_.CompanyText(); }
  // The company table's rows in natural order (for the drop-down); leaves
  // TblCompany on its first record.
  std::vector<TCompanyRow> CompanyRows();

  // ---- the window's objects ----
  TDbConnection DbConnection1, DbConnection2, DbConnection3;
  TDbTable MEDSCH, TblCompany, Code, groupCode, DbTable1;
  TDbQuery DbQuery1;
  TSheetReader SheetReader1;
  // What the window stores for the spreadsheet component beyond its item
  // tree; our in-process reader has no server window, so nothing reads it.
  struct TSheetServerSettings {
    bool Visible = false;  // the spreadsheet application stays hidden
    bool WindowStateNormal = true;
    int Left = 0, Top = -2, Width = 640, Height = 480;
    bool LargeButtons = false;
    bool EnableAnimations = false;
    bool EnableAutoComplete = false;
    bool CancelKeyInterrupts = true;
  } SheetReader1Server;

 private:
  void SetUpObjects();
  void CompanyListStartUp();
  TRunEnd Run();
  // Limits of the kept backups: PALVO.ini of the base directory, section
  // BACKUP, keys Runs and MegaBytes (defaults 20 runs, 2 GiB).
  TBackupLimits BackupLimits() const;
  void ShowErrorBox(const std::string& message);

  TBoxRecordingUI relay_;
  TUserInterface& ui_;  // relay_
  TPreviewCopy* preview_ = nullptr;
  TTaskDispatcher dispatcher_;
  std::string programFolder_;
  std::optional<std::string> baseDirOverride_;
  std::string baseDir_;
  bool running_ = false;
  int errorsShown_ = 0;
  std::string lastError_;  // the text of the last error box
  double lastRecordingSeconds_ = 0;
};

}  // namespace dbu
