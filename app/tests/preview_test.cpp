// Previews on the demo databases: a preview leaves every entry of the base
// directory as it was, and says exactly what the real run then does (the
// real run's changes read from its backup by the same diff); a write
// outside the preview's copy is refused; the command line prints the
// preview as text and as CSV.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "appfiles.h"
#include "apptestsupport.h"
#include "dbtable.h"
#include "engine.h"
#include "undo.h"
#include "unit1logic.h"

namespace dbu {
namespace {

// Every entry under dir (folders too) with its bytes. A journal's bytes are
// left out: its first page is the table's cross-process lock, which every
// opening of the table takes and so rewrites; the journal must still exist.
std::map<std::string, std::string> Entries(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = std::filesystem::relative(entry.path(), dir).string();
    const bool journal = name.size() > 4 && name.compare(name.size() - 4, 4, ".jrn") == 0;
    entries[name] = entry.is_directory() ? "(folder)" : journal ? "(journal)" : ReadFile(entry.path().string());
  }
  return entries;
}

std::string TablesCsv(const std::vector<TPreviewTable>& tables) {
  TPreviewResult only;
  only.Tables = tables;
  std::ostringstream out;
  PrintPreviewCsv(only, out);
  for (const TPreviewTable& t : tables) {
    out << t.Table << " cut:";
    for (uint32_t r : t.CutRecords) out << " " << r;
    out << "\n";
  }
  return out.str();
}

struct TLogicUnderTest {
  TScriptedUI ui;
  TForm1Logic form{ui};
  explicit TLogicUnderTest(const std::string& base) {
    form.SetBaseDirOverride(base + "/");
    form.SetProgramFolder(base + "/");
    EXPECT_TRUE(form.FormCreate());
  }
};

struct TPreviewCase {
  int Task;
  std::vector<std::string> Inputs;
  std::string Table;  // one table the run changes
  std::string State;
  std::string Counts;  // "+added ~changed -deleted"
};

TEST(Preview, ChangesNothingAndForeseesTheRealRun) {
  const std::vector<TPreviewCase> cases = {
      {14, {}, "company/A01/LEAV_TRX.ADT", "changed", "+0 ~2 -0"},       // records changed
      {3, {}, "company/A01/MEDICAL.ADT", "changed", "+0 ~1 -0"},         // the same, and its debug file written
      {11, {}, "company/A01/LEAV_TRX.ADT", "changed", "+0 ~0 -1"},       // a record deleted after a confirmation
      {10, {}, "company/A01/CODE.ADT", "changed", "+3 ~0 -0"},           // records imported
      {37, {"C03"}, "company/C03/CODE.ADT", "emptied", "+4 ~0 -4"},      // a copy into another company
      {26, {}, "company/A01/SETUP.ADT", "restructured", "+0 ~0 -0"},     // a column widened
      {31, {}, "company/A01/FORMIR21.ADT", "restructured", "+0 ~0 -0"},  // a column narrowed, nothing cut
      {27, {}, "company/A01/TPAYSLIP.ADT", "restructured", "+0 ~0 -0"},  // a column added
  };
  for (const TPreviewCase& c : cases) {
    SCOPED_TRACE("task " + std::to_string(c.Task));
    TempDir dir;
    const std::string base = dir.Path() + "/base";
    MakeDemo(base);
    TLogicUnderTest logic(base);
    logic.ui.SetCompanyText("A01");
    logic.ui.SetTaskIndex(c.Task);
    logic.ui.ConfirmAnswer = true;
    logic.ui.InputAnswers = c.Inputs;

    const auto before = Entries(base);
    const std::string connection3 = logic.form.DbConnection3.ConnectPath();
    const std::string groupCodeDatabase = logic.form.groupCode.DatabaseName();
    TPreviewResult preview;
    const TRunEnd previewEnd = logic.form.PreviewClick(preview);
    EXPECT_EQ(Differences(before, Entries(base)), std::vector<std::string>{});
    // Nothing is left pointing into the removed copy (task 37 re-points both).
    EXPECT_EQ(logic.form.DbConnection3.ConnectPath(), connection3);
    EXPECT_EQ(logic.form.groupCode.DatabaseName(), groupCodeDatabase);
    EXPECT_EQ(previewEnd, TRunEnd::Done) << preview.Error;
    EXPECT_EQ(preview.Outcome, "done");
    ASSERT_FALSE(preview.Boxes.empty());
    EXPECT_EQ(preview.Boxes.back().Text, "Done!");
    const TPreviewTable* table = nullptr;
    for (const TPreviewTable& t : preview.Tables)
      if (t.Table == c.Table) table = &t;
    ASSERT_NE(table, nullptr) << TablesCsv(preview.Tables);
    EXPECT_EQ(table->State, c.State) << TablesCsv(preview.Tables);
    EXPECT_EQ("+" + std::to_string(table->Added) + " ~" + std::to_string(table->Changed) + " -" +
                  std::to_string(table->Deleted),
              c.Counts)
        << TablesCsv(preview.Tables);
    EXPECT_TRUE(table->CutRecords.empty());

    // The same answers for the real run, then its changes from its backup.
    logic.ui.InputAnswers = c.Inputs;
    ASSERT_EQ(logic.form.Button1Click(), TRunEnd::Done);
    logic.form.DbConnection1.Disconnect();
    logic.form.DbConnection3.Disconnect();
    const std::vector<TRunManifest> runs = ListRuns(BackupsFolder(base));
    ASSERT_EQ(runs.size(), 1u);
    const std::vector<TPreviewTable> real = DiffSavedTables(runs[0], BackupsFolder(base) + "/" + runs[0].Id, base,
                                                            TForm1Logic::kAdminPassword);
    EXPECT_EQ(TablesCsv(real), TablesCsv(preview.Tables));
  }
}

void MakeTable(const std::string& dir, const std::string& name, const std::string& fields,
               const std::vector<std::string>& names) {
  ENGHANDLE conn = 0, table = 0;
  ASSERT_EQ(EngConnect(dir.c_str(), &conn), 0u);
  ASSERT_EQ(EngCreateTable(conn, name.c_str(), fields.c_str(), 0, &table), 0u);
  for (const std::string& n : names) {
    ASSERT_EQ(EngAppendRecord(table), 0u);
    ASSERT_EQ(EngSetField(table, 1, reinterpret_cast<const uint8_t*>(n.data()), static_cast<uint32_t>(n.size())), 0u);
    ASSERT_EQ(EngWriteRecord(table), 0u);
  }
  EngCloseTable(table);
  EngDisconnect(conn);
}

// A narrowed column: its change, and the records whose values it cuts.
TEST(Preview, NarrowingNamesTheRecordsItCuts) {
  TempDir dir;
  MakeTable(dir.Path(), "before", "NAME,Char,10;AGE,Integer", {"Ann", "Bartholome", "Cy"});
  MakeTable(dir.Path(), "after", "NAME,Char,5;AGE,Integer", {"Ann", "Barth", "Cy"});
  const TPreviewTable t = DiffTable("T", dir.Path() + "/before.adt", dir.Path() + "/after.adt", "");
  EXPECT_EQ(t.State, "restructured");
  ASSERT_EQ(t.Columns.size(), 1u);
  EXPECT_EQ(t.Columns[0].Change, "narrowed");
  EXPECT_EQ(t.Columns[0].Before + " " + t.Columns[0].After, "CHAR(10) CHAR(5)");
  EXPECT_EQ(t.CutRecords, std::vector<uint32_t>{2});
  ASSERT_EQ(t.Records.size(), 1u);
  ASSERT_EQ(t.Records[0].Fields.size(), 1u);
  EXPECT_EQ(t.Records[0].Fields[0].Before + " " + t.Records[0].Fields[0].After, "Bartholome Barth");
}

// A task that would write into the base directory's own tables: the write
// is refused, the preview ends with that error and nothing changed.
TEST(Preview, RefusesAWriteOutsideItsCopy) {
  TempDir dir;
  const std::string base = dir.Path() + "/base";
  MakeDemo(base);
  TLogicUnderTest logic(base);
  logic.ui.SetCompanyText("A01");
  logic.ui.SetTaskIndex(9);
  logic.form.Dispatcher().SetBody(9, [](TForm1Logic& form) {
    TDbTable& table = form.DbTable1;
    table.Close();
    table.SetDatabaseName("DbConnection2");
    table.SetTableName("email.adt");
    table.Open();
    table.Edit();
    table.Fields(0).SetAsString("changed");
    table.Post();
    return TTaskEnd::Normal;
  });
  const auto before = Entries(base);
  TPreviewResult preview;
  EXPECT_EQ(logic.form.PreviewClick(preview), TRunEnd::Error);
  EXPECT_EQ(preview.Outcome, "error");
  EXPECT_NE(preview.Error.find("A preview changes nothing outside its copy"), std::string::npos) << preview.Error;
  EXPECT_NE(preview.Error.find("email.adt"), std::string::npos) << preview.Error;
  EXPECT_TRUE(preview.Tables.empty());
  logic.form.DbTable1.Close();
  EXPECT_EQ(Differences(before, Entries(base)), std::vector<std::string>{});
}

// The folder of a preview whose process is gone is removed by the next
// preview and by the next run.
TEST(Preview, CopiesLeftByAKilledPreviewGo) {
  TempDir dir;
  const std::string base = dir.Path() + "/base";
  MakeDemo(base);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  const std::string stale = base + "/backups/.preview-" + std::to_string(child) + "-1";
  std::filesystem::create_directories(stale + "/data/company/A01");
  WriteFile(stale + "/data/company/A01/LEAV_TRX.ADT", "left behind");
  TLogicUnderTest logic(base);
  logic.ui.SetCompanyText("A01");
  logic.ui.SetTaskIndex(14);
  TPreviewResult preview;
  EXPECT_EQ(logic.form.PreviewClick(preview), TRunEnd::Done);
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(std::filesystem::is_directory(base + "/backups"));  // it was there before the preview
  std::filesystem::create_directories(stale);
  EXPECT_EQ(logic.form.Button1Click(), TRunEnd::Done);
  EXPECT_FALSE(Exists(stale));
  EXPECT_EQ(ListRuns(BackupsFolder(base)).size(), 1u);
}

struct TProgramResult {
  int Status;
  std::string Out, Err;
};

TProgramResult Program(const std::string& args) {
  TempDir scratch;
  const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + std::string(DBUTILITY_PATH) + " " + args +
                              " >" + scratch.Path() + "/out 2>" + scratch.Path() + "/err";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(scratch.Path() + "/out"),
          ReadFile(scratch.Path() + "/err")};
}

