// The window logic without widgets: objects, FormCreate, Save Log, the
// company path rule, the debug file and the frame of a run.
#include "unit1logic.h"

#include <gtest/gtest.h>

#include "apptestsupport.h"
#include "companycode.h"
#include "formatsettings.h"

namespace dbu {
namespace {

// A logic over a scripted UI, with the program folder in a temp dir.
struct LogicFixture : ::testing::Test {
  TempDir program;  // stands for the folder of the program file
  TempDir data;     // a demo base directory
  TScriptedUI ui;
  std::unique_ptr<TForm1Logic> form;

  void SetUp() override { MakeDemo(data.Path()); }
  TForm1Logic& Make() {
    form = std::make_unique<TForm1Logic>(ui);
    form->SetProgramFolder(program.Base());
    return *form;
  }
  TForm1Logic& Create(const std::string& base) {
    Make().SetBaseDirOverride(base);
    form->FormCreate();
    return *form;
  }
};

TEST_F(LogicFixture, ObjectsCarryTheirStartUpSettings) {
  TForm1Logic& f = Make();
  for (TDbConnection* c : {&f.DbConnection1, &f.DbConnection2, &f.DbConnection3}) {
    EXPECT_EQ(c->DbServerTypes(), static_cast<TDbServerTypes>(stREMOTE | stLOCAL));
    EXPECT_FALSE(c->LoginPrompt());
    EXPECT_EQ(c->Username(), "DBSYS");
    EXPECT_EQ(c->Password(), "KVRNA7310");
    EXPECT_FALSE(c->IsConnected());
    EXPECT_FALSE(c->ReadOnly());
  }
  EXPECT_EQ(f.DbConnection3.Name(), "DbConnection3");
  EXPECT_EQ(f.MEDSCH.DbConnection(), &f.DbConnection1);
  EXPECT_EQ(f.MEDSCH.TableName(), "MEDSCH");
  EXPECT_EQ(f.TblCompany.DbConnection(), &f.DbConnection2);
  EXPECT_EQ(f.TblCompany.DatabaseName(), "DbConnection2");
  EXPECT_EQ(f.TblCompany.TableName(), "mcompany.adt");
  EXPECT_EQ(f.Code.TableName(), "CODE.ADT");
  EXPECT_EQ(f.groupCode.TableName(), "GRPCODE.ADT");
  EXPECT_EQ(f.Code.IndexFieldNames(), "CATEGORY;CODE");
  EXPECT_EQ(f.groupCode.IndexFieldNames(), "GROUP_CODE");
  EXPECT_EQ(f.MEDSCH.IndexMode(), TIndexMode::None);
  EXPECT_EQ(f.groupCode.DbConnection(), &f.DbConnection1);
  EXPECT_EQ(f.DbTable1.DbConnection(), &f.DbConnection1);
  EXPECT_FALSE(f.DbTable1.DbTableOptions().DbRightsCheck);
  EXPECT_TRUE(f.MEDSCH.DbTableOptions().DbRightsCheck);
  EXPECT_EQ(f.DbQuery1.DatabaseName(), "DbConnection1");
  EXPECT_FALSE(f.DbQuery1.ReadAllColumns());
  EXPECT_FALSE(f.DbQuery1.DbTableOptions().DbRightsCheck);
  EXPECT_FALSE(f.SheetReader1.Connected());
  ASSERT_EQ(f.SheetReader1.Workbooks().Count(), 1);
  ASSERT_EQ(f.SheetReader1.Workbooks()[0].Worksheets().Count(), 1);
  EXPECT_EQ(f.SheetReader1.Workbooks()[0].Worksheets()[0].Name(), "Sheet1");
  EXPECT_EQ(f.SheetReader1.Workbooks()[0].Worksheets()[0].Ranges().Count(), 0);
  EXPECT_EQ(TForm1Logic::GetAdminPassword(), "KVRNA7310");
  // The four table cursors and the query on the company connection, one
  // table cursor on the base one.
  EXPECT_EQ(f.DbConnection1.DataSetCount(), 5u);
  EXPECT_EQ(f.DbQuery1.DbConnection(), &f.DbConnection1);
  EXPECT_EQ(f.DbConnection2.DataSetCount(), 1u);
}

TEST_F(LogicFixture, SpreadsheetBoxesReachTheUserInterfaceWithTheirTitle) {
  TForm1Logic& f = Make();
  f.SheetReader1.ShowMessage(TSheetMessage{"Invalid Range Address.", "Error"});
  ASSERT_FALSE(ui.Events.empty());
  EXPECT_EQ(ui.Events.back(), "error [Error]: Invalid Range Address.");
}

TEST_F(LogicFixture, FormCreateOpensCompanyListAndShowsFirstCode) {
  SetDefaultDateFormat("yyyy-MM-dd");
  TForm1Logic& f = Create(data.Base());
  EXPECT_TRUE(ui.Events.empty()) << ui.Events.front();
  EXPECT_EQ(f.BaseDir(), data.Base());
  EXPECT_EQ(f.DbConnection2.ConnectPath(), data.Base());
  EXPECT_TRUE(f.DbConnection2.IsConnected());
  EXPECT_TRUE(f.TblCompany.Active());
  EXPECT_EQ(ui.CompanyText(), "A01");
  ASSERT_EQ(ui.CompanyRows().size(), 3u);
  EXPECT_EQ(ui.CompanyRows()[1].Code, "B02");
  EXPECT_EQ(ui.CompanyRows()[1].Name, "Bellfield Trading");
  EXPECT_EQ(f.TblCompany.FieldByName("COMPANY_CODE").AsString(), "A01");  // left on the first record
  EXPECT_EQ(ui.TaskIndex(), 0);
  EXPECT_EQ(DefaultDateFormat(), "dd/MM/yyyy");
  EXPECT_FALSE(f.DbConnection1.IsConnected());
}

TEST_F(LogicFixture, SettingsFileDirReplacesProgramFolder) {
  // Without a settings file the program folder is the base directory.
  Make();
  EXPECT_FALSE(form->FormCreate());  // no mcompany.adt beside the program
  EXPECT_EQ(form->BaseDir(), program.Base());

  WriteFile(program.Path() + "/palvo.ini", "[Path]\r\nDir=" + data.Base() + "\r\n");
  ui = TScriptedUI();
  Make();
  EXPECT_TRUE(form->FormCreate());
  EXPECT_EQ(form->BaseDir(), data.Base());
  EXPECT_EQ(ui.CompanyText(), "A01");

  // An empty DIR keeps the program folder.
  WriteFile(program.Path() + "/palvo.ini", "[PATH]\nDIR=\n");
  Make();
  form->FormCreate();
  EXPECT_EQ(form->BaseDir(), program.Base());
}

TEST_F(LogicFixture, MissingCompanyListShowsErrorAndSkipsTheRest) {
  SetDefaultDateFormat("yyyy-MM-dd");
  TempDir empty;
  TForm1Logic& f = Create(empty.Base());
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0].rfind("error: TblCompany: ", 0), 0u) << ui.Events[0];
  EXPECT_EQ(ui.Events[0].back(), '.');
  EXPECT_EQ(ui.CompanyText(), "");
  EXPECT_EQ(ui.TaskIndex(), -1);
  EXPECT_EQ(DefaultDateFormat(), "yyyy-MM-dd");
  EXPECT_FALSE(f.TblCompany.Active());
  // A run without a company code is refused; with one typed, no task
  // selected goes straight to "Done!".
  EXPECT_EQ(f.Button1Click(), TRunEnd::Error);
  EXPECT_EQ(ui.Events.back().rfind("error: Company code is empty; ", 0), 0u) << ui.Events.back();
  ui.SetCompanyText("A01");
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_EQ(f.DbConnection1.ConnectPath(), empty.Base() + "company/A01");
  SetDefaultDateFormat("dd/MM/yyyy");
}

