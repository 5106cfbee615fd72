// Statements and transactions apply whole or not at all: a multi-row
// INSERT, UPDATE or DELETE that fails at some row (a unique key, say)
// leaves its table exactly as before; BEGIN ... COMMIT over several tables
// stands or falls together; and a process killed at any moment, also in
// the middle of a statement or of a transaction's commit, leaves each
// statement and each transaction wholly there or wholly absent, with every
// index agreeing with the records.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "sql_test_util.h"
#include "transaction.h"

using namespace engtest;

namespace {

constexpr int kRows = 2000;

// Runs statements on a connection of its own; returns the first failure's text ("" when none).
std::string RunAll(ENGHANDLE conn, const std::vector<std::string>& statements) {
  for (const std::string& sql : statements) {
    ENGHANDLE stmt = 0;
    if (EngCreateSQLStatement(conn, &stmt)) return sql + ": " + LastError();
    const ENGRESULT rc = EngExecuteSQLDirect(stmt, sql.c_str(), nullptr);
    const std::string error = rc ? sql + ": " + LastError() : std::string();
    EngCloseSQLStatement(stmt);
    if (rc) return error;
  }
  return "";
}

struct Row {
  uint32_t recno;
  int32_t id, v;
};

// Every record of a table (ID, V as integers), and "" when each tag walks
// exactly those records in its order, else what differs.
std::string ReadTable(ENGHANDLE conn, const std::string& name, std::vector<Row>* rows) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, name.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                   ENG_IGNORE_RIGHTS, 0, &t))
    return "open " + name + ": " + LastError();
  uint16_t eof = 0;
  for (EngGotoTop(t); EngAtEOF(t, &eof) == 0 && !eof; EngSkip(t, 1)) {
    Row r{};
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &r.recno);
    for (uint16_t f : {1, 2}) {
      char text[64] = {};
      uint32_t len = sizeof text - 1;
      EngGetField(t, f, reinterpret_cast<uint8_t*>(text), &len);
      (f == 1 ? r.id : r.v) = std::atoi(text);
    }
    rows->push_back(r);
  }
  std::string diff;
  auto walk = [&](const char* tag, auto key) {
    std::vector<Row> sorted = *rows;
    std::stable_sort(sorted.begin(), sorted.end(), [&](const Row& a, const Row& b) { return key(a) < key(b); });
    std::vector<uint32_t> expected, walked;
    for (const Row& r : sorted) expected.push_back(r.recno);
    ENGHANDLE h = 0;
    if (EngGetIndexHandle(t, tag, &h)) return std::string("tag ") + tag + ": " + LastError();
    for (EngGotoTop(h); EngAtEOF(h, &eof) == 0 && !eof && walked.size() <= rows->size(); EngSkip(h, 1)) {
      uint32_t recno = 0;
      EngGetRecordNum(h, ENG_IGNOREFILTERS, &recno);
      walked.push_back(recno);
    }
    return walked == expected ? std::string() : name + ": tag " + tag + " disagrees with the records";
  };
  diff = walk("ID", [](const Row& r) { return std::make_pair(r.id, 0); });
  if (diff.empty()) diff = walk("V", [](const Row& r) { return std::make_pair(r.v, r.id); });
  EngCloseTable(t);
  return diff;
}

std::vector<std::string> MakeTable(const std::string& name, int rows) {
  std::vector<std::string> out = {"CREATE TABLE " + name + " (ID INTEGER, V INTEGER, PAD CHAR(120))",
                                  "CREATE UNIQUE INDEX ID ON " + name + " (ID)",
                                  "CREATE INDEX V ON " + name + " (V, ID)"};
  std::string insert;
  for (int i = 1; i <= rows; ++i) {
    insert += (insert.empty() ? "INSERT INTO " + name + " (ID, V, PAD) VALUES " : ", ") + std::string("(") +
              std::to_string(i) + ", 0, 'row " + std::to_string(i) + "')";
    if (i % 100 == 0 || i == rows) {
      out.push_back(insert);
      insert.clear();
    }
  }
  return out;
}

// The words of a journal's header that say whether a change is under way.
uint64_t JournalEntries(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  uint64_t count = 0;
  if (::pread(fd, &count, 8, 256) != 8) count = 0;
  ::close(fd);
  return count;
}

