// Safe runs end to end, through the program on the demo databases: undo
// puts every file back byte for byte and refuses a table changed since,
// and every run, whatever its end, is in the history.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "apptestsupport.h"
#include "engine.h"

namespace dbu {
namespace {

struct Result {
  int status;
  std::string out;
};

Result Program(const std::string& args) {
  TempDir scratch;
  std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + std::string(DBUTILITY_PATH) + " " + args +
                        " >" + scratch.Path() + "/out 2>&1";
  int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(scratch.Path() + "/out")};
}

class SafeRunsProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_.Path() + "/base";
    ASSERT_EQ(Program("--create-demo " + base_).status, 0);
  }
  Result Run(const std::string& args) { return Program("--base " + base_ + " " + args + " </dev/null"); }

  TempDir dir_;
  std::string base_;
};

TEST_F(SafeRunsProgram, UndoPutsEveryFileBackAndRefusesATableChangedSince) {
  const auto before = CompanyData(base_);
  // A record task, a structure task, and a copy into another company.
  ASSERT_EQ(Run("--company A01 --task 14").status, 0);
  ASSERT_EQ(Run("--company A01 --task 25").status, 0);
  ASSERT_EQ(Run("--company A01 --task 37 --input C03").status, 0);
  const auto after = CompanyData(base_);
  ASSERT_FALSE(Differences(before, after).empty());
  Result list = Run("--list-runs");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("Enlarge the Batch No field to 15 length"), std::string::npos) << list.out;

  // The copy's run is the last: undone alone, C03 is as before and A01 is not.
  Result undo = Run("--undo");
  ASSERT_EQ(undo.status, 0) << undo.out;
  for (const std::string& changed : Differences(before, CompanyData(base_)))
    EXPECT_EQ(changed.rfind("company/A01/", 0), 0u) << changed;

  // A record added behind the runs' back: undo names the table and changes nothing.
  ASSERT_TRUE(AppendBlankRecord(base_ + "/company/A01", "MEDICAL.ADT"));
  const auto tampered = CompanyData(base_);
  Result refused = Run("--undo");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("Table company/A01/MEDICAL.ADT changed after run"), std::string::npos) << refused.out;
  EXPECT_EQ(Differences(tampered, CompanyData(base_)), std::vector<std::string>{});

  Result forced = Run("--undo --force");
  ASSERT_EQ(forced.status, 0) << forced.out;
  Result last = Run("--undo");
  ASSERT_EQ(last.status, 0) << last.out;
  EXPECT_EQ(Differences(before, CompanyData(base_)), std::vector<std::string>{});
  EXPECT_EQ(Run("--undo").status, 1);  // nothing left to undo
  EXPECT_EQ(Run("--list-runs").out, "");
}

// Undo killed at random moments: each later undo goes on without --force
// (every table is as the run left it or as before, never a third state),
// and the last one leaves every file as before the runs.
TEST_F(SafeRunsProgram, UndoKilledAtRandomMomentsFinishesLater) {
  const auto before = CompanyData(base_);
  std::mt19937 rng(19);
  int killed = 0, finished = 0;
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_EQ(Run("--company A01 --task 37 --input C03").status, 0);
    bool done = false;
    for (int round = 0; round < 8 && !done; ++round) {
      const std::string outName = dir_.Path() + "/undo.out";
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        const int out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execl(DBUTILITY_PATH, DBUTILITY_PATH, "--base", base_.c_str(), "--undo", static_cast<char*>(nullptr));
        ::_exit(127);
      }
      ::usleep(static_cast<useconds_t>(rng() % 150000));
      ::kill(child, SIGKILL);
      int status = 0;
      ::waitpid(child, &status, 0);
      if (WIFSIGNALED(status)) {
        ++killed;
      } else {
        // Status 1: a round killed after the undo was recorded left nothing to undo.
        const std::string said = ReadFile(outName);
        ASSERT_TRUE(WEXITSTATUS(status) == 0 || said.find("can be undone") != std::string::npos)
            << "cycle " << cycle << " round " << round << ": " << said;
        done = true;
        ++finished;
      }
    }
    if (!done) {
      Result rest = Run("--undo");
      // A kill after the undo was recorded leaves nothing to undo.
      EXPECT_TRUE(rest.status == 0 || rest.out.find("can be undone") != std::string::npos) << rest.out;
    }
    EXPECT_EQ(Differences(before, CompanyData(base_)), std::vector<std::string>{}) << "cycle " << cycle;
  }
  std::printf("undo: %d killed, %d finished\n", killed, finished);
}

