// Crash safety of encrypted tables: a child killed while it encrypts or
// decrypts a table leaves it in the old state or the new, whole; and the
// storage kill test (appends, updates, deletes killed at random moments)
// holds on an encrypted table.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include "test_util.h"

namespace {

constexpr char kPassword[] = "KVRNA7310";

ENGHANDLE OpenTable(ENGHANDLE conn, const char* name, uint32_t options) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, name, nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                   options, &t))
    return 0;
  return t;
}

// Whether the table's journal holds entries of an interrupted change.
bool JournalHasEntries(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  uint64_t count = 0;
  bool read = ::pread(fd, &count, 8, 256) == 8;
  ::close(fd);
  return read && count != 0;
}

void Send(int fd, const std::string& line) {
  std::string l = line + "\n";
  if (::write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) ::_exit(9);
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string Field(ENGHANDLE t, uint16_t field, std::string* error) {
  static std::vector<uint8_t> buf(1 << 16);
  uint32_t len = static_cast<uint32_t>(buf.size());
  if (EngGetField(t, field, buf.data(), &len)) *error = "field read failed: " + engtest::LastError();
  return std::string(reinterpret_cast<char*>(buf.data()), len);
}

// Record number -> every field as text, and the record numbers in the
// order of each tag named.
struct Snapshot {
  std::map<uint32_t, std::string> rows;
  std::vector<std::vector<uint32_t>> tags;
  bool operator==(const Snapshot& o) const { return rows == o.rows && tags == o.tags; }
};

Snapshot Take(ENGHANDLE t, const std::vector<const char*>& tags, std::string* error) {
  Snapshot s;
  uint16_t fields = 0, eof = 0;
  EngGetNumFields(t, &fields);
  if (EngGotoTop(t)) *error = "walk failed: " + engtest::LastError();
  while (error->empty() && EngAtEOF(t, &eof) == 0 && !eof) {
    uint32_t recno = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
    std::string row;
    for (uint16_t f = 1; f <= fields; ++f) row += Field(t, f, error) + "|";
    s.rows[recno] = row;
    if (EngSkip(t, 1)) *error = "skip failed: " + engtest::LastError();
  }
  for (const char* name : tags) {
    ENGHANDLE tag = 0;
    if (EngGetIndexHandle(t, name, &tag)) {
      *error = std::string("tag missing: ") + name;
      break;
    }
    std::vector<uint32_t> order;
    if (EngGotoTop(tag)) *error = std::string("tag walk failed: ") + engtest::LastError();
    while (error->empty() && EngAtEOF(tag, &eof) == 0 && !eof) {
      uint32_t recno = 0;
      EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
      order.push_back(recno);
      EngSkip(tag, 1);
    }
    s.tags.push_back(order);
  }
  return s;
}

class CryptoKillTest : public engtest::CipherTest<> {};

TEST_P(CryptoKillTest, EncryptAndDecryptLeaveTheOldStateOrTheNew) {
  engtest::TempDir dir;
  ENGHANDLE conn = 0;
  ASSERT_EQ(EngConnect(dir.path().c_str(), &conn), 0u);
  ENGHANDLE t = 0;
  ASSERT_EQ(EngCreateTable(conn, "flip", "ID,Integer;NAME,Char,30;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t), 0u)
      << engtest::LastError();
  ASSERT_EQ(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr), 0u);
  ASSERT_EQ(EngCreateIndex(t, "NAME", "NAME;ID", 0, 0, nullptr), 0u);
  for (int32_t i = 1; i <= 20000; ++i) {
    ASSERT_EQ(EngAppendRecord(t), 0u);
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&i), 4);
    std::string name = "name" + std::to_string((i * 7919) % 20000), memo(static_cast<size_t>(i % 300), 'm');
    EngSetField(t, 2, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()));
    if (i % 3) EngSetField(t, 3, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size()));
    ASSERT_EQ(EngWriteRecord(t), 0u) << engtest::LastError();
    if (i % 97 == 0) {
      ASSERT_EQ(EngDeleteRecord(t), 0u);
    }
  }
  std::string error;
  const Snapshot model = Take(t, {"ID", "NAME"}, &error);
  ASSERT_TRUE(error.empty()) << error;
  // How long one encryption and one decryption take here, and how much of
  // an encryption is the key derivation that precedes its first write, so
  // that the kills land inside the rewrites rather than before them.
  auto micros = [](auto d) { return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()); };
  unsigned derive = 0;
  {
    ENGHANDLE probe = 0;
    ASSERT_EQ(EngCreateTable(conn, "probe", "ID,Integer", ENG_OPEN_EXCLUSIVE, &probe), 0u) << engtest::LastError();
    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(EngEnableEncryption(probe, kPassword), 0u);
    ASSERT_EQ(EngEncryptTable(probe), 0u) << engtest::LastError();
    derive = micros(std::chrono::steady_clock::now() - before);
    EngCloseTable(probe);
  }
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(EngEnableEncryption(t, kPassword), 0u);
  ASSERT_EQ(EngEncryptTable(t), 0u) << engtest::LastError();
  auto encrypted = std::chrono::steady_clock::now();
  ASSERT_EQ(EngDecryptTable(t), 0u) << engtest::LastError();
  auto decrypted = std::chrono::steady_clock::now();
  EngCloseTable(t);
  const unsigned encrypt_rewrite = micros(encrypted - start) > derive ? micros(encrypted - start) - derive : 1;
  const unsigned decrypt_rewrite = micros(decrypted - encrypted) + 1;

  std::mt19937 rng(4242);
  int seen_plain = 0, seen_encrypted = 0, interrupted = 0, round = 1;
  // More rounds than the least on a loaded machine, until enough kills land inside a change.
  for (; round <= 48 && (round <= 16 || interrupted < 6 || !seen_plain || !seen_encrypted); ++round) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      ENGHANDLE c = 0;
      if (EngConnect(dir.path().c_str(), &c)) ::_exit(2);
      for (;;) {
        ENGHANDLE h = OpenTable(c, "flip", ENG_OPEN_EXCLUSIVE);
        uint16_t enc = 0;
        if (!h || EngIsTableEncrypted(h, &enc) || EngEnableEncryption(h, kPassword)) ::_exit(3);
        Send(pipefd[1], enc ? "D" : "E");
        if (enc ? EngDecryptTable(h) : EngEncryptTable(h)) ::_exit(4);
        EngCloseTable(h);
      }
    }
    ::close(pipefd[1]);
    // Odd rounds kill an encryption, even rounds a decryption, at a random
    // moment of its rewrite. Every fourth round waits instead until the
    // rewrite has begun writing (its journal has entries) and kills it soon
    // after, so that recovery from a half-written table is always tried.
    const char target = round % 2 ? 'E' : 'D';
    char got = 0;
    while (got != target) ASSERT_EQ(::read(pipefd[0], &got, 1), 1);
    if (round % 4 < 2) {
      const unsigned rewrite = target == 'E' ? encrypt_rewrite : decrypt_rewrite;
      ::usleep((target == 'E' ? derive : 0) + rng() % (rewrite * 5 / 4 + 1));
    } else {
      for (int polls = 0; !JournalHasEntries(dir.File("flip.jrn")) && polls < 200000; ++polls) ::usleep(50);
      ::usleep(rng() % 3000);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);
    ReadAll(pipefd[0]);
    ::close(pipefd[0]);
    if (JournalHasEntries(dir.File("flip.jrn"))) ++interrupted;

    ENGHANDLE h = OpenTable(conn, "flip", 0);
    ASSERT_NE(h, 0u) << "round " << round << ": " << engtest::LastError();
    uint16_t enc = 0;
    ASSERT_EQ(EngIsTableEncrypted(h, &enc), 0u);
    (enc ? seen_encrypted : seen_plain)++;
    ASSERT_EQ(EngEnableEncryption(h, kPassword), 0u) << "round " << round << ": " << engtest::LastError();
    Snapshot now = Take(h, {"ID", "NAME"}, &error);
    ASSERT_TRUE(error.empty()) << "round " << round << ": " << error;
    ASSERT_TRUE(now == model) << "round " << round << ": records or tags differ after the kill";
    EngCloseTable(h);
  }
  // Kills must have landed in both directions and inside changes, or the
  // rounds above prove little.
  EXPECT_GT(seen_plain, 0);
  EXPECT_GT(seen_encrypted, 0);
  EXPECT_GE(interrupted, 6) << "of " << round - 1 << " kills";
  std::printf("crypto kill test: %d kills left a plain table, %d an encrypted one; %d interrupted a change "
              "(key derivation %u us, encryption %u us, decryption %u us)\n",
              seen_plain, seen_encrypted, interrupted, derive, micros(encrypted - start), micros(decrypted - encrypted));
  EngDisconnect(conn);
}