bool AnyCommitRecord(const std::string& dir) {
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".commit") return true;
  return false;
}

class SqlAtomicTest : public SqlTest {
 protected:
  std::string Table(const std::string& name) {
    std::vector<Row> rows;
    std::string diff = ReadTable(conn_, name, &rows);
    std::string text;
    for (const Row& r : rows)
      text += std::to_string(r.recno) + ":" + std::to_string(r.id) + "=" + std::to_string(r.v) + " ";
    return diff.empty() ? text : diff;
  }
};

// A statement that fails at a row leaves the table exactly as it was, also
// inside a transaction, where the statements before it stay.
TEST_F(SqlAtomicTest, AFailingRowLeavesTheTableAsBefore) {
  for (const std::string& s : MakeTable("T", 50)) Ok(s);
  Ok("UPDATE T SET V = ID * 10");
  Ok("INSERT INTO T (ID, V) VALUES (125, 0)");
  const std::string before = Table("T");
  // IDs 1 to 24 move to 101 to 124; 25 would meet 125.
  EXPECT_EQ(Run("UPDATE T SET ID = ID + 100, V = V + 1 WHERE ID <= 30"), uint32_t{ENG_ERR_DUPLICATE_KEY}) << LastError();
  EXPECT_EQ(Table("T"), before);
  EXPECT_EQ(Run("INSERT INTO T (ID, V) VALUES (100, 1), (101, 1), (7, 1), (102, 1)"), uint32_t{ENG_ERR_DUPLICATE_KEY});
  EXPECT_EQ(Table("T"), before);
  EXPECT_EQ(Run("DELETE FROM T WHERE ID > 45 OR ID = 2"), 0u) << LastError();
  EXPECT_EQ(last_count_, 7);
  const std::string after_delete = Table("T");

  Ok("BEGIN");
  Ok("UPDATE T SET V = -1 WHERE ID < 10");
  Ok("INSERT INTO T (ID, V) VALUES (200, 2), (201, 2)");
  const std::string inside = Table("T");
  EXPECT_NE(inside, after_delete);
  EXPECT_EQ(Run("INSERT INTO T (ID, V) VALUES (202, 3), (200, 3)"), uint32_t{ENG_ERR_DUPLICATE_KEY});
  EXPECT_EQ(Table("T"), inside) << "a failed statement undoes only itself";
  EXPECT_EQ(Run("CREATE INDEX X ON T (PAD)"), uint32_t{ENG_ERR_SQL_EXECUTE});
  Ok("ROLLBACK");
  EXPECT_EQ(Table("T"), after_delete);
  EXPECT_EQ(Run("COMMIT"), uint32_t{ENG_ERR_SQL_EXECUTE}) << "no transaction is open any more";

  // Index pages changed by any statement of a committed transaction (the
  // failed one's included) pass their checks in another process.
  Ok("BEGIN");
  Ok("UPDATE T SET V = V + 1000 WHERE ID < 20");
  EXPECT_EQ(Run("INSERT INTO T (ID, V) VALUES (300, 5), (3, 5)"), uint32_t{ENG_ERR_DUPLICATE_KEY});
  Ok("UPDATE T SET V = V + 1 WHERE ID > 30");
  Ok("COMMIT");
  const std::string committed = Table("T");
  const std::string dir = dir_.path();
  EXPECT_EQ(InChild([&] {
              ENGHANDLE conn = 0;
              std::vector<Row> rows;
              if (EngConnect(dir.c_str(), &conn)) return 2;
              return ReadTable(conn, "T", &rows).empty() && rows.size() == 44 ? 0 : 3;
            }),
            0);
  EXPECT_EQ(committed.substr(0, 9), "1:1=1010 ");
  EXPECT_NE(committed.find(" 31:31=311 "), std::string::npos) << committed;
}

