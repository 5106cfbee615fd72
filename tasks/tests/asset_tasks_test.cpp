// Asset tasks 15, 20, 21, 24 and 35 run end to end on small company databases.
#include <gtest/gtest.h>

#include "tasks2_support.h"

namespace dbu::test {
namespace {

const char* kAssetHeader =
    "TABLE ASSET.ADT\nFIELD ASSET_NO Char 15\nFIELD NATURE_CODE Char 10\nFIELD CATEGORY Char 10\n"
    "FIELD DISPOSE_PERIOD Char 6\nFIELD DISPOSE_TYPE Char 10\nINDEX ASSET_NO ASSET_NO UNIQUE\n";
const char* kTransferHeader =
    "TABLE TRANSFER.ADT\nFIELD ASSETS_CODE Char 15\nFIELD NATURE_CODE Char 10\nFIELD CURR_NATURE_CODE Char 10\n"
    "FIELD CATEGORY_CODE Char 10\nFIELD DISPOSE_DATE Date\nFIELD LOCATION_COUNT Integer\n"
    "INDEX ASSETS_CODE ASSETS_CODE\nINDEX ASSETLOC ASSETS_CODE;DISPOSE_DATE;LOCATION_COUNT\n";
const std::vector<std::string> kAssetFields = {"ASSET_NO", "NATURE_CODE", "CATEGORY", "DISPOSE_PERIOD", "DISPOSE_TYPE"};
const std::vector<std::string> kTransferFields = {"ASSETS_CODE",   "NATURE_CODE",  "CURR_NATURE_CODE",
                                                  "CATEGORY_CODE", "DISPOSE_DATE", "LOCATION_COUNT"};

class AssetTasks : public TaskRunFixture {
 protected:
  void Assets(const std::string& rows) { Table("A01", std::string(kAssetHeader) + rows); }
  void Transfers(const std::string& rows) { Table("A01", std::string(kTransferHeader) + rows); }
  std::string AssetRows() { return Rows("A01", "ASSET", kAssetFields); }
  std::string TransferRows() { return Rows("A01", "TRANSFER", kTransferFields); }
};

TEST_F(AssetTasks, NatureCodeAnsweredNoOpensNothing) {
  Assets("ROW A2005050039 | PROD | C1 | |\n");
  Transfers("ROW A2005050039 | PROD | PROD | C1 | 30/12/1899 | 1\n");
  Build();
  std::string before = AssetRows() + TransferRows();
  ui.ConfirmAnswer = false;
  EXPECT_EQ(Run(15), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events,
            std::vector<std::string>{"confirm: This process update the nature code for Asset A2005050039, continue? "});
  EXPECT_FALSE(form->MEDSCH.Active());
  EXPECT_EQ(AssetRows() + TransferRows(), before);
}

TEST_F(AssetTasks, NatureCodeChangesRegisterAndFirstMovementOnly) {
  Assets("ROW 0001 | PROD | C1 | |\nROW A2005050039 | PROD | C1 | |\n");
  // Natural order puts the second movement record first; the index order
  // (ties by record number) still lands on record 2.
  Transfers(
      "ROW B9 | PROD | PROD | C1 | 30/12/1899 | 7\n"
      "ROW A2005050039 | PROD | PROD | C1 | 30/12/1899 | 1\n"
      "ROW A2005050039 | PROD | PROD | C1 | 30/12/1899 | 2\n");
  Build();
  ui.ConfirmAnswer = true;
  EXPECT_EQ(Run(15), TRunEnd::Done);
  EXPECT_EQ(ui.Events.back(), "message: Done!");
  EXPECT_EQ(ui.Events.size(), 2u);
  EXPECT_EQ(AssetRows(), "0001|PROD|C1|~|~\nA2005050039|G&A|C1|~|~\n");
  EXPECT_EQ(TransferRows(),
            "B9|PROD|PROD|C1|30/12/1899|7\n"
            "A2005050039|G&A|G&A|C1|30/12/1899|1\n"
            "A2005050039|PROD|PROD|C1|30/12/1899|2\n");
  // The movement table is left open.
  EXPECT_TRUE(form->MEDSCH.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "Transfer.ADT");
}

TEST_F(AssetTasks, NatureCodeGoesOnToMovementsWhenRegisterLacksAsset) {
  Assets("ROW 0001 | PROD | C1 | |\n");
  Transfers("ROW A2005050039 | PROD | PROD | C1 | 30/12/1899 | 1\n");
  Build();
  ui.ConfirmAnswer = true;
  EXPECT_EQ(Run(15), TRunEnd::Done);
  ASSERT_EQ(ui.Events.size(), 3u);
  EXPECT_EQ(ui.Events[1], "message: Unable to find this Asset in ASSET Table.");
  EXPECT_EQ(TransferRows(), "A2005050039|G&A|G&A|C1|30/12/1899|1\n");
  EXPECT_EQ(AssetRows(), "0001|PROD|C1|~|~\n");
}

TEST_F(AssetTasks, NatureCodeMissingEverywhereShowsBothMessages) {
  Assets("ROW 0001 | PROD | C1 | |\n");
  Transfers("ROW 0001 | PROD | PROD | C1 | 30/12/1899 | 1\n");
  Build();
  ui.ConfirmAnswer = true;
  EXPECT_EQ(Run(15), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{
                           "confirm: This process update the nature code for Asset A2005050039, continue? ",
                           "message: Unable to find this Asset in ASSET Table.",
                           "message: Unable to find this Asset in Transfer Table.", "message: Done!"}));
  EXPECT_EQ(TransferRows(), "0001|PROD|PROD|C1|30/12/1899|1\n");
}

TEST_F(AssetTasks, RestoreAssetClearsDisposalFields) {
  Assets("ROW 0002244F | PROD | C3 | 200507 | SOLD\nROW 0002245F | PROD | C3 | 200507 | SOLD\n");
  Build();
  EXPECT_EQ(Run(20), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(AssetRows(), "0002244F|PROD|C3|~|~\n0002245F|PROD|C3|200507|SOLD\n");
  EXPECT_TRUE(form->MEDSCH.Active());
  // Run again on the restored asset: posted unchanged, no message.
  EXPECT_EQ(Run(20), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(AssetRows(), "0002244F|PROD|C3|~|~\n0002245F|PROD|C3|200507|SOLD\n");
}

TEST_F(AssetTasks, RestoreAssetNotFound) {
  Assets("ROW 0002245F | PROD | C3 | 200507 | SOLD\n");
  Build();
  EXPECT_EQ(Run(20), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"message: Unable to find this Asset[0002244F] in ASSET Table.",
                                                 "message: Done!"}));
  EXPECT_EQ(AssetRows(), "0002245F|PROD|C3|200507|SOLD\n");
}

TEST_F(AssetTasks, CategoryChangesRegisterAndFirstMovement) {
  Assets("ROW E2005090188 | G&A | C2000 | |\n");
  Transfers(
      "ROW E2005090188 | G&A | G&A | C2000 | 30/12/1899 | 3\n"
      "ROW E2005090188 | G&A | G&A | C2000 | 01/01/2006 | 4\n");
  Build();
  EXPECT_EQ(Run(21), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(AssetRows(), "E2005090188|G&A|C1000|~|~\n");
  EXPECT_EQ(TransferRows(),
            "E2005090188|G&A|G&A|C1000|30/12/1899|3\n"
            "E2005090188|G&A|G&A|C2000|01/01/2006|4\n");
}

TEST_F(AssetTasks, CategoryStopsWhenRegisterLacksAsset) {
  Assets("ROW E0000000001 | G&A | C2000 | |\n");
  Transfers("ROW E2005090188 | G&A | G&A | C2000 | 30/12/1899 | 3\n");
  Build();
  EXPECT_EQ(Run(21), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"message: Unable to find this Asset[E2005090188] in ASSET Table.",
                                                 "message: Done!"}));
  // The movement table was never opened.
  EXPECT_EQ(form->MEDSCH.TableName(), "ASSET.ADT");
  EXPECT_EQ(TransferRows(), "E2005090188|G&A|G&A|C2000|30/12/1899|3\n");
}