TEST_F(LogicFixture, EmptyCompanyTableLeavesCompanyEmpty) {
  TempDir base;
  std::vector<std::string> report;
  CreateDemoDatabases(base.Path(),
                      {{"base/m.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nFIELD COMPANY_NAME Char 40\n"}},
                      report);
  TForm1Logic& f = Create(base.Base());
  EXPECT_TRUE(ui.Events.empty());
  EXPECT_EQ(ui.CompanyText(), "");
  EXPECT_TRUE(ui.CompanyRows().empty());
  EXPECT_EQ(ui.TaskIndex(), 0);
  EXPECT_THROW(f.SetCompanyPath(), ECompanyCodeError);  // no code names no company
}

TEST_F(LogicFixture, SaveLogWritesPaneWithCrLfAndReports) {
  TForm1Logic& f = Create(data.Base());
  f.AddLogLine("Emp No: 1146  Name: Tan Mei Ling");
  f.AddLogLine("");
  f.AddLogLine("last");
  ASSERT_TRUE(f.Button2Click());
  EXPECT_EQ(ReadFile(data.Base() + "ZozuzEzi.log"), "Emp No: 1146  Name: Tan Mei Ling\r\n\r\nlast\r\n");
  EXPECT_EQ(ui.Events.back(), "message: Save to " + data.Base() + "ZozuzEzi.log !");
}