// RFC 4180 records: quoted fields may hold commas, quotes and line breaks.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') rows.back().back() += text[++i];
      else if (c == '"') quoted = false;
      else rows.back().back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\n') {
      rows.emplace_back(1);
    } else if (c != '\r') {
      rows.back().back() += c;
    }
  }
  if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
  return rows;
}

TEST(Preview, CommandLinePrintsTextAndCsv) {
  TempDir dir;
  const std::string base = dir.Path() + "/base";
  MakeDemo(base);
  const auto before = Entries(base);

  TProgramResult text = Program("--base " + base + " --company A01 --task 14 --preview </dev/null");
  EXPECT_EQ(text.Status, 0) << text.Out << text.Err;
  EXPECT_NE(text.Out.find("Preview of task 14 \"Rectify invalid Year entry in leave detail\" for company A01 "
                          "(nothing was changed)"),
            std::string::npos)
      << text.Out;
  EXPECT_NE(text.Out.find("company/A01/LEAV_TRX.ADT: changed (+0 ~2 -0)\n"
                          "  changed #1 LEAVE_CODE=ANNU; EMPCODE=0030; DATE=2005-05-18; ID=2790: YEAR: 2006 \xE2\x86\x92 2005\n"),
            std::string::npos)
      << text.Out;
  EXPECT_EQ(text.Out.find("Done!"), text.Out.rfind("Done!")) << "the box is printed once: " << text.Out;

  TProgramResult csv = Program("--base " + base + " --company A01 --task 37 --input C03 --preview --csv </dev/null");
  EXPECT_EQ(csv.Status, 0) << csv.Out << csv.Err;
  EXPECT_NE(csv.Err.find("Perform Copying table: CODE.ADT"), std::string::npos) << csv.Err;
  const auto rows = ParseCsv(csv.Out);
  ASSERT_GT(rows.size(), 2u) << csv.Out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"table", "change", "record", "key", "field", "before", "after"}));
  bool sawAddedDesc = false;
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 7u) << csv.Out;
    if (row[0] == "company/C03/CODE.ADT" && row[1] == "added" && row[4] == "DESC" && row[6] == "Annual leave")
      sawAddedDesc = row[3] == "CATEGORY=LEA; CODE=ANNU";
  }
  EXPECT_TRUE(sawAddedDesc) << csv.Out;

  EXPECT_EQ(Program("--base " + base + " --task 14 --task 11 --preview").Status, 2);
  EXPECT_EQ(Program("--base " + base + " --task 14 --preview --save-log").Status, 2);
  EXPECT_EQ(Program("--base " + base + " --task 14 --csv").Status, 2);

  // The console version's "preview" answer.
  WriteFile(dir.Path() + "/answers", "A01\npreview\n14\nq\n");
  TProgramResult console = Program("--base " + base + " <" + dir.Path() + "/answers");
  EXPECT_NE(console.Out.find("company/A01/LEAV_TRX.ADT: changed (+0 ~2 -0)"), std::string::npos) << console.Out;

  EXPECT_EQ(Differences(before, Entries(base)), std::vector<std::string>{});

  // A preview's log lines are never saved as a later run's: task 6 logs one
  // line per employee, so a doubled line would be the preview's.
  WriteFile(dir.Path() + "/answers", "A01\npreview\n6\nA01\n6\ny\ny\nq\n");
  Program("--base " + base + " <" + dir.Path() + "/answers");
  std::ifstream saved(ExistingSpelling(base + "/ZozuzEzi.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(saved, line);) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << "a line saved twice";
}

}  // namespace
}  // namespace dbu
