// Structure tasks 25, 26, 27, 31, 33 and 36 and AlterTableColumn run end to
// end on small company databases: the statements sent, the boxes shown,
// the columns and data afterwards.
#include <gtest/gtest.h>

#include "structure_tasks.h"
#include "tasks2_support.h"

namespace dbu::test {
namespace {

struct TColumn {
  bool Exists = false;
  TFieldType Kind = ftString;
  uint32_t DataSize = 0;
};

class StructureTasks : public TaskRunFixture {
 protected:
  TColumn Column(const std::string& company, const std::string& table, const std::string& name) {
    TComponent owner;
    TDbConnection connection(&owner);
    connection.SetName("ColumnReader");
    connection.SetConnectPath(Folder(company));
    TDbTable reader(&owner);
    reader.SetName("Columns");
    reader.SetDbConnection(&connection);
    reader.SetTableName(table);
    reader.Open();
    TColumn column;
    if (TField* field = reader.FindField(name)) column = {true, field->DataType(), field->DataSize()};
    reader.Close();
    connection.Disconnect();
    return column;
  }
  std::string Sql() { return form->DbQuery1.SQL().Text(); }
};

const char* kSetup = "TABLE SETUP.ADT\nFIELD CAT Char 10\nFIELD ENTRY_GROUP Char ";
const char* kSetupRows = "\nFIELD SUPERVISOR Char 10\nROW HR | GENERAL | 5311\nROW | CLAIMS TEAM | 0030\n";

TEST_F(StructureTasks, EntryGroupWidenedWithDataKept) {
  Table("A01", std::string(kSetup) + "20" + kSetupRows);
  Build();
  EXPECT_EQ(Run(26), TRunEnd::Done);
  EXPECT_EQ(Sql(), "ALTER TABLE \"SETUP.ADT\"\r\nalter column \"ENTRY_GROUP\" \"ENTRY_GROUP\" char(30)\r\n");
  EXPECT_EQ(form->DbQuery1.StatementHandle(), kNoHandle);
  EXPECT_FALSE(form->DbQuery1.RequestLive());
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_FALSE(form->DbTable1.Active());
  EXPECT_TRUE(form->DbTable1.Exclusive());
  CloseForm();
  TColumn column = Column("A01", "SETUP", "ENTRY_GROUP");
  EXPECT_EQ(column.Kind, ftString);
  EXPECT_EQ(column.DataSize, 31u);
  EXPECT_EQ(Rows("A01", "SETUP", {"CAT", "ENTRY_GROUP", "SUPERVISOR"}), "HR|GENERAL|5311\n~|CLAIMS TEAM|0030\n");
}

TEST_F(StructureTasks, EntryGroupAlreadyRightSendsNothing) {
  Table("A01", std::string(kSetup) + "30" + kSetupRows);
  Build();
  EXPECT_EQ(Run(26), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Sql(), "");
  EXPECT_FALSE(form->DbTable1.Active());
  EXPECT_TRUE(form->DbTable1.Exclusive());
}

TEST_F(StructureTasks, EntryGroupMissingSendsOnlyTheFirstLine) {
  Table("A01", "TABLE SETUP.ADT\nFIELD CAT Char 10\nROW HR\n");
  Build();
  EXPECT_EQ(Run(26), TRunEnd::Done);
  ASSERT_EQ(ui.Events.size(), 2u);
  const std::string& box = ui.Events[0];
  const std::string tail = " Table Name SETUP\r\n SQL ALTER TABLE \"SETUP.ADT\"\r\n";
  EXPECT_EQ(box.rfind("message: DbQuery1: ", 0), 0u) << box;
  EXPECT_NE(box.find(tail), std::string::npos) << box;
  // The table was not encrypted: the failure does not encrypt it.
  EXPECT_EQ(box.find("encrypted again"), std::string::npos) << box;
  EXPECT_EQ(ui.Events[1], "message: Done!");
  CloseForm();
  EXPECT_EQ(Rows("A01", "SETUP", {"CAT"}), "HR\n");
}

TEST_F(StructureTasks, ReasonNarrowedTo100) {
  Table("A01", "TABLE FORMIR21.ADT\nFIELD EMP_NO Char 10\nFIELD REASON_ONE_MONTH Char 200\n"
               "ROW 1146 | Transferred to the Penang branch\nROW 6623 |\n");
  Build();
  EXPECT_EQ(Run(31), TRunEnd::Done);
  EXPECT_EQ(Sql(), "ALTER TABLE \"FORMIR21.ADT\"\r\nalter column \"REASON_ONE_MONTH\" \"REASON_ONE_MONTH\" char(100)\r\n");
  CloseForm();
  EXPECT_EQ(Column("A01", "FORMIR21", "REASON_ONE_MONTH").DataSize, 101u);
  EXPECT_EQ(Rows("A01", "FORMIR21", {"EMP_NO", "REASON_ONE_MONTH"}), "1146|Transferred to the Penang branch\n6623|~\n");
}

TEST_F(StructureTasks, PayslipBlobAddedOnlyWhereTheTableIs) {
  Table("A01", "TABLE OTHER.ADT\nFIELD A Char 1\n");
  Table("B02", "TABLE TPAYSLIP.ADT\nFIELD EMP_NO Char 10\nROW B100\n");
  Build();
  EXPECT_EQ(Run(27), TRunEnd::Done);  // A01 has no TPAYSLIP table
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Sql(), "");
  EXPECT_FALSE(form->DbTable1.Active());

