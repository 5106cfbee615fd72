// Safe runs at the engine: the thread's change hook sees every table before
// its first change, under its lock (so a copy taken there is exactly the
// table before); a table put back from such a copy is the copy to the byte,
// also when the putting back is killed half-way (then it is the table as
// it was); and comparing two tables by record number finds exactly the
// records a model says changed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <thread>

#include "test_util.h"

namespace {

using engtest::EngineTest;
using engtest::LastError;

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The files of table NAME in dir (table, memo, tags) with their bytes; a missing one is absent.
std::map<std::string, std::string> TableFiles(const std::string& dir, const std::string& name) {
  std::map<std::string, std::string> files;
  for (const char* ext : {".adt", ".memo", ".tags"}) {
    std::string path = dir + "/" + name + ext;
    if (std::filesystem::exists(path)) files[ext] = Bytes(path);
  }
  return files;
}

void CopyTable(const std::string& dir, const std::string& name, const std::string& to) {
  std::filesystem::create_directories(to);
  for (const char* ext : {".adt", ".memo", ".tags"}) {
    std::string path = dir + "/" + name + ext;
    if (std::filesystem::exists(path))
      std::filesystem::copy_file(path, to + "/" + name + ext, std::filesystem::copy_options::overwrite_existing);
  }
}

struct HookLog {
  std::vector<std::pair<uint16_t, std::string>> calls;
  std::string copy_to;  // when set: each table's files are copied there as the hook sees them
  std::string refuse;   // a path the hook refuses
};

ENGRESULT RecordingHook(void* context, uint16_t kind, const char* path, char* message, uint16_t room) {
  auto* log = static_cast<HookLog*>(context);
  log->calls.emplace_back(kind, std::filesystem::path(path).filename().string());
  if (!log->copy_to.empty() && kind == ENG_CHANGE_TABLE) {
    std::filesystem::path p(path);
    CopyTable(p.parent_path().string(), p.stem().string(), log->copy_to);
  }
  if (!log->refuse.empty() && log->refuse == std::filesystem::path(path).filename().string()) {
    std::snprintf(message, room, "No changes to %s today", path);
    return ENG_ERR_READ_ONLY;
  }
  return ENG_OK;
}

class SafeRuns : public EngineTest {
 protected:
  void TearDown() override {
    EngSetChangeHook(nullptr, nullptr);
    EngineTest::TearDown();
  }
  // A table of 40 records with a memo field and a tag, open shared.
  ENGHANDLE MakePeople(const char* name = "people") {
    ENGHANDLE t = 0;
    EXPECT_EQ(EngCreateTable(conn_, name, "ID,Integer;NAME,Char,12;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t), 0u)
        << LastError();
    ENGHANDLE idx = 0;
    EXPECT_EQ(EngCreateIndex(t, "BYNAME", "NAME", 0, 0, &idx), 0u) << LastError();
    for (int i = 1; i <= 40; ++i) Append(t, i, "name" + std::to_string(i), i % 3 ? "" : "note " + std::to_string(i));
    EngCloseTable(t);
    return Open(name);
  }
  static void Append(ENGHANDLE t, int id, const std::string& name, const std::string& note) {
    ASSERT_EQ(EngAppendRecord(t), 0u) << LastError();
    int32_t v = id;
    ASSERT_EQ(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&v), 4), 0u) << LastError();
    SetText(t, 2, name);
    if (!note.empty()) SetText(t, 3, note);
    ASSERT_EQ(EngWriteRecord(t), 0u) << LastError();
  }
  static void Rename(ENGHANDLE t, uint32_t recno, const std::string& name) {
    ASSERT_EQ(EngGotoRecord(t, recno), 0u) << LastError();
    ASSERT_EQ(EngLockRecord(t, recno), 0u) << LastError();
    SetText(t, 2, name);
    ASSERT_EQ(EngWriteRecord(t), 0u) << LastError();
    EngUnlockRecord(t, recno);
  }
  static void SetNote(ENGHANDLE t, uint32_t recno, const std::string& note) {
    ASSERT_EQ(EngGotoRecord(t, recno), 0u) << LastError();
    ASSERT_EQ(EngLockRecord(t, recno), 0u) << LastError();
    SetText(t, 3, note);
    ASSERT_EQ(EngWriteRecord(t), 0u) << LastError();
    EngUnlockRecord(t, recno);
  }
  static void Remove(ENGHANDLE t, uint32_t recno) {
    ASSERT_EQ(EngGotoRecord(t, recno), 0u) << LastError();
    ASSERT_EQ(EngDeleteRecord(t), 0u) << LastError();
  }
  void Sql(const std::string& text) {
    ENGHANDLE st = 0, cursor = 0;
    ASSERT_EQ(EngCreateSQLStatement(conn_, &st), 0u) << LastError();
    ASSERT_EQ(EngExecuteSQLDirect(st, text.c_str(), &cursor), 0u) << text << ": " << LastError();
    if (cursor) EngCloseTable(cursor);
    EngCloseSQLStatement(st);
  }
  // Restores NAME from the copy in folder (exclusively); the result code.
  ENGRESULT Restore(const std::string& name, const std::string& folder) {
    ENGHANDLE t = Open(name.c_str(), ENG_OPEN_EXCLUSIVE);
    auto part = [&](const char* ext) {
      std::string p = folder + "/" + name + ext;
      return std::filesystem::exists(p) ? p : std::string();
    };
    std::string memo = part(".memo"), tags = part(".tags");
    return EngRestoreTable(t, (folder + "/" + name + ".adt").c_str(), memo.c_str(), tags.c_str());
  }
};

TEST_F(SafeRuns, HookSeesEachTableOnceBeforeItsFirstChange) {
  ENGHANDLE people = MakePeople();
  ENGHANDLE other = Create("other", "ID,Integer;NAME,Char,12");
  EngCloseTable(people);
  EngCloseTable(other);
  const auto before = TableFiles(dir_.path(), "people");

  HookLog log;
  log.copy_to = dir_.File("saved");
  ASSERT_EQ(EngSetChangeHook(RecordingHook, &log), 0u);
  people = Open("people");
  for (uint32_t r = 1; r <= 5; ++r) Rename(people, r, "changed" + std::to_string(r));
  SetNote(people, 2, "a note");
  Remove(people, 7);
  Append(people, 99, "new", "new note");
  other = Open("other");
  Append(other, 1, "x", "");
  Sql("CREATE TABLE fresh (A CHAR(2))");
  Sql("INSERT INTO fresh VALUES ('a')");
  EngCloseTable(people);
  EngCloseTable(other);
  std::vector<std::pair<uint16_t, std::string>> expected = {{ENG_CHANGE_TABLE, "people.adt"},
                                                             {ENG_CHANGE_TABLE, "other.adt"},
                                                             {ENG_CHANGE_CREATE, "fresh.adt"},
                                                             {ENG_CHANGE_TABLE, "fresh.adt"}};
  EXPECT_EQ(log.calls, expected);
  // The copy the hook took is the table before the run, to the byte.
  EXPECT_EQ(TableFiles(log.copy_to, "people"), before);

  // ALTER TABLE is told before it writes a memo file beside the table;
  // DROP TABLE while the files are there. Setting the hook anew starts anew.
  std::filesystem::remove_all(log.copy_to);
  log.calls.clear();
  ASSERT_EQ(EngSetChangeHook(RecordingHook, &log), 0u);
  Sql("ALTER TABLE other ADD REMARK MEMO");
  Sql("DROP TABLE fresh");
  expected = {{ENG_CHANGE_TABLE, "other.adt"}, {ENG_CHANGE_TABLE, "fresh.adt"}};
  EXPECT_EQ(log.calls, expected);
  EXPECT_FALSE(std::filesystem::exists(log.copy_to + "/other.memo"));
  EXPECT_TRUE(std::filesystem::exists(log.copy_to + "/fresh.adt"));

  // Another thread's changes are not this thread's hook's business.
  std::thread([&] {
    ENGHANDLE t = Open("other");
    Append(t, 2, "y", "");
    EngCloseTable(t);
  }).join();
  EXPECT_EQ(log.calls.size(), 2u);
}

TEST_F(SafeRuns, RefusedChangeLeavesTheTableAndNamesWhy) {
  ENGHANDLE people = MakePeople();
  EngCloseTable(people);
  const auto before = TableFiles(dir_.path(), "people");
  HookLog log;
  log.refuse = "people.adt";
  ASSERT_EQ(EngSetChangeHook(RecordingHook, &log), 0u);
  people = Open("people");
  ASSERT_EQ(EngGotoRecord(people, 3), 0u);
  SetText(people, 2, "refused");
  EXPECT_EQ(EngWriteRecord(people), static_cast<ENGRESULT>(ENG_ERR_READ_ONLY));
  EXPECT_NE(LastError().find("No changes to"), std::string::npos) << LastError();
  EngCancelUpdate(people);
  EXPECT_EQ(EngAppendRecord(people), static_cast<ENGRESULT>(ENG_ERR_READ_ONLY));
  EngCloseTable(people);
  // Refused again for the next change: a refusal is not a telling.
  EXPECT_EQ(log.calls.size(), 2u);
  EXPECT_EQ(TableFiles(dir_.path(), "people"), before);
}

TEST_F(SafeRuns, RestoredTableIsTheCopyToTheByte) {
  ENGHANDLE people = MakePeople();
  EngCloseTable(people);
  CopyTable(dir_.path(), "people", dir_.File("copy"));
  const auto before = TableFiles(dir_.path(), "people");
  uint64_t id0 = 0, stamp0 = 0;
  ASSERT_EQ(EngGetTableStamp(dir_.File("people.adt").c_str(), &id0, &stamp0), 0u);
  EXPECT_NE(stamp0, 0u);

  // A reader in this process keeps the table loaded meanwhile (and closed
  // in the cache afterwards): it must see the restored records.
  people = Open("people");
  for (uint32_t r = 1; r <= 40; r += 3) Rename(people, r, "zz" + std::to_string(r));
  SetNote(people, 4, std::string(300, 'n'));
  Remove(people, 10);
  for (int i = 0; i < 200; ++i) Append(people, 1000 + i, "grown" + std::to_string(i), "more");
  EngCloseTable(people);
  Sql("ALTER TABLE people ALTER NAME NAME CHAR(30)");
  uint64_t id1 = 0, stamp1 = 0;
  ASSERT_EQ(EngGetTableStamp(dir_.File("people.adt").c_str(), &id1, &stamp1), 0u);
  EXPECT_EQ(id1, id0);
  EXPECT_NE(stamp1, stamp0);

  ASSERT_EQ(Restore("people", dir_.File("copy")), 0u) << LastError();
  EXPECT_EQ(TableFiles(dir_.path(), "people"), before);
  people = Open("people");
  ENGHANDLE byName = 0;
  ASSERT_EQ(EngGetIndexHandle(people, "BYNAME", &byName), 0u);
  EXPECT_EQ(Walk(people).size(), 40u);
  EXPECT_EQ(Walk(byName).size(), 40u);
  ASSERT_EQ(EngGotoRecord(people, 1), 0u);
  EXPECT_EQ(Text(people, 2), "name1       ");
  EngCloseTable(people);
  EXPECT_EQ(TableFiles(dir_.path(), "people"), before);

  // A table that had no memo file gets the copy's; one the copy lacks goes.
  EngCloseTable(Create("plain", "A,Char,3"));
  CopyTable(dir_.path(), "plain", dir_.File("plaincopy"));
  Sql("ALTER TABLE plain ADD M MEMO");
  ASSERT_TRUE(std::filesystem::exists(dir_.File("plain.memo")));
  ASSERT_EQ(Restore("plain", dir_.File("plaincopy")), 0u) << LastError();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("plain.memo")));
  EXPECT_EQ(TableFiles(dir_.path(), "plain"), TableFiles(dir_.File("plaincopy"), "plain"));

  // Only exclusively.
  people = Open("people");
  EXPECT_EQ(EngRestoreTable(people, dir_.File("copy/people.adt").c_str(), nullptr, nullptr),
            static_cast<ENGRESULT>(ENG_ERR_NEEDS_EXCLUSIVE));
}

