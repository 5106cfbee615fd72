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
#include <vector>

namespace dbu::sheet {

// A file could not be read as a workbook; the text says why (without the file name).
class WorkbookError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class CellKind : std::uint8_t { Empty, Number, Text, Boolean, Error };

// One stored cell. `text` indexes Workbook::strings for Text and Error cells;
// `format` indexes Workbook::formats; `number` holds numbers and booleans (0/1).
struct Cell {
  double number = 0;
  std::uint32_t text = 0;
  std::uint32_t format = 0;
  CellKind kind = CellKind::Empty;
};

// A number format as the file gives it: a built-in id (0..49 when the file
// refers to a built-in format without spelling it out) or a custom code.
struct NumberFormat {
  int builtin_id = -1;  // -1: custom, the code below applies
  std::string code;
};

// Cells of one worksheet, keyed by zero-based (row, column): a dense array of
// cells and an open-addressing index over it, so that a lookup costs constant
// time and memory stays near 40 bytes a cell.
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
  // Makes room for about n cells at once (a hint; loading works without it).
  void Reserve(std::size_t n);
  // Makes room for n cells in the cell array only (reserved, not touched).
  void ReserveCells(std::size_t n) { cells_.reserve(n); }

  // Calls fn(row, col, cell) for every stored cell, in no particular order.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (const Slot& s : slots_)
      if (s.index < kDeleted)
        fn(static_cast<std::uint32_t>(s.key >> 32), static_cast<std::uint32_t>(s.key), cells_[s.index]);
  }

 private:
  static constexpr std::uint32_t kFree = 0xFFFFFFFF;
  static constexpr std::uint32_t kDeleted = 0xFFFFFFFE;
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t index = kFree;  // into cells_, or kFree / kDeleted
  };
  std::size_t Probe(std::uint64_t key) const;
  void Grow();

  std::string name_;
  std::vector<Slot> slots_;
  std::vector<Cell> cells_;  // a removed cell's entry stays unused until its key is set again
  std::size_t live_ = 0;
  std::size_t used_ = 0;  // live + deleted slots
};

// The format of the file a workbook came from, which fixes its grid size.
enum class WorkbookKind { Biff5, Biff8, Xlsx, New };

struct Workbook {
  WorkbookKind kind = WorkbookKind::New;
  bool date1904 = false;
  std::uint32_t max_rows = 1048576;
  std::uint32_t max_cols = 16384;
  std::vector<std::string> strings;
  std::vector<NumberFormat> formats{NumberFormat{0, {}}};  // index 0: General
  std::vector<Worksheet> sheets;

  std::uint32_t AddString(std::string s);
  std::uint32_t AddFormat(NumberFormat f);
};

// Reads a workbook from the bytes of a ".xls" (compound document, BIFF8 or
// BIFF5) or ".xlsx" (zip package) file, recognised by content. Throws
// WorkbookError on anything else or on damaged content.
Workbook ParseWorkbook(const std::string& bytes);

// Reads the file and parses it; the WorkbookError text then names the reason
// (missing, no permission, not a workbook, damaged), not the file.
Workbook LoadWorkbook(const std::string& path);

}  // namespace dbu::sheet

#endif
