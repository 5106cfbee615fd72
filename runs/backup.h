// A run's backup: before the run changes a table for the first time, the
// table's files are copied into the run's backup folder, so that the run
// can be undone. It is the engine's change hook (EngSetChangeHook) that
// calls it, on the run's thread and holding the table's lock, so a copy is
// exactly the table before the run; a copy that cannot be made refuses the
// change (the run then fails on it, with the table unchanged).
//
// What is saved: a table file with its memo and tags files (clones where
// the file system makes them, see filecopy.h), a data dictionary file; a
// table the run creates is only noted (undo removes it). Each path is saved
// once, at its first change; later changes of it are the run's own. Only
// paths under the scope's folder are saved (the base directory, or a
// preview's copy); a change under the folder it guards but outside the
// saved one is refused (a preview changes nothing of the base directory);
// changes elsewhere (a statement's scratch tables) pass. The folder is
// made at the first save, so a run that changes nothing leaves none.
//
// Not thread-safe: one run, on the thread that set the hook.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "filecopy.h"
#include "manifest.h"

namespace dbu {

// The files of one table as the engine finds them: the table file's path
// with ".memo" and ".tags" for its extension, in any letter case; empty
// when missing.
struct TTableFiles {
  std::string Adt, Memo, Tags;
};
TTableFiles FindTableFiles(const std::string& adtPath);

struct TBackupScope {
  std::string SaveUnder;               // saved: tables under this folder (paths relative to it)
  std::string RefuseUnder;             // refused: changes under this folder outside SaveUnder ("" none)
  std::vector<std::string> NeverSave;  // folders under SaveUnder that are no run's data (backups, previews)
};

// One table's save, for the benchmarks.
struct TSaveFigure {
  std::string Table;
  uint64_t Bytes = 0;
  double Seconds = 0;
  TCopyWay Way = TCopyWay::Clone;
};

class TRunBackup {
 public:
  // header: the run's manifest so far (Id names the folder under backups).
  TRunBackup(TBackupScope scope, std::string backupsFolder, TRunManifest header);

  // The hook's work for one announced change; throws to refuse it.
  void OnChange(uint16_t kind, const std::string& path);
  // After the run: notes each saved file's state now and writes the
  // manifest as finished (when anything was saved).
  void Finish(const std::string& outcome);

  bool HasSaved() const { return !folder_.empty(); }
  const std::string& Folder() const { return folder_; }  // "" when nothing was saved
  const TRunManifest& Manifest() const { return manifest_; }
  const TBackupScope& Scope() const { return scope_; }
  // The copy of a saved table's file (ext ".adt", ".memo", ".tags").
  std::string CopyOf(const TSavedTable& table, const char* ext) const;
  const std::vector<TSaveFigure>& Figures() const { return figures_; }
  // Processor time of this process spent saving tables so far.
  double SavingSeconds() const { return savingSeconds_; }

 private:
  bool Under(const std::string& path, const std::string& folder) const;
  std::string Relative(const std::string& path) const;
  bool AlreadySaved(const std::string& relative) const;
  void EnsureFolder();
  void SaveTable(const std::string& path, const std::string& relative);
  void SaveDictionary(const std::string& path, const std::string& relative);

  TBackupScope scope_;
  std::string backups_;
  std::string folder_;
  TRunManifest manifest_;
  int next_ = 1;
  double savingSeconds_ = 0;
  std::vector<TSaveFigure> figures_;
};

// A refusal of the backup (a preview's guard): the change would fall
// outside what the run may change.
class ERunRefusal : public std::exception {
 public:
  explicit ERunRefusal(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Makes backup the calling thread's change hook while it lives.
class TChangeHookScope {
 public:
  explicit TChangeHookScope(TRunBackup& backup);
  ~TChangeHookScope();
  TChangeHookScope(const TChangeHookScope&) = delete;
  TChangeHookScope& operator=(const TChangeHookScope&) = delete;
};

// path in lexically normal form, without a trailing separator.
std::string NormalPath(const std::string& path);
// This process's processor time so far, in seconds.
double ProcessorSeconds();
// Adds the processor time from its making to its end to a total.
class TProcessorTimeAdder {
 public:
  explicit TProcessorTimeAdder(double& total) : total_(total), start_(ProcessorSeconds()) {}
  ~TProcessorTimeAdder() { total_ += ProcessorSeconds() - start_; }
  TProcessorTimeAdder(const TProcessorTimeAdder&) = delete;
  TProcessorTimeAdder& operator=(const TProcessorTimeAdder&) = delete;

 private:
  double& total_;
  double start_;
};

}  // namespace dbu