TEST_F(SafeRuns, EncryptedTableRestoredFromItsPlainCopyKeepsNoPlainJournal) {
  ENGHANDLE people = MakePeople();
  EngCloseTable(people);
  CopyTable(dir_.path(), "people", dir_.File("copy"));
  people = Open("people", ENG_OPEN_EXCLUSIVE);
  ASSERT_EQ(EngEnableEncryption(people, "pw"), 0u);
  ASSERT_EQ(EngEncryptTable(people), 0u) << LastError();
  EngCloseTable(people);
  ASSERT_EQ(Restore("people", dir_.File("copy")), 0u) << LastError();
  EXPECT_EQ(TableFiles(dir_.path(), "people"), TableFiles(dir_.File("copy"), "people"));
  // And back: the encrypted state put back over a plain table.
  people = Open("people", ENG_OPEN_EXCLUSIVE);
  ASSERT_EQ(EngEnableEncryption(people, "pw"), 0u);
  ASSERT_EQ(EngEncryptTable(people), 0u) << LastError();
  EngCloseTable(people);
  CopyTable(dir_.path(), "people", dir_.File("sealed"));
  people = Open("people", ENG_OPEN_EXCLUSIVE);
  ASSERT_EQ(EngEnableEncryption(people, "pw"), 0u);
  ASSERT_EQ(EngDecryptTable(people), 0u) << LastError();
  EngCloseTable(people);
  ASSERT_EQ(Restore("people", dir_.File("sealed")), 0u) << LastError();
  EXPECT_EQ(TableFiles(dir_.path(), "people"), TableFiles(dir_.File("sealed"), "people"));
  EXPECT_EQ(Bytes(dir_.File("people.jrn")).find("name12"), std::string::npos);
}