TEST_F(AssetTasks, CategoryMovementMissing) {
  Assets("ROW E2005090188 | G&A | C2000 | |\n");
  Transfers("ROW E0000000001 | G&A | G&A | C2000 | 30/12/1899 | 3\n");
  Build();
  EXPECT_EQ(Run(21), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"message: Unable to find this Asset[E2005090188] in TRANSFER Table.",
                                                 "message: Done!"}));
  EXPECT_EQ(AssetRows(), "E2005090188|G&A|C1000|~|~\n");
}

TEST_F(AssetTasks, RemoveTransferSeeksTheNotDisposedRecordByDate) {
  Transfers(
      "ROW A2005100071 | P | P | C1 | 31/10/2005 | 12071\n"
      "ROW A2005100071 | P | P | C1 | 30/12/1899 | 12072\n"
      "ROW A2005100071 | P | P | C1 | 30/12/1899 | 12071\n"
      "ROW A2005100072 | P | P | C1 | 30/12/1899 | 12071\n");
  Build();
  EXPECT_EQ(Run(24), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(TransferRows(),
            "A2005100071|P|P|C1|31/10/2005|12071\n"
            "A2005100071|P|P|C1|30/12/1899|12072\n"
            "A2005100072|P|P|C1|30/12/1899|12071\n");
  // A second run finds only the disposed record with that counter: not found.
  EXPECT_EQ(Run(24), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"message: Unable to find A2005100071'S TRANSFER in the database.",
                                                 "message: Done!"}));
  EXPECT_EQ(TransferRows(),
            "A2005100071|P|P|C1|31/10/2005|12071\n"
            "A2005100071|P|P|C1|30/12/1899|12072\n"
            "A2005100072|P|P|C1|30/12/1899|12071\n");
}