// ALTER TABLE (with the table's password) and pack of an encrypted table,
// killed at random moments: the table is never readable without its
// password (not after the kill, not between the steps), and it holds the
// same records and tags, its column as it was or as altered.
ENGRESULT AlterSealed(ENGHANDLE conn, uint32_t width) {
  ENGHANDLE stmt = 0;
  ENGRESULT rc = EngCreateSQLStatement(conn, &stmt);
  if (rc == 0) rc = EngStmtSetTablePassword(stmt, "alt", kPassword);
  const std::string sql = "ALTER TABLE alt alter column NAME NAME char(" + std::to_string(width) + ")";
  if (rc == 0) rc = EngExecuteSQLDirect(stmt, sql.c_str(), nullptr);
  if (stmt) EngCloseSQLStatement(stmt);
  return rc;
}

ENGRESULT PackSealed(ENGHANDLE conn) {
  ENGHANDLE t = OpenTable(conn, "alt", ENG_OPEN_EXCLUSIVE);
  if (!t) return ENG_ERR_TABLE_LOCKED;
  ENGRESULT rc = EngEnableEncryption(t, kPassword);
  if (rc == 0) rc = EngPackTable(t);
  EngCloseTable(t);
  return rc;
}

// The table's rows in the order of each tag, each row its fields trimmed:
// what an ALTER that widens a column and a pack that renumbers keep.
std::vector<std::vector<std::string>> RowsByTag(ENGHANDLE t, std::string* error) {
  std::vector<std::vector<std::string>> out;
  for (const char* name : {"ID", "NAME"}) {
    ENGHANDLE tag = 0;
    if (EngGetIndexHandle(t, name, &tag)) {
      *error = std::string("tag missing: ") + name;
      return out;
    }
    out.emplace_back();
    uint16_t eof = 0;
    if (EngGotoTop(tag)) *error = "tag walk failed: " + engtest::LastError();
    while (error->empty() && EngAtEOF(tag, &eof) == 0 && !eof) {
      std::string row;
      for (uint16_t f = 1; f <= 3; ++f) {
        std::string v = Field(t, f, error);
        v.erase(v.find_last_not_of(' ') + 1);
        row += v + "|";
      }
      out.back().push_back(row);
      if (EngSkip(tag, 1)) *error = "skip failed: " + engtest::LastError();
    }
  }
  return out;
}