// A restore killed at a random moment leaves the table as it was before
// it or as the copy, never a mixture; the next opener puts it right.
TEST_F(SafeRuns, RestoreKilledAtRandomLeavesOneStateOrTheOther) {
  ENGHANDLE people = MakePeople();
  for (int i = 0; i < 3000; ++i) Append(people, 100 + i, "bulk" + std::to_string(i), i % 5 ? "" : "bulk note");
  EngCloseTable(people);
  CopyTable(dir_.path(), "people", dir_.File("copy"));
  auto contents = [&] {
    // Records in natural and in name order, memo contents included.
    ENGHANDLE t = Open("people");
    ENGHANDLE byName = 0;
    if (t == 0 || EngGetIndexHandle(t, "BYNAME", &byName) != 0) return std::string("cannot open: ") + LastError();
    std::string all;
    for (ENGHANDLE h : {t, byName})
      for (EngGotoTop(h); !Eof(h); EngSkip(h, 1)) all += Text(h, 2) + "|" + Text(h, 3) + "\n";
    EngCloseTable(t);
    return all;
  };
  const std::string copyState = contents();
  people = Open("people");
  for (uint32_t r = 1; r <= 3000; r += 7) Rename(people, r, "after" + std::to_string(r));
  for (int i = 0; i < 500; ++i) Append(people, 9000 + i, "late" + std::to_string(i), "late note");
  EngCloseTable(people);
  const std::string runState = contents();
  const auto runFiles = TableFiles(dir_.path(), "people");
  ASSERT_NE(copyState, runState);

  std::mt19937 rng(20240611);
  int killed = 0, finished = 0;
  for (int round = 0; round < 12; ++round) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ENGHANDLE conn = 0;
      EngConnect(dir_.path().c_str(), &conn);
      ENGHANDLE t = 0;
      if (EngOpenTable(conn, "people", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                       ENG_IGNORE_RIGHTS, ENG_OPEN_EXCLUSIVE, &t) != 0)
        ::_exit(2);
      std::string copy = dir_.File("copy/people");
      ::_exit(EngRestoreTable(t, (copy + ".adt").c_str(), (copy + ".memo").c_str(), (copy + ".tags").c_str()) == 0
                  ? 0
                  : 3);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 6000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed;
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0) << "restore failed in the child";
      ++finished;
    }
    const std::string now = contents();
    ASSERT_TRUE(now == copyState || now == runState) << "round " << round;
    if (now == copyState) {
      EXPECT_EQ(TableFiles(dir_.path(), "people").at(".adt"), Bytes(dir_.File("copy/people.adt")));
      EXPECT_EQ(TableFiles(dir_.path(), "people").at(".memo"), Bytes(dir_.File("copy/people.memo")));
      // The next round starts from the run's state again.
      std::filesystem::remove(dir_.File("people.jrn"));
      for (const auto& [ext, bytes] : runFiles) {
        std::ofstream out(dir_.File("people" + ext), std::ios::binary | std::ios::trunc);
        out << bytes;
      }
    } else {
      EXPECT_EQ(TableFiles(dir_.path(), "people").at(".adt"), runFiles.at(".adt"));
      EXPECT_EQ(TableFiles(dir_.path(), "people").at(".memo"), runFiles.at(".memo"));
    }
  }
  std::printf("restore rounds: %d killed, %d finished\n", killed, finished);
}