// The console version's "undo" puts back the last run.
TEST_F(SafeRunsProgram, ConsoleUndoesTheLastRun) {
  const auto before = CompanyData(base_);
  WriteFile(dir_.Path() + "/answers", "A01\n14\nn\n\nundo\nq\n");
  Result console = Program("--base " + base_ + " <" + dir_.Path() + "/answers");
  EXPECT_EQ(console.status, 0);
  EXPECT_NE(console.out.find("Put back company/A01/LEAV_TRX.ADT\n"), std::string::npos) << console.out;
  EXPECT_EQ(Differences(before, CompanyData(base_)), std::vector<std::string>{});
}

// PALVO.ini of the base directory limits the kept backups; the newest stay.
TEST_F(SafeRunsProgram, OldestBackupsGoBeyondTheLimit) {
  WriteFile(base_ + "/PALVO.ini", "[BACKUP]\nRuns=2\n");
  ASSERT_EQ(Run("--company A01 --task 14").status, 0);
  ASSERT_EQ(Run("--company A01 --task 25").status, 0);
  ASSERT_EQ(Run("--company A01 --task 26").status, 0);
  Result list = Run("--list-runs");
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2) << list.out;
  EXPECT_EQ(list.out.find("Rectify invalid Year entry"), std::string::npos) << list.out;
  size_t folders = 0;
  for (const auto& entry : std::filesystem::directory_iterator(base_ + "/backups")) folders += entry.is_directory();
  EXPECT_EQ(folders, 2u);
}

TEST_F(SafeRunsProgram, HistoryRecordsEveryRunNewestFirst) {
  ASSERT_EQ(Run("--company A01 --task 14").status, 0);
  ASSERT_EQ(Run("--company C01 --task 14").status, 1);  // no such company folder
  ASSERT_EQ(Run("--company B02 --task 37").status, 3);  // its input box cancelled
  Result csv = Run("--history --csv");
  ASSERT_EQ(csv.status, 0) << csv.out;
  std::vector<std::string> lines;
  std::istringstream in(csv.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << csv.out;
  EXPECT_EQ(lines[0].rfind("Started,Ended,User,Host,Company,Task,Caption,Outcome,Changes,Backup,Error", 0), 0u);
  EXPECT_NE(lines[1].find(",B02,37,Copy Code table to a new company database,ended early,"), std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(",C01,14,Rectify invalid Year entry in leave detail,error,"), std::string::npos)
      << lines[2];
  EXPECT_NE(lines[2].find("company/C01"), std::string::npos) << lines[2];  // the error's text
  EXPECT_NE(lines[3].find(",A01,14,Rectify invalid Year entry in leave detail,done,"
                          "company/A01/LEAV_TRX.ADT +0 ~2 -0"),
            std::string::npos)
      << lines[3];

  Result a01 = Run("--history --company A01");
  EXPECT_EQ(a01.status, 0);
  EXPECT_NE(a01.out.find("A01"), std::string::npos);
  EXPECT_EQ(a01.out.find("C01"), std::string::npos) << a01.out;
  EXPECT_EQ(a01.out.find("B02"), std::string::npos) << a01.out;

  // A table emptied and refilled, or restructured, is counted as a
  // preview compares it (the record numbers alone cannot say).
  ASSERT_EQ(Run("--company A01 --task 37 --input C03").status, 0);
  ASSERT_EQ(Run("--company A01 --task 26").status, 0);
  ASSERT_EQ(Run("--company A01 --task 32").status, 0);  // a sealed table, changed in place
  Result counted = Run("--history --csv");
  EXPECT_NE(counted.out.find("company/A01/APPRFLOW.ADT +0 ~2 -0"), std::string::npos) << counted.out;
  EXPECT_NE(counted.out.find("company/A01/SETUP.ADT restructured +0 ~0 -0"), std::string::npos) << counted.out;
  EXPECT_NE(counted.out.find("company/C03/CODE.ADT emptied +4 ~0 -4"), std::string::npos) << counted.out;
}

}  // namespace
}  // namespace dbu
