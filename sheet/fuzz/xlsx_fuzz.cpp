// Feeds arbitrary bytes to the ".xlsx" reader (zip entries and XML parts):
// it must reject bad input with WorkbookError, never crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cell_text.h"
#include "workbook.h"
#include "workbook_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    const dbu::sheet::Workbook wb = dbu::sheet::ParseXlsx(bytes);
    dbu::sheet::CellTextRenderer render(wb, [] { return dbu::sheet::DateSettings{}; });
    for (const dbu::sheet::Worksheet& ws : wb.sheets)
      ws.ForEach([&](std::uint32_t, std::uint32_t, const dbu::sheet::Cell& c) { (void)render.CellText(&c); });
  } catch (const dbu::sheet::WorkbookError&) {
  }
  return 0;
}
