// UPDATE and DELETE from several processes at once on one table: each row's
// new values come from the row as it is when written, and its WHERE holds
// at that moment, so no change is lost and no row is changed or deleted
// after it stopped matching. The affected-row counts the statements report
// add up to exactly what happened to the table.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "sql_test_util.h"

using namespace engtest;

namespace {

#ifdef DBU_SANITIZED_BUILD
constexpr int kRepeats = 400;
#else
constexpr int kRepeats = 2000;
#endif
// The tables have a wide column: each statement then spends a while copying
// its row, and the processes' statements on one row overlap often.
#define WIDE_NOTE "NOTE char(20000)"

class SqlWritersTest : public SqlTest {
 protected:
  // Runs each child's statements in a process of its own, all at once;
  // returns the affected-row counts each child's statements summed to (-1
  // for a child whose statement failed or that did not finish).
  // next(k) gives a child's k-th statement, or "" when it is done.
  std::vector<int64_t> InProcesses(const std::vector<std::function<std::string(int k)>>& children) {
    EngDisconnect(conn_);  // a child opens its own
    conn_ = 0;
    std::vector<pid_t> pids;
    std::vector<int> reads;
    int go[2];  // closed by the parent once every child is there: they start together
    if (::pipe(go) != 0) return {};
    for (const auto& next : children) {
      int fds[2];
      if (::pipe(fds) != 0) break;
      pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        ::close(go[1]);
        ENGHANDLE conn = 0;
        if (EngConnect(dir_.path().c_str(), &conn) != 0) ::_exit(2);
        char byte;
        if (::read(go[0], &byte, 1) != 0) ::_exit(5);
        int64_t sum = 0;
        for (int k = 0;; ++k) {
          std::string sql = next(k);
          if (sql.empty()) break;
          ENGHANDLE stmt = 0;
          uint32_t count = 0;
          if (EngCreateSQLStatement(conn, &stmt) != 0 || EngExecuteSQLDirect(stmt, sql.c_str(), nullptr) != 0 ||
              EngGetRecordCount(stmt, 0, &count) != 0) {
            std::fprintf(stderr, "%s: %s\n", sql.c_str(), LastError().c_str());
            ::_exit(3);
          }
          EngCloseSQLStatement(stmt);
          sum += count;
        }
        EngDisconnect(conn);
        ssize_t n = ::write(fds[1], &sum, sizeof sum);
        ::_exit(n == sizeof sum ? 0 : 4);
      }
      ::close(fds[1]);
      pids.push_back(pid);
      reads.push_back(fds[0]);
    }
    ::close(go[0]);
    ::close(go[1]);
    std::vector<int64_t> sums;
    for (size_t i = 0; i < pids.size(); ++i) {
      int64_t sum = -1;
      if (::read(reads[i], &sum, sizeof sum) != sizeof sum) sum = -1;
      ::close(reads[i]);
      int status = 0;
      ::waitpid(pids[i], &status, 0);
      sums.push_back(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? sum : -1);
    }
    EXPECT_EQ(sums.size(), children.size());
    EXPECT_EQ(EngConnect(dir_.path().c_str(), &conn_), 0u) << LastError();
    return sums;
  }
  static std::function<std::string(int)> Repeat(std::string sql, int times) {
    return [sql, times](int k) { return k < times ? sql : std::string(); };
  }
  int64_t Number(const std::string& sql) {
    Rows_ r = Query(sql);
    return r.size() == 1 && r[0].size() == 1 ? std::stoll(r[0][0]) : -1;
  }
};

TEST_F(SqlWritersTest, IncrementsOfSeveralProcessesAreNeverLost) {
  Ok("CREATE TABLE T (ID integer, N integer, " WIDE_NOTE ")");
  Ok("INSERT INTO T (ID, N) VALUES (1, 0), (2, 0)");
  const std::string inc = "UPDATE T SET N = N + 1 WHERE ID = 1";
  std::vector<int64_t> sums = InProcesses({Repeat(inc, kRepeats), Repeat(inc, kRepeats), Repeat(inc, kRepeats)});
  EXPECT_EQ(sums, (std::vector<int64_t>(3, kRepeats)));  // every statement changed its row
  EXPECT_EQ(Number("SELECT N FROM T WHERE ID = 1"), 3 * kRepeats);
  EXPECT_EQ(Number("SELECT N FROM T WHERE ID = 2"), 0);
}

TEST_F(SqlWritersTest, ConditionHoldsWhenTheRowIsWritten) {
  // Each statement raises every row still below 100: each ends at exactly
  // 100, and the rows counted as changed are exactly the increments made.
  const int rows = 20;
  Ok("CREATE TABLE T (ID integer, N integer, " WIDE_NOTE ")");
  std::string insert = "INSERT INTO T (ID, N) VALUES (1, 0)";
  for (int i = 2; i <= rows; ++i) insert += ", (" + std::to_string(i) + ", 0)";
  Ok(insert);
  const std::string capped = "UPDATE T SET N = N + 1 WHERE N < 100";
  std::vector<int64_t> sums = InProcesses({Repeat(capped, 60), Repeat(capped, 60), Repeat(capped, 60)});
  ASSERT_EQ(sums.size(), 3u);
  EXPECT_EQ(sums[0] + sums[1] + sums[2], rows * 100) << sums[0] << " + " << sums[1] << " + " << sums[2];
  EXPECT_EQ(Query("SELECT COUNT(*) FROM T WHERE N = 100"), (Rows_{{std::to_string(rows)}}));
}

TEST_F(SqlWritersTest, NoRowIsTakenTwice) {
  // Two processes claim the rows nobody owns, a third deletes them, all
  // three going through the rows in the same order: each row goes to
  // exactly one of them.
  constexpr int rows = kRepeats * 3 / 10;
  Ok("CREATE TABLE T (ID integer, OWNER integer, " WIDE_NOTE ")");
  std::string insert = "INSERT INTO T (ID, OWNER) VALUES (1, 0)";
  for (int i = 2; i <= rows; ++i) insert += ", (" + std::to_string(i) + ", 0)";
  Ok(insert);
  auto each_row = [](std::string head) {
    return [head](int k) {
      return k < rows ? head + " WHERE ID = " + std::to_string(k + 1) + " AND OWNER = 0" : std::string();
    };
  };
  std::vector<int64_t> sums = InProcesses(
      {each_row("UPDATE T SET OWNER = 1"), each_row("UPDATE T SET OWNER = 2"), each_row("DELETE FROM T")});
  ASSERT_EQ(sums.size(), 3u);
  EXPECT_EQ(sums[0] + sums[1] + sums[2], rows) << sums[0] << " + " << sums[1] << " claimed, " << sums[2] << " deleted";
  EXPECT_EQ(Number("SELECT COUNT(*) FROM T WHERE OWNER = 1"), sums[0]);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM T WHERE OWNER = 2"), sums[1]);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM T"), sums[0] + sums[1]);
}

}  // namespace
