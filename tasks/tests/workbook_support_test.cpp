// The import tests' workbooks read back through the window's spreadsheet
// component as the tasks will read them.
#include "workbook_support.h"

#include "sheet_reader.h"
#include "tasktest_support.h"

namespace dbu {
namespace {

TEST(WorkbookSupport, CellsReadBackAsDisplayed) {
  TempDir dir;
  const std::string path = dir.Base() + "case.xls";
  TWorkbookCells()
      .Text("A1", "SECTION")
      .Text("A2", "S'01")
      .Number("B2", 1234.5, "#,##0.00")
      .Date("C2", "2005-04-15")
      .Text("A3", "   ")
      .Write(path);
  TSheetReader reader;
  SetUpSheetReader1(reader);
  reader.Workbooks()[0].SetFilename(path);
  reader.SetConnected(true);
  TSheetRange& range = reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
  auto text = [&](const std::string& address) {
    range.SetAddress(address);
    return range.SimpleText();
  };
  EXPECT_EQ(text("A2"), "S'01");
  EXPECT_EQ(text("B2"), "1,234.50");
  EXPECT_EQ(text("C2"), "15/04/2005");
  EXPECT_EQ(text("A3"), "   ");
  EXPECT_EQ(text("D9"), "");
  reader.SetConnected(false);
}

}  // namespace
}  // namespace dbu
