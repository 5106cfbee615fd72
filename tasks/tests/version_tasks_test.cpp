// Task 8 (database version) and task 37 (code table copy) run end to end.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tasks2_support.h"

namespace dbu::test {
namespace {

class VersionTask : public TaskRunFixture {};

TEST_F(VersionTask, WritesTheTextOfTheInputBoxIntoTheFirstRecord) {
  Table("A01", "TABLE PAYPARA.ADT\nFIELD VERSION Char 10\nFIELD CUTOFF Integer\nROW 8.50 | 25\nROW 7.00 | 20\n");
  Build();
  // The untouched box (and Cancel, which gives the default) writes "8.57".
  EXPECT_EQ(Run(8), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"input: Input Box: Enter the version", "message: Done!"}));
  EXPECT_EQ(Rows("A01", "PAYPARA", {"version", "CUTOFF"}), "8.57|25\n7.00|20\n");
  EXPECT_FALSE(form->MEDSCH.Active());
  EXPECT_EQ(form->MEDSCH.TableName(), "PAYPARA");

  ui.InputAnswers = {"8.0.58"};
  EXPECT_EQ(Run(8), TRunEnd::Done);
  EXPECT_EQ(Rows("A01", "PAYPARA", {"version", "CUTOFF"}), "8.0.58|25\n7.00|20\n");
  ui.InputAnswers = {""};
  EXPECT_EQ(Run(8), TRunEnd::Done);
  EXPECT_EQ(Rows("A01", "PAYPARA", {"version", "CUTOFF"}), "~|25\n7.00|20\n");
}

TEST_F(VersionTask, EmptyTableGetsOneRecord) {
  Table("A01", "TABLE PAYPARA.ADT\nFIELD VERSION Char 10\nFIELD CUTOFF Integer\n");
  Build();
  EXPECT_EQ(Run(8), TRunEnd::Done);
  EXPECT_EQ(Rows("A01", "PAYPARA", {"version", "CUTOFF"}), "8.57|~\n");
}

TEST_F(VersionTask, MissingTableEndsWithError) {
  Table("A01", "TABLE PAYPARA.ADT\nFIELD VERSION Char 4\nROW 8.50\n");
  Table("B02", "TABLE OTHER.ADT\nFIELD VERSION Char 4\nROW 8.50\n");
  Build();
  EXPECT_EQ(Run(8, "B02"), TRunEnd::Error);  // B02 has no PAYPARA
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: MEDSCH: ", 0), 0u) << ui.Events[0];
}

// ---- task 37 ----

const char* kCodeTables[] = {"CAPDEF", "CATDEF", "CATTOGS", "CODE", "GLCODE", "GL_NATURE", "GRPCODE", "PRECAT", "PRECOST"};

class CopyTask : public TaskRunFixture {
 protected:
  // Every code table in each company, two text columns; rows as given.
  void CodeTables(const std::string& company, const std::string& rows, const std::string& skip = "") {
    for (const char* name : kCodeTables) {
      if (skip == name) continue;
      Table(company, std::string("TABLE ") + name + ".ADT\nFIELD K Char 10\nFIELD V Char 10\n" + rows);
    }
  }
  std::string Kv(const std::string& company, const std::string& table) { return Rows(company, table, {"K", "V"}); }
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const std::string& line : ui.LogLines()) lines.push_back(line);
    return lines;
  }
};

TEST_F(CopyTask, CopiesNineTablesFieldByFieldWithNulls) {
  // The source's CODE has a date and a null; the destination has an extra
  // column and its own records, which go.
  Table("A01", "TABLE CAPDEF.ADT\nFIELD K Char 10\nFIELD D Date\nFIELD N Integer\n"
               "ROW a | 01/02/2005 | 5\nROW b | | \nROW c | 31/12/2004 |\n");
  Table("C03", "TABLE CAPDEF.ADT\nFIELD N Integer\nFIELD EXTRA Char 5\nFIELD D Date\nFIELD K Char 12\n"
               "ROW 9 | x | 01/01/2000 | old\n");
  for (const char* name : kCodeTables) {
    if (std::string(name) == "CAPDEF") continue;
    Table("A01", std::string("TABLE ") + name + ".ADT\nFIELD K Char 10\nFIELD V Char 10\nROW " + name + " | 1\n");
    Table("C03", std::string("TABLE ") + name + ".ADT\nFIELD K Char 10\nFIELD V Char 10\nROW old | 2\nROW old2 | 3\n");
  }
  Build();
  ui.InputAnswers = {"C03"};
  EXPECT_EQ(Run(37), TRunEnd::Done);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"input: Input Box: Enter the destination company code ",
                                                 "message: Done!"}));
  std::vector<std::string> expected;
  for (const char* name : kCodeTables) expected.push_back(std::string("Perform Copying table: ") + name + ".ADT");
  EXPECT_EQ(LogLines(), expected);

  // What the task leaves: groupCode on DbConnection3, exclusive, on the
  // destination's PRECOST; Code on PRECOST of the source.
  EXPECT_EQ(form->groupCode.DbConnection(), &form->DbConnection3);
  EXPECT_TRUE(form->groupCode.Exclusive());
  EXPECT_TRUE(form->groupCode.Active());
  EXPECT_EQ(form->groupCode.TableName(), "PRECOST.ADT");
  EXPECT_EQ(form->groupCode.IndexFieldNames(), "");
  EXPECT_EQ(form->Code.IndexFieldNames(), "");
  EXPECT_TRUE(form->Code.Active());
  EXPECT_EQ(form->DbConnection3.ConnectPath(), Folder("C03"));
  CloseForm();

  EXPECT_EQ(Rows("C03", "CAPDEF", {"K", "D", "N", "EXTRA"}), "a|01/02/2005|5|~\nb|~|~|~\nc|31/12/2004|~|~\n");
  EXPECT_EQ(Kv("C03", "PRECOST"), "PRECOST|1\n");
  EXPECT_EQ(Kv("C03", "GRPCODE"), "GRPCODE|1\n");
  EXPECT_EQ(Kv("A01", "GRPCODE"), "GRPCODE|1\n");  // the source keeps its records
}