// A model of which record numbers were added, deleted or changed.
TEST_F(SafeRuns, DiffFindsExactlyTheChangedRecords) {
  ENGHANDLE people = MakePeople();
  EngCloseTable(people);
  CopyTable(dir_.path(), "people", dir_.File("copy"));
  std::map<uint32_t, char> model;  // recno -> 'a' added, 'd' deleted, 'c' changed
  people = Open("people");
  std::mt19937 rng(7);
  std::map<uint32_t, bool> live;
  for (uint32_t r = 1; r <= 40; ++r) live[r] = true;
  for (int step = 0; step < 60; ++step) {
    uint32_t r = 1 + rng() % 40;
    switch (rng() % 4) {
      case 0:
        if (live[r]) {
          Remove(people, r);
          live[r] = false;
          model[r] = 'd';
        }
        break;
      case 1:
        if (live[r]) {
          Rename(people, r, "renamed" + std::to_string(step));
          if (model[r] != 'd') model[r] = 'c';
        }
        break;
      case 2: {
        // A memo written again with the content it had is no change.
        if (!live[r]) break;
        ASSERT_EQ(EngGotoRecord(people, r), 0u);
        std::string note = Text(people, 3);
        SetNote(people, r, note);
        break;
      }
      default:
        if (live[r]) {
          SetNote(people, r, "note of step " + std::to_string(step));
          model[r] = 'c';
        }
    }
  }
  for (int i = 0; i < 5; ++i) {
    Append(people, 500 + i, "added", "");
    model[RecNo(people)] = 'a';
  }
  for (auto it = model.begin(); it != model.end();) it = it->second == 0 ? model.erase(it) : std::next(it);

  ENGHANDLE copyConn = 0, old = 0;
  ASSERT_EQ(EngConnect(dir_.File("copy").c_str(), &copyConn), 0u);
  ASSERT_EQ(EngOpenTable(copyConn, "people", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                         ENG_IGNORE_RIGHTS, ENG_OPEN_READONLY, &old), 0u);
  std::map<uint32_t, char> found;
  auto collect = [](void* context, uint32_t recno, const uint8_t* o, const uint8_t* n) {
    (*static_cast<std::map<uint32_t, char>*>(context))[recno] = !o ? 'a' : !n ? 'd' : 'c';
    return 0;
  };
  uint16_t comparable = 0;
  ASSERT_EQ(EngDiffRecords(old, people, collect, &found, &comparable), 0u) << LastError();
  EXPECT_EQ(comparable, 1u);
  EXPECT_EQ(found, model);

  // ALTER TABLE keeps the numbers: every one holding a record is given,
  // for a comparison field by field.
  EngCloseTable(people);
  Sql("ALTER TABLE people ALTER NAME NAME CHAR(20)");
  people = Open("people");
  found.clear();
  ASSERT_EQ(EngDiffRecords(old, people, collect, &found, &comparable), 0u) << LastError();
  EXPECT_EQ(comparable, 2u);
  size_t either = 0;
  for (const auto& [recno, isLive] : live) either += isLive || model.count(recno) ? 1 : 0;
  EXPECT_EQ(found.size(), either + 5);

  // After a pack the numbers name other records: not comparable.
  EngCloseTable(people);
  people = Open("people", ENG_OPEN_EXCLUSIVE);
  ASSERT_EQ(EngPackTable(people), 0u);
  found.clear();
  ASSERT_EQ(EngDiffRecords(old, people, collect, &found, &comparable), 0u) << LastError();
  EXPECT_EQ(comparable, 0u);
  EXPECT_TRUE(found.empty());
  EngDisconnect(copyConn);
}

}  // namespace
