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
// field, column or box: table,change,record,key,field,before,after).
void PrintPreview(const TPreviewResult& preview, std::ostream& out);
void PrintPreviewCsv(const TPreviewResult& preview, std::ostream& out);

}  // namespace dbu