TEST_F(CopyTask, EmptySourceEmptiesDestinationAndStillLogs) {
  CodeTables("A01", "");
  CodeTables("C03", "ROW x | y\n");
  Build();
  ui.InputAnswers = {"C03"};
  EXPECT_EQ(Run(37), TRunEnd::Done);
  EXPECT_EQ(ui.LogLines().size(), 9u);
  CloseForm();
  for (const char* name : kCodeTables) EXPECT_EQ(Kv("C03", name), "") << name;
}

TEST_F(CopyTask, SameCompanyIsRefusedAndNothingEmptied) {
  CodeTables("A01", "ROW a | b\n");
  Build();
  for (const char* typed : {"A01", "a01"}) {
    ui.InputAnswers = {typed};
    EXPECT_EQ(Run(37), TRunEnd::Stopped) << typed;
    EXPECT_EQ(ui.Events.back(), "message: Unable to copy the code tables of company A01 into itself.");
    EXPECT_TRUE(ui.LogLines().empty());
    EXPECT_FALSE(form->DbConnection3.IsConnected());
  }
  for (const char* name : kCodeTables) EXPECT_EQ(Kv("A01", name), "a|b\n") << name;
}

TEST_F(CopyTask, CancelEndsTheRunBeforeAnythingIsTouchedAndOkTakesTheDefault) {
  // A company "1800" exists, so a Cancel that went ahead to the default
  // would empty and overwrite its tables.
  CodeTables("A01", "ROW a | b\n");
  CodeTables("1800", "ROW keep | me\n");
  Build();
  EXPECT_EQ(Run(37), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"input: Input Box: Enter the destination company code "}));
  EXPECT_EQ(ui.InputPresets.back(), "1800");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Copy Code table cancelled: nothing copied."}));
  EXPECT_FALSE(ui.Hourglass);
  EXPECT_FALSE(form->DbConnection3.IsConnected());
  EXPECT_NE(form->groupCode.DbConnection(), &form->DbConnection3);
  EXPECT_FALSE(form->groupCode.Active());
  for (const char* name : kCodeTables) EXPECT_EQ(Kv("1800", name), "keep|me\n") << name;

  // "OK" on the untouched box copies to "1800"; the cancelled run left
  // DbConnection3 free, so this run is not refused.
  ui.InputAnswers = {"1800"};
  EXPECT_EQ(Run(37), TRunEnd::Done);
  EXPECT_EQ(ui.Events.back(), "message: Done!");
  EXPECT_EQ(ui.LogLines().size(), 10u);
  EXPECT_EQ(form->DbConnection3.ConnectPath(), Folder("1800"));
  CloseForm();
  for (const char* name : kCodeTables) EXPECT_EQ(Kv("1800", name), "a|b\n") << name;
}

TEST_F(CopyTask, SecondRunInOneProcessIsRefusedByTheConnection) {
  CodeTables("A01", "ROW a | b\n");
  CodeTables("C03", "");
  CodeTables("B02", "ROW keep | me\n");
  Build();
  ui.InputAnswers = {"C03"};
  ASSERT_EQ(Run(37), TRunEnd::Done);
  ui.InputAnswers = {"B02"};
  EXPECT_EQ(Run(37), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 2u);
  EXPECT_NE(ui.Events[1].find("The TDbConnection.ConnectPath may not be changed when IsConnected is TRUE"),
            std::string::npos)
      << ui.Events[1];
  EXPECT_EQ(ui.LogLines().size(), 9u);
  CloseForm();
  EXPECT_EQ(Kv("B02", "CAPDEF"), "keep|me\n");
  EXPECT_EQ(Kv("C03", "PRECOST"), "a|b\n");
}

