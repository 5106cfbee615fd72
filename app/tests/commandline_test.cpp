// The command line: option parsing, headless runs with their printed boxes
// and exit statuses, the console version, and the program end to end.
#include "commandline.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "apptestsupport.h"
#include "datetime.h"
#include "dbconnection.h"
#include "dbtable.h"
#include "structure_tasks.h"
#include "unit1logic.h"

namespace dbu {
namespace {

TCommandLine Parse(std::vector<std::string> args, bool display = false) { return ParseCommandLine(args, display); }

TEST(CommandLineParse, TasksAndAnswers) {
  TCommandLine cl = Parse({"--base", "/b", "--company", "A01", "--task", "1", "--task", "37", "--yes", "--input",
                           "x", "--input", "", "--save-log"});
  EXPECT_EQ(cl.Mode, TProgramMode::Tasks);
  EXPECT_EQ(*cl.Base, "/b");
  EXPECT_EQ(*cl.Company, "A01");
  EXPECT_EQ(cl.Tasks, (std::vector<int>{1, 37}));
  EXPECT_EQ(*cl.Answer, TConfirmAnswer::Yes);
  EXPECT_EQ(cl.Inputs, (std::vector<std::string>{"x", ""}));
  EXPECT_TRUE(cl.SaveLog);
  EXPECT_EQ(Parse({}).Mode, TProgramMode::Console);
  EXPECT_EQ(Parse({}, true).Mode, TProgramMode::Window);
  EXPECT_EQ(Parse({"--base", "/b"}, true).Mode, TProgramMode::Window);
  EXPECT_EQ(Parse({"--list-tasks"}).Mode, TProgramMode::ListTasks);
  EXPECT_EQ(Parse({"--create-demo", "d"}).DemoDir, "d");
  EXPECT_FALSE(Parse({"--task", "0"}).Answer.has_value());
}

TEST(CommandLineParse, UsageErrors) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--task"}, {"--task", "38"}, {"--task", "-1"}, {"--task", "1x"}, {"--task", ""},
           {"--task", "1", "--yes", "--no"}, {"--yes"}, {"--input", "a"}, {"--save-log"},
           {"--bogus"}, {"--list-tasks", "--task", "1"}, {"--help", "--version"}, {"--base"},
           {"--base", ""}, {"--create-demo"}, {"--create-demo", "d", "--base", "b"}})
    EXPECT_THROW(Parse(args), EUsageError) << args[0];
  EXPECT_EQ(BaseDirArgument("/srv/base"), "/srv/base/");
  EXPECT_EQ(BaseDirArgument("/srv/base/"), "/srv/base/");
  EXPECT_EQ(BaseDirArgument("rel").front(), '/');
}

// Runs the command line in this process over string streams.
struct Headless {
  std::istringstream in;
  std::ostringstream out, err;
  int Run(std::vector<std::string> args, const TPrepareLogic& prepare = {}, bool terminal = false) {
    return RunCommandLine(ParseCommandLine(args, false), in, out, err, terminal, prepare);
  }
};

struct CommandLineFixture : ::testing::Test {
  TempDir data;
  void SetUp() override { MakeDemo(data.Path()); }
};

// Test bodies: 5 asks and logs, 6 fails, 7 stops by itself.
void InstallBodies(TForm1Logic& form) {
  form.Dispatcher().SetBody(5, [](TForm1Logic& f) {
    std::string emp = f.InputBox("Release Account Locked", "Enter the employee no to release", "");
    if (!f.Confirm("Release " + emp + "? ")) return TTaskEnd::Stopped;
    f.AddLogLine("released " + emp + " of " + f.CompanyCode());
    return TTaskEnd::Normal;
  });
  form.Dispatcher().SetBody(6, [](TForm1Logic& f) -> TTaskEnd {
    f.MEDSCH.SetTableName("MISSING");
    f.MEDSCH.Open();
    return TTaskEnd::Normal;
  });
  form.Dispatcher().SetBody(7, [](TForm1Logic& f) {
    f.ShowMessage("Import file \"email.adt\" can not found !");
    return TTaskEnd::Stopped;
  });
}

TEST_F(CommandLineFixture, PrintsBoxesAndLogLinesAndAnswersFromOptions) {
  Headless h;
  int status = h.Run({"--base", data.Path(), "--company", "B02", "--task", "5", "--yes", "--input", "6623"},
                     InstallBodies);
  EXPECT_EQ(status, kExitDone);
  EXPECT_EQ(h.out.str(),
            "[input] Release Account Locked: Enter the employee no to release -> 6623\n"
            "[confirm] Release 6623?  -> Yes\n"
            "released 6623 of B02\n"
            "[message] Done!\n");
}

