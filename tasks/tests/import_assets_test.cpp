// Task 34, the asset import from "marlix.xls", run end to end on small
// company databases with a workbook written for each case.
#include <gtest/gtest.h>

#include <algorithm>

#include "formatsettings.h"
#include "import_assets.h"
#include "tasks2_support.h"
#include "workbook_support.h"

namespace dbu::test {
namespace {

const char* kMarlixHeader =
    "TABLE MARLIX.ADT\nFIELD TABLE_NAME Char 10\nFIELD FIELD_NO Integer\nFIELD FIELD_NAME Char 20\n"
    "FIELD EXCEL_COL Char 3\nFIELD CODE_CATEGORY Char 10\nFIELD EXCEL_COL2 Char 3\nFIELD FUNCTION_TYPE Integer\n"
    "INDEX TABLEFIELD TABLE_NAME;FIELD_NO UNIQUE\n";
const char* kAssetHeader =
    "TABLE ASSET.ADT\nFIELD ASSET_NO Char 15\nFIELD ASSET_DESC Char 20\nFIELD CATEGORY Char 10\n"
    "FIELD PURCHASE_DATE Date\nFIELD PURCHASE_COST CurDouble\nFIELD INSTALL_COST CurDouble\n"
    "FIELD TOTAL_COST CurDouble\nFIELD START_DEPR Char 6\nFIELD DISPOSE_DATE Date\nINDEX ASSET_NO ASSET_NO UNIQUE\n";
const char* kDepreciationHeader =
    "TABLE FAACCDEP.ADT\nFIELD ASSET_CODE Char 15\nFIELD ACC_DEPR CurDouble\nFIELD DISPOSE_DATE Date\n";
// Financial year 2006 starts in April 2005; no period ends in November. In
// the query's order (pay group, year, period) the WK row comes last.
const char* kPeriods =
    "TABLE PGRP_TRX.ADT\nFIELD PAY_GROUP Char 5\nFIELD PERIOD Char 6\nFIELD YEAR Integer\nFIELD START_DATE Date\n"
    "FIELD END_DATE Date\n"
    "ROW WK | 200703 | 2007 | 01/04/2006 | 30/04/2006\n"
    "ROW MTH | 200602 | 2006 | 01/05/2005 | 31/05/2005\n"
    "ROW MTH | 200601 | 2006 | 01/04/2005 | 30/04/2005\n";
const char* kCodes =
    "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD DESC Char 30\n"
    "INDEX CATCODE CATEGORY;CODE UNIQUE\nROW CAT | C1000 | Old computers\nROW OTH | C2000 | Other\n";
const char* kGroupCodes =
    "TABLE GRPCODE.ADT\nFIELD GROUP_CODE Char 10\nFIELD GROUP_DESC Char 30\nINDEX GROUP_CODE GROUP_CODE UNIQUE\n"
    "ROW ADM | Admin\n";

// The mapping of most cases: every kind of row once.
const char* kFullMapping =
    "ROW ASSET | 1 | ASSET_NO | A | | |\n"
    "ROW ASSET | 2 | ASSET_DESC | | | |\n"
    "ROW ASSET | 3 | CATEGORY | C | | |\n"
    "ROW ASSET | 4 | CATEGORY | D | CAT | C |\n"
    "ROW ASSET | 5 | GROUP_CODE | F | \" GRP\" | E |\n"
    "ROW ASSET | 6 | PURCHASE_DATE | G | | | 1\n"
    "ROW ASSET | 7 | PURCHASE_COST | H | | |\n"
    "ROW ASSET | 8 | INSTALL_COST | I | | | 2\n"
    "ROW FAACCDEP | 1 | ASSET_CODE | A | | |\n"
    "ROW FAACCDEP | 2 | ACC_DEPR | K | | |\n";

const std::vector<std::string> kAssetFields = {"ASSET_NO",      "ASSET_DESC",   "CATEGORY",   "PURCHASE_DATE",
                                               "PURCHASE_COST", "INSTALL_COST", "TOTAL_COST", "START_DEPR",
                                               "DISPOSE_DATE"};

class AssetImport : public TaskRunFixture {
 protected:
  // The company A01 with the mapping rows, the previous records of ASSET
  // and FAACCDEP, the periods and the code tables.
  void Company(const std::string& mapping, const std::string& assets = "ROW OLD1 | Old | | | | | | |\n",
               const std::string& depreciation = "ROW OLD1 | 5 |\n") {
    Table("A01", kMarlixHeader + mapping);
    Table("A01", kAssetHeader + assets);
    Table("A01", kDepreciationHeader + depreciation);
    Table("A01", kPeriods);
    Table("A01", kCodes);
    Table("A01", kGroupCodes);
  }
  void Sheet(const TWorkbookCells& sheet) { sheet.Write(base.Base() + "marlix.xls"); }
  std::string Assets() { return Rows("A01", "ASSET", kAssetFields); }
  std::string Depreciation() { return Rows("A01", "FAACCDEP", {"ASSET_CODE", "ACC_DEPR", "DISPOSE_DATE"}); }
  std::string Codes() { return Rows("A01", "CODE", {"CATEGORY", "CODE", "DESC"}); }
  std::string GroupCodes() { return Rows("A01", "GRPCODE", {"GROUP_CODE", "GROUP_DESC"}); }
  std::vector<std::string> LogSince(size_t start) {
    std::vector<std::string> all = ui.LogLines();
    return std::vector<std::string>(all.begin() + static_cast<long>(start), all.end());
  }
};

TWorkbookCells FullSheet() {
  TWorkbookCells sheet;
  sheet.Text("A1", "Asset").Text("C1", "Category");
  // Row 2: the key with blanks around it, an existing category code with a
  // new description, an existing group code; purchase in April 2005.
  sheet.Text("A2", "  X1 ").Text("B2", "not mapped").Text("C2", "C1000").Text("D2", "New computers");
  sheet.Text("E2", "ADM").Text("F2", "Administration").Date("G2", "2005-04-15");
  sheet.Number("H2", 1000.5, "0.00").Number("I2", 250.25, "0.00").Number("K2", 100);
  // Row 3: a code known only under another category, a new group; April 2007.
  sheet.Text("A3", "X2").Text("C3", "C2000").Text("D3", "Servers").Text("E3", "FIN").Text("F3", "Finance");
  sheet.Date("G3", "2007-04-02").Number("H3", 0.1).Number("I3", 0.2).Number("K3", 200);
  // Row 4: the code row 3 added; November has no period; no install cost.
  sheet.Text("A4", "X3").Text("C4", "C2000").Text("D4", "Servers again").Text("E4", "FIN").Text("F4", "Fin");
  sheet.Date("G4", "2005-11-10").Number("H4", 5).Number("K4", 300);
  // A blank A5 ends the assets: row 6 is never read.
  sheet.Text("A5", "   ").Text("A6", "X9").Text("C6", "C9999");
  return sheet;
}

TEST_F(AssetImport, RebuildsBothTablesAndAddsMissingCodes) {
  Company(kFullMapping);
  Build();
  Sheet(FullSheet());
  const std::string expectedAssets =
      "X1|~|C1000|15/04/2005|1000.5|250.25|1250.75|200601|30/12/1899\n"
      "X2|~|C2000|02/04/2007|0.1|0.2|0.3|200801|30/12/1899\n"
      "X3|~|C2000|10/11/2005|5|~|5|200511|30/12/1899\n";
  const std::string expectedCodes = "CAT|C1000|Old computers\nOTH|C2000|Other\nCAT|C2000|Servers\n";
  const std::string expectedGroups = "ADM|Admin\nFIN|Finance\n";

  // Run twice: the second run rebuilds the same tables and adds no code.
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const size_t logStart = ui.LogLines().size();
    EXPECT_EQ(Run(34), TRunEnd::Done);
    EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
    EXPECT_TRUE(LogSince(logStart).empty());
    // What the task leaves as shared settings.
    EXPECT_FALSE(form->MEDSCH.Filtered());
    EXPECT_EQ(form->MEDSCH.Filter(), "TABLE_NAME='FAACCDEP'");
    EXPECT_EQ(form->MEDSCH.IndexFieldNames(), "TABLE_NAME;FIELD_NO");
    EXPECT_TRUE(form->DbTable1.Exclusive());
    EXPECT_EQ(form->DbTable1.TableName(), "FAACCDEP");
    EXPECT_TRUE(form->SheetReader1.Connected());
    CloseForm();
    EXPECT_EQ(Assets(), expectedAssets);
    EXPECT_EQ(Depreciation(), "X1|100|30/12/1899\nX2|200|30/12/1899\nX3|300|30/12/1899\n");
    EXPECT_EQ(Codes(), expectedCodes);
    EXPECT_EQ(GroupCodes(), expectedGroups);
  }
}

TEST_F(AssetImport, InactiveMappingRowSetsNotEvenTheDisposalDate) {
  Company("ROW ASSET | 1 | ASSET_NO | A | | |\nROW FAACCDEP | 1 | ASSET_CODE | | | |\n");
  Build();
  Sheet(TWorkbookCells().Text("A2", "N1").Text("A3", "N2"));
  EXPECT_EQ(Run(34), TRunEnd::Done);
  CloseForm();
  EXPECT_EQ(Assets(), "N1|~|~|~|~|~|~|~|30/12/1899\nN2|~|~|~|~|~|~|~|30/12/1899\n");
  EXPECT_EQ(Depreciation(), "~|~|~\n~|~|~\n");
}

// The disposal date is a date value: a date separator other than "/"
// must not make every row fail.
TEST_F(AssetImport, DisposalDateDoesNotDependOnTheDateSeparator) {
  Company("ROW ASSET | 1 | ASSET_NO | A | | |\nROW FAACCDEP | 1 | ASSET_CODE | A | | |\n");
  Build();
  Sheet(TWorkbookCells().Text("A2", "S1"));
  Form();
  const FormatSettings saved = GetFormatSettings();
  SetDateSeparator('-');
  const TRunEnd end = Run(34);
  const std::vector<std::string> log = ui.LogLines();
  SetFormatSettings(saved);
  EXPECT_EQ(end, TRunEnd::Done);
  EXPECT_TRUE(log.empty()) << log.front();
  CloseForm();
  EXPECT_EQ(Assets(), "S1|~|~|~|~|~|~|~|30/12/1899\n");
  EXPECT_EQ(Depreciation(), "S1|~|30/12/1899\n");
}

TEST_F(AssetImport, FailingRowsAreLoggedWithTheirKeyAndSkipped) {
  Company(kFullMapping);
  Build();
  TWorkbookCells sheet;
  sheet.Text("A2", "D1").Text("C2", "C1000").Date("G2", "2005-05-03").Number("K2", 1);
  sheet.Text("A3", "D1").Text("C3", "C1000").Date("G3", "2005-05-04").Number("K3", 2);  // duplicate key
  sheet.Text("A4", "D2").Text("C4", "C1000").Text("G4", "2005-04-15").Number("K4", 3);  // not a date here
  sheet.Text("A5", "D3").Text("C5", "C1000").Date("G5", "2005-05-31").Number("K5", 4);
  Sheet(sheet);
  EXPECT_EQ(Run(34), TRunEnd::Done);
  const std::vector<std::string> log = ui.LogLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("Asset Code: D1 *** ", 0), 0u) << log[0];
  EXPECT_NE(log[0].find("would repeat a key of unique index tag ASSET_NO"), std::string::npos) << log[0];
  EXPECT_EQ(log[1], "Asset Code: D2 *** DbTable1: '2005-04-15' is not a valid date");
  CloseForm();
  EXPECT_EQ(Assets(), "D1|~|C1000|03/05/2005|~|~|0|200602|30/12/1899\n"
                      "D3|~|C1000|31/05/2005|~|~|0|200602|30/12/1899\n");
  // FAACCDEP has no unique key and its mapping reads no date.
  EXPECT_EQ(Depreciation(), "D1|1|30/12/1899\nD1|2|30/12/1899\nD2|3|30/12/1899\nD3|4|30/12/1899\n");
}

