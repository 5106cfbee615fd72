// One run of a task, made safe: while it lives, the run's thread saves each
// table of the base directory before the run first writes to it (a
// TRunBackup as the engine's change hook); Finish then notes the state the
// run left, appends the run to the history, with the records added,
// changed and deleted per table, and prunes old backups.
//
// Every front end makes one around each run, so history and undo do not
// depend on which one ran the task. Not thread-safe: one run, on the thread
// that runs it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backup.h"

namespace dbu {

struct TBackupLimits {
  size_t Runs = 20;
  uint64_t Bytes = uint64_t{2} << 30;
};

class TRunRecorder {
 public:
  // password: the one the tasks give encrypted tables, so that their
  // changes can be counted too.
  TRunRecorder(const std::string& baseDir, const std::string& company, int task, const std::string& caption,
               const std::string& password = "");
  ~TRunRecorder();
  TRunRecorder(const TRunRecorder&) = delete;
  TRunRecorder& operator=(const TRunRecorder&) = delete;

  // outcome: "done", "done after errors", "ended early" or "error" (error:
  // its text). Never throws: a history that cannot be written must not
  // turn a run into a failure; the text of that failure is returned ("" ok).
  std::string Finish(const std::string& outcome, const std::string& error, const std::vector<std::string>& log,
                     const TBackupLimits& limits);
  // Processor time the recording itself has taken so far (setting up, the
  // saves before first writes, Finish): what a run costs beyond its task's
  // own work. For the benchmarks.
  double ProcessorSeconds() const { return ownSeconds_ + backup_->SavingSeconds(); }

 private:
  std::string baseDir_;
  std::string password_;
  std::string started_;
  std::unique_ptr<TRunBackup> backup_;
  std::unique_ptr<TChangeHookScope> hook_;
  double ownSeconds_ = 0;  // in the constructor and Finish
};

// "TABLE +added ~changed -deleted" for one saved table, from its copy and
// the table now (the record numbers decide; see EngDiffRecords). A table
// restructured, packed, emptied or encrypted is compared as a preview
// compares it (DiffTable, with password) when neither file is larger than
// kCountedDiffBytes; larger ones, and a table the run's connections still
// hold exclusively, say so instead of being counted (the history never
// costs a large table a second pass, nor waits).
constexpr uint64_t kCountedDiffBytes = uint64_t{64} << 20;
std::string CountChanges(const std::string& baseDir, const std::string& backupFolder, const TSavedTable& table,
                         const std::string& password = "");

}  // namespace dbu
