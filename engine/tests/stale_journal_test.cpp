// A journal restores bytes only onto the files it saved them from. A table
// put back from a copy, beside a journal left by a change cut short, must
// open as exactly the copy: the next open ignores the journal with a
// warning and clears it. A journal written before entries were tied to
// their files is still restored onto its own table.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <tuple>

#include "index_hooks.h"
#include "sql_exec.h"
#include "test_util.h"

namespace {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Where the journal file keeps its count of entries (its format: a 64 KiB
// header, then the entries).
constexpr off_t kJournalCount = 256, kJournalTie = 288, kJournalEntries = 64 * 1024;

uint64_t Word(const std::string& path, off_t at) {
  uint64_t v = 0;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0 || ::pread(fd, &v, 8, at) != 8) v = ~uint64_t{0};
  if (fd >= 0) ::close(fd);
  return v;
}

void PutWord(const std::string& path, off_t at, uint64_t v) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, &v, 8, at), 8);
  ::close(fd);
}

// Runs fn in a child process with its standard error going to *err;
// returns the child's exit status.
int InChildCapturingErrors(const std::function<int()>& fn, std::string* err) {
  char name[] = "/tmp/stale_journal_err.XXXXXX";
  int fd = ::mkstemp(name);
  int rc = engtest::InChild([&] {
    ::dup2(fd, 2);
    return fn();
  });
  ::close(fd);
  *err = Bytes(name);
  ::unlink(name);
  return rc;
}

ENGHANDLE OpenTable(ENGHANDLE conn, const char* name) {
  ENGHANDLE t = 0;
  return EngOpenTable(conn, name, nullptr, 3, 1, 1, 2, 0, &t) ? 0 : t;
}

// A table's records (number -> id, value, memo) and its two tags' walks.
struct Snapshot {
  std::map<uint32_t, std::tuple<int32_t, std::string, std::string>> rows;
  std::vector<uint32_t> by_id, by_value;
  std::string error;
  bool operator==(const Snapshot& o) const {
    return rows == o.rows && by_id == o.by_id && by_value == o.by_value && error == o.error;
  }
  friend void PrintTo(const Snapshot& s, std::ostream* os) {
    *os << s.rows.size() << " records" << (s.error.empty() ? "" : ", error " + s.error);
  }
};

std::vector<uint32_t> TagWalk(ENGHANDLE t, const char* tag_name) {
  std::vector<uint32_t> out;
  ENGHANDLE tag = 0;
  if (EngGetIndexHandle(t, tag_name, &tag)) return {0};
  uint16_t eof = 0;
  for (EngGotoTop(tag); EngAtEOF(tag, &eof) == 0 && !eof && out.size() < 100000; EngSkip(tag, 1)) {
    uint32_t r = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &r);
    out.push_back(r);
  }
  return out;
}

Snapshot Read(ENGHANDLE conn) {
  Snapshot s;
  ENGHANDLE t = OpenTable(conn, "stale");
  if (!t) {
    s.error = engtest::LastError();
    return s;
  }
  uint16_t eof = 0;
  for (EngGotoTop(t); EngAtEOF(t, &eof) == 0 && !eof; EngSkip(t, 1)) {
    uint32_t r = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &r);
    int32_t id = 0;
    uint8_t raw[64];
    char value[64], memo[8192];
    uint32_t raw_len = sizeof raw, value_len = sizeof value, memo_len = sizeof memo;
    if (EngGetRecord(t, raw, &raw_len) || EngGetField(t, 2, reinterpret_cast<uint8_t*>(value), &value_len) ||
        EngGetField(t, 3, reinterpret_cast<uint8_t*>(memo), &memo_len))
      s.error = engtest::LastError();
    std::memcpy(&id, raw, 4);
    std::string v(value, value_len);
    v.erase(v.find_last_not_of(' ') + 1);
    s.rows[r] = {id, v, std::string(memo, memo_len)};
  }
  s.by_id = TagWalk(t, "ID");
  s.by_value = TagWalk(t, "VAL");
  EngCloseTable(t);
  return s;
}