// A code the code table refuses (its codes are unique across categories
// here) fails its row only: the refused entry is not left pending for the
// next row's search to post again.
TEST_F(AssetImport, RefusedCodeEntryFailsOnlyItsRow) {
  Table("A01", std::string(kMarlixHeader) + "ROW ASSET | 1 | ASSET_NO | A | | |\n" +
                   "ROW ASSET | 2 | CATEGORY | C | CAT | B |\nROW FAACCDEP | 1 | ASSET_CODE | A | | |\n");
  Table("A01", kAssetHeader);
  Table("A01", kDepreciationHeader);
  Table("A01", kPeriods);
  Table("A01", "TABLE CODE.ADT\nFIELD CATEGORY Char 10\nFIELD CODE Char 10\nFIELD DESC Char 30\n"
               "INDEX CATCODE CATEGORY;CODE UNIQUE\nINDEX CODE CODE UNIQUE\nROW OTH | C2000 | Other\n");
  Table("A01", kGroupCodes);
  Build();
  Sheet(TWorkbookCells().Text("A2", "R1").Text("B2", "C2000").Text("C2", "Servers")
            .Text("A3", "R2").Text("B3", "C3000").Text("C3", "Machinery"));
  EXPECT_EQ(Run(34), TRunEnd::Done);
  ASSERT_EQ(ui.LogLines().size(), 1u);
  EXPECT_EQ(ui.LogLines()[0].rfind("Asset Code: R1 *** Code: ", 0), 0u) << ui.LogLines()[0];
  EXPECT_NE(ui.LogLines()[0].find("unique index tag CODE"), std::string::npos) << ui.LogLines()[0];
  CloseForm();
  EXPECT_EQ(Rows("A01", "ASSET", {"ASSET_NO"}), "R2\n");
  EXPECT_EQ(Codes(), "OTH|C2000|Other\nCAT|C3000|Machinery\n");
}