TEST_F(CommandLineFixture, ExitStatusesFollowTheLastRun) {
  {
    Headless h;  // no --input left: Cancel gives the empty default; no answer: No
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "5"}, InstallBodies), kExitStopped);
    EXPECT_EQ(h.out.str(),
              "[input] Release Account Locked: Enter the employee no to release -> (Cancel)\n"
              "[confirm] Release ?  -> No\n");
  }
  {
    Headless h;
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "6"}, InstallBodies), kExitError);
    EXPECT_EQ(h.out.str().rfind("[error] MEDSCH: ", 0), 0u) << h.out.str();
  }
  {
    Headless h;  // runs stop after the first that does not end with "Done!"
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "1", "--task", "7", "--task", "1"}, InstallBodies),
              kExitStopped);
    EXPECT_EQ(h.out.str(), "[message] Done!\n[message] Import file \"email.adt\" can not found !\n");
  }
  {
    Headless h;  // the terminal answers when standard input is one
    h.in.str("y\n");
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "5", "--input", "1146"}, InstallBodies, true), kExitDone);
    EXPECT_NE(h.out.str().find("[y/N] [confirm] Release 1146?  -> Yes"), std::string::npos) << h.out.str();
  }
  {
    Headless h;  // end of terminal input answers No
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "5"}, InstallBodies, true), kExitStopped);
  }
}

TEST_F(CommandLineFixture, DoneAfterAnErrorHasItsOwnStatus) {
  {
    Headless h;  // a failed structure change shows its error, and the run goes on to "Done!"
    auto install = [](TForm1Logic& form) {
      form.Dispatcher().SetBody(5, [](TForm1Logic& f) {
        AlterTableColumn(f, "ASSET", "WIDE", "C", "wide", false);
        return TTaskEnd::Normal;
      });
    };
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "5", "--task", "1"}, install), kExitDoneAfterErrors);
    const std::string out = h.out.str();
    EXPECT_EQ(out.rfind("[message] ", 0), 0u) << out;
    EXPECT_NE(out.find(" Table Name ASSET\r\n SQL ALTER TABLE"), std::string::npos) << out;
    EXPECT_NE(out.find("[message] Done!\n[message] Done!\n"), std::string::npos) << out;
  }
  std::filesystem::remove(data.Base() + "mcompany.adt");
  {
    Headless h;  // a start-up error, then a run that ends with "Done!"
    EXPECT_EQ(h.Run({"--base", data.Path(), "--company", "A01", "--task", "1"}), kExitDoneAfterErrors);
    EXPECT_EQ(h.out.str().rfind("[error] ", 0), 0u) << h.out.str();
    EXPECT_NE(h.out.str().find("[message] Done!"), std::string::npos) << h.out.str();
  }
  {
    Headless h;  // no base directory to work in: no run at all
    EXPECT_EQ(h.Run({"--base", data.Path() + "/missing", "--task", "1"}), kExitError);
    EXPECT_EQ(h.out.str().rfind("[error] ", 0), 0u) << h.out.str();
    EXPECT_EQ(h.out.str().find("Done!"), std::string::npos) << h.out.str();
  }
}

TEST_F(CommandLineFixture, InputBoxesReportCancel) {
  // Cancel reaches the task; the terminal's end of input is Cancel too,
  // while an empty line is "OK" with an empty field.
  auto install = [](TForm1Logic& form) {
    form.Dispatcher().SetBody(5, [](TForm1Logic& f) {
      std::string value = "preset";
      const bool ok = f.InputQuery("T", "P", value);
      f.AddLogLine(std::string(ok ? "ok " : "cancel ") + value);
      return TTaskEnd::Normal;
    });
  };
  {
    Headless h;
    EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "5", "--task", "5", "--input", ""}, install), kExitDone);
    EXPECT_EQ(h.out.str(), "[input] T: P -> \nok \n[message] Done!\n[input] T: P -> (Cancel)\ncancel preset\n"
                           "[message] Done!\n");
  }
  std::istringstream in("typed\n\n");
  std::ostringstream out;
  TConsoleUserInterface terminal(in, out);
  terminal.SetAskForInput(true);
  std::string value = "preset";
  EXPECT_TRUE(terminal.InputQuery("T", "P", value));
  EXPECT_EQ(value, "typed");
  EXPECT_TRUE(terminal.InputQuery("T", "P", value));
  EXPECT_EQ(value, "");
  value = "preset";
  EXPECT_FALSE(terminal.InputQuery("T", "P", value));
  EXPECT_EQ(value, "preset");
  EXPECT_EQ(terminal.InputBox("T", "P", "dflt"), "dflt");
  EXPECT_EQ(out.str(), "[input] T: P [preset] [input] T: P -> typed\n[input] T: P [typed] [input] T: P -> \n"
                       "[input] T: P [preset] \n[input] T: P -> (Cancel)\n"
                       "[input] T: P [dflt] \n[input] T: P -> (Cancel)\n");
}