TEST_P(CryptoKillTest, AlterAndPackOfAnEncryptedTableKeepItSealedAndWhole) {
  engtest::TempDir dir;
  engtest::TmpDirWithin tmp(dir.File("tmp"));  // what killed statements leave
  ENGHANDLE conn = 0;
  ASSERT_EQ(EngConnect(dir.path().c_str(), &conn), 0u);
  ENGHANDLE t = 0;
  ASSERT_EQ(EngCreateTable(conn, "alt", "ID,Integer;NAME,Char,20;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t), 0u)
      << engtest::LastError();
  ASSERT_EQ(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr), 0u);
  ASSERT_EQ(EngCreateIndex(t, "NAME", "NAME;ID", 0, 0, nullptr), 0u);
  for (int32_t i = 1; i <= 20000; ++i) {
    ASSERT_EQ(EngAppendRecord(t), 0u);
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&i), 4);
    std::string name = "name" + std::to_string((i * 7919) % 20000), memo(static_cast<size_t>(i % 300), 'm');
    EngSetField(t, 2, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()));
    if (i % 3) EngSetField(t, 3, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size()));
    ASSERT_EQ(EngWriteRecord(t), 0u) << engtest::LastError();
    if (i % 97 == 0) {
      ASSERT_EQ(EngDeleteRecord(t), 0u);
    }
  }
  ASSERT_EQ(EngEnableEncryption(t, kPassword), 0u);
  ASSERT_EQ(EngEncryptTable(t), 0u) << engtest::LastError();
  std::string error;
  const auto model = RowsByTag(t, &error);
  ASSERT_TRUE(error.empty()) << error;
  EngCloseTable(t);
  // One change of each here, to time them (widened, packed, narrowed back).
  auto micros = [](auto d) { return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()); };
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(AlterSealed(conn, 24), 0u) << engtest::LastError();
  const unsigned alter_us = micros(std::chrono::steady_clock::now() - start);
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(PackSealed(conn), 0u) << engtest::LastError();
  const unsigned pack_us = micros(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(AlterSealed(conn, 20), 0u) << engtest::LastError();

  std::mt19937 rng(99);
  int interrupted = 0, plain_seen = 0, round = 1;
  size_t watched = 0;  // opens of the watcher between the child's steps
  // More rounds than the least on a loaded machine, until enough kills land inside a change.
  for (; round <= 54 && (round <= 18 || interrupted < 6); ++round) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      ENGHANDLE c = 0;
      if (EngConnect(dir.path().c_str(), &c)) ::_exit(2);
      // A step finds the table in use while the watcher below has it open:
      // it is tried again.
      auto retry = [](auto step) {
        ENGRESULT rc;
        while ((rc = step()) == ENG_ERR_TABLE_LOCKED) ::usleep(100);
        return rc;
      };
      for (uint32_t k = 0;; ++k) {
        Send(pipefd[1], "A");
        if (retry([&] { return AlterSealed(c, k % 2 ? 20 : 24); })) ::_exit(3);
        Send(pipefd[1], "P");
        if (retry([&] { return PackSealed(c); })) ::_exit(4);
      }
    }
    ::close(pipefd[1]);
    // While the child works, another process opens the table whenever the
    // child lets it (between its steps): it must never read a record
    // without the password (it stops at once when it does). It tells each
    // open on a pipe of its own.
    int watchfd[2];
    ASSERT_EQ(::pipe(watchfd), 0);
    struct Watcher {
      pid_t pid;
      ~Watcher() { Stop(); }
      // True when it had stopped by itself: it read the table in clear.
      bool Stop() {
        if (pid <= 0) return false;
        const bool stopped = ::waitpid(pid, nullptr, WNOHANG) == pid;
        if (!stopped) {
          ::kill(pid, SIGKILL);
          ::waitpid(pid, nullptr, 0);
        }
        pid = 0;
        return stopped;
      }
    } watcher{::fork()};
    if (watcher.pid == 0) {
      ::close(watchfd[0]);
      ENGHANDLE c = 0;
      if (EngConnect(dir.path().c_str(), &c)) ::_exit(2);
      for (;; ::usleep(200)) {
        ENGHANDLE h = OpenTable(c, "alt", 0);
        if (!h) continue;
        uint16_t enc = 0;
        uint8_t buf[32];
        uint32_t len = sizeof buf;
        if (EngIsTableEncrypted(h, &enc) == 0 && (!enc || (EngGotoTop(h) == 0 && EngGetField(h, 2, buf, &len) == 0)))
          ::_exit(5);
        EngCloseTable(h);
        if (::write(watchfd[1], "o", 1) != 1) ::_exit(6);
      }
    }
    ::close(watchfd[1]);
    const char target = round % 2 ? 'A' : 'P';
    char got = 0;
    while (got != target) ASSERT_EQ(::read(pipefd[0], &got, 1), 1);
    if (round % 3 == 0) {
      // Kills in the switch-over itself, once it has begun to write.
      for (int polls = 0; !JournalHasEntries(dir.File("alt.jrn")) && polls < 200000; ++polls) ::usleep(20);
      ::usleep(rng() % 3000);
    } else {
      ::usleep(rng() % ((target == 'A' ? alter_us : pack_us) * 5 / 4 + 1));
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (watcher.Stop()) ++plain_seen;
    watched += ReadAll(watchfd[0]).size();
    ::close(watchfd[0]);
    ReadAll(pipefd[0]);
    ::close(pipefd[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);
    if (JournalHasEntries(dir.File("alt.jrn"))) ++interrupted;

    ENGHANDLE h = OpenTable(conn, "alt", 0);
    ASSERT_NE(h, 0u) << "round " << round << ": " << engtest::LastError();
    uint16_t enc = 0;
    ASSERT_EQ(EngIsTableEncrypted(h, &enc), 0u);
    EXPECT_EQ(enc, 1) << "round " << round << ": the table was left decrypted";
    uint8_t buf[32];
    uint32_t len = sizeof buf;
    EngGotoTop(h);
    EXPECT_EQ(EngGetField(h, 2, buf, &len), static_cast<ENGRESULT>(ENG_ERR_ENCRYPTED))
        << "round " << round << ": a record was read without the password";
    ASSERT_EQ(EngEnableEncryption(h, kPassword), 0u) << "round " << round << ": " << engtest::LastError();
    uint32_t width = 0;
    ASSERT_EQ(EngGetFieldLength(h, 2, &width), 0u);
    EXPECT_TRUE(width == 20 || width == 24) << "round " << round << ": NAME has " << width << " characters";
    EXPECT_TRUE(RowsByTag(h, &error) == model) << "round " << round << ": records or tags differ after the kill";
    ASSERT_TRUE(error.empty()) << "round " << round << ": " << error;
    EngCloseTable(h);
  }
  EXPECT_EQ(plain_seen, 0) << "rounds in which another process read the table without its password";
  EXPECT_GT(watched, 0u) << "the other process never had the table open";
  EXPECT_GE(interrupted, 6) << "of " << round - 1 << " kills";
  std::printf("crypto kill test: %d kills of ALTER TABLE and pack, %d interrupted a change (ALTER %u us, pack %u us); "
              "%zu opens by another process between the steps\n",
              round - 1, interrupted, alter_us, pack_us, watched);
  EngDisconnect(conn);
}