// Two connections of two processes: while a transaction holds a table, the
// other, writing or reading it, waits its lock wait and fails; two
// transactions that each wait for the other's table end with an error, not
// a hang; after COMMIT both tables show the transaction.
TEST_F(SqlAtomicTest, TransactionsHoldTheirTablesUntilTheyEnd) {
  for (const std::string& s : MakeTable("A", 10)) Ok(s);
  for (const std::string& s : MakeTable("B", 10)) Ok(s);
  ENG_OK_(EngSetLockWait(conn_, 300));
  ENG_OK_(EngBeginTransaction(conn_));
  Ok("UPDATE A SET V = 1");
  const std::string dir = dir_.path();
  auto other = [&dir](const std::vector<std::string>& statements, uint32_t wait_ms) {
    return InChild([&] {
      ENGHANDLE conn = 0;
      if (EngConnect(dir.c_str(), &conn) || EngSetLockWait(conn, wait_ms)) return 2;
      std::string error = RunAll(conn, statements);
      if (error.find("in use by another transaction or statement") != std::string::npos) return 7;
      return error.empty() ? 0 : 3;
    });
  };
  EXPECT_EQ(other({"UPDATE A SET V = 2"}, 200), 7);
  EXPECT_EQ(other({"SELECT COUNT(*) FROM A WHERE V = 1"}, 200), 7) << "a reader waits too: it never sees the open change";
  EXPECT_EQ(other({"UPDATE B SET V = 2"}, 200), 0) << "B is not in the transaction yet";
  // A deadlock: the child holds B and waits for A, this process holds A and waits for B.
  pid_t pid = ::fork();
  if (pid == 0) {
    ENGHANDLE conn = 0;
    if (EngConnect(dir.c_str(), &conn) || EngSetLockWait(conn, 600)) ::_exit(2);
    std::string error = RunAll(conn, {"BEGIN", "UPDATE B SET V = 3", "UPDATE A SET V = 3"});
    ::_exit(error.find("in use by another transaction or statement") != std::string::npos ? 7 : 3);
  }
  ::usleep(100 * 1000);
  const ENGRESULT mine = Run("UPDATE B SET V = 4");
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 100, 7);
  EXPECT_EQ(mine, uint32_t{ENG_ERR_TABLE_LOCKED}) << "B was held by the child when asked for";
  Ok("UPDATE B SET V = 5");  // the child is gone, its transaction undone
  ENG_OK_(EngCommitTransaction(conn_));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM A WHERE V = 1"), Rows_({{"10"}}));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM B WHERE V = 5"), Rows_({{"10"}}));
  EXPECT_FALSE(AnyCommitRecord(dir));
}

// A process killed right after a two-table transaction's commit point, or
// right before COMMIT, leaves the transaction wholly there, or wholly
// absent; the commit record goes once both tables are recovered.
TEST_F(SqlAtomicTest, AKillAroundTheCommitPointDecidesByTheCommitRecord) {
  for (const std::string& s : MakeTable("A", 20)) Ok(s);
  for (const std::string& s : MakeTable("B", 20)) Ok(s);
  EngDisconnect(conn_);
  conn_ = 0;
  const std::string dir = dir_.path();
  for (const bool committed : {true, false}) {
    const int status = InChild([&] {
      ENGHANDLE conn = 0;
      if (EngConnect(dir.c_str(), &conn)) return 2;
      eng::g_transaction_at_commit_point = [] { ::raise(SIGKILL); };
      std::string error = RunAll(conn, {"BEGIN", "UPDATE A SET V = V + 1", "UPDATE B SET V = V + 1"});
      if (!error.empty()) return 3;
      if (!committed) ::raise(SIGKILL);
      RunAll(conn, {"COMMIT"});
      return 4;  // not reached
    });
    ASSERT_EQ(status, 100);
    EXPECT_EQ(AnyCommitRecord(dir), committed);
    EXPECT_NE(JournalEntries(dir + "/A.jrn"), 0u);
    EXPECT_NE(JournalEntries(dir + "/B.jrn"), 0u);
    ASSERT_EQ(EngConnect(dir.c_str(), &conn_), 0u);
    const std::string want = committed ? "1" : "0";
    EXPECT_EQ(Query("SELECT MIN(V), MAX(V) FROM A"), Rows_({{want, want}}));
    EXPECT_EQ(AnyCommitRecord(dir), committed) << "the record went before B was recovered";
    EXPECT_EQ(Query("SELECT MIN(V), MAX(V) FROM B"), Rows_({{want, want}}));
    EXPECT_FALSE(AnyCommitRecord(dir));
    Ok("UPDATE A SET V = 0");
    Ok("UPDATE B SET V = 0");
    EngDisconnect(conn_);
    conn_ = 0;
  }
}