TEST_F(CommandLineFixture, SaveLogAfterTheRuns) {
  Headless h;
  EXPECT_EQ(h.Run({"--base", data.Path(), "--task", "5", "--task", "5", "--yes", "--input", "A", "--input", "B",
                   "--save-log"},
                  InstallBodies),
            kExitDone);
  EXPECT_EQ(ReadFile(data.Base() + "ZozuzEzi.log"), "released A of A01\r\nreleased B of A01\r\n");
  EXPECT_NE(h.out.str().find("[message] Save to " + data.Base() + "ZozuzEzi.log !\n"), std::string::npos);
}

TEST_F(CommandLineFixture, ConsoleVersionLoopsUntilQuit) {
  Headless h;
  h.in.str("B02\n5\n6623\ny\ny\n\n1\nn\nq\n");
  EXPECT_EQ(h.Run({"--base", data.Path()}, InstallBodies), kExitDone);
  const std::string out = h.out.str();
  EXPECT_NE(out.find("  C03       Corvale Logistics"), std::string::npos) << out;
  EXPECT_NE(out.find("37  Copy Code table to a new company database"), std::string::npos);
  EXPECT_NE(out.find("released 6623 of B02\n[message] Done!"), std::string::npos) << out;
  EXPECT_NE(out.find("Process: Copy HRLEVEL to SUPERVISOR_CODE2"), std::string::npos);
  EXPECT_EQ(ReadFile(data.Base() + "ZozuzEzi.log"), "released 6623 of B02\r\n");
}

// A company code names one folder directly under company/. A copy of a
// company kept outside company/ (the sentinel) must keep every byte
// whatever code names it, as the selected company or as task 37's
// destination; the refusal comes before any table is opened.
struct HostileCodeFixture : CommandLineFixture {
  std::string sentinel;
  std::map<std::string, std::string> before;
  struct Code {
    std::string code, shown;  // shown: as the message quotes it
  };
  std::vector<Code> codes;
  void SetUp() override {
    CommandLineFixture::SetUp();
    sentinel = data.Path() + "/sentinel";
    std::filesystem::copy(data.Path() + "/company/A01", sentinel, std::filesystem::copy_options::recursive);
    before = FilesUnder(sentinel);
    const std::string base = std::filesystem::path(data.Path()).filename().string();
    codes = {{"../sentinel", "../sentinel"},
             {"A01/../../sentinel", "A01/../../sentinel"},
             {"../../" + base + "/sentinel", "../../" + base + "/sentinel"},
             {sentinel, sentinel},
             {"..\\sentinel", "..\\sentinel"},
             {"..", ".."},
             {" ", " "},
             {"", ""},
             {"A01\x01", "A01\\x01"}};
  }
  // The error line of a refused code.
  static std::string Refusal(const std::string& what, const Code& c) {
    return "[error] " + what + (c.code.empty() ? " is empty; " : " \"" + c.shown + "\" is refused: it ");
  }
};

TEST_F(HostileCodeFixture, CommandLineRefusesCodesOutsideTheCompanyFolder) {
  for (const Code& c : codes) {
    Headless h;  // task 8 writes the selected company's PAYPARA
    EXPECT_EQ(h.Run({"--base", data.Path(), "--company", c.code, "--task", "8", "--input", "9.99"}), kExitError)
        << c.code;
    EXPECT_EQ(h.out.str().rfind(Refusal("Company code", c), 0), 0u) << h.out.str();
    EXPECT_EQ(h.out.str().find("[input]"), std::string::npos) << h.out.str();
    EXPECT_EQ(ChangedFiles(before, sentinel), std::vector<std::string>{}) << c.code;
  }
  for (const Code& c : codes) {
    Headless h;  // task 37 empties and fills its destination's code tables
    EXPECT_EQ(h.Run({"--base", data.Path(), "--company", "C03", "--task", "37", "--input", c.code}), kExitError)
        << c.code;
    const std::string out = h.out.str();
    EXPECT_NE(out.find(" -> " + c.code + "\n" + Refusal("Destination company code", c)), std::string::npos) << out;
    EXPECT_EQ(out.find("Perform Copying"), std::string::npos) << out;
    EXPECT_EQ(ChangedFiles(before, sentinel), std::vector<std::string>{}) << c.code;
  }
}