// An address the sheet refuses (the component's box) gives its mapping row
// no value: the range still stands on the previous cell, the asset number.
// The field stays empty, no code is made of it, and one line per mapping
// row tells; the rest of each record is imported.
TEST_F(AssetImport, RefusedCellAddressGivesNoValue) {
  Company("ROW ASSET | 1 | ASSET_NO | A | | |\n"
          "ROW ASSET | 2 | CATEGORY | 1 | | |\n"
          "ROW ASSET | 3 | ASSET_DESC | D | CAT | C- |\n"
          "ROW ASSET | 4 | PURCHASE_COST | H | | |\n"
          "ROW FAACCDEP | 1 | ASSET_CODE | A | | |\n");
  Build();
  Sheet(TWorkbookCells().Text("A2", "N1").Text("D2", "Servers").Number("H2", 5)
            .Text("A3", "N2").Text("D3", "Desks").Number("H3", 7));
  EXPECT_EQ(Run(34), TRunEnd::Done);
  const std::string box = "error [Error]: Invalid Range Address.";
  EXPECT_EQ(ui.Events, (std::vector<std::string>{box, box, box, box, "message: Done!"}));
  EXPECT_EQ(ui.LogLines(),
            (std::vector<std::string>{
                "Mapping row ASSET 2 (EXCEL_COL \"1\"): the sheet refuses the address 12; CATEGORY stays empty "
                "where its address is refused.",
                "Mapping row ASSET 3 (EXCEL_COL2 \"C-\"): the sheet refuses the address C-2; no CAT code is added "
                "where its address is refused."}));
  CloseForm();
  EXPECT_EQ(Assets(), "N1|~|~|~|5|~|~|~|30/12/1899\nN2|~|~|~|7|~|~|~|30/12/1899\n");
  EXPECT_EQ(Codes(), "CAT|C1000|Old computers\nOTH|C2000|Other\n");
}