// The storage kill test on an encrypted table: the child appends, updates
// and deletes records (with memos and two tags), reporting each operation
// before it starts ("I ...") and after it completed ("C").
struct Row {
  int32_t id;
  std::string value, memo;
  bool operator==(const Row& o) const { return id == o.id && value == o.value && memo == o.memo; }
};

std::string MemoFor(int32_t id, int version) {
  return std::string(static_cast<size_t>(id % 700 + version % 5 + 1), static_cast<char>('a' + (id + version) % 26));
}

[[noreturn]] void Writer(const std::string& dir, int fd, int round) {
  ENGHANDLE conn = 0;
  if (EngConnect(dir.c_str(), &conn)) ::_exit(2);
  ENGHANDLE t = OpenTable(conn, "kill", 0);
  if (!t || EngEnableEncryption(t, kPassword)) ::_exit(3);
  std::mt19937 rng(static_cast<unsigned>(round));
  std::vector<uint32_t> mine;
  for (int k = 0;; ++k) {
    int kind = mine.empty() ? 0 : static_cast<int>(rng() % 10);
    if (kind < 6) {
      int32_t id = round * 100000 + k;
      std::string value = "v" + std::to_string(id), memo = MemoFor(id, 0);
      Send(fd, "I A " + std::to_string(id));
      if (EngAppendRecord(t)) ::_exit(4);
      EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4);
      EngSetField(t, 2, reinterpret_cast<const uint8_t*>(value.data()), static_cast<uint32_t>(value.size()));
      EngSetField(t, 3, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size()));
      if (EngWriteRecord(t)) ::_exit(5);
      uint32_t recno = 0;
      EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
      mine.push_back(recno);
      Send(fd, "C " + std::to_string(recno));
    } else if (kind < 9) {
      uint32_t recno = mine[rng() % mine.size()];
      std::string value = "u" + std::to_string(k), memo = MemoFor(static_cast<int32_t>(recno), k);
      Send(fd, "I U " + std::to_string(recno) + " " + value + " " + std::to_string(k));
      if (EngGotoRecord(t, recno)) ::_exit(6);
      EngSetField(t, 2, reinterpret_cast<const uint8_t*>(value.data()), static_cast<uint32_t>(value.size()));
      EngSetField(t, 3, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size()));
      if (EngWriteRecord(t)) ::_exit(7);
      Send(fd, "C");
    } else {
      size_t i = rng() % mine.size();
      uint32_t recno = mine[i];
      mine.erase(mine.begin() + static_cast<long>(i));
      Send(fd, "I D " + std::to_string(recno));
      if (EngGotoRecord(t, recno) || EngDeleteRecord(t)) ::_exit(8);
      Send(fd, "C");
    }
  }
}

