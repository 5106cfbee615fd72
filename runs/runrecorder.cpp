#include "runrecorder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "engine.h"
#include "history.h"
#include "preview.h"
#include "undo.h"

namespace dbu {

namespace {

std::string OsUser() {
  if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

std::string Host() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

struct TCounts {
  uint64_t Added = 0, Changed = 0, Deleted = 0;
};

int Count(void* context, uint32_t, const uint8_t* oldRaw, const uint8_t* newRaw) {
  TCounts& c = *static_cast<TCounts*>(context);
  if (oldRaw == nullptr)
    ++c.Added;
  else if (newRaw == nullptr)
    ++c.Deleted;
  else
    ++c.Changed;
  return 0;
}

ENGHANDLE OpenReadOnly(ENGHANDLE conn, const std::string& name) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, name.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                   ENG_IGNORE_RIGHTS, ENG_OPEN_READONLY, &t) != ENG_OK)
    return 0;
  return t;
}

}  // namespace

namespace {

uint64_t FileBytes(const std::string& path) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

// The preview's comparison, for the tables the record numbers cannot
// compare; "" when it would be too large or cannot read them.
std::string CountedByDiff(const std::string& name, const std::string& before, const std::string& after,
                          const std::string& password) {
  if (FileBytes(before) > kCountedDiffBytes || FileBytes(after) > kCountedDiffBytes) return "";
  const TPreviewTable diff = DiffTable(name, before, after, password);
  if (diff.State.find("cannot be read") != std::string::npos) return "";
  const std::string state = diff.State == "changed" ? "" : " " + diff.State;
  return name + state + " +" + std::to_string(diff.Added) + " ~" + std::to_string(diff.Changed) + " -" +
         std::to_string(diff.Deleted);
}

}  // namespace

std::string CountChanges(const std::string& baseDir, const std::string& backupFolder, const TSavedTable& table,
                         const std::string& password) {
  const std::string name = table.Path;
  const std::string now = NormalPath(baseDir) + "/" + table.Path;
  if (!table.Existed) return name + " created";
  if (table.After == TFileState::Absent) return name + " dropped";
  const std::filesystem::path live(now);
  ENGHANDLE copyConn = 0, liveConn = 0;
  std::string text = name + " changed (records not counted)";
  if (EngConnect(backupFolder.c_str(), &copyConn) == ENG_OK &&
      EngConnect(live.parent_path().c_str(), &liveConn) == ENG_OK) {
    ENGHANDLE before = OpenReadOnly(copyConn, std::to_string(table.Number) + ".adt");
    ENGHANDLE after = before ? OpenReadOnly(liveConn, live.filename().string()) : 0;
    // Sealed tables compare the same way once open with the tasks'
    // password (a plain table ignores it): counting needs no field texts.
    if (after && !password.empty()) {
      EngEnableEncryption(before, password.c_str());
      EngEnableEncryption(after, password.c_str());
    }
    TCounts counts;
    uint16_t comparable = 0;
    if (after && EngDiffRecords(before, after, Count, &counts, &comparable) == ENG_OK && comparable == 1)
      text = name + " +" + std::to_string(counts.Added) + " ~" + std::to_string(counts.Changed) + " -" +
             std::to_string(counts.Deleted);
    else if (after && comparable != 1)
      text = name + " restructured or packed (records not counted)";
    if (after) EngCloseTable(after);
    if (before) EngCloseTable(before);
  }
  if (liveConn) EngDisconnect(liveConn);
  if (copyConn) EngDisconnect(copyConn);
  if (text.find("not counted") != std::string::npos) {
    const std::string counted =
        CountedByDiff(name, NormalPath(backupFolder) + "/" + std::to_string(table.Number) + ".adt", now, password);
    if (!counted.empty()) text = counted;
  }
  return text;
}

TRunRecorder::TRunRecorder(const std::string& baseDir, const std::string& company, int task,
                           const std::string& caption, const std::string& password)
    : baseDir_(NormalPath(baseDir)), password_(password), started_(LocalTimeText()) {
  TProcessorTimeAdder count(ownSeconds_);
  TRunManifest header;
  header.Id = LocalTimeName() + "-" + company + "-" + std::to_string(task);
  for (char& c : header.Id)
    if (c == '/' || c == '\\' || c == ' ' || c == '\t' || c == '\n') c = '_';
  header.Company = company;
  header.Task = task;
  header.Caption = caption;
  header.Started = started_;
  TBackupScope scope;
  scope.SaveUnder = baseDir_;
  scope.NeverSave = {BackupsFolder(baseDir_)};
  backup_ = std::make_unique<TRunBackup>(scope, BackupsFolder(baseDir_), header);
  hook_ = std::make_unique<TChangeHookScope>(*backup_);
}

TRunRecorder::~TRunRecorder() = default;

std::string TRunRecorder::Finish(const std::string& outcome, const std::string& error,
                                 const std::vector<std::string>& log, const TBackupLimits& limits) {
  TProcessorTimeAdder count(ownSeconds_);
  hook_.reset();
  std::string problem;
  THistoryRecord r;
  try {
    backup_->Finish(outcome);
    const TRunManifest& m = backup_->Manifest();
    r.Started = started_;
    r.Ended = m.Ended;
    r.User = OsUser();
    r.Host = Host();
    r.Company = m.Company;
    r.Task = m.Task;
    r.Caption = m.Caption;
    r.Outcome = outcome;
    r.Error = error;
    for (const TSavedTable& t : m.Tables) r.Counts += CountChanges(baseDir_, backup_->Folder(), t, password_) + "\n";
    for (const std::string& line : log) r.Log += line + "\n";
    if (backup_->HasSaved()) r.Backup = m.Id;
  } catch (const std::exception& e) {
    problem = e.what();
  }
  try {
    AppendHistory(baseDir_, r);
  } catch (const std::exception& e) {
    if (problem.empty()) problem = e.what();
  }
  try {
    PruneRuns(BackupsFolder(baseDir_), limits.Runs, limits.Bytes);
  } catch (const std::exception& e) {
    if (problem.empty()) problem = e.what();
  }
  return problem;
}

}  // namespace dbu