// Task 35's table: LOCATION_COUNT is an autoincrement column.
const char* kMovementHeader =
    "TABLE TRANSFER.ADT\nFIELD ASSETS_CODE Char 15\nFIELD LOCATION Char 10\nFIELD DISPOSE_DATE Date\n"
    "FIELD LOCATION_COUNT AutoInc\nFIELD REMARK Char 10\n";

TEST_F(AssetTasks, LinkMovementCopiesTheFirstRecordAsNotDisposed) {
  Table("A01", std::string(kMovementHeader) +
                   "ROW B1 | HQ | 01/01/2005 | | x\n"
                   "ROW F001745E | PLANT | 15/11/2005 | | \n"
                   "ROW F001745E | STORE | 20/11/2005 | | y\n");
  Build();
  const std::string before = Rows("A01", "TRANSFER", {"ASSETS_CODE", "LOCATION", "DISPOSE_DATE", "REMARK"});
  EXPECT_EQ(Run(35), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(form->DbQuery1.SQL().Text(), "SELECT * FROM TRANSFER WHERE ASSETS_CODE='F001745E'\r\n");
  EXPECT_TRUE(form->DbQuery1.Active());
  EXPECT_TRUE(form->MEDSCH.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "TRANSFER");
  EXPECT_EQ(form->MEDSCH.IndexFieldNames(), "");
  // Twice: each run adds one more copy of the first record.
  EXPECT_EQ(Run(35), TRunEnd::Done);
  CloseForm();
  EXPECT_EQ(Rows("A01", "TRANSFER", {"ASSETS_CODE", "LOCATION", "DISPOSE_DATE", "REMARK"}),
            before + "F001745E|PLANT|30/12/1899|~\nF001745E|PLANT|30/12/1899|~\n");
  // The table numbered the new records itself.
  const std::string counters = Rows("A01", "TRANSFER", {"LOCATION_COUNT"});
  EXPECT_EQ(counters, "1\n2\n3\n4\n5\n");
}

TEST_F(AssetTasks, LinkMovementWithoutAnyRecordAppendsNothing) {
  Table("A01", std::string(kMovementHeader) + "ROW B1 | HQ | 01/01/2005 | | x\n");
  Build();
  EXPECT_EQ(Run(35), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"message: Unable to find this Asset[F001745E] in TRANSFER Table.",
                                                 "message: Done!"}));
  EXPECT_FALSE(form->MEDSCH.Active());
  CloseForm();
  EXPECT_EQ(Rows("A01", "TRANSFER", {"ASSETS_CODE"}), "B1\n");
}

TEST_F(AssetTasks, DemoCompanyB02HoldsWhatEachTaskLooksFor) {
  MakeDemo(base.Path());
  ui.ConfirmAnswer = true;
  for (int task : {15, 20, 21, 24, 35}) {
    EXPECT_EQ(Run(task, "B02"), TRunEnd::Done) << task;
    for (const std::string& event : ui.Events)
      EXPECT_EQ(event.find("Unable"), std::string::npos) << task << ": " << event;
  }
}

TEST_F(AssetTasks, MissingTableEndsRunWithError) {
  Assets("ROW 0002244F | PROD | C3 | 200507 | SOLD\n");
  Build();
  EXPECT_EQ(Run(24), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
}

}  // namespace
}  // namespace dbu::test
