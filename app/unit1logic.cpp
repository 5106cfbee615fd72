// The main window's logic: objects, start-up, the run, log and company list.
#include "unit1logic.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "appfiles.h"
#include "companycode.h"
#include "formatsettings.h"
#include "screencursor.h"

namespace dbu {

namespace {

void SetUpConnection(TDbConnection& connection, const char* name) {
  connection.SetName(name);
  connection.SetDbServerTypes(stREMOTE | stLOCAL);
  connection.SetLoginPrompt(false);
  connection.SetUsername("DBSYS");
  connection.SetPassword(TForm1Logic::kAdminPassword);
  connection.SetMiddleTierConnection(false);
  connection.SetStoredProcedureConnection(false);
  connection.SetReadOnly(false);
}

void SetUpTable(TDbTable& table, const char* name, const char* databaseName, const char* tableName) {
  table.SetName(name);
  table.SetDatabaseName(databaseName);
  if (tableName != nullptr) table.SetTableName(tableName);
}

// Marks the logic as running for the life of one run or preview.
class TRunningFlag {
 public:
  explicit TRunningFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~TRunningFlag() { flag_ = false; }
  TRunningFlag(const TRunningFlag&) = delete;
  TRunningFlag& operator=(const TRunningFlag&) = delete;

 private:
  bool& flag_;
};

const char* OutcomeText(TRunEnd end, bool errorsShown) {
  return end == TRunEnd::Error  ? "error"
         : end != TRunEnd::Done ? "ended early"
         : errorsShown          ? "done after errors"
                                : "done";
}

}  // namespace

void TBoxRecordingUI::Note(const char* kind, const std::string& text, const std::string& answer) {
  if (boxes_) boxes_->push_back({kind, text, answer});
}

void TBoxRecordingUI::ShowMessage(const std::string& text) {
  Note("message", text, "");
  ui_.ShowMessage(text);
}

bool TBoxRecordingUI::Confirm(const std::string& text) {
  const bool yes = ui_.Confirm(text);
  Note("confirm", text, yes ? "Yes" : "No");
  return yes;
}

bool TBoxRecordingUI::InputQuery(const std::string& title, const std::string& prompt, std::string& value) {
  const bool ok = ui_.InputQuery(title, prompt, value);
  Note("input", title + ": " + prompt, ok ? value : "(Cancel)");
  return ok;
}

void TBoxRecordingUI::ShowError(const std::string& text) {
  Note("error", text, "");
  ui_.ShowError(text);
}

void TBoxRecordingUI::ShowTitledError(const std::string& title, const std::string& text) {
  Note("error", title + ": " + text, "");
  ui_.ShowTitledError(title, text);
}

TForm1Logic::TForm1Logic(TUserInterface& ui)
    : DbConnection1(this),
      DbConnection2(this),
      DbConnection3(this),
      MEDSCH(this),
      TblCompany(this),
      Code(this),
      groupCode(this),
      DbTable1(this),
      DbQuery1(this),
      relay_(ui),
      ui_(relay_),
      programFolder_(ProgramFolder()) {
  SetName("Form1");
  SetUpObjects();
  InstallTaskBodies(dispatcher_);
  // The data layer shows the hourglass while it connects; route that to
  // this window's pointer.
  SetScreenCursorHook([this, shape = crDefault](TCursorShape next) mutable {
    TCursorShape previous = shape;
    shape = next;
    ui_.SetHourglass(next == crHourGlass);
    return previous;
  });
}

TForm1Logic::~TForm1Logic() { SetScreenCursorHook(nullptr); }

void TForm1Logic::SetUpObjects() {
  SetUpConnection(DbConnection1, "DbConnection1");
  SetUpConnection(DbConnection2, "DbConnection2");
  SetUpConnection(DbConnection3, "DbConnection3");
  SetUpTable(MEDSCH, "MEDSCH", "DbConnection1", "MEDSCH");
  SetUpTable(TblCompany, "TblCompany", "DbConnection2", "mcompany.adt");
  SetUpTable(Code, "Code", "DbConnection1", "CODE.ADT");
  Code.SetIndexFieldNames(kCodeIndexFieldNames);
  SetUpTable(groupCode, "groupCode", "DbConnection1", "GRPCODE.ADT");
  groupCode.SetIndexFieldNames(kGroupCodeIndexFieldNames);
  SetUpTable(DbTable1, "DbTable1", "DbConnection1", nullptr);
  DbTable1.SetDbRightsCheck(false);
  DbQuery1.SetName("DbQuery1");
  DbQuery1.SetDatabaseName("DbConnection1");
  DbQuery1.SetDbRightsCheck(false);
  DbQuery1.SetReadAllColumns(false);
  SetUpSheetReader1(SheetReader1);
  // The component's own boxes ("Invalid Range Address.") carry their title.
  SheetReader1.SetMessageHandler(
      [this](const TSheetMessage& message) {
        ++errorsShown_;
        ui_.ShowTitledError(message.Title, message.Text);
      });
}

bool TForm1Logic::FormCreate() {
  try {
    baseDir_ = programFolder_;
    ReadSettingsFile();
    if (baseDirOverride_) baseDir_ = *baseDirOverride_;
    DbConnection2.SetConnectPath(baseDir_);
    CompanyListStartUp();
    ui_.SetTaskIndex(0);
    SetDefaultDateFormat(kDefaultDateFormat);
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(error.what());
    return false;
  }
}

void TForm1Logic::ReadSettingsFile() {
  // The program folder already ends with a separator; the doubled one is
  // harmless and the name is used as formed.
  std::string value = ReadIniString(baseDir_ + "/PALVO.ini", "PATH", "DIR", "");
  if (!value.empty()) baseDir_ = value;
}

void TForm1Logic::CompanyListStartUp() {
  TblCompany.Open();
  ui_.SetCompanyText(TblCompany.FieldByName("company_code").AsString());
  // The drop-down's rows are a convenience of the control: a failure to
  // list them leaves the drop-down empty and start-up unaffected.
  try {
    ui_.SetCompanyRows(CompanyRows());
  } catch (const std::exception&) {
    ui_.SetCompanyRows({});
  }
}

std::vector<TCompanyRow> TForm1Logic::CompanyRows() {
  std::vector<TCompanyRow> rows;
  if (!TblCompany.Active()) return rows;
  TField* name = TblCompany.FindField("company_name");
  for (TblCompany.First(); !TblCompany.Eof(); TblCompany.Next())
    rows.push_back({TblCompany.FieldByName("company_code").AsString(), name ? name->AsString() : std::string()});
  TblCompany.First();
  return rows;
}

TRunEnd TForm1Logic::Button1Click() {
  // Pending events let through by a task may carry another press.
  if (running_) return TRunEnd::Ignored;
  TRunningFlag running(running_);
  lastRecordingSeconds_ = 0;
  // Every run is recorded (backups for undo, the history), whatever ends it.
  std::error_code ec;
  if (baseDir_.empty() || !std::filesystem::is_directory(baseDir_, ec)) return Run();
  RemoveStalePreviews(baseDir_);
  const int task = ui_.TaskIndex();
  const int errorsBefore = errorsShown_;
  const size_t logBefore = ui_.LogLines().size();
  lastError_.clear();
  TRunRecorder recorder(baseDir_, CompanyCode(), task, task >= 0 && task < kTaskCount ? TaskCaption(task) : "",
                        kAdminPassword);
  const TRunEnd end = Run();
  std::vector<std::string> log = ui_.LogLines();
  log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, log.size())));
  const char* outcome = OutcomeText(end, errorsShown_ > errorsBefore);
  double limitsSeconds = 0;  // reading the limits is part of recording the run
  TBackupLimits limits;
  {
    TProcessorTimeAdder count(limitsSeconds);
    limits = BackupLimits();
  }
  recorder.Finish(outcome, end == TRunEnd::Error ? lastError_ : "", log, limits);
  lastRecordingSeconds_ = recorder.ProcessorSeconds() + limitsSeconds;
  return end;
}

