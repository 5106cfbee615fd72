/*
 * The text a spreadsheet shows for a cell or a block of cells of a loaded
 * workbook: values through their number formats, TRUE/FALSE, error values,
 * the empty text for an empty cell, and for a block the one text all its
 * cells show or "(N/A)". Keeps parsed formats of one workbook; the workbook
 * must outlive the renderer. Not thread-safe (the format cache is shared).
 */
#ifndef DBU_SHEET_CELL_TEXT_H
#define DBU_SHEET_CELL_TEXT_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cell_address.h"
#include "number_format.h"
#include "workbook.h"

namespace dbu::sheet {

// The text of a block whose cells show different texts.
inline constexpr const char* kMixedText = "(N/A)";

class CellTextRenderer {
 public:
  // dates gives the system's current short date settings at each use.
  CellTextRenderer(const Workbook& workbook, std::function<DateSettings()> dates);

  std::string CellText(const Cell* cell) const;
  std::string BlockText(const Worksheet& sheet, const CellBlock& block) const;

 private:
  const FormatCode& FormatOf(std::uint32_t index) const;

  struct CachedFormat {
    std::string code;
    std::unique_ptr<FormatCode> parsed;
  };
  const Workbook& workbook_;
  std::function<DateSettings()> dates_;
  mutable std::vector<CachedFormat> cache_;
};

// The short date settings of the process (its DefaultDateFormat and date separator).
DateSettings SystemDateSettings();

}  // namespace dbu::sheet

#endif