TEST_F(AssetImport, SheetWithoutAssetRowsKeepsBothTables) {
  Company(kFullMapping);
  Build();
  Sheet(TWorkbookCells().Text("A1", "Asset").Text("A2", "  ").Text("A3", "X1"));
  const std::string before = Assets() + Depreciation();
  EXPECT_EQ(Run(34), TRunEnd::Done);
  EXPECT_TRUE(ui.LogLines().empty());
  CloseForm();
  EXPECT_EQ(Assets() + Depreciation(), before);
  EXPECT_EQ(Codes(), "CAT|C1000|Old computers\nOTH|C2000|Other\n");
}

// A mapping that fails on every row imports nothing: the records the table
// held come back, memo contents included; the engine numbers an
// autoincrement field anew.
TEST_F(AssetImport, PassThatImportsNothingWritesThePreviousRecordsBack) {
  Table("A01", std::string(kMarlixHeader) +
                   "ROW ASSET | 1 | ASSET_NO | A | | |\nROW ASSET | 2 | NO_SUCH_FIELD | B | | |\n"
                   "ROW FAACCDEP | 1 | ASSET_CODE | A | | |\n");
  Table("A01", "TABLE ASSET.ADT\nFIELD ASSET_NO Char 15\nFIELD NOTES Memo\nFIELD BOUGHT TimeStamp\n"
               "FIELD COST CurDouble\nFIELD DISPOSE_DATE Date\nINDEX ASSET_NO ASSET_NO UNIQUE\n"
               "ROW K1 | | | 12.5 | 30/12/1899\nROW K2 | | | | \n");
  Table("A01", "TABLE FAACCDEP.ADT\nFIELD ID AutoInc\nFIELD ASSET_CODE Char 15\nFIELD DISPOSE_DATE Date\n"
               "ROW | OLD | 01/01/2001\n");
  Table("A01", kPeriods);
  Build();
  {
    // Memo and timestamp values can only be written through a cursor.
    TDbTable table;
    table.SetName("Setup");
    table.SetDatabaseName(Folder("A01"));
    table.SetTableName("ASSET");
    table.Open();
    table.Edit();
    table.FieldByName("NOTES").SetAsString(std::string("first line\r\nsecond\0line", 24));
    table.FieldByName("BOUGHT").SetAsDateTime(38457.123456);
    table.Post();
    table.Close();
  }
  const std::string assetsBefore = Rows("A01", "ASSET", {"ASSET_NO", "NOTES", "BOUGHT", "COST", "DISPOSE_DATE"});
  Sheet(TWorkbookCells().Text("A2", "N1").Text("B2", "x").Text("A3", "N2"));
  EXPECT_EQ(Run(34), TRunEnd::Done);
  EXPECT_EQ(ui.LogLines(), (std::vector<std::string>{
                               "Asset Code: N1 *** DbTable1: Field 'NO_SUCH_FIELD' not found",
                               "Asset Code: N2 *** DbTable1: Field 'NO_SUCH_FIELD' not found",
                               "No record imported into ASSET: its 2 previous records are written back.",
                           }));
  CloseForm();
  EXPECT_EQ(Rows("A01", "ASSET", {"ASSET_NO", "NOTES", "BOUGHT", "COST", "DISPOSE_DATE"}), assetsBefore);
  // The exact memo bytes and the millisecond of the timestamp came back.
  TDbTable check;
  check.SetName("Check");
  check.SetDatabaseName(Folder("A01"));
  check.SetTableName("ASSET");
  check.Open();
  EXPECT_EQ(check.FieldByName("NOTES").AsString(), std::string("first line\r\nsecond\0line", 24));
  EXPECT_NEAR(check.FieldByName("BOUGHT").AsDateTime(), 38457.123456, 0.5 / 86400000);
  check.Close();
  // FAACCDEP imported its rows; its previous record went as usual.
  EXPECT_EQ(Rows("A01", "FAACCDEP", {"ID", "ASSET_CODE", "DISPOSE_DATE"}), "2|N1|30/12/1899\n3|N2|30/12/1899\n");
}

