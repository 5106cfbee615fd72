// Cell storage of a worksheet and the file-level entry points of the loaders.
#include "workbook.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

#include "workbook_parsers.h"

namespace dbu::sheet {
namespace {

std::uint64_t KeyOf(std::uint32_t row, std::uint32_t col) {
  return (static_cast<std::uint64_t>(row) << 32) | col;
}

// Scatters row numbers over the index, so that no pattern of rows piles up in one place.
std::size_t HomeSlot(std::uint32_t row, std::size_t mask) {
  std::uint64_t x = row;
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return static_cast<std::size_t>(x) & mask;
}

}  // namespace

std::size_t Worksheet::SlotOf(std::uint32_t row) const {
  const std::size_t mask = runs_.size() - 1;
  std::size_t i = HomeSlot(row, mask);
  while (runs_[i].count != 0 && runs_[i].row != row) i = (i + 1) & mask;
  return i;
}

std::uint32_t Worksheet::Locate(const Run& run, std::uint32_t col) const {
  if (col < run.first_col || col > run.last_col) return kNone;
  // A row without gaps holds its column at a fixed distance from its first one.
  if (std::uint64_t(run.last_col) - run.first_col + 1 == run.count) return run.begin + (col - run.first_col);
  const std::uint32_t* cols = cols_.data() + run.begin;
  const std::uint32_t* it = std::lower_bound(cols, cols + run.count, col);
  return it != cols + run.count && *it == col ? run.begin + static_cast<std::uint32_t>(it - cols) : kNone;
}

void Worksheet::ResizeIndex(std::size_t slots) {
  const std::uint32_t last_row = last_run_ != kNoRun ? runs_[last_run_].row : 0;
  std::vector<Run> old(slots);
  old.swap(runs_);
  for (const Run& r : old)
    if (r.count != 0) runs_[SlotOf(r.row)] = r;
  if (last_run_ != kNoRun) last_run_ = SlotOf(last_row);
}

void Worksheet::Reserve(std::size_t cells, std::size_t rows) {
  if (cells > cells_.capacity()) {
    cells_.reserve(cells);
    cols_.reserve(cells);
  }
  std::size_t slots = 16;
  while (slots < rows + rows / 2 + 2) slots *= 2;
  if (slots > runs_.size()) ResizeIndex(slots);
}

void Worksheet::Append(std::uint32_t row, std::uint32_t col, const Cell& cell) {
  // The caller has made sure that (row, col) is not stored and may go at the end.
  if (cells_.size() >= kNone) throw WorkbookError("the worksheet holds too many cells");
  if (last_run_ == kNoRun || runs_[last_run_].row != row) {
    if (runs_.empty() || (rows_ + 1) * 4 > runs_.size() * 3) ResizeIndex(runs_.empty() ? 16 : runs_.size() * 2);
    const std::size_t slot = SlotOf(row);
    runs_[slot] = Run{row, static_cast<std::uint32_t>(cells_.size()), 0, col, col};
    ++rows_;
    last_run_ = slot;
    // Files go row by row: fetch the next row's slot while this row's cells are read.
    if (row != kNone) __builtin_prefetch(&runs_[HomeSlot(row + 1, runs_.size() - 1)], 1);
  }
  cells_.push_back(cell);
  cols_.push_back(col);
  Run& run = runs_[last_run_];
  ++run.count;
  run.last_col = col;
  ++live_;
}

void Worksheet::Set(std::uint32_t row, std::uint32_t col, const Cell& cell) {
  const bool remove = cell.kind == CellKind::Empty;
  // Loading: the next column of the row being read. A side-table cell of that row
  // lies left of the row's last column, so it cannot be this one.
  if (!remove && last_run_ != kNoRun && runs_[last_run_].row == row && col > runs_[last_run_].last_col) {
    Append(row, col, cell);
    return;
  }
  std::size_t slot = kNoRun;
  if (!runs_.empty()) {
    slot = SlotOf(row);
    if (runs_[slot].count != 0) {
      const std::uint32_t at = Locate(runs_[slot], col);
      if (at != kNone) {
        const bool was_live = cells_[at].kind != CellKind::Empty;
        live_ = live_ - was_live + !remove;
        cells_[at] = cell;
        return;
      }
    } else {
      slot = kNoRun;
    }
  }
  if (!side_.empty()) {
    const auto it = side_.find(KeyOf(row, col));
    if (it != side_.end()) {
      if (remove) {
        side_.erase(it);
        --live_;
      } else {
        it->second = cell;
      }
      return;
    }
  }
  if (remove) return;
  // Appends: a new row, or a column right of the last one of the row that ends the array.
  if (slot == kNoRun || (slot == last_run_ && col > runs_[slot].last_col)) {
    Append(row, col, cell);
    return;
  }
  side_.emplace(KeyOf(row, col), cell);
  ++live_;
  if (side_.size() > 1024 && side_.size() * 2 > live_) MergeSideTable();
}

void Worksheet::MergeSideTable() {
  // Rebuilds the runs from every stored cell in (row, column) order.
  struct Entry {
    std::uint64_t key;
    Cell cell;
  };
  std::vector<Entry> all;
  all.reserve(live_);
  ForEach([&](std::uint32_t r, std::uint32_t c, const Cell& cell) { all.push_back(Entry{KeyOf(r, c), cell}); });
  std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
  std::size_t rows = 0;
  for (std::size_t i = 0; i < all.size(); ++i) rows += i == 0 || (all[i].key >> 32) != (all[i - 1].key >> 32);
  runs_.clear();
  cells_.clear();
  cols_.clear();
  side_.clear();
  rows_ = live_ = 0;
  last_run_ = kNoRun;
  cells_.shrink_to_fit();
  cols_.shrink_to_fit();
  Reserve(all.size(), rows);
  for (const Entry& e : all) Append(static_cast<std::uint32_t>(e.key >> 32), static_cast<std::uint32_t>(e.key), e.cell);
}

const Cell* Worksheet::Find(std::uint32_t row, std::uint32_t col) const {
  if (!runs_.empty()) {
    const Run& run = runs_[SlotOf(row)];
    if (run.count != 0) {
      const std::uint32_t at = Locate(run, col);
      if (at != kNone) return cells_[at].kind != CellKind::Empty ? &cells_[at] : nullptr;
    }
  }
  if (side_.empty()) return nullptr;
  const auto it = side_.find(KeyOf(row, col));
  return it != side_.end() ? &it->second : nullptr;
}

std::uint32_t Workbook::AddString(std::string s) {
  strings.push_back(std::move(s));
  return static_cast<std::uint32_t>(strings.size() - 1);
}

std::uint32_t Workbook::AddFormat(NumberFormat f) {
  if (formats.size() >= kMaxFormats) throw WorkbookError("the workbook holds too many number formats");
  formats.push_back(std::move(f));
  return static_cast<std::uint32_t>(formats.size() - 1);
}

void Workbook::Warn(std::uint32_t sheet, std::uint32_t row, std::uint32_t col, std::string text) {
  ++warning_count;
  if (warnings.size() < kMaxWarnings) warnings.push_back(CellWarning{sheet, row, col, std::move(text)});
}

Workbook ParseWorkbook(std::string_view bytes) {
  static const char kCompound[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), kCompound, 8) == 0) return ParseXls(bytes);
  if (bytes.size() >= 4 && std::memcmp(bytes.data(), "PK\x03\x04", 4) == 0) return ParseXlsx(bytes);
  if (IsOldBiffStream(bytes)) return ParseXls(bytes);
  if (bytes.empty()) throw WorkbookError("the file is empty, not a workbook");
  throw WorkbookError("the file is not a workbook (neither an .xls nor an .xlsx file)");
}