TEST_F(CopyTask, DestinationTableHeldElsewhereStopsTheCopyThere) {
  CodeTables("A01", "ROW a | b\n");
  CodeTables("C03", "ROW old | 1\n");
  Build();
  // Another user holds the destination's CODE table.
  TComponent owner;
  TDbConnection other(&owner);
  other.SetName("OtherUser");
  other.SetLoginPrompt(false);
  other.SetDbServerTypes(stLOCAL | stREMOTE);
  other.SetConnectPath(Folder("C03"));
  TDbTable held(&owner);
  held.SetName("Held");
  held.SetDbConnection(&other);
  held.SetTableName("CODE.ADT");
  held.Open();

  ui.InputAnswers = {"C03"};
  EXPECT_EQ(Run(37), TRunEnd::Error);
  ASSERT_FALSE(ui.Events.empty());
  EXPECT_EQ(ui.Events.back().rfind("error: groupCode: ", 0), 0u) << ui.Events.back();
  EXPECT_EQ(ui.LogLines().size(), 3u);  // CAPDEF, CATDEF, CATTOGS
  held.Close();
  other.Disconnect();
  CloseForm();
  EXPECT_EQ(Kv("C03", "CATTOGS"), "a|b\n");
  EXPECT_EQ(Kv("C03", "CODE"), "old|1\n");
  EXPECT_EQ(Kv("C03", "PRECOST"), "old|1\n");
}

TEST_F(CopyTask, DestinationTableOpenInAnotherProcess) {
  CodeTables("A01", "ROW a | b\n");
  CodeTables("C03", "ROW old | 1\n");
  Build();
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Holds C03's GRPCODE open until the parent lets go.
    char byte = 0;
    try {
      TComponent owner;
      TDbConnection other(&owner);
      other.SetName("OtherProcess");
      other.SetLoginPrompt(false);
      other.SetDbServerTypes(stLOCAL | stREMOTE);
      other.SetConnectPath(Folder("C03"));
      TDbTable held(&owner);
      held.SetName("Held");
      held.SetDbConnection(&other);
      held.SetTableName("GRPCODE.ADT");
      held.Open();
      byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(2);
      if (read(release[0], &byte, 1) != 1) _exit(3);
      _exit(0);
    } catch (...) {
      if (write(ready[1], &byte, 1) != 1) _exit(2);
      _exit(1);
    }
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 1) << "the other process could not open the table";
  ui.InputAnswers = {"C03"};
  TRunEnd end = Run(37);
  ASSERT_EQ(write(release[1], &byte, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(end, TRunEnd::Error);
  EXPECT_EQ(ui.Events.back().rfind("error: groupCode: ", 0), 0u) << ui.Events.back();
  EXPECT_EQ(ui.LogLines().size(), 6u);
  CloseForm();
  EXPECT_EQ(Kv("C03", "GL_NATURE"), "a|b\n");
  EXPECT_EQ(Kv("C03", "GRPCODE"), "old|1\n");
  EXPECT_EQ(Kv("C03", "PRECAT"), "old|1\n");
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(CopyTask, DemoBaseCopiesA01IntoC03) {
  MakeDemo(base.Path());
  ui.InputAnswers = {"C03"};
  EXPECT_EQ(Run(37), TRunEnd::Done) << ui.Events.back();
  EXPECT_EQ(ui.LogLines().size(), 9u);
  CloseForm();
  EXPECT_EQ(Rows("C03", "CATDEF", {"CATEGORY", "LIFE_YEARS"}), "C1000|3\nC2000|10\nC3000|~\n");
  EXPECT_EQ(Rows("C03", "CATTOGS", {"CATEGORY"}), "");
  EXPECT_EQ(Rows("C03", "GRPCODE", {"GROUP_CODE"}), Rows("A01", "GRPCODE", {"GROUP_CODE"}));
}

TEST_F(CopyTask, MissingSourceTableLeavesItsDestinationAlone) {
  CodeTables("A01", "ROW a | b\n", "GLCODE");
  CodeTables("C03", "ROW old | 1\n");
  Build();
  ui.InputAnswers = {"C03"};
  EXPECT_EQ(Run(37), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 2u);
  EXPECT_EQ(ui.Events[1].rfind("error: Code: ", 0), 0u) << ui.Events[1];
  EXPECT_EQ(ui.LogLines().size(), 4u);
  CloseForm();
  EXPECT_EQ(Kv("C03", "CODE"), "a|b\n");
  EXPECT_EQ(Kv("C03", "GLCODE"), "old|1\n");
}

TEST_F(CopyTask, SourceColumnMissingAtDestinationEndsRun) {
  CodeTables("A01", "ROW a | b\n");
  for (const char* name : kCodeTables)
    Table("C03", std::string("TABLE ") + name + ".ADT\nFIELD K Char 10\nROW old\n");
  Build();
  ui.InputAnswers = {"C03"};
  EXPECT_EQ(Run(37), TRunEnd::Error);
  EXPECT_EQ(ui.Events.back(), "error: groupCode: Field 'V' not found.");
  EXPECT_EQ(ui.LogLines().size(), 1u);
}

}  // namespace
}  // namespace dbu::test