TEST_F(AssetImport, WrittenBackAutoIncrementRecordsAreSaidToBeRenumbered) {
  Table("A01", std::string(kMarlixHeader) + "ROW ASSET | 1 | ASSET_NO | A | | |\n" +
                   "ROW FAACCDEP | 1 | NO_SUCH_FIELD | A | | |\n");
  Table("A01", std::string(kAssetHeader));
  Table("A01", "TABLE FAACCDEP.ADT\nFIELD ID AutoInc\nFIELD ASSET_CODE Char 15\nFIELD DISPOSE_DATE Date\n"
               "ROW | OLD1 | 01/01/2001\nROW | OLD2 |\n");
  Table("A01", kPeriods);
  Build();
  Sheet(TWorkbookCells().Text("A2", "N1"));
  EXPECT_EQ(Run(34), TRunEnd::Done);
  ASSERT_EQ(ui.LogLines().size(), 2u);
  EXPECT_EQ(ui.LogLines()[1],
            "No record imported into FAACCDEP: its 2 previous records are written back (the engine numbers their ID "
            "anew).");
  CloseForm();
  EXPECT_EQ(Rows("A01", "FAACCDEP", {"ID", "ASSET_CODE", "DISPOSE_DATE"}), "3|OLD1|01/01/2001\n4|OLD2|~\n");
}

