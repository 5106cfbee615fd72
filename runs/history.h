// The run history of a base directory: one record per run, in every front
// end and whatever its end, in the table DIR/runhistory.adt (made at the
// first run). Appending and reading go through the engine, so concurrent
// runs of several programs each add their record whole.
//
// Failures throw ERunError naming the table.
#pragma once

#include <string>
#include <vector>

namespace dbu {

struct THistoryRecord {
  std::string Started, Ended;  // "YYYY-MM-DD HH:MM:SS" local time
  std::string User, Host;      // of the operating system
  std::string Company;
  int Task = -1;
  std::string Caption;
  std::string Outcome;  // "done", "done after errors", "ended early", "error"
  std::string Error;    // the error's text, for "error"
  std::string Counts;   // per table "TABLE +added ~changed -deleted", one a line
  std::string Log;      // the run's log lines, one a line
  std::string Backup;   // the run's backup folder (its id), "" when it saved nothing
};

constexpr const char* kHistoryTable = "runhistory";

void AppendHistory(const std::string& baseDir, const THistoryRecord& record);
// Oldest first; none when the table does not exist yet.
std::vector<THistoryRecord> ReadHistory(const std::string& baseDir);

// As an aligned table (newest first) or as CSV, of one company ("" all).
std::string FormatHistory(const std::vector<THistoryRecord>& records, const std::string& company, bool csv);

}  // namespace dbu