std::map<uint32_t, Row> ReadRows(ENGHANDLE conn, std::string* error) {
  std::map<uint32_t, Row> rows;
  ENGHANDLE t = OpenTable(conn, "kill", 0);
  if (!t || EngEnableEncryption(t, kPassword)) {
    *error = "open failed: " + engtest::LastError();
    return rows;
  }
  Snapshot s = Take(t, {"ID", "VAL"}, error);
  for (const auto& [recno, text] : s.rows) {
    std::istringstream in(text);
    std::string id, value, memo;
    std::getline(in, id, '|');
    std::getline(in, value, '|');
    std::getline(in, memo, '|');
    value.erase(value.find_last_not_of(' ') + 1);
    rows[recno] = Row{std::stoi(id), value, memo};
  }
  // Each tag walks exactly the live records, in key order.
  std::vector<std::pair<std::pair<std::string, int32_t>, uint32_t>> by_id, by_value;
  for (const auto& [recno, row] : rows) {
    by_id.push_back({{std::string(), row.id}, recno});
    by_value.push_back({{row.value, row.id}, recno});
  }
  const char* names[] = {"ID", "VAL"};
  for (size_t i = 0; i < 2 && error->empty(); ++i) {
    auto& want = i == 0 ? by_id : by_value;
    std::sort(want.begin(), want.end());
    std::vector<uint32_t> expected;
    for (const auto& w : want) expected.push_back(w.second);
    if (s.tags.size() != 2 || s.tags[i] != expected)
      *error = std::string("tag ") + names[i] + " does not walk the live records in key order";
  }
  EngCloseTable(t);
  return rows;
}

