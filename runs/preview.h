// A preview (dry run) of a task: what the run would change, found by
// running the very same task on a private copy of the databases it writes.
//
// The copy lives in a folder of its own (clones where the file system makes
// them, see filecopy.h); a company's folder is copied when the run first
// asks for it, so a task that names a second company (the destination of a
// copy) finds that one copied too. While the preview runs, the engine's
// change hook refuses every change under the base directory outside the
// copy, so nothing of the base directory can change; the copy is removed
// when the preview ends. The changes are read afterwards by comparing each
// table the run changed with its state before the run, record number by
// record number (EngDiffRecords), and, for a table whose structure changed,
// column by column.
//
// The result is plain data: the command line prints it (as text or CSV),
// the window shows it in a dialog. Not thread-safe: one preview, on the
// thread that runs it.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "filecopy.h"
#include "manifest.h"

namespace dbu {

// One field of a record: its name with the value before and after the run
// (Before empty for an added record, After empty for a deleted one).
struct TPreviewField {
  std::string Name;
  std::string Before, After;
};

enum class TPreviewChange { Added, Deleted, Changed };

// One record the run adds, deletes or changes.
struct TPreviewRecord {
  TPreviewChange Change = TPreviewChange::Changed;
  uint32_t RecordNumber = 0;  // in the table after the run; before it for a deleted record
  std::string Key;            // the key fields and values, "FIELD=value; FIELD=value"
  // Changed: only the fields whose values differ. Added and deleted: every field.
  std::vector<TPreviewField> Fields;
};

// One column a structure change adds, drops, widens or narrows.
struct TPreviewColumn {
  std::string Name;
  std::string Change;  // "added", "dropped", "widened", "narrowed", "retyped"
  std::string Before, After;  // type and size, e.g. "CHAR(20)"; empty where absent
};

struct TPreviewTable {
  std::string Table;  // path relative to the company folder (or to the base directory), "/" separated
  std::string State;  // "changed", "created", "dropped", "restructured", "packed", "emptied"
  std::vector<TPreviewColumn> Columns;
  std::vector<TPreviewRecord> Records;
  // Records whose values a narrowing cuts (a subset of Records, by number).
  std::vector<uint32_t> CutRecords;
  uint64_t Added = 0, Changed = 0, Deleted = 0;
};

// One box the run showed, with the answer it got.
struct TPreviewBox {
  std::string Kind;  // "message", "error", "confirm", "input"
  std::string Text;
  std::string Answer;  // confirm: "Yes"/"No"; input: the text, or "(Cancel)"
};

struct TPreviewResult {
  std::string Company;
  int Task = -1;
  std::string Caption;
  std::string Outcome;  // as the history's: "done", "done after errors", "ended early", "error"
  std::string Error;
  std::vector<std::string> Log;
  std::vector<TPreviewBox> Boxes;
  std::vector<TPreviewTable> Tables;
};

// The preview as text for a terminal, and as CSV (one line per changed
// field, column or box: table,change,record,key,field,before,after; RFC
// 4180 quoting; a table's own line carries its state in change; a box has
// no table, its kind in change, its text in before and its answer in after).
void PrintPreview(const TPreviewResult& preview, std::ostream& out);
void PrintPreviewCsv(const TPreviewResult& preview, std::ostream& out);
// withBoxesAndLog false: the tables only (for a front end that has shown
// the boxes and log lines as they came).
void PrintPreview(const TPreviewResult& preview, std::ostream& out, bool withBoxesAndLog);

// One table's changes: the table file beforeAdt ("" when the run created
// it) against afterAdt ("" when the run dropped it); name is what the
// result calls it. Encrypted tables are read with password; a table that
// cannot be read says so in State. Never throws for a table's content.
TPreviewTable DiffTable(const std::string& name, const std::string& beforeAdt, const std::string& afterAdt,
                        const std::string& password);
// Every table a run saved (manifest, its copies in savedFolder) against
// the table now under root, the folder the manifest's paths are relative
// to: the same for a preview (root its copy) and for a real run (root the
// base directory, savedFolder the run's backup folder).
std::vector<TPreviewTable> DiffSavedTables(const TRunManifest& manifest, const std::string& savedFolder,
                                           const std::string& root, const std::string& password);

// The private folder of one preview: DIR/backups/.preview-<pid>-<time>/,
// on the data's file system so that copies can be clones. data/ mirrors
// the base directory for the companies the run asks for (copied on first
// use); saved/ takes the "before" copies of the tables the run changes.
// The destructor removes the folder, and backups/ too when it made it, so
// the base directory is left as it was. Making one first removes previews
// left behind by a process that no longer runs.
class TPreviewCopy {
 public:
  explicit TPreviewCopy(const std::string& baseDir);
  ~TPreviewCopy();
  TPreviewCopy(const TPreviewCopy&) = delete;
  TPreviewCopy& operator=(const TPreviewCopy&) = delete;

  const std::string& Folder() const { return folder_; }
  const std::string& Root() const { return root_; }           // the copy's base directory (no trailing "/")
  const std::string& SavedFolder() const { return saved_; }  // the backups folder of the preview's TRunBackup
  // The copy of a path of a company database under the base directory
  // (company/<code> or a file in it): its company folder is copied whole
  // the first time. Throws ERunError when the path lies outside company/.
  std::string CopyOf(const std::string& companyPath);
  // How the copies were made (clone where the file system allows).
  bool AllCloned() const { return allCloned_; }

 private:
  std::string base_, folder_, root_, saved_;
  bool madeBackups_ = false;
  bool allCloned_ = true;
  std::vector<std::string> copied_;
};

// Removes the preview folders under DIR/backups whose process is gone.
void RemoveStalePreviews(const std::string& baseDir);

}  // namespace dbu
