// The reader component: lifecycle, ranges, addresses, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "fixture_util.h"
#include "formatsettings.h"

namespace dbu::testing {
namespace {

TEST(SheetReaderTest, DesignTimeStateOfTheWindow) {
  TSheetReader reader;
  SetUpSheetReader1(reader);
  EXPECT_FALSE(reader.Connected());
  ASSERT_EQ(reader.Workbooks().Count(), 1);
  TSheetWorkbook& wb = reader.Workbooks()[0];
  EXPECT_EQ(wb.Filename(), "");
  ASSERT_EQ(wb.Worksheets().Count(), 1);
  EXPECT_EQ(wb.Worksheets()[0].Name(), "Sheet1");
  EXPECT_EQ(wb.Worksheets()[0].Ranges().Count(), 0);
  EXPECT_THROW(reader.Workbooks()[1], ESheetIndexError);
}

TEST(SheetReaderTest, ImportTaskReadsRowsUntilBlankColumnA) {
  OpenedSheet s("approval_flow.xls");
  TSheetWorksheets& sheets = s.reader.Workbooks()[0].Worksheets();
  ASSERT_EQ(sheets.Count(), 1);
  EXPECT_EQ(sheets[0].Name(), "Flow");  // rebuilt from the file, not "Sheet1"
  EXPECT_EQ(s.range->Name(), "r");
  EXPECT_EQ(s.range->Address(), "A1");  // a new range stands on A1
  std::vector<std::string> sections;
  for (int row = 2;; ++row) {
    const std::string a = s.Text("A" + std::to_string(row));
    if (a.empty()) break;
    sections.push_back(a);
  }
  EXPECT_EQ(sections, (std::vector<std::string>{"S01", "S02"}));
  EXPECT_EQ(s.Text("M2"), "T3");
  EXPECT_EQ(s.Text("E3"), "   ");
  EXPECT_EQ(s.Text("G3"), "");
}

TEST(SheetReaderTest, InvalidAddressShowsOneBoxAndKeepsThePreviousRange) {
  OpenedSheet s("approval_flow.xls");
  EXPECT_EQ(s.Text("C2"), "E100");
  for (const char* bad : {"C0", "garbage", "IW2", "A65537", ""}) {
    s.messages.clear();
    s.range->SetAddress(bad);
    ASSERT_EQ(s.messages.size(), 1u) << bad;
    EXPECT_EQ(s.messages[0].Text, "Invalid Range Address.");
    EXPECT_EQ(s.messages[0].Title, "Error");
    EXPECT_EQ(s.messages[0].Icon, TSheetMessage::TIcon::Error);
    EXPECT_EQ(s.messages[0].Buttons, TSheetMessage::TButtons::Ok);
    EXPECT_EQ(s.range->Address(), "C2");
    EXPECT_EQ(s.range->SimpleText(), "E100");
  }
}

TEST(SheetReaderTest, AddressReadsBackInRelativeForm) {
  OpenedSheet s("basic.xls");
  s.range->SetAddress("$b$3");
  EXPECT_EQ(s.range->Address(), "B3");
  s.range->SetAddress("F3:$F$1");
  EXPECT_EQ(s.range->Address(), "F1:F3");
  EXPECT_EQ(s.range->SimpleText(), "same");
}

TEST(SheetReaderTest, DisconnectKeepsStoredValuesAndReconnectRebuildsSheets) {
  int connects = 0, disconnects = 0;  // outlive the reader, which disconnects when destroyed
  OpenedSheet s("approval_flow.xls");
  s.reader.SetOnSheetConnect([&] { ++connects; });
  s.reader.SetOnSheetDisconnect([&] { ++disconnects; });
  EXPECT_EQ(s.Text("A2"), "S01");
  s.reader.SetConnected(false);
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(s.reader.Connected());
  EXPECT_EQ(s.range->SimpleText(), "S01");  // the cached value
  s.range->SetAddress("A3");                 // only stored while disconnected
  EXPECT_EQ(s.range->Address(), "A3");
  EXPECT_EQ(s.range->SimpleText(), "S01");
  s.range->SetAddress("not checked now");
  EXPECT_TRUE(s.messages.empty());
  s.reader.SetConnected(false);
  EXPECT_EQ(disconnects, 1);

  s.reader.SetConnected(true);
  s.reader.SetConnected(true);  // already connected: nothing happens
  EXPECT_EQ(connects, 1);
  TSheetWorksheets& sheets = s.reader.Workbooks()[0].Worksheets();
  ASSERT_EQ(sheets.Count(), 1);
  EXPECT_EQ(sheets[0].Ranges().Count(), 0);  // the old range went with the old sheet item
  EXPECT_EQ(s.reader.Workbooks()[0].Filename(), Fixture("approval_flow.xls"));
}

TEST(SheetReaderTest, SettingTheFileNameWhileConnectedOpensIt) {
  OpenedSheet s("approval_flow.xls");
  s.reader.Workbooks()[0].SetFilename(Fixture("basic.xls"));
  TSheetWorksheets& sheets = s.reader.Workbooks()[0].Worksheets();
  ASSERT_EQ(sheets.Count(), 2);
  EXPECT_EQ(sheets[0].Name(), "Data");
  EXPECT_EQ(sheets[0].Ranges().Add().SimpleText(), "Heading");
}

TEST(SheetReaderTest, ClearOnMoveClearsOnlyTheLoadedCopy) {
  OpenedSheet s("approval_flow.xls");
  s.range->SetAddress("A2");
  s.range->SetClearOnMove(true);
  s.range->SetAddress("A3");
  EXPECT_EQ(s.range->SimpleText(), "S02");
  TSheetRange& probe = s.reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
  probe.SetAddress("A2");
  EXPECT_EQ(probe.SimpleText(), "");
  s.reader.SetConnected(false);
  s.reader.SetConnected(true);
  TSheetRange& again = s.reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
  again.SetAddress("A2");
  EXPECT_EQ(again.SimpleText(), "S01");
}

TEST(SheetReaderTest, WorkbookWithoutFileIsANewEmptyWorkbook) {
  TSheetReader reader;
  SetUpSheetReader1(reader);
  TSheetWorksheet& ws = reader.Workbooks()[0].Worksheets()[0];
  TSheetRange& early = ws.Ranges().Add();  // added while disconnected: bound on connect
  early.SetAddress("B2");
  reader.SetConnected(true);
  EXPECT_EQ(early.Address(), "B2");
  EXPECT_EQ(early.SimpleText(), "");
  TSheetWorksheet& added = reader.Workbooks()[0].Worksheets().Add();
  EXPECT_EQ(added.Name(), "Sheet2");
  EXPECT_EQ(ws.Name(), "Sheet1");
}

TEST(SheetReaderTest, FilesThatCannotBeOpened) {
  struct Case {
    std::string file;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {Fixture("missing.xls"), "does not exist"},
      {Fixture("notaworkbook.xls"), "not a workbook"},
      {Fixture("empty.xls"), "empty"},
      {Fixture("truncated.xls"), "damaged"},
      {Fixture("plainzip.xlsx"), "not a workbook"},
      {Fixture("badxml.xlsx"), "damaged"},
      {Fixture("encrypted.xlsx"), "protected by a password"},
      {std::string(SHEET_FIXTURES_DIR), "folder"},
  };
  for (const Case& c : cases) {
    TSheetReader reader;
    SetUpSheetReader1(reader);
    reader.Workbooks()[0].SetFilename(c.file);
    try {
      reader.SetConnected(true);
      ADD_FAILURE() << c.file << " opened";
    } catch (const ESheetError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(c.file), std::string::npos) << what;
      EXPECT_NE(what.find(c.reason), std::string::npos) << what;
    }
    // As after the server failed to open the file: connected, without worksheets.
    EXPECT_TRUE(reader.Connected());
    EXPECT_EQ(reader.Workbooks()[0].Worksheets().Count(), 0);
    EXPECT_THROW(reader.Workbooks()[0].Worksheets()[0], ESheetIndexError);
    reader.SetConnected(false);
    EXPECT_FALSE(reader.Connected());
  }
}

TEST(SheetReaderTest, UnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const std::string path = ::testing::TempDir() + "/locked.xls";
  std::ofstream(path) << "x";
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  TSheetReader reader;
  SetUpSheetReader1(reader);
  reader.Workbooks()[0].SetFilename(path);
  EXPECT_THROW(
      try { reader.SetConnected(true); } catch (const ESheetError& e) {
        EXPECT_NE(std::string(e.what()).find("access denied"), std::string::npos) << e.what();
        throw;
      },
      ESheetError);
  std::remove(path.c_str());
}

TEST(SheetReaderTest, WorkbookWithoutWorksheets) {
  TSheetReader reader;
  SetUpSheetReader1(reader);
  reader.Workbooks()[0].SetFilename(Fixture("nosheets.xlsx"));
  reader.SetConnected(true);
  EXPECT_EQ(reader.Workbooks()[0].Worksheets().Count(), 0);
  try {
    reader.Workbooks()[0].Worksheets()[0];
    ADD_FAILURE() << "no index error";
  } catch (const ESheetIndexError& e) {
    EXPECT_NE(std::string(e.what()).find("Worksheets index out of bounds (0)"), std::string::npos) << e.what();
  }
}

TEST(SheetReaderTest, DefaultDateSourceIsTheProcessSettings) {
  TSheetReader reader;
  reader.Workbooks().Add().SetFilename(Fixture("basic.xls"));
  reader.SetConnected(true);
  TSheetRange& r = reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
  r.SetAddress("C1");
  const char old_separator = DateSeparator();
  const std::string old_format = DefaultDateFormat();
  SetDefaultDateFormat("dd/MM/yyyy");
  SetDateSeparator('.');
  EXPECT_EQ(r.SimpleText(), "24.05.2005");
  SetDateSeparator(old_separator);
  SetDefaultDateFormat(old_format);
}

}  // namespace
}  // namespace dbu::testing
