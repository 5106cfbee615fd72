// Tasks 26, 27 and 31 change the structure of encrypted tables. Killed at
// random moments, each leaves its table encrypted (never readable without
// its password, at no moment of the run: another process watches the
// table's file throughout) and whole: the records and the tag as before
// the task or as after it, and no value in clear in any of its files.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "engine.h"
#include "tasks2_support.h"

namespace dbu::test {
namespace {

// One structure change of an encrypted table of company A01.
struct TChange {
  int Task;
  std::string Table, Field, Tag;
  std::string Script;  // fields, tag and encryption; rows are added
};

// What a table holds, as far as the tasks may change it: whether it is
// encrypted and reads without the password, the changed column's length
// (0: no such column), and the live records' original fields, trimmed, in
// natural order and in the order of the tag.
struct TTableState {
  bool Encrypted = false;
  bool ReadsWithoutPassword = false;
  uint32_t Width = 0;
  std::vector<std::string> Natural, ByTag;
  bool SameRecords(const TTableState& o) const { return Natural == o.Natural && ByTag == o.ByTag; }
};

std::string FieldText(ENGHANDLE t, uint16_t field) {
  uint8_t buf[512];
  uint32_t len = sizeof buf;
  if (EngGetField(t, field, buf, &len) != ENG_OK) return "<unreadable>";
  std::string s(reinterpret_cast<char*>(buf), len);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

std::string LastEngineError() {
  uint32_t code = 0;
  char text[600];
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  return std::to_string(code) + " " + text;
}

// Through the engine's own interface, as any other program would.
TTableState Look(const std::string& folder, const TChange& change, uint16_t originalFields, std::string* error) {
  TTableState state;
  ENGHANDLE conn = 0, t = 0;
  if (EngConnect(folder.c_str(), &conn) != ENG_OK ||
      EngOpenTable(conn, (change.Table + ".ADT").c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI,
                   ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS, 0, &t) != ENG_OK) {
    *error = "open: " + LastEngineError();
    if (conn) EngDisconnect(conn);
    return state;
  }
  uint16_t encrypted = 0, fields = 0;
  EngIsTableEncrypted(t, &encrypted);
  state.Encrypted = encrypted != 0;
  uint8_t buf[512];
  uint32_t len = sizeof buf;
  state.ReadsWithoutPassword = EngGotoTop(t) == ENG_OK && EngGetField(t, 1, buf, &len) == ENG_OK;
  if (encrypted && EngEnableEncryption(t, TForm1Logic::GetAdminPassword().c_str()) != ENG_OK)
    *error = "password: " + LastEngineError();
  EngGetNumFields(t, &fields);
  for (uint16_t f = 1; f <= fields; ++f) {
    char name[130];
    uint16_t n = sizeof name;
    if (EngGetFieldName(t, f, name, &n) == ENG_OK && change.Field == std::string(name, n))
      EngGetFieldLength(t, f, &state.Width);
  }
  auto walk = [&](ENGHANDLE order, std::vector<std::string>& rows) {
    uint16_t eof = 0;
    EngGotoTop(order);
    while (error->empty() && EngAtEOF(order, &eof) == ENG_OK && !eof) {
      std::string row;
      for (uint16_t f = 1; f <= originalFields; ++f) row += FieldText(t, f) + "|";
      rows.push_back(row);
      if (EngSkip(order, 1) != ENG_OK) *error = "skip: " + LastEngineError();
    }
  };
  ENGHANDLE tag = 0;
  walk(t, state.Natural);
  if (EngGetIndexHandle(t, change.Tag.c_str(), &tag) != ENG_OK)
    *error = "tag " + change.Tag + ": " + LastEngineError();
  else
    walk(tag, state.ByTag);
  EngCloseTable(t);
  EngDisconnect(conn);
  return state;
}

// Where "HIDDEN" (in every record) shows in a file of the table, or "".
std::string PlainValueIn(const std::string& folder, const std::string& table) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(table + ".", 0) != 0) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.find("HIDDEN") != std::string::npos) return name;
  }
  return "";
}

// A process that reads the flags of the table file's header over and over
// and stops by itself as soon as they say the table is not encrypted.
class THeaderWatcher {
 public:
  explicit THeaderWatcher(const std::string& path) {
    pid_ = ::fork();
    if (pid_ != 0) return;
    for (;; ::usleep(50)) {
      int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0) continue;
      uint16_t flags = 0;
      const bool read = ::pread(fd, &flags, 2, 26) == 2;
      ::close(fd);
      if (read && (flags & 1) == 0) ::_exit(5);
    }
  }
  ~THeaderWatcher() { Stop(); }
  // True when it had stopped by itself: the table was in clear.
  bool Stop() {
    if (pid_ <= 0) return false;
    const bool stopped = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    if (!stopped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
    return stopped;
  }

 private:
  pid_t pid_ = 0;
};