std::string MemoFor(int id, int version) {
  return std::string(static_cast<size_t>(200 + (id * 37 + version * 11) % 900), static_cast<char>('a' + (id + version) % 26));
}

// Changes the table until killed: updates, appends and deletes, each
// reported on fd once it is done.
[[noreturn]] void Writer(const std::string& dir, int fd) {
  ENGHANDLE conn = 0;
  if (EngConnect(dir.c_str(), &conn)) ::_exit(2);
  ENGHANDLE t = OpenTable(conn, "stale");
  if (!t) ::_exit(3);
  std::mt19937 rng(static_cast<unsigned>(::getpid()));
  for (int k = 1;; ++k) {
    uint32_t count = 0;
    EngGetRecordCount(t, ENG_IGNOREFILTERS, &count);
    const int kind = static_cast<int>(rng() % 10);
    if (kind < 2 || count < 5) {
      uint32_t recno = 0;
      if (EngAppendRecord(t) || EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno)) ::_exit(4);
      int32_t id = 1000 + static_cast<int32_t>(recno);  // unique: record numbers are never reused
      if (EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4)) ::_exit(4);
    } else if (EngGotoRecord(t, 1 + static_cast<uint32_t>(rng() % count)) || kind == 9) {
      EngDeleteRecord(t);  // a record gone already: nothing to do
      if (::write(fd, "c", 1) != 1) ::_exit(5);
      continue;
    }
    std::string value = "v" + std::to_string(k), memo = MemoFor(k, k);
    EngSetField(t, 2, reinterpret_cast<const uint8_t*>(value.data()), static_cast<uint32_t>(value.size()));
    EngSetField(t, 3, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size()));
    if (EngWriteRecord(t)) ::_exit(6);
    if (::write(fd, "c", 1) != 1) ::_exit(5);
  }
}

class StaleJournalTest : public engtest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ENGHANDLE t = 0;
    ENG_OK_(EngCreateTable(conn_, "stale", "ID,Integer;VALUE,Char,12;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t));
    ENG_OK_(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr));
    ENG_OK_(EngCreateIndex(t, "VAL", "VALUE;ID", 0, 0, nullptr));
    for (int32_t id = 1; id <= 30; ++id) {
      ENG_OK_(EngAppendRecord(t));
      ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4));
      SetText(t, 2, "first" + std::to_string(id % 7));
      SetText(t, 3, MemoFor(id, 0));
      ENG_OK_(EngWriteRecord(t));
    }
    EngCloseTable(t);
  }
  std::string jrn() const { return dir_.File("stale.jrn"); }

  // Committed changes: the table moves on from the copy taken before.
  void ChangeSomeRecords() {
    ENGHANDLE t = Open("stale");
    for (uint32_t r = 1; r <= 30; r += 4) {
      if (EngGotoRecord(t, r)) continue;  // deleted by a writer
      SetText(t, 2, "later" + std::to_string(r));
      SetText(t, 3, MemoFor(static_cast<int>(r), 3));
      ENG_OK_(EngWriteRecord(t));
    }
    EngCloseTable(t);
  }

  // A writer killed in the middle of a change, until one leaves entries.
  bool KillAWriterMidChange() {
    std::mt19937 rng(7);
    for (int attempt = 0; attempt < 200; ++attempt) {
      int pipefd[2];
      if (::pipe(pipefd) != 0) return false;
      pid_t pid = ::fork();
      if (pid == 0) {
        ::close(pipefd[0]);
        Writer(dir_.path(), pipefd[1]);
      }
      ::close(pipefd[1]);
      char c;
      bool started = ::read(pipefd[0], &c, 1) == 1;  // once it is under way
      ::usleep(rng() % 3000);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(pipefd[0]);
      if (!started) return false;
      if (Word(jrn(), kJournalCount) != 0) return true;
    }
    return false;
  }

  // ALTER TABLE killed after the new files are copied in, before its commit.
  bool KillAnAlterBeforeItsCommit() {
    const std::string dir = dir_.path();
    engtest::InChild([&] {
      ENGHANDLE c = 0, s = 0;
      if (EngConnect(dir.c_str(), &c) || EngCreateSQLStatement(c, &s)) return 1;
      eng::g_alter_before_commit = [] { ::raise(SIGKILL); };
      EngExecuteSQLDirect(s, "ALTER TABLE stale alter column \"VALUE\" \"VALUE\" char(40)", nullptr);
      return 2;
    });
    return Word(jrn(), kJournalCount) != 0;
  }
};

