// No file of an encrypted table holds a value in clear: not its records,
// memos and tags, not its journal (which keeps the bytes a change saved),
// not after an encryption, after changes, or after a process was killed at
// any moment of them. Every value written here carries a marker that the
// scan looks for in every byte of every file of the folder.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include "test_util.h"

namespace {

constexpr char kPassword[] = "KVRNA7310";
// Every record name and memo content holds one of them.
const char* const kMarkers[] = {"SECRET", "MEMOTXT"};

// Where a marker shows in a file of the folder (recursively), or "".
std::string PlainValueIn(const std::string& folder) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* marker : kMarkers) {
      size_t at = bytes.find(marker);
      if (at != std::string::npos)
        return entry.path().filename().string() + " holds \"" + bytes.substr(at, 16) + "\" at offset " +
               std::to_string(at);
    }
  }
  return "";
}

ENGHANDLE OpenTable(ENGHANDLE conn, const char* name, uint32_t options) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, name, nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                   options, &t))
    return 0;
  return t;
}

bool SetText(ENGHANDLE t, uint16_t field, const std::string& text) {
  return EngSetField(t, field, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())) == 0;
}

std::string Memo(uint32_t n) { return "MEMOTXT" + std::to_string(n) + std::string(n % 300, 'm'); }

// Appends, rewrites and deletes records at random (names, memos and both
// tags change); false at the first failure.
bool Churn(ENGHANDLE t, std::mt19937& rng, int operations) {
  for (int k = 0; k < operations; ++k) {
    uint32_t count = 0;
    if (EngGetRecordCount(t, ENG_IGNOREFILTERS, &count)) return false;
    const uint32_t what = rng() % 10, n = rng() % 100000;
    if (what < 4 || count < 50) {
      int32_t id = static_cast<int32_t>(n);
      if (EngAppendRecord(t) || EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4) ||
          !SetText(t, 2, "SECRET" + std::to_string(n)) || !SetText(t, 3, Memo(n)) || EngWriteRecord(t))
        return false;
      continue;
    }
    if (EngGotoTop(t)) return false;
    EngSkip(t, static_cast<int32_t>(rng() % count));  // may run past the end
    uint16_t eof = 0;
    EngAtEOF(t, &eof);
    if (eof) continue;
    if (what < 9) {
      if (!SetText(t, 2, "SECRETU" + std::to_string(n)) || !SetText(t, 3, Memo(n)) || EngWriteRecord(t)) return false;
    } else if (EngDeleteRecord(t)) {
      return false;
    }
  }
  return true;
}

