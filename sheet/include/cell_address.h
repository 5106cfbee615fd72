/*
 * A1-style cell addresses: "C15", "$C$15", "A2:B3". A block is kept with its
 * corners ordered (first <= last); rows and columns are zero-based inside,
 * one-based and lettered in text. Pure functions, thread-safe.
 */
#ifndef DBU_SHEET_CELL_ADDRESS_H
#define DBU_SHEET_CELL_ADDRESS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dbu::sheet {

struct CellBlock {
  std::uint32_t first_row = 0, first_col = 0, last_row = 0, last_col = 0;

  std::uint64_t CellCount() const {
    return std::uint64_t(last_row - first_row + 1) * std::uint64_t(last_col - first_col + 1);
  }
  bool Contains(std::uint32_t row, std::uint32_t col) const {
    return row >= first_row && row <= last_row && col >= first_col && col <= last_col;
  }
  bool operator==(const CellBlock&) const = default;
};

// Parses a cell or a block of cells on a grid of max_rows x max_cols; letters
// in either case, "$" marks allowed. Returns nothing for anything else: row 0,
// a row or column past the grid, missing parts, spaces, other characters.
std::optional<CellBlock> ParseCellAddress(std::string_view text, std::uint32_t max_rows, std::uint32_t max_cols);

// The relative A1 form: "A2" for one cell, "A2:B3" for a block.
std::string FormatCellAddress(const CellBlock& block);

// Zero-based column number to letters: 0 -> "A", 25 -> "Z", 26 -> "AA".
std::string ColumnLetters(std::uint32_t col);

}  // namespace dbu::sheet

#endif