TEST_F(StaleJournalTest, ACopyPutBackBesideANewerJournalOpensAsTheCopy) {
  const Snapshot copy = Read(conn_);
  ASSERT_EQ(copy.error, "");
  ASSERT_EQ(copy.rows.size(), 30u);
  const std::vector<std::string> files = {"stale.adt", "stale.memo", "stale.tags"};
  std::map<std::string, std::string> saved;
  for (const std::string& f : files) saved[f] = Bytes(dir_.File(f));

  for (bool alter : {false, true})
    for (bool in_place : {true, false}) {
      SCOPED_TRACE(std::string(alter ? "an ALTER TABLE" : "a writer") + " killed, the copy put back " +
                   (in_place ? "over the files" : "as new files"));
      ChangeSomeRecords();
      ASSERT_NE(Read(conn_), copy);
      ASSERT_TRUE(alter ? KillAnAlterBeforeItsCommit() : KillAWriterMidChange()) << "no change was cut short";
      for (const std::string& f : files) {
        if (in_place) {
          Put(dir_.File(f), saved[f]);
        } else {
          Put(dir_.File(f + ".new"), saved[f]);
          ASSERT_EQ(::rename(dir_.File(f + ".new").c_str(), dir_.File(f).c_str()), 0);
        }
      }
      std::string warnings;
      const std::string dir = dir_.path();
      int rc = InChildCapturingErrors(
          [&] {
            ENGHANDLE c = 0;
            return EngConnect(dir.c_str(), &c) ? 2 : Read(c) == copy ? 0 : 1;
          },
          &warnings);
      EXPECT_EQ(rc, 0) << "the first open after the copy came back must show the copy";
      EXPECT_NE(warnings.find("Engine warning: The journal " + jrn()), std::string::npos) << warnings;
      EXPECT_EQ(Word(jrn(), kJournalCount), 0u) << "the foreign entries must be cleared";
      EXPECT_EQ(Read(conn_), copy);
    }
}

// No journal at all: a copy put back over the files of a table this
// process keeps loaded after its last close must be read afresh, not taken
// for the table as it was loaded (its tags, here made anew in between).
TEST_F(StaleJournalTest, ACopyPutBackWhileTheTableIsKeptLoadedIsReadAfresh) {
  const Snapshot copy = Read(conn_);
  std::map<std::string, std::string> saved;
  for (const char* f : {"stale.adt", "stale.memo", "stale.tags"}) saved[f] = Bytes(dir_.File(f));
  ENGHANDLE t = Open("stale", ENG_OPEN_EXCLUSIVE), tag = 0;
  ENG_OK_(EngGetIndexHandle(t, "VAL", &tag));
  ENG_OK_(EngDeleteIndex(tag));
  ENG_OK_(EngCreateIndex(t, "VAL", "VALUE;ID", ENG_INDEX_DESCENDING, 0, nullptr));
  EngCloseTable(t);
  ChangeSomeRecords();
  ASSERT_NE(Read(conn_), copy);  // and the table stays loaded here, closed
  for (const auto& [f, bytes] : saved) Put(dir_.File(f), bytes);
  EXPECT_EQ(Read(conn_), copy);
}

