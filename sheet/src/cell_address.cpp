// A1-style address parsing and formatting.
#include "cell_address.h"

namespace dbu::sheet {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Parses one corner ("$AB$12") into zero-based row and column.
bool ParseCorner(std::string_view s, std::uint32_t max_rows, std::uint32_t max_cols, std::uint32_t& row,
                 std::uint32_t& col) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '$') ++i;
  std::uint64_t c = 0;
  std::size_t letters = 0;
  while (i < s.size() && IsLetter(s[i])) {
    const char up = static_cast<char>(s[i] & ~0x20);
    c = c * 26 + static_cast<std::uint64_t>(up - 'A' + 1);
    if (c > max_cols) return false;
    ++i;
    ++letters;
  }
  if (letters == 0) return false;
  if (i < s.size() && s[i] == '$') ++i;
  std::uint64_t r = 0;
  std::size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) {
    r = r * 10 + static_cast<std::uint64_t>(s[i] - '0');
    if (r > max_rows) return false;
    ++i;
    ++digits;
  }
  if (digits == 0 || i != s.size() || r == 0) return false;
  row = static_cast<std::uint32_t>(r - 1);
  col = static_cast<std::uint32_t>(c - 1);
  return true;
}

}  // namespace

std::optional<CellBlock> ParseCellAddress(std::string_view text, std::uint32_t max_rows, std::uint32_t max_cols) {
  const std::size_t colon = text.find(':');
  std::string_view first = text.substr(0, colon);
  std::string_view second = colon == std::string_view::npos ? first : text.substr(colon + 1);
  CellBlock b;
  std::uint32_t r1, c1, r2, c2;
  if (!ParseCorner(first, max_rows, max_cols, r1, c1) || !ParseCorner(second, max_rows, max_cols, r2, c2))
    return std::nullopt;
  b.first_row = std::min(r1, r2);
  b.last_row = std::max(r1, r2);
  b.first_col = std::min(c1, c2);
  b.last_col = std::max(c1, c2);
  return b;
}

std::string ColumnLetters(std::uint32_t col) {
  std::string out;
  std::uint64_t n = std::uint64_t(col) + 1;
  while (n > 0) {
    const std::uint64_t rem = (n - 1) % 26;
    out.insert(out.begin(), static_cast<char>('A' + rem));
    n = (n - 1) / 26;
  }
  return out;
}

std::string FormatCellAddress(const CellBlock& b) {
  std::string out = ColumnLetters(b.first_col) + std::to_string(std::uint64_t(b.first_row) + 1);
  if (b.first_row != b.last_row || b.first_col != b.last_col)
    out += ":" + ColumnLetters(b.last_col) + std::to_string(std::uint64_t(b.last_row) + 1);
  return out;
}

}  // namespace dbu::sheet