class StructureKill : public TaskRunFixture {
 protected:
  // Runs task on A01 in a child process; its status is 0 when the run
  // ended with "Done!" alone.
  pid_t RunInChild(int task) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    TScriptedUI childUi;
    TForm1Logic childForm(childUi);
    childForm.SetProgramFolder(base.Base());
    childForm.SetBaseDirOverride(base.Base());
    if (!childForm.FormCreate()) ::_exit(2);
    childUi.SetCompanyText("A01");
    childUi.SetTaskIndex(task);
    const bool done = childForm.Button1Click() == TRunEnd::Done &&
                      childUi.Events == std::vector<std::string>{"message: Done!"};
    ::_exit(done ? 0 : 3);
  }
  void Restore() {
    std::filesystem::remove_all(Folder("A01"));
    std::filesystem::copy(Pristine(), Folder("A01"), std::filesystem::copy_options::recursive);
  }
  std::string Pristine() const { return base.Base() + "pristine"; }
};

TEST_F(StructureKill, KilledChangesLeaveEncryptedTablesSealedAndWhole) {
  const std::vector<TChange> changes = {
      {26, "SETUP", "ENTRY_GROUP", "BYGROUP",
       "TABLE SETUP.ADT\nFIELD CAT Char 10\nFIELD ENTRY_GROUP Char 20\nFIELD SUPERVISOR Char 10\n"
       "INDEX BYGROUP ENTRY_GROUP;CAT\nENCRYPT KVRNA7310\n"},
      {27, "TPAYSLIP", "TPAYSLIP", "EMP",
       "TABLE TPAYSLIP.ADT\nFIELD EMP_NO Char 10\nFIELD NAME Char 30\nFIELD GRADE Char 4\nINDEX EMP EMP_NO\n"
       "ENCRYPT KVRNA7310\n"},
      {31, "FORMIR21", "REASON_ONE_MONTH", "EMP",
       "TABLE FORMIR21.ADT\nFIELD EMP_NO Char 10\nFIELD REASON_ONE_MONTH Char 200\nFIELD MONTH Char 4\n"
       "INDEX EMP EMP_NO\nENCRYPT KVRNA7310\n"},
  };
  constexpr uint16_t kOriginalFields = 3;
  for (const TChange& change : changes) {
    std::string script = change.Script;
    for (int i = 0; i < 12000; ++i) {
      char row[96];
      std::snprintf(row, sizeof row, "ROW K%05d | HIDDEN %05d | %04d\n", (i * 7919) % 12000, i, i % 9000);
      script += row;
    }
    Table("A01", script);
  }
  Build();
  std::filesystem::copy(Folder("A01"), Pristine(), std::filesystem::copy_options::recursive);

  // Each task once to its end: the state after it, and how long it takes.
  std::vector<TTableState> before, after;
  std::vector<unsigned> runMicros;
  std::string error;
  for (const TChange& change : changes) {
    before.push_back(Look(Folder("A01"), change, kOriginalFields, &error));
    ASSERT_TRUE(error.empty()) << change.Table << ": " << error;
    ASSERT_TRUE(before.back().Encrypted && !before.back().ReadsWithoutPassword) << change.Table;
    ASSERT_EQ(PlainValueIn(Folder("A01"), change.Table), "") << "the encrypted demo table";
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    ::waitpid(RunInChild(change.Task), &status, 0);
    runMicros.push_back(static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "task " << change.Task << " did not end with Done!";
    after.push_back(Look(Folder("A01"), change, kOriginalFields, &error));
    ASSERT_TRUE(error.empty()) << change.Table << ": " << error;
    ASSERT_NE(after.back().Width, before.back().Width) << "task " << change.Task << " changed nothing";
    ASSERT_TRUE(after.back().SameRecords(before.back())) << "task " << change.Task << " changed records";
    Restore();
  }

  std::mt19937 rng(2605);
  int interrupted = 0, plainSeen = 0, round = 0;
  // More rounds than the least on a loaded machine, until enough kills land inside a change.
  for (; round < 54 && (round < 18 || interrupted < 6); ++round) {
    const size_t which = static_cast<size_t>(round) % changes.size();
    const TChange& change = changes[which];
    Restore();
    THeaderWatcher watcher(Folder("A01") + "/" + change.Table + ".ADT");
    const pid_t pid = RunInChild(change.Task);
    ::usleep(rng() % (runMicros[which] * 11 / 10 + 1));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (watcher.Stop()) ++plainSeen;
    if (WIFSIGNALED(status)) ++interrupted;

    const TTableState now = Look(Folder("A01"), change, kOriginalFields, &error);
    ASSERT_TRUE(error.empty()) << "round " << round << ", task " << change.Task << ": " << error;
    EXPECT_TRUE(now.Encrypted && !now.ReadsWithoutPassword)
        << "round " << round << ": task " << change.Task << " left " << change.Table << " readable without its password";
    EXPECT_TRUE(now.Width == before[which].Width || now.Width == after[which].Width)
        << "round " << round << ": " << change.Field << " has length " << now.Width;
    EXPECT_TRUE(now.SameRecords(before[which])) << "round " << round << ": records or tag of " << change.Table << " differ";
    EXPECT_EQ(PlainValueIn(Folder("A01"), change.Table), "") << "round " << round << ": a file holds a value in clear";
  }
  EXPECT_EQ(plainSeen, 0) << "rounds in which the table's file was in clear during the task";
  EXPECT_GE(interrupted, 6) << "of " << round << " kills interrupted the task";
  std::printf("structure kill test: %d of %d kills interrupted a task (runs of tasks 26, 27, 31: %u, %u, %u us)\n",
              interrupted, round, runMicros[0], runMicros[1], runMicros[2]);
}

}  // namespace
}  // namespace dbu::test