// A column that MARLIX lacks fails every sheet row at the point where it is
// first read: what the rows before it did (a code added) stays.
TEST_F(AssetImport, MappingColumnMissingFailsEveryRowWhereItIsRead) {
  Table("A01", "TABLE MARLIX.ADT\nFIELD TABLE_NAME Char 10\nFIELD FIELD_NO Integer\nFIELD FIELD_NAME Char 20\n"
               "FIELD EXCEL_COL Char 3\nFIELD CODE_CATEGORY Char 10\nFIELD EXCEL_COL2 Char 3\n"
               "INDEX TABLEFIELD TABLE_NAME;FIELD_NO UNIQUE\nROW ASSET | 1 | GROUP_CODE | B | GRP | C\nROW ASSET | 2 | ASSET_NO | A | |\n"
               "ROW FAACCDEP | 1 | ASSET_CODE | A | |\n");
  Table("A01", std::string(kAssetHeader) + "ROW OLD1 | Old | | | | | | |\n");
  Table("A01", kDepreciationHeader);
  Table("A01", kPeriods);
  Table("A01", kCodes);
  Table("A01", kGroupCodes);
  Build();
  Sheet(TWorkbookCells().Text("A2", "M1").Text("B2", "Marketing").Text("C2", "MKT").Text("A3", "M2").Text("C3", "MKT"));
  EXPECT_EQ(Run(34), TRunEnd::Done);
  EXPECT_EQ(ui.LogLines(), (std::vector<std::string>{
                               "Asset Code:  *** MEDSCH: Field 'function_type' not found",
                               "Asset Code:  *** MEDSCH: Field 'function_type' not found",
                               "No record imported into ASSET: its 1 previous records are written back.",
                               "Asset Code: M1 *** MEDSCH: Field 'function_type' not found",
                               "Asset Code: M2 *** MEDSCH: Field 'function_type' not found",
                           }));
  CloseForm();
  EXPECT_EQ(Rows("A01", "ASSET", {"ASSET_NO"}), "OLD1\n");
  EXPECT_EQ(Depreciation(), "");
  EXPECT_EQ(GroupCodes(), "ADM|Admin\nMKT|Marketing\n");
}