  EXPECT_EQ(Run(27, "B02"), TRunEnd::Done);
  EXPECT_EQ(Sql(), "ALTER TABLE \"TPAYSLIP.ADT\"\r\nadd column TPAYSLIP BLOB \r\n");
  CloseForm();
  TColumn column = Column("B02", "TPAYSLIP", "TPAYSLIP");
  EXPECT_TRUE(column.Exists);
  EXPECT_EQ(column.Kind, ftBlob);
  EXPECT_EQ(Rows("B02", "TPAYSLIP", {"EMP_NO", "TPAYSLIP"}), "B100|~\n");
}

TEST_F(StructureTasks, AmendedPeriodAddedOnceOverTwoRuns) {
  Table("A01", "TABLE ASSET.ADT\nFIELD ASSET_NO Char 15\nROW A1\nROW A2\n");
  Build();
  EXPECT_EQ(Run(36), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Sql(), "ALTER TABLE \"ASSET.ADT\"\r\nadd column BA_AMENDED_PERIOD char(6)\r\n");
  EXPECT_EQ(Column("A01", "ASSET", "BA_AMENDED_PERIOD").DataSize, 7u);
  EXPECT_EQ(Run(36), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Rows("A01", "ASSET", {"ASSET_NO", "BA_AMENDED_PERIOD"}), "A1|~\nA2|~\n");
}

const char* kMedical = "TABLE MEDICAL.ADT\nFIELD MEDICAL_NO Char ";
const char* kMedicalRows = "\nFIELD AMOUNT CurDouble\nROW B0508001 | 120.5\nROW | 8.75\nROW B0508002 | 33\n";

TEST_F(StructureTasks, BatchNumbersGainThreeDigitsWidenedOrNot) {
  Table("A01", std::string(kMedical) + "10" + kMedicalRows);
  Build();
  EXPECT_EQ(Run(25), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Sql(), "ALTER TABLE \"MEDICAL.ADT\"\r\nalter column \"MEDICAL_NO\" \"MEDICAL_NO\" char(15)\r\n");
  EXPECT_TRUE(form->MEDSCH.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "MEDICAL.ADT");
  CloseForm();
  EXPECT_EQ(Column("A01", "MEDICAL", "MEDICAL_NO").DataSize, 16u);
  auto check = [&](size_t grown) {
    std::string rows = Rows("A01", "MEDICAL", {"MEDICAL_NO", "AMOUNT"});
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = rows.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(rows.substr(start, end - start));
    ASSERT_EQ(lines.size(), 3u) << rows;
    EXPECT_EQ(lines[1], "~|8.75");
    for (size_t i : {0u, 2u}) {
      const std::string batch = lines[i].substr(0, lines[i].find('|'));
      ASSERT_EQ(batch.size(), 8 + grown) << lines[i];
      EXPECT_EQ(batch.substr(0, 8), i == 0 ? "B0508001" : "B0508002");
      EXPECT_EQ(batch.find_first_not_of("0123456789", 8), std::string::npos) << batch;
    }
  };
  check(3);
  // Second run: the column is already 15 wide, the numbers grow again.
  EXPECT_EQ(Run(25), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Sql(), "");
  CloseForm();
  check(6);
}

// The rewrite runs only where the column has room for every number with
// its three digits: not after a widening that failed (another user holds
// the table), nor once a number has grown too long for the column.
TEST_F(StructureTasks, BatchRewriteNeverCutsANumber) {
  Table("A01", std::string(kMedical) + "10" + kMedicalRows);
  Build();
  TComponent owner;
  TDbConnection other(&owner);
  other.SetName("OtherUser");
  other.SetConnectPath(Folder("A01"));
  TDbTable held(&owner);
  held.SetName("Held");
  held.SetDbConnection(&other);
  held.SetTableName("MEDICAL.ADT");
  held.Open();
  EXPECT_EQ(Run(25), TRunEnd::Error);
  held.Close();
  other.Disconnect();
  ASSERT_EQ(ui.Events.size(), 2u);
  // The exclusive open fails before a statement is made.
  const std::string tail = " Table Name MEDICAL\r\n SQL ";
  ASSERT_GT(ui.Events[0].size(), tail.size());
  EXPECT_EQ(ui.Events[0].substr(ui.Events[0].size() - tail.size()), tail) << ui.Events[0];
  EXPECT_EQ(ui.Events[1],
            "error: MEDICAL_NO of MEDICAL was not widened to 15 characters; no batch number was changed.");
  CloseForm();
  EXPECT_EQ(Column("A01", "MEDICAL", "MEDICAL_NO").DataSize, 11u);
  EXPECT_EQ(Rows("A01", "MEDICAL", {"MEDICAL_NO"}), "B0508001\n~\nB0508002\n");

  // Widened now: 8 + 3 and 11 + 3 characters fit, 14 + 3 do not.
  for (size_t length : {11u, 14u}) {
    EXPECT_EQ(Run(25), TRunEnd::Done);
    CloseForm();
    EXPECT_EQ(Rows("A01", "MEDICAL", {"MEDICAL_NO"}).size(), 2 * length + 4) << length;  // two numbers and "~"
  }
  const std::string grown = Rows("A01", "MEDICAL", {"MEDICAL_NO"});
  EXPECT_EQ(Run(25), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0], "error: MEDICAL.ADT: the batch number " + grown.substr(0, 14) +
                              " of record 1 has no room in MEDICAL_NO (15 characters) for three more digits; no batch "
                              "number was changed.");
  CloseForm();
  EXPECT_EQ(Rows("A01", "MEDICAL", {"MEDICAL_NO"}), grown);
}

