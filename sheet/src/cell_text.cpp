// Displayed text of cells and blocks.
#include "cell_text.h"

#include "formatsettings.h"

namespace dbu::sheet {

DateSettings SystemDateSettings() {
  DateSettings s;
  s.short_date_format = dbu::DefaultDateFormat();
  s.date_separator = std::string(1, dbu::DateSeparator());
  return s;
}

CellTextRenderer::CellTextRenderer(const Workbook& workbook, std::function<DateSettings()> dates)
    : workbook_(workbook), dates_(std::move(dates)), cache_(workbook.formats.size()) {}

const FormatCode& CellTextRenderer::FormatOf(std::uint32_t index) const {
  if (index >= cache_.size()) index = 0;
  const NumberFormat& f = workbook_.formats[index];
  CachedFormat& c = cache_[index];
  if (f.builtin_id == 14 || f.builtin_id == 22) {
    // Follows the system's short date format, which may change while loaded.
    std::string code = BuiltinFormatCode(f.builtin_id, dates_ ? dates_() : DateSettings{});
    if (!c.parsed || c.code != code) {
      c.parsed = std::make_unique<FormatCode>(FormatCode::Parse(code));
      c.code = std::move(code);
    }
  } else if (!c.parsed) {
    c.code = f.builtin_id >= 0 ? BuiltinFormatCode(f.builtin_id, DateSettings{}) : f.code;
    c.parsed = std::make_unique<FormatCode>(FormatCode::Parse(c.code));
  }
  return *c.parsed;
}

std::string CellTextRenderer::CellText(const Cell* cell) const {
  if (cell == nullptr) return {};
  switch (cell->kind) {
    case CellKind::Empty: return {};
    case CellKind::Number: return FormatOf(cell->format).FormatNumber(cell->number, workbook_.date1904);
    case CellKind::Text: {
      const std::string& s = cell->text < workbook_.strings.size() ? workbook_.strings[cell->text] : std::string();
      return FormatOf(cell->format).FormatText(s);
    }
    case CellKind::Boolean: return cell->number != 0 ? "TRUE" : "FALSE";
    case CellKind::Error:
      return cell->text < workbook_.strings.size() ? workbook_.strings[cell->text] : std::string("#N/A");
  }
  return {};
}

std::string CellTextRenderer::BlockText(const Worksheet& sheet, const CellBlock& block) const {
  if (block.CellCount() == 1) return CellText(sheet.Find(block.first_row, block.first_col));
  // Visit whichever is smaller: the block's cells or the sheet's stored cells.
  if (block.CellCount() <= sheet.cell_count()) {
    std::string first = CellText(sheet.Find(block.first_row, block.first_col));
    for (std::uint32_t r = block.first_row;; ++r) {
      for (std::uint32_t c = block.first_col;; ++c) {
        if (CellText(sheet.Find(r, c)) != first) return kMixedText;
        if (c == block.last_col) break;
      }
      if (r == block.last_row) break;
    }
    return first;
  }
  // More cells than stored ones: some cell is empty, so all must show "".
  bool mixed = false;
  sheet.ForEach([&](std::uint32_t r, std::uint32_t c, const Cell& cell) {
    if (!mixed && block.Contains(r, c) && !CellText(&cell).empty()) mixed = true;
  });
  return mixed ? kMixedText : std::string();
}

}  // namespace dbu::sheet