TEST_F(AssetImport, MissingWorkbookEndsTheRunBeforeAnyChange) {
  Company(kFullMapping);
  Build();
  const std::string before = Assets() + Depreciation();
  EXPECT_EQ(Run(34), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: ", 0), 0u);
  EXPECT_NE(ui.Events[0].find("marlix.xls"), std::string::npos) << ui.Events[0];
  EXPECT_TRUE(ui.LogLines().empty());
  CloseForm();
  EXPECT_EQ(Assets() + Depreciation(), before);
}

// Task 37 leaves groupCode on the destination's last copied table without
// index fields: every row that reaches the group code row fails its search.
TEST_F(AssetImport, AfterCodeTableCopyGroupCodeRowsFailPerRow) {
  for (const char* company : {"A01", "C03"}) {
    for (const char* name : {"CAPDEF", "CATDEF", "CATTOGS", "GLCODE", "GL_NATURE", "PRECAT", "PRECOST"})
      Table(company, std::string("TABLE ") + name + ".ADT\nFIELD K Char 10\nFIELD V Char 10\nROW a | b\n");
    Table(company, kCodes);
    Table(company, kGroupCodes);
  }
  Table("A01", std::string(kMarlixHeader) + "ROW ASSET | 1 | ASSET_NO | A | | |\n" +
                   "ROW ASSET | 2 | GROUP_CODE | B | GRP | C |\nROW FAACCDEP | 1 | ASSET_CODE | A | | |\n");
  Table("A01", std::string(kAssetHeader) + "ROW OLD1 | Old | | | | | | |\n");
  Table("A01", kDepreciationHeader);
  Table("A01", kPeriods);
  Build();
  ui.InputAnswers = {"C03"};
  ASSERT_EQ(Run(37), TRunEnd::Done);
  Sheet(TWorkbookCells().Text("A2", "G1").Text("B2", "Finance").Text("C2", "FIN").Text("A3", "G2"));
  const size_t logStart = ui.LogLines().size();
  EXPECT_EQ(Run(34), TRunEnd::Done);
  EXPECT_EQ(LogSince(logStart),
            (std::vector<std::string>{
                "Asset Code: G1 *** groupCode: No parseable expressions in setting key fields",
                "Asset Code: G2 *** groupCode: No parseable expressions in setting key fields",
                "No record imported into ASSET: its 1 previous records are written back.",
            }));
  CloseForm();
  EXPECT_EQ(Rows("A01", "ASSET", {"ASSET_NO", "ASSET_DESC"}), "OLD1|Old\n");
  EXPECT_EQ(Depreciation(), "G1|~|30/12/1899\nG2|~|30/12/1899\n");
  EXPECT_EQ(Rows("C03", "GRPCODE", {"GROUP_CODE", "GROUP_DESC"}), "ADM|Admin\n");
}

// Column A filled down to the workbook's last row: the address after it is
// refused (one box per pass) and ends the rows instead of reading the last
// cell again and again.
TEST_F(AssetImport, SheetFilledToItsLastRowEndsThere) {
  Company("ROW ASSET | 1 | ASSET_NO | A | | |\nROW FAACCDEP | 1 | ASSET_CODE | A | | |\n");
  Build();
  TWorkbookCells sheet;
  for (int row = 2; row <= 65536; ++row) sheet.Text("A" + std::to_string(row), "R" + std::to_string(row));
  Sheet(sheet);
  EXPECT_EQ(Run(34), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"error [Error]: Invalid Range Address.",
                                                 "error [Error]: Invalid Range Address.", "message: Done!"}));
  EXPECT_TRUE(ui.LogLines().empty());
  CloseForm();
  const std::string assets = Rows("A01", "ASSET", {"ASSET_NO"});
  EXPECT_EQ(std::count(assets.begin(), assets.end(), '\n'), 65535);
  EXPECT_EQ(assets.substr(assets.size() - 7), "R65536\n");
}

TEST(AssetImportRoutines, ColumnLettersFollowTheSpreadsheet) {
  EXPECT_EQ(ColumnLetters(1), "A");
  EXPECT_EQ(ColumnLetters(26), "Z");
  EXPECT_EQ(ColumnLetters(27), "AA");
  EXPECT_EQ(ColumnLetters(52), "AZ");
  EXPECT_EQ(ColumnLetters(256), "IV");
  EXPECT_EQ(ColumnLetters(0), "?");
  EXPECT_EQ(ColumnLetters(-3), "?");
  EXPECT_EQ(ColumnAReadErrorText("Cell read failed", 3, 15), "Cell read failed FIELD NO : C15");
  EXPECT_EQ(ColumnAReadErrorText("Cell read failed", 27, 2), "Cell read failed FIELD NO : AA2");
}

}  // namespace
}  // namespace dbu::test