Workbook LoadWorkbook(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw WorkbookError("the file does not exist");
    throw WorkbookError(std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) throw WorkbookError("the name is a folder, not a file");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == EACCES || errno == EPERM) throw WorkbookError("access denied (the file is locked or not readable)");
    throw WorkbookError(std::strerror(errno));
  }
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  std::setvbuf(f, nullptr, _IOFBF, std::size_t(1) << 18);
  auto read_failed = [] { return WorkbookError(std::string("the file cannot be read: ") + std::strerror(errno)); };

  // A zip package is read in place; anything else is read whole and recognised by content.
  char magic[4];
  const std::size_t head = std::fread(magic, 1, sizeof magic, f);
  if (std::ferror(f)) throw read_failed();
  if (head == sizeof magic && std::memcmp(magic, "PK\x03\x04", 4) == 0) {
    if (std::fseek(f, 0, SEEK_SET) != 0) throw read_failed();
    return ParseXlsxFile(f);
  }
  std::string bytes(magic, head);
  if (head == sizeof magic) {
    // One read into a buffer of the file's size; a file that grows meanwhile is read to its end.
    bytes.resize(std::max<std::size_t>(static_cast<std::size_t>(st.st_size), head));
    std::size_t got = head + std::fread(bytes.data() + head, 1, bytes.size() - head, f);
    const bool short_read = got < bytes.size();
    bytes.resize(got);
    if (!short_read) {
      char buf[1 << 16];
      while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
    }
  }
  if (std::ferror(f)) throw read_failed();
  return ParseWorkbook(bytes);
}

}  // namespace dbu::sheet