// A table of 3,000 records with a memo and two tags, changed in clear.
void MakeTable(ENGHANDLE conn) {
  ENGHANDLE t = 0;
  ENG_OK_(EngCreateTable(conn, "s", "ID,Integer;NAME,Char,20;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t));
  ENG_OK_(EngCreateIndex(t, "ID", "ID", 0, 0, nullptr));
  ENG_OK_(EngCreateIndex(t, "NAME", "NAME;ID", 0, 0, nullptr));
  std::mt19937 rng(11);
  for (uint32_t i = 0; i < 3000; ++i) {
    int32_t id = static_cast<int32_t>(i);
    ENG_OK_(EngAppendRecord(t));
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4);
    SetText(t, 2, "SECRET" + std::to_string(i));
    SetText(t, 3, Memo(i));
    ENG_OK_(EngWriteRecord(t));
  }
  ASSERT_TRUE(Churn(t, rng, 600)) << engtest::LastError();
  ENG_OK_(EngPackTable(t));
  EngCloseTable(t);
}

// Encrypts the table (opened exclusively), or decrypts it when encrypted.
bool Flip(ENGHANDLE conn) {
  ENGHANDLE t = OpenTable(conn, "s", ENG_OPEN_EXCLUSIVE);
  uint16_t encrypted = 0;
  bool ok = t && EngIsTableEncrypted(t, &encrypted) == 0 && EngEnableEncryption(t, kPassword) == 0 &&
            (encrypted ? EngDecryptTable(t) : EngEncryptTable(t)) == 0;
  if (t) EngCloseTable(t);
  return ok;
}

// ALTER TABLE with the table's password (NAME to the other of two widths),
// then a pack: what the structure tasks do to an encrypted table.
bool AlterAndPack(ENGHANDLE conn) {
  ENGHANDLE t = OpenTable(conn, "s", ENG_OPEN_EXCLUSIVE);
  uint32_t width = 0;
  bool ok = t && EngGetFieldLength(t, 2, &width) == 0;
  if (t) EngCloseTable(t);
  ENGHANDLE stmt = 0;
  const std::string sql = "ALTER TABLE s alter column NAME NAME char(" + std::to_string(width == 20 ? 24 : 20) + ")";
  ok = ok && EngCreateSQLStatement(conn, &stmt) == 0 && EngStmtSetTablePassword(stmt, "s", kPassword) == 0 &&
       EngExecuteSQLDirect(stmt, sql.c_str(), nullptr) == 0;
  if (stmt) EngCloseSQLStatement(stmt);
  t = ok ? OpenTable(conn, "s", ENG_OPEN_EXCLUSIVE) : 0;
  ok = t && EngEnableEncryption(t, kPassword) == 0 && EngPackTable(t) == 0;
  if (t) EngCloseTable(t);
  return ok;
}

bool ChurnShared(ENGHANDLE conn, std::mt19937& rng, int operations) {
  ENGHANDLE t = OpenTable(conn, "s", 0);
  bool ok = t && EngEnableEncryption(t, kPassword) == 0 && Churn(t, rng, operations);
  if (t) EngCloseTable(t);
  return ok;
}

class CryptoAtRestTest : public engtest::CipherTest<> {};

TEST_P(CryptoAtRestTest, NoFileOfAnEncryptedTableHoldsAPlainValue) {
  engtest::TempDir dir;
  ENGHANDLE conn = 0;
  ASSERT_EQ(EngConnect(dir.path().c_str(), &conn), 0u);
  MakeTable(conn);
  // The scan sees what a plain table holds.
  ASSERT_NE(PlainValueIn(dir.path()), "");
  ASSERT_TRUE(Flip(conn)) << engtest::LastError();
  EXPECT_EQ(PlainValueIn(dir.path()), "") << "after the encryption";
  std::mt19937 rng(5);
  ASSERT_TRUE(ChurnShared(conn, rng, 400)) << engtest::LastError();
  EXPECT_EQ(PlainValueIn(dir.path()), "") << "after changes of the encrypted table";
  ASSERT_TRUE(AlterAndPack(conn)) << engtest::LastError();
  EXPECT_EQ(PlainValueIn(dir.path()), "") << "after ALTER TABLE and a pack";
  // Decrypted, changed in clear and encrypted again: the journal's plain
  // bytes of that time go too.
  ASSERT_TRUE(Flip(conn)) << engtest::LastError();
  ASSERT_TRUE(ChurnShared(conn, rng, 400)) << engtest::LastError();
  ASSERT_TRUE(Flip(conn)) << engtest::LastError();
  EXPECT_EQ(PlainValueIn(dir.path()), "") << "after a second encryption";
  EngDisconnect(conn);
}

// Whether the table's journal holds entries of a change under way.
bool JournalHasEntries(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t count = 0;
  in.seekg(256);
  return in.read(reinterpret_cast<char*>(&count), 8) && count != 0;
}

// The steps of the child's cycle: encrypt, change (encrypted), alter and
// pack (encrypted), decrypt, change (in clear).
constexpr char kSteps[] = "EUADP";
constexpr int kStepCount = 5;
bool Step(ENGHANDLE conn, char step, std::mt19937& rng) {
  switch (step) {
    case 'U':
      return ChurnShared(conn, rng, 300);
    case 'A':
      return AlterAndPack(conn);
    case 'P':
      return ChurnShared(conn, rng, 100);
    default:
      return Flip(conn);
  }
}

// A child runs the cycle over and over and is killed at a random moment of
// one step, each step in turn (an encryption once it has begun to write).
// Once the table is opened again (which undoes an interrupted change), an
// encrypted table has no value in clear in any file, nor in what a killed
// ALTER TABLE left of its new image.
TEST_P(CryptoAtRestTest, AKillLeavesNoPlainValueBesideAnEncryptedTable) {
  engtest::TempDir dir;
  engtest::TmpDirWithin tmp(dir.File("tmp"));  // what killed statements leave
  ENGHANDLE conn = 0;
  ASSERT_EQ(EngConnect(dir.path().c_str(), &conn), 0u);
  MakeTable(conn);
  // One cycle here, to time its steps (it ends as it began, plain).
  unsigned step_us[kStepCount] = {};
  {
    std::mt19937 rng(1);
    for (int i = 0; i < kStepCount; ++i) {
      const auto start = std::chrono::steady_clock::now();
      ASSERT_TRUE(Step(conn, kSteps[i], rng)) << engtest::LastError();
      step_us[i] = static_cast<unsigned>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    }
  }

  std::mt19937 rng(2025);
  int encrypted_rounds = 0, interrupted = 0, round = 0;
  // At least 25 kills; on a loaded machine more, until enough of them land inside a change.
  for (; round < 80 && (round < 25 || encrypted_rounds < 8 || interrupted < 6); ++round) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      ENGHANDLE c = 0;
      if (EngConnect(dir.path().c_str(), &c)) ::_exit(2);
      std::mt19937 child_rng(static_cast<unsigned>(round));
      for (;;) {
        ENGHANDLE t = OpenTable(c, "s", 0);
        uint16_t encrypted = 0;
        if (!t || EngIsTableEncrypted(t, &encrypted)) ::_exit(3);
        EngCloseTable(t);
        // Resumes the cycle where the table's state says it is.
        for (int i = encrypted ? 1 : 0; i < kStepCount; ++i) {
          if (::write(pipefd[1], &kSteps[i], 1) != 1 || !Step(c, kSteps[i], child_rng)) ::_exit(4);
        }
      }
    }
    ::close(pipefd[1]);
    const int target = round % kStepCount;
    char got = 0;
    while (got != kSteps[target]) ASSERT_EQ(::read(pipefd[0], &got, 1), 1);
    if (kSteps[target] == 'E') {
      // The key derivation comes first: wait for the rewrite's first save.
      for (int polls = 0; !JournalHasEntries(dir.File("s.jrn")) && polls < 200000; ++polls) ::usleep(20);
      ::usleep(rng() % 2000);
    } else {
      ::usleep(rng() % (step_us[target] * 5 / 4 + 1));
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(pipefd[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);
    if (JournalHasEntries(dir.File("s.jrn"))) ++interrupted;

    ENGHANDLE t = OpenTable(conn, "s", 0);
    ASSERT_NE(t, 0u) << "round " << round << ": " << engtest::LastError();
    uint16_t encrypted = 0;
    ASSERT_EQ(EngIsTableEncrypted(t, &encrypted), 0u);
    ASSERT_EQ(EngEnableEncryption(t, kPassword), 0u) << engtest::LastError();
    EngGotoTop(t);
    for (uint16_t eof = 0; EngAtEOF(t, &eof) == 0 && !eof; EngSkip(t, 1)) {
      uint8_t name[32];
      uint32_t len = sizeof name;
      ASSERT_EQ(EngGetField(t, 2, name, &len), 0u) << "round " << round << ": " << engtest::LastError();
    }
    EngCloseTable(t);
    if (!encrypted) continue;
    ++encrypted_rounds;
    EXPECT_EQ(PlainValueIn(dir.path()), "") << "round " << round << " (step " << kSteps[target]
                                            << "): the encrypted table";
  }
  EXPECT_GE(encrypted_rounds, 8) << "of " << round << " kills left the table encrypted";
  EXPECT_GE(interrupted, 6) << "of " << round << " kills interrupted a change";
  std::printf("crypto at rest: of %d kills %d left the table encrypted, %d interrupted a change\n", round,
              encrypted_rounds, interrupted);
  EngDisconnect(conn);
}

ENG_FOR_EACH_CIPHER(CryptoAtRestTest);

}  // namespace
