// Cell storage of a worksheet and the file-level entry points of the loaders.
#include "workbook.h"

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

std::uint64_t Mix(std::uint64_t x);

// Slot of a key: rows are scattered, the columns of a row lie side by side,
// so reading or loading a row touches few cache lines.
std::size_t HomeSlot(std::uint64_t key, std::size_t mask) {
  return static_cast<std::size_t>(Mix(key >> 32) + (key & 0xFFFFFFFFu)) & mask;
}

std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ULL;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

std::size_t Worksheet::Probe(std::uint64_t key) const {
  // Returns the slot holding key, or the first free/deleted slot where it may go.
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = HomeSlot(key, mask);
  std::size_t reuse = slots_.size();
  for (;;) {
    const Slot& s = slots_[i];
    if (s.index == kFree) return reuse != slots_.size() ? reuse : i;
    if (s.index == kDeleted) {
      if (reuse == slots_.size()) reuse = i;
    } else if (s.key == key) {
      return i;
    }
    i = (i + 1) & mask;
  }
}

void Worksheet::Grow() {
  // Doubles the index when it is three quarters full; also drops tombstones.
  std::size_t size = 64;
  while (size < (live_ + 1) * 3 / 2) size *= 2;
  std::vector<Slot> old(size);
  old.swap(slots_);
  used_ = live_;
  for (const Slot& s : old) {
    if (s.index >= kDeleted) continue;
    std::size_t i = HomeSlot(s.key, size - 1);
    while (slots_[i].index != kFree) i = (i + 1) & (size - 1);
    slots_[i] = s;
  }
}

void Worksheet::Reserve(std::size_t n) {
  if (n <= cells_.size()) return;
  cells_.reserve(n);
  std::size_t size = 64;
  while (size < n * 3 / 2 + 2) size *= 2;
  if (size <= slots_.size()) return;
  std::vector<Slot> old(size);
  old.swap(slots_);
  used_ = live_;
  for (const Slot& s : old) {
    if (s.index >= kDeleted) continue;
    std::size_t i = HomeSlot(s.key, size - 1);
    while (slots_[i].index != kFree) i = (i + 1) & (size - 1);
    slots_[i] = s;
  }
}

void Worksheet::Set(std::uint32_t row, std::uint32_t col, const Cell& cell) {
  const std::uint64_t key = KeyOf(row, col);
  if (cell.kind == CellKind::Empty) {
    if (slots_.empty()) return;
    Slot& s = slots_[Probe(key)];
    if (s.index < kDeleted && s.key == key) {
      s.index = kDeleted;
      --live_;
    }
    return;
  }
  if (slots_.empty() || (used_ + 1) * 4 > slots_.size() * 3) Grow();
  Slot& s = slots_[Probe(key)];
  if (s.index < kDeleted && s.key == key) {
    cells_[s.index] = cell;
    return;
  }
  if (cells_.size() >= kDeleted) throw WorkbookError("the worksheet holds too many cells");
  if (s.index == kFree) ++used_;
  s.key = key;
  s.index = static_cast<std::uint32_t>(cells_.size());
  cells_.push_back(cell);
  ++live_;
}

const Cell* Worksheet::Find(std::uint32_t row, std::uint32_t col) const {
  if (slots_.empty()) return nullptr;
  const std::uint64_t key = KeyOf(row, col);
  const Slot& s = slots_[Probe(key)];
  return s.index < kDeleted && s.key == key ? &cells_[s.index] : nullptr;
}

std::uint32_t Workbook::AddString(std::string s) {
  strings.push_back(std::move(s));
  return static_cast<std::uint32_t>(strings.size() - 1);
}

std::uint32_t Workbook::AddFormat(NumberFormat f) {
  formats.push_back(std::move(f));
  return static_cast<std::uint32_t>(formats.size() - 1);
}

Workbook ParseWorkbook(const std::string& bytes) {
  static const char kCompound[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), kCompound, 8) == 0) return ParseXls(bytes);
  if (bytes.size() >= 4 && std::memcmp(bytes.data(), "PK\x03\x04", 4) == 0) return ParseXlsx(bytes);
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
  std::string bytes;
  char buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) throw WorkbookError(std::string("the file cannot be read: ") + std::strerror(err));
  return ParseWorkbook(bytes);
}

}  // namespace dbu::sheet