TEST_F(LogicFixture, SaveLogWithDirLackingSeparatorAndOnFailure) {
  // DIR without its trailing separator is used as written.
  WriteFile(program.Path() + "/PALVO.ini", "[PATH]\nDIR=" + data.Path() + "\n");
  TForm1Logic& f = Make();
  f.FormCreate();
  EXPECT_EQ(f.BaseDir(), data.Path());
  EXPECT_EQ(ui.CompanyText(), "A01");  // the folder connection does not need the separator
  ASSERT_TRUE(f.Button2Click());
  EXPECT_TRUE(Exists(data.Path() + "ZozuzEzi.log"));
  EXPECT_EQ(ReadFile(data.Path() + "ZozuzEzi.log"), "");
  EXPECT_EQ(ui.Events.back(), "message: Save to " + data.Path() + "ZozuzEzi.log !");

  // A base directory that does not exist: error box, no "Save to".
  TScriptedUI other;
  TForm1Logic g(other);
  g.SetBaseDirOverride(data.Base() + "missing/");
  g.FormCreate();
  other.Events.clear();
  EXPECT_FALSE(g.Button2Click());
  ASSERT_EQ(other.Events.size(), 1u);
  EXPECT_EQ(other.Events[0].rfind("error: Cannot create file", 0), 0u) << other.Events[0];
}

TEST_F(LogicFixture, CompanyPathPrefersDictionaryFile) {
  TForm1Logic& f = Create(data.Base());
  f.SetCompanyPath();
  EXPECT_EQ(f.DbConnection1.ConnectPath(), data.Base() + "company/A01");
  EXPECT_FALSE(f.DbConnection1.IsDictionaryConnection());

  WriteFile(data.Base() + "company/A01/a01.ADD", "");
  f.SetCompanyPath();
  EXPECT_EQ(f.DbConnection1.ConnectPath(), data.Base() + "company/A01/a01.ADD");
  EXPECT_TRUE(f.DbConnection1.IsDictionaryConnection());

  // Typed codes are used as typed, known to the company table or not.
  ui.SetCompanyText("ZZ9");
  f.SetCompanyPath();
  EXPECT_EQ(f.DbConnection1.ConnectPath(), data.Base() + "company/ZZ9");
  // An empty code names no company: not the company folder itself, not a
  // ".add" file there; the connection keeps its path.
  WriteFile(data.Base() + "company/.add", "");
  ui.SetCompanyText("");
  EXPECT_THROW(f.SetCompanyPath(), ECompanyCodeError);
  EXPECT_EQ(f.DbConnection1.ConnectPath(), data.Base() + "company/ZZ9");
}

// Valid codes are used as typed and found without regard to case; a
// company folder that is a link is followed (the administrator made it);
// codes that name anything but one folder directly under company/ are
// refused, whatever exists on disk.
TEST_F(LogicFixture, CompanyCodesNameOneFolderUnderCompany) {
  const std::string company = data.Base() + "company/";
  std::filesystem::create_directory_symlink(data.Base() + "company/A01", company + "LINKED");
  const std::vector<std::pair<std::string, std::string>> valid = {
      {"A01", company + "A01"},        {"a01", company + "A01"},       {"b02", company + "B02/B02.add"},
      {"LINKED", company + "LINKED"},  {" A01", company + " A01"},     {"ZZ9 ", company + "ZZ9 "},
      {".A01", company + ".A01"},      {"A.B", company + "A.B"},       {"\xC3\xA9", company + "\xC3\xA9"}};
  for (const auto& [code, path] : valid)
    EXPECT_EQ(CompanyDatabasePath(data.Base(), code, "Company code"), path) << code;
  const std::vector<std::string> refused = {"",     "   ",  ".",         "..",     "...",     "../A01", "A01/..",
                                            "A01/", "/A01", data.Base() + "company/A01", "A\\B", "a..b",
                                            std::string("A\0B", 3), "A\tB", "A01\n", "A\x7f"};
  for (const std::string& code : refused)
    EXPECT_THROW(CompanyDatabasePath(data.Base(), code, "Company code"), ECompanyCodeError) << code;
  try {
    CheckCompanyCode(std::string("A\0B", 3), "Destination company code");
    ADD_FAILURE() << "a NUL passed";
  } catch (const ECompanyCodeError& error) {
    const std::string expected = "Destination company code \"A\\x00B\" is refused: it holds a control character";
    EXPECT_EQ(error.Message().rfind(expected, 0), 0u) << error.Message();
  }
}