TRunEnd TForm1Logic::PreviewClick(TPreviewResult& result) {
  if (running_) return TRunEnd::Ignored;
  TRunningFlag running(running_);
  const int task = ui_.TaskIndex();
  result = TPreviewResult();
  result.Company = CompanyCode();
  result.Task = task;
  result.Caption = task >= 0 && task < kTaskCount ? TaskCaption(task) : "";
  const int errorsBefore = errorsShown_;
  const size_t logBefore = ui_.LogLines().size();
  lastError_.clear();
  auto fail = [&](const std::string& text) {
    ShowErrorBox(text);
    result.Outcome = "error";
    result.Error = text;
    return TRunEnd::Error;
  };
  // Without its base directory a run's paths would be relative to
  // wherever the program runs: nothing a preview could guard.
  std::error_code ec;
  if (baseDir_.empty() || !std::filesystem::is_directory(baseDir_, ec))
    return fail("The preview needs an existing base directory, not \"" + baseDir_ + "\"");
  std::unique_ptr<TPreviewCopy> copy;
  try {
    copy = std::make_unique<TPreviewCopy>(baseDir_);
  } catch (const std::exception& error) {
    return fail(error.what());
  }
  struct TPreviewMode {
    TForm1Logic& form;
    TPreviewMode(TForm1Logic& f, TPreviewCopy* copy, std::vector<TPreviewBox>* boxes) : form(f) {
      form.preview_ = copy;
      form.relay_.Record(boxes);
    }
    ~TPreviewMode() {
      form.relay_.Record(nullptr);
      form.preview_ = nullptr;
    }
  };
  TBackupScope scope;
  scope.SaveUnder = copy->Root();
  scope.RefuseUnder = baseDir_;
  TRunManifest header;
  header.Id = "preview";
  header.Company = result.Company;
  header.Task = task;
  header.Caption = result.Caption;
  TRunBackup backup(scope, copy->SavedFolder(), header);
  // Task 37 re-points DbConnection3 and groupCode at its destination, in a
  // preview a folder of the copy that goes with it: both are put back as
  // they were, so that a later run never opens a table there.
  const std::string connection3Path = DbConnection3.ConnectPath();
  TDbConnection* const groupCodeConnection = groupCode.DbConnection();
  const std::string groupCodeDatabase = groupCode.DatabaseName(), groupCodeTable = groupCode.TableName(),
                    groupCodeIndex = groupCode.IndexFieldNames();
  const bool groupCodeExclusive = groupCode.Exclusive(), groupCodeActive = groupCode.Active();
  TRunEnd end;
  {
    TPreviewMode mode(*this, copy.get(), &result.Boxes);
    TChangeHookScope hook(backup);
    end = Run();
    // The copy's tables are let go under the guard, before they are read
    // and removed.
    DbConnection1.Disconnect();
    DbConnection3.Disconnect();
    groupCode.Close();
  }
  try {
    DbConnection3.SetConnectPath(connection3Path);
    groupCode.SetDbConnection(groupCodeConnection);
    groupCode.SetDatabaseName(groupCodeDatabase);
    groupCode.SetTableName(groupCodeTable);
    groupCode.SetIndexFieldNames(groupCodeIndex);
    groupCode.SetExclusive(groupCodeExclusive);
    if (groupCodeActive) groupCode.Open();
  } catch (const std::exception& error) {
    return fail(std::string("After the preview, groupCode cannot be opened again: ") + error.what());
  }
  std::vector<std::string> log = ui_.LogLines();
  log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(logBefore, log.size())));
  result.Log = std::move(log);
  result.Outcome = OutcomeText(end, errorsShown_ > errorsBefore);
  if (end == TRunEnd::Error) result.Error = lastError_;
  try {
    result.Tables = DiffSavedTables(backup.Manifest(), backup.Folder(), copy->Root(), kAdminPassword);
  } catch (const std::exception& error) {
    return fail(std::string("The preview's changes cannot be read: ") + error.what());
  }
  return end;
}