// Journals of the previous format carry no tie: their entries are restored
// onto a table file without an identity, unless what the file shows
// contradicts them; never onto a table file with one.
TEST_F(StaleJournalTest, AJournalOfThePreviousFormatIsRestoredOntoItsOwnTableOnly) {
  // A journal of the previous format lies beside a table of that time:
  // one without checksums in its slots.
  eng::CreateTableFile(dir_.File("prev.adt"), eng::ParseFieldDecls("ID,Integer;VALUE,Char,12;NOTE,Memo"), false);
  {
    ENGHANDLE t = Open("prev", ENG_OPEN_EXCLUSIVE);
    for (int32_t id = 1; id <= 30; ++id) {
      ENG_OK_(EngAppendRecord(t));
      ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4));
      SetText(t, 2, "first" + std::to_string(id % 7));
      SetText(t, 3, MemoFor(id, 0));
      ENG_OK_(EngWriteRecord(t));
    }
    EngCloseTable(t);
  }
  const std::string adt = dir_.File("prev.adt"), prev_jrn = dir_.File("prev.jrn");
  const uint64_t counter = Word(adt, 56);
  // Record 2's ID field lies at the header (4096 bytes), one slot (a state
  // byte and the record: ID 4, VALUE 12, NOTE 8) and a state byte.
  const off_t record2_id = 4096 + 25 + 1;
  struct Case {
    const char* what;
    bool table_has_identity;
    uint64_t saved_counter;  // 0: no entry holds the counter
    bool restored;
  };
  const Case cases[] = {
      {"an unstamped table, no counter saved", false, 0, true},
      {"an unstamped table at the saved counter", false, counter, true},
      {"an unstamped table one change on", false, counter - 1, true},
      {"an unstamped table at another counter", false, counter + 5, false},
      {"a stamped table", true, 0, false},
  };
  const std::string stamped = Bytes(adt);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(adt, stamped);
    if (!c.table_has_identity) {
      PutWord(adt, 72, 0);
      PutWord(adt, 80, 0);
    }
    // The journal as the previous version left it: entries, no tie.
    std::string entries;
    auto add = [&entries](uint32_t file, uint64_t offset, const void* bytes, uint64_t length) {
      char head[24] = {};
      std::memcpy(head, &file, 4);
      std::memcpy(head + 8, &offset, 8);
      std::memcpy(head + 16, &length, 8);
      entries.append(head, sizeof head);
      entries.append(static_cast<const char*>(bytes), length);
      entries.append((8 - length % 8) % 8, '\0');
    };
    if (c.saved_counter) add(0, 56, &c.saved_counter, 8);
    const int32_t old_id = 99;
    add(0, record2_id, &old_id, 4);
    std::string journal = Bytes(prev_jrn);
    journal.resize(std::max<size_t>(journal.size(), kJournalEntries + entries.size()), '\0');
    journal.replace(kJournalEntries, entries.size(), entries);
    Put(prev_jrn, journal);
    PutWord(prev_jrn, kJournalTie, 0);
    PutWord(prev_jrn, kJournalCount, c.saved_counter ? 2 : 1);
    PutWord(prev_jrn, kJournalCount + 8, entries.size());

    std::string warnings;
    const std::string dir = dir_.path();
    int rc = InChildCapturingErrors(
        [&] {
          ENGHANDLE conn = 0;
          if (EngConnect(dir.c_str(), &conn)) return 3;
          ENGHANDLE t = OpenTable(conn, "prev");
          int32_t id = 0;
          uint8_t raw[64];
          uint32_t len = sizeof raw;
          if (!t || EngGotoRecord(t, 2) || EngGetRecord(t, raw, &len)) return 4;
          std::memcpy(&id, raw, 4);
          return id == old_id ? 0 : id == 2 ? 1 : 5;
        },
        &warnings);
    EXPECT_EQ(rc, c.restored ? 0 : 1) << warnings;
    EXPECT_EQ(warnings.find("Engine warning") == std::string::npos, c.restored) << warnings;
    EXPECT_EQ(Word(prev_jrn, kJournalCount), 0u);
  }
}

}  // namespace