TEST_F(LogicFixture, DebugLinesAppendToOneFileAcrossStarts) {
  TForm1Logic& f = Create(data.Base());
  f.WriteDebugLine("0030*18/05/2005*1");
  f.WriteDebugLine("");
  EXPECT_EQ(ReadFile(data.Base() + "debug_zozuzezi.txt"), "0030*18/05/2005*1\r\n\r\n");
  std::filesystem::rename(data.Base() + "debug_zozuzezi.txt", data.Base() + "DEBUG_ZOZUZEZI.TXT");
  TScriptedUI other;
  TForm1Logic g(other);
  g.SetBaseDirOverride(data.Base());
  g.FormCreate();
  g.WriteDebugLine("again");
  EXPECT_EQ(ReadFile(data.Base() + "DEBUG_ZOZUZEZI.TXT"), "0030*18/05/2005*1\r\n\r\nagain\r\n");
  EXPECT_FALSE(Exists(data.Base() + "debug_zozuzezi.txt"));
}

TEST_F(LogicFixture, TaskWithoutBodyEndsWithDoneAndPointerRestored) {
  TForm1Logic& f = Create(data.Base());
  ui.SetTaskIndex(1);
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  EXPECT_FALSE(ui.Hourglass);
  EXPECT_GE(ui.HourglassChanges, 2);
  EXPECT_FALSE(f.Dispatcher().HasBody(1));
  EXPECT_FALSE(f.Running());
}

TEST_F(LogicFixture, RunFrameGivesTaskDisconnectedCompanyAndHourglass) {
  TForm1Logic& f = Create(data.Base());
  int runs = 0;
  f.Dispatcher().SetBody(6, [&](TForm1Logic& form) {
    ++runs;
    EXPECT_TRUE(ui.Hourglass);
    EXPECT_FALSE(form.DbConnection1.IsConnected());
    EXPECT_FALSE(form.MEDSCH.Active());
    EXPECT_TRUE(form.TblCompany.Active());  // on the base connection: untouched
    // A01 is a folder of free tables, B02 a database with a dictionary.
    const std::string folder = form.BaseDir() + "company/" + form.CompanyCode();
    EXPECT_EQ(form.DbConnection1.ConnectPath(), form.CompanyCode() == "B02" ? folder + "/B02.add" : folder);
    form.MEDSCH.SetTableName("employee");
    form.MEDSCH.Open();  // connects lazily and is left open for the next run
    if (!form.DbConnection1.IsDictionaryConnection()) form.MEDSCH.EnableEncryption(form.GetAdminPassword());
    form.AddLogLine("Emp No: " + form.MEDSCH.FieldByName("emp_no").AsString() + " " +
                    form.MEDSCH.FieldByName("emp_name").AsString());
    return TTaskEnd::Normal;
  });
  ui.SetTaskIndex(6);
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_TRUE(f.MEDSCH.Active());
  ui.SetCompanyText("B02");
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(ui.LogLines(), (std::vector<std::string>{"Emp No: 1146 Tan Mei Ling", "Emp No: 1146 Chong Ah Kow"}));
  EXPECT_EQ(ui.Events, (std::vector<std::string>{"message: Done!", "message: Done!"}));
}