const char* kClmtmpl = "TABLE CLMTMPL.ADT\nFIELD CLAIMTYPE Char 10\nROW OT\n";
const char* kMedschFull = "TABLE MEDSCH.ADT\nFIELD CLAIMTYPE Char 10\nFIELD EXCEEDED_AMOUNT Integer\n"
                          "FIELD EXCEEDED_EMPLOYEE_PERCENT CurDouble\nROW OT | 5 | 1.5\n";

TEST_F(StructureTasks, Version8058AddsMissingColumnsAndLeavesOthers) {
  Table("A01", "TABLE CLMTMPL.ADT\nFIELD CLAIMTYPE Char 10\nFIELD DEFAULT_VALUE Logical\nROW OT | T\n");
  Table("A01", kMedschFull);
  Table("A01", "TABLE MEDICAL.ADT\nFIELD MEDICAL_NO Char 10\nFIELD HRFREQ1 Char 3\nROW B1 | abc\n");
  Build();
  EXPECT_EQ(Run(33), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_EQ(Sql(), "ALTER TABLE \"MEDICAL.ADT\"\r\nadd column OTTYPE1 curdouble \r\n");
  // Existing columns keep their types whatever they are.
  EXPECT_EQ(Column("A01", "CLMTMPL", "DEFAULT_VALUE").Kind, ftBoolean);
  EXPECT_EQ(Column("A01", "MEDSCH", "EXCEEDED_AMOUNT").Kind, ftInteger);
  EXPECT_EQ(Column("A01", "MEDICAL", "HRFREQ1").Kind, ftString);
  EXPECT_EQ(Column("A01", "MEDICAL", "OTTYPE1").Kind, ftCurrency);
  EXPECT_EQ(Rows("A01", "MEDICAL", {"MEDICAL_NO", "HRFREQ1", "OTTYPE1"}), "B1|abc|~\n");
}

TEST_F(StructureTasks, Version8058GoesOnAfterEachFailedCall) {
  Table("A01", kClmtmpl);
  Table("A01", "TABLE MEDSCH.ADT\nFIELD CLAIMTYPE Char 10\nROW OT\n");
  Table("A01", "TABLE MEDICAL.ADT\nFIELD MEDICAL_NO Char 10\nROW B1\n");
  Build();
  // Another user holds every table: no change gets its table exclusively.
  TComponent owner;
  TDbConnection other(&owner);
  other.SetName("OtherUser");
  other.SetConnectPath(Folder("A01"));
  std::vector<std::unique_ptr<TDbTable>> held;
  for (const char* name : {"CLMTMPL.ADT", "MEDSCH.ADT", "MEDICAL.ADT"}) {
    held.push_back(std::make_unique<TDbTable>(&owner));
    held.back()->SetName(std::string("Held") + std::to_string(held.size()));
    held.back()->SetDbConnection(&other);
    held.back()->SetTableName(name);
    held.back()->Open();
  }
  EXPECT_EQ(Run(33), TRunEnd::Done);
  held.clear();
  other.Disconnect();
  ASSERT_EQ(ui.Events.size(), 6u);
  const char* tables[] = {"CLMTMPL", "MEDSCH", "MEDSCH", "MEDICAL", "MEDICAL"};
  for (size_t i = 0; i < 5; ++i)
    EXPECT_NE(ui.Events[i].find(std::string(" Table Name ") + tables[i] + "\r\n SQL "), std::string::npos) << ui.Events[i];
  EXPECT_EQ(ui.Events[5], "message: Done!");
  CloseForm();
  EXPECT_FALSE(Column("A01", "MEDICAL", "OTTYPE1").Exists);
  EXPECT_EQ(Rows("A01", "MEDICAL", {"MEDICAL_NO"}), "B1\n");
}

TEST_F(StructureTasks, UnopenableTableIsShownThenEndsTheRun) {
  Table("A01", "TABLE MEDICAL.ADT\nFIELD MEDICAL_NO Char 10\nROW B1\n");
  Build();
  WriteFile(Folder("A01") + "/CLMTMPL.adt", "not a table at all");
  EXPECT_EQ(Run(33), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 2u);
  const std::string tail = " Table Name CLMTMPL";
  EXPECT_EQ(ui.Events[0].substr(ui.Events[0].size() - tail.size()), tail) << ui.Events[0];
  EXPECT_EQ(ui.Events[1].rfind("error: DbTable1: ", 0), 0u) << ui.Events[1];
  // The later calls did not run.
  EXPECT_FALSE(Column("A01", "MEDICAL", "OTTYPE1").Exists);
}

TEST_F(StructureTasks, DemoBaseGivesEachTaskAColumnToChange) {
  MakeDemo(base.Path());
  for (int task : {25, 27, 33, 36}) EXPECT_EQ(Run(task, "B02"), TRunEnd::Done) << task;
  for (int task : {26, 31}) EXPECT_EQ(Run(task, "A01"), TRunEnd::Done) << task;
  CloseForm();
  EXPECT_EQ(Column("B02", "MEDICAL", "MEDICAL_NO").DataSize, 16u);
  EXPECT_EQ(Column("B02", "MEDICAL", "OTTYPE1").Kind, ftCurrency);
  EXPECT_EQ(Column("B02", "TPAYSLIP", "TPAYSLIP").Kind, ftBlob);
  EXPECT_EQ(Column("B02", "ASSET", "BA_AMENDED_PERIOD").DataSize, 7u);
  EXPECT_EQ(Column("A01", "SETUP", "ENTRY_GROUP").DataSize, 31u);
  EXPECT_EQ(Column("A01", "FORMIR21", "REASON_ONE_MONTH").DataSize, 101u);
}

// ---- the routine's forms, called directly on a run's connection ----

class AlterRoutine : public StructureTasks {
 protected:
  void SetUp() override {
    Table("A01",
          "TABLE T.ADT\nFIELD NO AutoInc\nFIELD NAME Char 10\nFIELD RATE Integer\nFIELD AMT CurDouble\n"
          "ROW | first | 5 | 2.5\nROW | | | \n");
    Build();
    Run(-1);  // points the company connection at A01
    ui.Events.clear();
  }
  void Alter(const std::string& field, const std::string& code, const std::string& length) {
    AlterTableColumn(*form, "T", field, code, length, false);
  }
};

TEST_F(AlterRoutine, TypeSpecificChangeAndAddForms) {
  Alter("RATE", "$", "0");
  EXPECT_EQ(Sql(), "ALTER TABLE \"T.ADT\"\r\nalter column RATE RATE curdouble\r\n");
  EXPECT_EQ(Column("A01", "T", "RATE").Kind, ftCurrency);
  Alter("RATE", "$", "0");  // now right: nothing is sent
  EXPECT_EQ(Sql(), "ALTER TABLE \"T.ADT\"\r\nalter column RATE RATE curdouble\r\n");
  Alter("NO", "AI", "4");  // not the change form: the add form of an autoinc NO
  EXPECT_EQ(Sql(), "ALTER TABLE \"T.ADT\"\r\nalter column NO NO INTEGER \r\n");
  EXPECT_EQ(Column("A01", "T", "NO").Kind, ftInteger);
  Alter("WHEN", "D", "0");
  EXPECT_EQ(Sql(), "ALTER TABLE \"T.ADT\"\r\nadd column WHEN date \r\n");
  Alter("FLAG", "L", "1");
  EXPECT_EQ(Sql(), "ALTER TABLE \"T.ADT\"\r\nadd column FLAG LOGICAL \r\n");
  Alter("AT", "T", "0");
  EXPECT_EQ(Sql(), "ALTER TABLE \"T.ADT\"\r\nADD column AT TIME \r\n");
  EXPECT_TRUE(ui.Events.empty()) << ui.Events.front();
  EXPECT_EQ(Rows("A01", "T", {"NAME", "RATE", "AMT", "WHEN", "FLAG"}), "first|5|2.5|~|~\n~|~|~|~|~\n");
}

TEST_F(AlterRoutine, FirstLineOnlyFormsAndBadLengthAreReported) {
  Alter("NAME", "AS", "0");
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_NE(ui.Events[0].find(" Table Name T\r\n SQL ALTER TABLE \"T.ADT\"\r\n"), std::string::npos) << ui.Events[0];
  ui.Events.clear();
  Alter("NAME", "XX", "0");  // unknown code, change form: first line only
  ASSERT_EQ(ui.Events.size(), 1u);
  ui.Events.clear();
  form->DbTable1.Close();
  Alter("NAME", "AS", "wide");
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("message: 'wide' is not a valid integer value Table Name T\r\n SQL ", 0), 0u)
      << ui.Events[0];
  form->DbTable1.Close();
  EXPECT_EQ(Column("A01", "T", "NAME").DataSize, 11u);
  // Change with "C" and a length: nothing to do for an existing column.
  ui.Events.clear();
  Alter("NAME", "C", "20");
  EXPECT_TRUE(ui.Events.empty());
  EXPECT_EQ(Column("A01", "T", "NAME").DataSize, 11u);
  EXPECT_EQ(Rows("A01", "T", {"NAME"}), "first\n~\n");
}