TEST_F(HostileCodeFixture, ConsoleRefusesATypedCode) {
  Headless h;
  h.in.str("../sentinel\n8\n9.99\nn\n");
  EXPECT_EQ(h.Run({"--base", data.Path()}), kExitDone);
  EXPECT_NE(h.out.str().find("Process: Set database version\n" + Refusal("Company code", codes[0])),
            std::string::npos)
      << h.out.str();
  EXPECT_EQ(ChangedFiles(before, sentinel), std::vector<std::string>{});
}

TEST_F(CommandLineFixture, ListsTasksAndCreatesDemo) {
  Headless h;
  EXPECT_EQ(h.Run({"--list-tasks"}), kExitDone);
  std::istringstream lines(h.out.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line, (count < 10 ? " " : "") + std::to_string(count) + "  " + TaskCaption(count));
    ++count;
  }
  EXPECT_EQ(count, 38);
  // An existing demo is never overwritten.
  Headless again;
  EXPECT_EQ(again.Run({"--create-demo", data.Path()}), kExitError);
  EXPECT_NE(again.err.str().find("already exists"), std::string::npos) << again.err.str();
}

// ---- the program itself ----

struct ProgramResult {
  int status;
  std::string out;
};

ProgramResult RunProgram(const std::string& args, const std::string& stdinText = "") {
  TempDir scratch;
  WriteFile(scratch.Path() + "/in", stdinText);
  std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + std::string(DBUTILITY_PATH) + " " + args + " <" +
                        scratch.Path() + "/in >" + scratch.Path() + "/out 2>&1";
  int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(scratch.Path() + "/out")};
}