TEST_F(LogicFixture, ErrorsEndTheRunWithErrorBoxAndPointerRestored) {
  TForm1Logic& f = Create(data.Base());
  f.Dispatcher().SetBody(4, [](TForm1Logic& form) {
    form.MEDSCH.SetTableName("SETUP");
    form.MEDSCH.Open();
    form.MEDSCH.FieldByName("NO_SUCH_FIELD");
    return TTaskEnd::Normal;
  });
  f.Dispatcher().SetBody(3, [](TForm1Logic&) -> TTaskEnd { throw std::runtime_error("plain failure"); });
  f.Dispatcher().SetBody(2, [](TForm1Logic&) -> TTaskEnd { throw 42; });
  ui.SetTaskIndex(4);
  EXPECT_EQ(f.Button1Click(), TRunEnd::Error);
  ASSERT_EQ(ui.Events.size(), 1u);
  EXPECT_EQ(ui.Events[0], "error: MEDSCH: Field 'NO_SUCH_FIELD' not found.");
  EXPECT_FALSE(ui.Hourglass);

  ui.SetTaskIndex(3);
  EXPECT_EQ(f.Button1Click(), TRunEnd::Error);
  EXPECT_EQ(ui.Events.back(), "error: plain failure.");
  ui.SetTaskIndex(2);
  EXPECT_EQ(f.Button1Click(), TRunEnd::Error);
  EXPECT_FALSE(ui.Hourglass);
  EXPECT_FALSE(f.Running());

  // A missing company folder surfaces at the task's first Open.
  ui.SetTaskIndex(4);
  ui.SetCompanyText("NOPE");
  EXPECT_EQ(f.Button1Click(), TRunEnd::Error);
  EXPECT_NE(ui.Events.back().find("NOPE"), std::string::npos) << ui.Events.back();
  EXPECT_FALSE(ui.Hourglass);
  for (const std::string& e : ui.Events) EXPECT_NE(e, "message: Done!");
}

TEST_F(LogicFixture, ConfirmationAnsweredNoStopsWithoutDone) {
  TForm1Logic& f = Create(data.Base());
  int changed = 0;
  f.Dispatcher().SetBody(12, [&](TForm1Logic& form) {
    if (!form.Confirm("This process will update? ")) return TTaskEnd::Stopped;
    ++changed;
    return TTaskEnd::Normal;
  });
  ui.SetTaskIndex(12);
  ui.ConfirmAnswer = false;
  EXPECT_EQ(f.Button1Click(), TRunEnd::Stopped);
  EXPECT_EQ(ui.Events, std::vector<std::string>{"confirm: This process will update? "});
  EXPECT_EQ(changed, 0);
  EXPECT_FALSE(ui.Hourglass);
  ui.ConfirmAnswer = true;
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(ui.Events.back(), "message: Done!");
}

TEST_F(LogicFixture, ClickDuringRunIsIgnored) {
  TForm1Logic& f = Create(data.Base());
  int bodies = 0;
  std::vector<TRunEnd> nested;
  ui.OnProcessMessages = [&] { nested.push_back(f.Button1Click()); };
  f.Dispatcher().SetBody(25, [&](TForm1Logic& form) {
    ++bodies;
    form.ProcessMessages();
    EXPECT_TRUE(ui.Hourglass);  // the ignored press changed nothing
    return TTaskEnd::Normal;
  });
  ui.SetTaskIndex(25);
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_EQ(bodies, 1);
  EXPECT_EQ(nested, std::vector<TRunEnd>{TRunEnd::Ignored});
  EXPECT_EQ(ui.Events, std::vector<std::string>{"message: Done!"});
  // After the run, presses work again.
  ui.OnProcessMessages = nullptr;
  EXPECT_EQ(f.Button1Click(), TRunEnd::Done);
  EXPECT_EQ(bodies, 2);
}

TEST_F(LogicFixture, InputBoxAndDispatcherLimits) {
  TForm1Logic& f = Create(data.Base());
  std::string answer;
  f.Dispatcher().SetBody(18, [&](TForm1Logic& form) {
    answer = form.InputBox("Release Account Locked", "Enter the employee no to release", "");
    return TTaskEnd::Normal;
  });
  ui.SetTaskIndex(18);
  ui.InputAnswers = {"6623"};
  f.Button1Click();
  EXPECT_EQ(answer, "6623");
  f.Button1Click();  // no answer left: Cancel gives the default
  EXPECT_EQ(answer, "");
  EXPECT_THROW(f.Dispatcher().SetBody(38, nullptr), std::out_of_range);
  EXPECT_THROW(f.Dispatcher().SetBody(-1, nullptr), std::out_of_range);
  EXPECT_EQ(TaskCaption(37), "Copy Code table to a new company database");
  EXPECT_EQ(TaskCaption(38), "");
}

}  // namespace
}  // namespace dbu