TEST_F(StructureTasks, FailedChangeOfAnEncryptedTableLeavesItEncrypted) {
  Table("A01", "TABLE SETUP.ADT\nFIELD CAT Char 10\nROW HR\nENCRYPT KVRNA7310\n");
  Build();
  // The add form with "AS" sends only the first line: the change fails;
  // the table was never decrypted.
  EXPECT_EQ(Run(26), TRunEnd::Done) << ui.Events.front();
  ASSERT_EQ(ui.Events.size(), 2u);
  EXPECT_NE(ui.Events[0].find(" Table Name SETUP\r\n SQL ALTER TABLE \"SETUP.ADT\"\r\n"), std::string::npos);
  EXPECT_EQ(ui.Events[0].find("could not be encrypted again"), std::string::npos) << ui.Events[0];
  CloseForm();
  TComponent owner;
  TDbConnection connection(&owner);
  connection.SetName("Check");
  connection.SetConnectPath(Folder("A01"));
  TDbTable table(&owner);
  table.SetName("Check");
  table.SetDbConnection(&connection);
  table.SetTableName("SETUP.ADT");
  table.Open();
  uint16_t encrypted = 0;
  ASSERT_EQ(EngIsTableEncrypted(table.TableHandle(), &encrypted), ENG_OK);
  EXPECT_EQ(encrypted, 1u);
  table.EnableEncryption("KVRNA7310");
  EXPECT_EQ(table.FieldByName("CAT").AsString(), "HR");
  table.Close();
  connection.Disconnect();
}

}  // namespace
}  // namespace dbu::test
