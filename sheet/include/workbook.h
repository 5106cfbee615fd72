/*
 * In-memory workbook: the cells of every worksheet of one loaded file, as
 * stored values with their number format, indexed for constant-time lookup.
 *
 * A Workbook owns its worksheets, its string pool and its format table; cells
 * refer to strings and formats by index. Loaders (LoadWorkbook) build it once;
 * afterwards it is only read, except that a reader may clear or set cells of
 * its own copy (nothing is ever written back to a file). Not thread-safe for
 * concurrent writes; concurrent reads of an unchanged workbook are safe.
 */
#ifndef DBU_SHEET_WORKBOOK_H
#define DBU_SHEET_WORKBOOK_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dbu::sheet {

// A file could not be read as a workbook; the text says why (without the file name).
class WorkbookError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class CellKind : std::uint8_t { Empty, Number, Text, Boolean, Error };

// One stored cell, 16 bytes. `text` indexes Workbook::strings for Text and
// Error cells; `format` indexes Workbook::formats (below kMaxFormats);
// `number` holds numbers and booleans (0/1).
struct Cell {
  double number = 0;
  std::uint32_t text = 0;
  std::uint32_t format : 24 = 0;
  CellKind kind : 8 = CellKind::Empty;
};
static_assert(sizeof(Cell) == 16, "a worksheet's memory is reckoned at 16 bytes a cell");

// A number format as the file gives it: a built-in id (0..49 when the file
// refers to a built-in format without spelling it out) or a custom code.
struct NumberFormat {
  int builtin_id = -1;  // -1: custom, the code below applies
  std::string code;
};

// Cells of one worksheet, keyed by zero-based (row, column). Each row's cells
// lie side by side in one run of a dense array, ordered by column, and an
// open-addressing index maps a row to its run. Files list cells row by row,
// so loading only appends; a lookup is one index probe plus, in a row without
// gaps, one direct step (a binary search within the row otherwise). Memory
// stays near 20 bytes a cell. A cell that cannot be appended (left of its
// row's last column, or in a row that is not the last one read) goes to a side table, which
// is merged into the runs whenever it outgrows half of the stored cells, so
// any order of Set costs amortised O(log n) and lookups stay constant time.
class Worksheet {
 public:
  explicit Worksheet(std::string name = {}) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }

  // Stores or replaces the cell at (row, col); an Empty cell removes it.
  void Set(std::uint32_t row, std::uint32_t col, const Cell& cell);
  // Returns the cell at (row, col) or nullptr when nothing is stored there.
  const Cell* Find(std::uint32_t row, std::uint32_t col) const;
  void Clear(std::uint32_t row, std::uint32_t col) { Set(row, col, Cell{}); }
  std::size_t cell_count() const { return live_; }
  // Makes room for about `cells` cells in `rows` rows at once (a hint; loading
  // works without it). Reserved memory is not touched until it is used.
  void Reserve(std::size_t cells, std::size_t rows = 0);

  // Calls fn(row, col, cell) for every stored cell, in no particular order.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (const Run& run : runs_) {
      if (run.count == 0) continue;
      for (std::uint32_t i = run.begin; i < run.begin + run.count; ++i)
        if (cells_[i].kind != CellKind::Empty) fn(run.row, cols_[i], cells_[i]);
    }
    for (const auto& [key, cell] : side_) fn(static_cast<std::uint32_t>(key >> 32), static_cast<std::uint32_t>(key), cell);
  }

 private:
  // The cells of one row: cells_[begin, begin + count), columns first_col to
  // last_col; count 0 marks a free slot. A run without gaps is found by
  // arithmetic alone, without reading its columns.
  struct Run {
    std::uint32_t row = 0;
    std::uint32_t begin = 0;
    std::uint32_t count = 0;
    std::uint32_t first_col = 0;
    std::uint32_t last_col = 0;
  };
  std::size_t SlotOf(std::uint32_t row) const;  // the row's slot, or the free slot where it goes
  std::uint32_t Locate(const Run& run, std::uint32_t col) const;  // index into cells_, or kNone
  void Append(std::uint32_t row, std::uint32_t col, const Cell& cell);
  void ResizeIndex(std::size_t slots);
  void MergeSideTable();

  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  static constexpr std::size_t kNoRun = ~std::size_t(0);

  std::string name_;
  std::vector<Run> runs_;            // the row index; size a power of two or 0
  std::vector<Cell> cells_;          // may hold Empty entries for cleared cells
  std::vector<std::uint32_t> cols_;  // the column of each entry of cells_
  std::unordered_map<std::uint64_t, Cell> side_;  // (row << 32 | col) of cells set out of order
  std::size_t rows_ = 0;             // used slots of runs_
  std::size_t live_ = 0;             // stored, non-empty cells (runs and side table)
  std::size_t last_run_ = kNoRun;    // slot of the run that ends cells_, where appends go
};

// The format of the file a workbook came from, which fixes its grid size.
// Biff4 stands for the single-sheet files of BIFF2, BIFF3 and BIFF4.
enum class WorkbookKind { Biff4, Biff5, Biff8, Xlsx, New };

// A cell whose stored value could not be read (empty where a value belongs,
// or unreadable): the cell is left empty and the rest of the file loads.
struct CellWarning {
  std::uint32_t sheet = 0;  // index into Workbook::sheets
  std::uint32_t row = 0, col = 0;
  std::string text;         // what was wrong, e.g. "empty shared string index"
};

struct Workbook {
  WorkbookKind kind = WorkbookKind::New;
  bool date1904 = false;
  std::uint32_t max_rows = 1048576;
  std::uint32_t max_cols = 16384;
  std::vector<std::string> strings;
  std::vector<NumberFormat> formats{NumberFormat{0, {}}};  // index 0: General
  std::vector<Worksheet> sheets;
  // The first kMaxWarnings cells that loaded empty because their value was
  // unreadable; warning_count counts them all.
  std::vector<CellWarning> warnings;
  std::size_t warning_count = 0;

  static constexpr std::size_t kMaxWarnings = 100;
  // Formats beyond this many would not fit a Cell's format index.
  static constexpr std::size_t kMaxFormats = std::size_t(1) << 24;

  std::uint32_t AddString(std::string s);
  // Throws WorkbookError when the workbook already holds kMaxFormats formats.
  std::uint32_t AddFormat(NumberFormat f);
  void Warn(std::uint32_t sheet, std::uint32_t row, std::uint32_t col, std::string text);
};

// Reads a workbook from the bytes of a ".xls" (compound document, BIFF8 or
// BIFF5; or a bare single-sheet BIFF2 to BIFF4 stream) or ".xlsx" (zip
// package) file, recognised by content. Throws WorkbookError on anything else
// or on damaged structure; a cell whose own value is unreadable only loads
// empty and is listed in Workbook::warnings.
Workbook ParseWorkbook(std::string_view bytes);

// Reads the file and parses it; the WorkbookError text then names the reason
// (missing, no permission, not a workbook, damaged), not the file.
Workbook LoadWorkbook(const std::string& path);

}  // namespace dbu::sheet

#endif