TEST(Program, EndToEndOnTheDemo) {
  TempDir dir;
  ProgramResult demo = RunProgram("--create-demo " + dir.Path() + "/base");
  ASSERT_EQ(demo.status, 0) << demo.out;
  EXPECT_NE(demo.out.find("created " + dir.Path() + "/base/mcompany.adt (3 records)"), std::string::npos);
  const std::string base = dir.Path() + "/base";

  ProgramResult task1 = RunProgram("--base " + base + " --task 1 --save-log");
  EXPECT_EQ(task1.status, 0) << task1.out;
  EXPECT_EQ(task1.out, "[message] Done!\n[message] Save to " + base + "/ZozuzEzi.log !\n");
  EXPECT_TRUE(Exists(base + "/ZozuzEzi.log"));
  EXPECT_EQ(ReadFile(base + "/ZozuzEzi.log"), "");

  EXPECT_EQ(RunProgram("--base " + base + " --task 99").status, 2);
  EXPECT_EQ(RunProgram("--frobnicate").status, 2);
  // A base directory that does not exist: the start-up error, and no run.
  ProgramResult nowhere = RunProgram("--base " + dir.Path() + "/nowhere --task 1 --save-log");
  EXPECT_EQ(nowhere.status, 1) << nowhere.out;
  EXPECT_EQ(nowhere.out, "[error] Cannot connect to " + dir.Path() + "/nowhere/: no such folder or data dictionary.\n");
  // A log that cannot be saved: the error box after "Done!", status 1.
  std::filesystem::remove(base + "/ZozuzEzi.log");
  std::filesystem::create_directory(base + "/ZozuzEzi.log");
  ProgramResult failed = RunProgram("--base " + base + " --task 1 --save-log");
  EXPECT_EQ(failed.status, 1) << failed.out;
  EXPECT_EQ(failed.out.rfind("[message] Done!\n[error] Cannot create file", 0), 0u) << failed.out;

  ProgramResult version = RunProgram("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("dbutility ", 0), 0u) << version.out;
  ProgramResult help = RunProgram("--help");
  EXPECT_NE(help.out.find("--create-demo DIR"), std::string::npos);

  // Task 37: without --input its box is cancelled and the run ends
  // without "Done!"; nothing is copied.
  ProgramResult cancelled = RunProgram("--base " + base + " --company A01 --task 37");
  EXPECT_EQ(cancelled.status, 3) << cancelled.out;
  EXPECT_EQ(cancelled.out,
            "[input] Input Box: Enter the destination company code  -> (Cancel)\n"
            "Copy Code table cancelled: nothing copied.\n");
  ProgramResult copied = RunProgram("--base " + base + " --company A01 --task 37 --input C03");
  EXPECT_EQ(copied.status, 0) << copied.out;
  EXPECT_EQ(copied.out.rfind("[input] Input Box: Enter the destination company code  -> C03\n"
                             "Perform Copying table: CAPDEF.ADT\n", 0), 0u) << copied.out;
  EXPECT_NE(copied.out.find("Perform Copying table: PRECOST.ADT\n[message] Done!\n"), std::string::npos) << copied.out;

  // Without a display and without a task: the console version.
  ProgramResult console = RunProgram("--base " + base, "A01\n1\nn\nq\n");
  EXPECT_EQ(console.status, 0) << console.out;
  EXPECT_NE(console.out.find("A01       Arden Engineering Sdn Bhd"), std::string::npos) << console.out;
  EXPECT_NE(console.out.find("[message] Done!"), std::string::npos) << console.out;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Tasks on both demo companies: B02 through its dictionary (DBSYS login, no
// table passwords), A01 on free tables whose encrypted ones the tasks open
// with the administrator password.
TEST(Program, TasksRunOnBothDemoCompanies) {
  TempDir dir;
  const std::string base = dir.Path() + "/base";
  ProgramResult demo = RunProgram("--create-demo " + base);
  ASSERT_EQ(demo.status, 0) << demo.out;

  ProgramResult b02 = RunProgram("--base " + base + " --company B02 --task 12 --task 18 --task 26 --task 6 --task 37"
                                 " --yes --input 6623 --input C03");
  EXPECT_EQ(b02.status, 0) << b02.out;
  EXPECT_EQ(Count(b02.out, "[message] Done!\n"), 5u) << b02.out;
  EXPECT_EQ(Count(b02.out, "Unable"), 0u) << b02.out;
  EXPECT_NE(b02.out.find("Emp No: B101  Name: Mohd Azlan\n"), std::string::npos) << b02.out;
  EXPECT_EQ(Count(b02.out, "Perform Copying table: "), 9u) << b02.out;

  ProgramResult a01 = RunProgram("--base " + base + " --company A01 --task 4 --task 7 --task 31 --task 5");
  EXPECT_EQ(a01.status, 0) << a01.out;
  EXPECT_EQ(a01.out, "[message] Done!\nEmp No: PI30050\n[message] Done!\n[message] Done!\n"
                     "Emp No: 0030  date: 18/05/2005\n[message] Done!\n");

  // What the B02 runs wrote, read through a DBSYS login to its dictionary.
  TComponent owner;
  TDbConnection connection(&owner);
  connection.SetName("B02");
  connection.SetLoginPrompt(false);
  connection.SetUsername("DBSYS");
  connection.SetPassword(TForm1Logic::GetAdminPassword());
  connection.SetConnectPath(base + "/company/B02/B02.add");
  TDbTable table(&owner);
  table.SetName("T");
  table.SetDbConnection(&connection);
  table.SetTableName("TRANSFER");
  table.SetIndexFieldNames("EMP_NO;EFFECTIVE_DATE");
  table.Open();
  ASSERT_TRUE(table.FindKey({std::string("1146"), Variant::FromDateTime(EncodeDate(2003, 9, 19))}));
  EXPECT_EQ(table.FieldByName("EFFECTIVE_ENDDATE").AsDateTime(), EncodeDate(2005, 1, 31));
  table.Close();
  table.SetTableName("EMPMISC");
  table.SetIndexFieldNames("EMP_NO");
  table.Open();
  ASSERT_TRUE(table.FindKey({std::string("6623")}));
  EXPECT_EQ(table.FieldByName("LOCKED").AsInteger(), 0);
  table.Close();
  table.SetTableName("SETUP");
  table.SetIndexFieldNames("");
  table.Open();
  EXPECT_EQ(table.FieldByName("ENTRY_GROUP").Size(), 30u);
  table.Close();
  connection.Disconnect();
}

}  // namespace
}  // namespace dbu