TBackupLimits TForm1Logic::BackupLimits() const {
  TBackupLimits limits;
  const std::string ini = ExistingSpelling(baseDir_ + "PALVO.ini");
  const long runs = std::atol(ReadIniString(ini, "BACKUP", "Runs", "").c_str());
  const long long megabytes = std::atoll(ReadIniString(ini, "BACKUP", "MegaBytes", "").c_str());
  if (runs > 0) limits.Runs = static_cast<size_t>(runs);
  if (megabytes > 0) limits.Bytes = static_cast<uint64_t>(megabytes) << 20;
  return limits;
}

TRunEnd TForm1Logic::Run() {
  bool hourglass = false;
  try {
    DbConnection1.Disconnect();
    SetCompanyPath();
    SetScreenCursor(crHourGlass);
    hourglass = true;
    TTaskEnd end = dispatcher_.Run(ui_.TaskIndex(), *this);
    SetScreenCursor(crDefault);
    if (end == TTaskEnd::Stopped) return TRunEnd::Stopped;
    ui_.ShowMessage("Done!");
    return TRunEnd::Done;
  } catch (const std::exception& error) {
    if (hourglass) SetScreenCursor(crDefault);
    ShowErrorBox(error.what());
    return TRunEnd::Error;
  } catch (...) {
    if (hourglass) SetScreenCursor(crDefault);
    ShowErrorBox("Unknown error");
    return TRunEnd::Error;
  }
}

void TForm1Logic::SetCompanyPath() {
  // A code that names no single folder under company/ ends the run here,
  // before any table of it is opened.
  DbConnection1.SetConnectPath(CompanyPath(CompanyCode(), "Company code"));
}

std::string TForm1Logic::CompanyPath(const std::string& code, const std::string& what) {
  const std::string path = CompanyDatabasePath(baseDir_, code, what);
  return preview_ ? preview_->CopyOf(path) : path;
}

void TForm1Logic::WriteDebugLine(const std::string& line) {
  // A preview's debug lines stay in its copy.
  AppendLineToFile((preview_ ? preview_->Root() + "/" : baseDir_) + "debug_zozuzezi.txt", line);
}

void TForm1Logic::AddLogLine(const std::string& line) { ui_.AppendLogLine(line); }

bool TForm1Logic::Button2Click() {
  const std::string fileName = baseDir_ + "ZozuzEzi.log";
  try {
    WriteLinesFile(ExistingSpelling(fileName), ui_.LogLines());
  } catch (const std::exception& error) {
    ShowErrorBox(error.what());
    return false;
  }
  ui_.ShowMessage("Save to " + baseDir_ + "ZozuzEzi.log !");
  return true;
}

void TForm1Logic::ShowErrorBox(const std::string& message) {
  ++errorsShown_;
  lastError_ = message;
  ui_.ShowError(ErrorBoxText(message));
}

}  // namespace dbu