TEST_P(CryptoKillTest, AnEncryptedTableSurvivesAKillAtAnyMoment) {
  engtest::TempDir dir;
  ENGHANDLE conn = 0;
  ASSERT_EQ(EngConnect(dir.path().c_str(), &conn), 0u);
  ENGHANDLE t = 0;
  ASSERT_EQ(EngCreateTable(conn, "kill", "ID,Integer;VALUE,Char,12;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t), 0u);
  ASSERT_EQ(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr), 0u);
  ASSERT_EQ(EngCreateIndex(t, "VAL", "VALUE;ID", 0, 0, nullptr), 0u);
  ASSERT_EQ(EngEnableEncryption(t, kPassword), 0u);
  ASSERT_EQ(EngEncryptTable(t), 0u) << engtest::LastError();
  EngCloseTable(t);

  std::map<uint32_t, Row> model;
  std::mt19937 rng(777);
  int in_flight_seen = 0, interrupted = 0, round = 1;
  // More rounds than the least on a loaded machine, until enough kills land inside a change.
  for (; round <= 90 && (round <= 30 || interrupted < 15); ++round) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      Writer(dir.path(), pipefd[1], round);
    }
    ::close(pipefd[1]);
    // Kill only once the child completed a first write: a slow start (a
    // sanitizer build on a busy machine) must not make every round empty.
    std::string log;
    char buf[256];
    ssize_t got;
    while (log.find("\nC") == std::string::npos && (got = ::read(pipefd[0], buf, sizeof buf)) > 0)
      log.append(buf, static_cast<size_t>(got));
    ::usleep(rng() % 15000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with " << WEXITSTATUS(status);
    log += ReadAll(pipefd[0]);
    ::close(pipefd[0]);

    std::istringstream in(log);
    std::string line, intent;
    auto apply = [](std::map<uint32_t, Row>& rows, const std::string& op_text, uint32_t appended) {
      std::istringstream op(op_text.substr(2));
      char kind;
      op >> kind;
      if (kind == 'A') {
        int32_t id;
        op >> id;
        rows[appended] = Row{id, "v" + std::to_string(id), MemoFor(id, 0)};
      } else if (kind == 'U') {
        uint32_t recno;
        std::string value;
        int k;
        op >> recno >> value >> k;
        rows[recno].value = value;
        rows[recno].memo = MemoFor(static_cast<int32_t>(recno), k);
      } else {
        uint32_t recno;
        op >> recno;
        rows.erase(recno);
      }
    };
    while (std::getline(in, line)) {
      if (line.rfind("I ", 0) == 0) {
        intent = line;
        continue;
      }
      if (line.empty() || line[0] != 'C' || intent.empty()) continue;  // a torn last line
      apply(model, intent, line.size() > 2 ? static_cast<uint32_t>(std::stoul(line.substr(2))) : 0);
      intent.clear();
    }

    if (!intent.empty()) ++interrupted;
    std::string error;
    std::map<uint32_t, Row> table = ReadRows(conn, &error);
    ASSERT_TRUE(error.empty()) << "round " << round << ": " << error;
    if (table == model) continue;
    // Otherwise the operation in flight must have completed, entirely.
    ASSERT_FALSE(intent.empty()) << "round " << round << ": table differs from the completed writes";
    std::map<uint32_t, Row> after = model;
    uint32_t appended = 0;
    for (const auto& [recno, row] : table)
      if (!model.count(recno)) appended = recno;
    apply(after, intent, appended);
    ASSERT_TRUE(table == after) << "round " << round << ": a write in flight was applied partly: " << intent;
    model = after;
    ++in_flight_seen;
  }
  EXPECT_GE(interrupted, 15) << "of " << round - 1 << " kills";
  std::printf("crypto kill test: %zu live records after %d kills; %d kills interrupted a write, %d of them after its "
              "last step\n",
              model.size(), round - 1, interrupted, in_flight_seen);
  EngDisconnect(conn);
}

ENG_FOR_EACH_CIPHER(CryptoKillTest);

}  // namespace