// Children run multi-row statements and two-table transactions in a loop
// and are killed at random moments. After each kill: A and B moved
// together, every record of a table by the same steps (C's statements
// alone), every batch of L's multi-row INSERTs, and of its DELETEs, is
// wholly there or wholly gone, and every tag agrees with its records.
TEST_F(SqlAtomicTest, KilledStatementsAndTransactionsAreWholeOrAbsent) {
  for (const char* t : {"A", "B", "C"})
    for (const std::string& s : MakeTable(t, kRows)) Ok(s);
  for (const std::string& s : MakeTable("L", 0)) Ok(s);
  EngDisconnect(conn_);
  conn_ = 0;
  const std::string dir = dir_.path();
#ifdef DBU_SANITIZED_BUILD
  const int rounds = 25;
#else
  const int rounds = 80;
#endif
  constexpr int kBatch = 200;
  std::mt19937 rng(20261209);
  int interrupted_statement = 0, interrupted_transaction = 0, committed_kills = 0;
  for (int round = 0; round < rounds; ++round) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ENGHANDLE conn = 0;
      if (EngConnect(dir.c_str(), &conn)) ::_exit(2);
      // Each child starts at another kind of work, so that the kills land in
      // every kind also where a slow build reaches only the first.
      for (int k = round % 4;; ++k) {
        std::vector<std::string> work;
        switch (k % 4) {
          case 0:
            work = {"BEGIN", "UPDATE A SET V = V + 1", "UPDATE B SET V = V + 1", "COMMIT"};
            break;
          case 1:
            work = {"UPDATE C SET V = V + 1"};
            break;
          case 3:
            // Deletes the batch inserted just before, so that L stays small.
            work = {"DELETE FROM L WHERE V = " + std::to_string(round * 1000 + k - 1)};
            break;
          default: {
            const int batch = round * 1000 + k;
            std::string insert = "INSERT INTO L (ID, V) VALUES ";
            for (int i = 0; i < kBatch; ++i)
              insert += (i ? ", (" : "(") + std::to_string(batch * 100 + i) + ", " + std::to_string(batch) + ")";
            work = {insert};
          }
        }
        if (!RunAll(conn, work).empty()) ::_exit(3);
      }
    }
    ::usleep(static_cast<useconds_t>(2000 + rng() % 40000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself (status " << status << ")";
    const bool in_a = JournalEntries(dir + "/A.jrn") != 0, in_b = JournalEntries(dir + "/B.jrn") != 0;
    if (in_a || in_b) ++interrupted_transaction;
    if (JournalEntries(dir + "/C.jrn") != 0 || JournalEntries(dir + "/L.jrn") != 0) ++interrupted_statement;
    if (AnyCommitRecord(dir)) ++committed_kills;

    ASSERT_EQ(EngConnect(dir.c_str(), &conn_), 0u) << LastError();
    std::map<std::string, std::vector<Row>> tables;
    for (const char* t : {"A", "B", "C", "L"}) {
      std::vector<Row>& rows = tables[t];
      ASSERT_EQ(ReadTable(conn_, t, &rows), "") << "round " << round;
    }
    for (const char* t : {"A", "B", "C"}) {
      ASSERT_EQ(tables[t].size(), static_cast<size_t>(kRows)) << t;
      std::set<int32_t> values;
      for (const Row& r : tables[t]) values.insert(r.v);
      ASSERT_EQ(values.size(), 1u) << "round " << round << ": a statement on " << t << " was applied in part";
    }
    ASSERT_EQ(tables["A"][0].v, tables["B"][0].v) << "round " << round << ": a transaction was applied in part";
    std::map<int32_t, int> batches;
    for (const Row& r : tables["L"]) ++batches[r.v];
    for (const auto& [batch, count] : batches) ASSERT_EQ(count, kBatch) << "batch " << batch << " of L in part";
    EXPECT_FALSE(AnyCommitRecord(dir)) << "round " << round << ": a commit record outlived its recovery";
    EngDisconnect(conn_);
    conn_ = 0;
  }
  std::printf("%d kills: %d inside a transaction, %d inside a statement, %d after a commit point\n", rounds,
              interrupted_transaction, interrupted_statement, committed_kills);
  // The kills must have cut into the work they test.
  EXPECT_GT(interrupted_transaction, rounds / 10);
  EXPECT_GT(interrupted_statement, rounds / 10);
}

}  // namespace
