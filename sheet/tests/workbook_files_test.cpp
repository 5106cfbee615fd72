// Displayed texts of the generated ".xls" and ".xlsx" fixtures, as a spreadsheet shows them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "commalocale.h"
#include "fixture_util.h"
#include "number_format.h"
#include "workbook.h"

namespace dbu::testing {
namespace {

struct Expected {
  const char* address;
  const char* text;
};

// The cells both basic.xls and basic.xlsx hold (see make_fixtures.py).
const Expected kBasic[] = {
    {"A1", "Heading"}, {"A2", "S01"}, {"A3", "Caf\u00e9 \u00fcn\u00efc\u00f6d\u00e9 \u20ac"}, {"A4", "3.5"},
    {"A5", "1234567"}, {"A6", "0.333333333"}, {"A7", "1E+15"}, {"A8", "-2.5"}, {"A9", "0.3"},
    {"A10", "1.23457E+11"}, {"A11", "  padded  "}, {"A12", "100"},
    {"B1", "1234.57"}, {"B2", "1,234.57"}, {"B3", "26%"}, {"B4", "25.60%"}, {"B5", "1.23E+04"}, {"B6", "1 1/2"},
    {"B7", "(1,234.50)"}, {"B8", "zero"}, {"B9", "1,235"}, {"B10", "1.2M"}, {"B11", "Total: 5"}, {"B12", "big"},
    {"B13", "000042"}, {"B14", "<abc>"}, {"B15", "2.68"}, {"B16", "$1,234.50 "}, {"B17", "3/4"}, {"B18", "-5"},
    {"B19", "-"}, {"B20", ".5"}, {"B21", "12.3E+3"}, {"B22", "50"}, {"B23", "3 units"}, {"B24", "\u20ac 1,234"},
    {"B25", "small 12"},
    {"C1", "24/05/2005"}, {"C2", "24/05/2005"}, {"C3", "2005-05-24"}, {"C4", "24-May-05"},
    {"C5", "Tuesday, May 24, 2005"}, {"C6", "13:45:30"}, {"C7", "1:45 PM"}, {"C8", "2005-05-24 13:45"},
    {"C9", "36:00:00"}, {"C10", "1900-02-29"}, {"C11", "24/05/2005 13:45"}, {"C12", "00:05"}, {"C13", "May 24"},
    {"C14", "01/01/1900"}, {"C15", "########"},
    {"D1", "TRUE"}, {"D2", "FALSE"}, {"D3", "#DIV/0!"}, {"D4", "#N/A"}, {"D5", "3"}, {"D6", "3.00"}, {"D7", ""},
    {"D8", "TRUE"}, {"D9", "#DIV/0!"},
    {"E1", ""}, {"E2", ""}, {"Z99", ""}, {"I1", "Hello World"},
    // Blocks: one text when all cells show it, "(N/A)" otherwise.
    {"F1:F3", "same"}, {"$F$1:$F$3", "same"}, {"F3:F1", "same"}, {"F1:F4", "(N/A)"}, {"G1:G2", "(N/A)"},
    {"H1:H2", "(N/A)"}, {"H2:H4", "5"}, {"E1:E9", ""}, {"E2:F2", "(N/A)"}, {"A1:IV65536", "(N/A)"},
};

class BasicWorkbookTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BasicWorkbookTest, ShowsEachCellAsTheSpreadsheetDoes) {
  OpenedSheet s(GetParam());
  for (const Expected& e : kBasic) EXPECT_EQ(s.Text(e.address), e.text) << GetParam() << " " << e.address;
  EXPECT_TRUE(s.messages.empty());
}

TEST_P(BasicWorkbookTest, HoldsEveryWorksheetInOrder) {
  OpenedSheet s(GetParam());
  TSheetWorksheets& sheets = s.reader.Workbooks()[0].Worksheets();
  ASSERT_EQ(sheets.Count(), 2);
  EXPECT_EQ(sheets[0].Name(), "Data");
  EXPECT_EQ(sheets[1].Name(), "Second");
  TSheetRange& other = sheets[1].Ranges().Add();
  EXPECT_EQ(other.SimpleText(), "second sheet");
  other.SetAddress("B2");
  EXPECT_EQ(other.SimpleText(), "7");
}

TEST_P(BasicWorkbookTest, ShortDateFollowsTheSystemSeparator) {
  sheet::DateSettings dashes;
  dashes.date_separator = "-";
  OpenedSheet s(GetParam(), dashes);
  EXPECT_EQ(s.Text("C1"), "24-05-2005");
  EXPECT_EQ(s.Text("C2"), "24/05/2005");  // a custom code keeps its own "/"
}

INSTANTIATE_TEST_SUITE_P(Formats, BasicWorkbookTest, ::testing::Values("basic.xls", "basic.xlsx"));

TEST(WorkbookFilesTest, GridSizeFollowsTheFileFormat) {
  OpenedSheet xls("basic.xls");
  EXPECT_EQ(xls.Text("IV65536"), "last cell");
  EXPECT_EQ(xls.Text("A65537"), "last cell");  // rejected: keeps the previous range
  EXPECT_EQ(xls.Text("IW1"), "last cell");
  EXPECT_EQ(xls.messages.size(), 2u);
  OpenedSheet xlsx("basic.xlsx");
  EXPECT_EQ(xlsx.Text("XFD1048576"), "last cell");
  EXPECT_EQ(xlsx.Text("A65537"), "");
  EXPECT_TRUE(xlsx.messages.empty());
}

TEST(WorkbookFilesTest, BothDateSystems) {
  for (const char* file : {"date1904.xls", "date1904.xlsx"}) {
    OpenedSheet s(file);
    EXPECT_EQ(s.Text("A1"), "2005-05-24") << file;
    EXPECT_EQ(s.Text("A2"), "1904-01-01") << file;
    EXPECT_EQ(s.Text("A3"), "24/05/2005") << file;
    EXPECT_EQ(s.Text("A4"), "2005-05-24 12:00") << file;
  }
}

TEST(WorkbookFilesTest, StringTableAcrossContinueRecords) {
  OpenedSheet s("long.xls");
  EXPECT_EQ(s.Text("A1"), "item 1");
  EXPECT_EQ(s.Text("A2999"), "item 2999");
  EXPECT_EQ(s.Text("A3000"), "item 3000");
  std::string expected;
  for (int i = 0; i < 1500; ++i) expected += "abc\u00e9";
  for (int i = 0; i < 3000; ++i) expected += "\u4e2d";
  EXPECT_EQ(s.Text("B1"), expected);
}

TEST(WorkbookFilesTest, Excel95Workbook) {
  OpenedSheet s("biff5.xls");
  EXPECT_EQ(s.reader.Workbooks()[0].Worksheets()[0].Name(), "Alt");
  EXPECT_EQ(s.Text("A1"), "Caf\u00e9 \u20ac");  // code page 1252
  EXPECT_EQ(s.Text("A2"), "2.500");
  EXPECT_EQ(s.Text("A3"), "24/05/2005");
  EXPECT_EQ(s.Text("A4"), "calc");  // a formula's text result
  EXPECT_EQ(s.Text("A16384"), "");
  EXPECT_TRUE(s.messages.empty());
  EXPECT_EQ(s.Text("A16385"), "");  // past the Excel 95 grid
  EXPECT_EQ(s.messages.size(), 1u);
}

TEST(WorkbookFilesTest, HandWrittenPackage) {
  OpenedSheet s("handmade.xlsx");
  TSheetWorksheets& sheets = s.reader.Workbooks()[0].Worksheets();
  ASSERT_EQ(sheets.Count(), 2);  // the chart sheet holds no cells
  EXPECT_EQ(sheets[1].Name(), "Other");
  EXPECT_EQ(s.Text("A1"), "Hello World");  // rich text, phonetic text left out
  EXPECT_EQ(s.Text("B1"), "inline text");
  EXPECT_EQ(s.Text("C1"), "from formula");
  EXPECT_EQ(s.Text("D1"), "#REF!");
  EXPECT_EQ(s.Text("E1"), "FALSE");
  EXPECT_EQ(s.Text("A2"), "2.000");
  EXPECT_EQ(s.Text("B2"), "24/05/2005");
  EXPECT_EQ(s.Text("C2"), "1,234,567");
  EXPECT_EQ(s.Text("D2"), "3");
  EXPECT_EQ(s.Text("A5"), "a\rb");
  EXPECT_EQ(sheets[1].Ranges().Add().SimpleText(), "other");
}

// Numbers in a file are written with a point whatever the process locale:
// the seconds of a date cell, the number of a format's condition.
TEST(WorkbookFilesTest, NumbersOfTheFileReadTheSameUnderACommaLocale) {
  DBU_UNDER_COMMA_LOCALE();
  const sheet::Workbook wb = sheet::LoadWorkbook(Fixture("handmade.xlsx"));
  const sheet::Cell* stamp = wb.sheets[0].Find(0, 5);
  ASSERT_NE(stamp, nullptr);
  EXPECT_EQ(sheet::FormatCode::Parse("yyyy-mm-dd hh:mm:ss.0").FormatNumber(stamp->number, false),
            "2005-05-24 13:45:30.5");
  EXPECT_EQ(sheet::FormatCode::Parse("[>=12.9]\"high\";[<12.9]\"low\"").FormatNumber(12.5, false), "low");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Every sheet's cells, keyed by (sheet, row, column), with their kind, value and format.
std::map<std::tuple<std::size_t, std::uint32_t, std::uint32_t>, std::string> CellsOf(const sheet::Workbook& wb) {
  std::map<std::tuple<std::size_t, std::uint32_t, std::uint32_t>, std::string> cells;
  for (std::size_t i = 0; i < wb.sheets.size(); ++i)
    wb.sheets[i].ForEach([&](std::uint32_t r, std::uint32_t c, const sheet::Cell& cell) {
      const bool text = cell.kind == sheet::CellKind::Text || cell.kind == sheet::CellKind::Error;
      cells[{i, r, c}] = std::to_string(static_cast<int>(cell.kind)) + "|" +
                         (text ? wb.strings.at(cell.text) : std::to_string(cell.number)) + "|" +
                         std::to_string(cell.format);
    });
  return cells;
}

// Packages are read in place from the file; that must give what reading them from memory gives.
TEST(WorkbookFilesTest, PackageReadFromTheFileMatchesTheBytesInMemory) {
  for (const char* name : {"basic.xlsx", "date1904.xlsx", "handmade.xlsx"}) {
    const sheet::Workbook from_file = sheet::LoadWorkbook(Fixture(name));
    const sheet::Workbook from_memory = sheet::ParseWorkbook(ReadAll(Fixture(name)));
    EXPECT_FALSE(CellsOf(from_file).empty()) << name;
    EXPECT_EQ(CellsOf(from_file), CellsOf(from_memory)) << name;
    EXPECT_EQ(from_file.date1904, from_memory.date1904) << name;
  }
}

TEST(WorkbookFilesTest, TruncatedPackageOnDiskIsDamaged) {
  const std::string bytes = ReadAll(Fixture("basic.xlsx"));
  const std::string path = ::testing::TempDir() + "truncated_package.xlsx";
  for (const std::size_t keep : {bytes.size() / 2, bytes.size() * 3 / 4, bytes.size() - 30}) {
    std::ofstream(path, std::ios::binary) << bytes.substr(0, keep);
    try {
      sheet::LoadWorkbook(path);
      ADD_FAILURE() << "a package cut to " << keep << " bytes loaded";
    } catch (const sheet::WorkbookError& e) {
      EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace dbu::testing
