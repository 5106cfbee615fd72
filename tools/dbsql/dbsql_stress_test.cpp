// Black-box stress test of the real dbsql: several writers and readers work
// on one table with a unique and a second index while the test kills them
// (SIGKILL) at random moments and starts them again.
//
// Writers run scripts of single-row statements: increments of a shared
// counter row (HOT), increments of a row capped by its WHERE (CAP, N < cap),
// inserts of new keys and deletes of their own earlier rows. Each writer
// counts its own increments in a column of its own on the counter rows
// (C<w>, in the same statement), so that the statement it had in flight when
// killed can be told exactly: after each kill the test reads its column and
// its key back through dbsql, and the statement must be there entirely or
// not at all. Every statement dbsql acknowledged ("N rows affected") must be
// there exactly once. Readers check, all along, that each counter row they
// see is whole (N is the sum of its columns), that HOT never goes back and
// that CAP never passes its cap. At the end, with every process gone, the
// table must hold exactly the model's rows and each index must walk them in
// its key order.
//
// Seeded and bounded in time; DBU_STRESS_SEED, DBU_STRESS_SECONDS,
// DBU_STRESS_WRITERS and DBU_STRESS_READERS change the run (README).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct Settings {
  uint64_t seed = EnvOr("DBU_STRESS_SEED", 20240517);
#ifdef DBU_SANITIZED_BUILD
  // The sanitized binaries start and run several times slower: kill less often.
  uint64_t seconds = EnvOr("DBU_STRESS_SECONDS", 5);
  int kill_min_ms = 150, kill_max_ms = 600;
#else
  uint64_t seconds = EnvOr("DBU_STRESS_SECONDS", 4);
  int kill_min_ms = 20, kill_max_ms = 120;
#endif
  int writers = static_cast<int>(EnvOr("DBU_STRESS_WRITERS", 3));
  int readers = static_cast<int>(EnvOr("DBU_STRESS_READERS", 2));
  static constexpr int kCap = 150;             // CAP's WHERE N < kCap
  static constexpr size_t kScriptLength = 400;  // statements per writer script
};

std::string DbsqlPath() {
  const char* v = std::getenv("DBU_DBSQL");
  return v && *v ? v : DBSQL_PATH;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  std::istringstream in(line);
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  if (!line.empty() && line.back() == ',') cells.emplace_back();
  return cells;
}

// A dbsql process whose standard output the test reads through a pipe, a
// line at a time (standard error goes to a file).
class DbsqlProcess {
 public:
  DbsqlProcess(const std::vector<std::string>& args, const std::string& errors) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) ::dup2(err, 2);
      int null = ::open("/dev/null", O_RDONLY);
      if (null >= 0) ::dup2(null, 0);
      std::vector<char*> argv;
      std::string path = DbsqlPath();
      argv.push_back(path.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(path.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~DbsqlProcess() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  DbsqlProcess(const DbsqlProcess&) = delete;
  DbsqlProcess& operator=(const DbsqlProcess&) = delete;

  int fd() const { return fd_; }
  bool started() const { return pid_ > 0 && fd_ >= 0; }
  // Reads what the pipe holds; false once it is closed and drained.
  bool Read() {
    char buf[4096];
    while (true) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) {
        pending_.append(buf, static_cast<size_t>(n));
        continue;
      }
      return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
  }
  // The complete lines read since the last call (a torn last line waits).
  std::vector<std::string> TakeLines() {
    size_t end = pending_.rfind('\n');
    if (end == std::string::npos) return {};
    std::vector<std::string> lines = SplitLines(pending_.substr(0, end + 1));
    pending_.erase(0, end + 1);
    return lines;
  }
  // Whether the process has ended by itself (*status: its wait status).
  bool Ended(int* status) {
    if (reaped_) return true;
    if (::waitpid(pid_, status, WNOHANG) != pid_) return false;
    reaped_ = true;
    while (Read()) {
    }
    return true;
  }
  // Kills it (or, with kill false, waits for its end); returns its wait
  // status. Everything it wrote is read after.
  int Kill(bool kill = true) {
    int status = 0;
    if (!reaped_) {
      if (kill) ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      reaped_ = true;
    }
    ::fcntl(fd_, F_SETFL, 0);
    while (true) {
      char buf[4096];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      pending_.append(buf, static_cast<size_t>(n));
    }
    return status;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool reaped_ = false;
  std::string pending_;
};

enum class Kind { kHot, kCap, kInsert, kDelete };

struct Statement {
  Kind kind;
  std::string key;  // insert, delete
  std::string sql;
};

struct Row {
  int32_t id, w, n;
  bool operator==(const Row& o) const { return id == o.id && w == o.w && n == o.n; }
};

// One writer: its scripts, what it was acknowledged, and the model of its
// share of the table.
struct Writer {
  int index = 0;
  std::mt19937_64 rng;
  uint64_t next_seq = 0;
  std::vector<Statement> script;
  size_t acked = 0;  // statements of the script acknowledged
  std::unique_ptr<DbsqlProcess> process;
  // The model.
  int64_t hot = 0, cap = 0;
  bool cap_refused = false;  // a CAP increment changed nothing (N had reached the cap)
  std::map<std::string, Row> rows;
  // Figures.
  uint64_t statements = 0, kills = 0, in_flight = 0, in_flight_landed = 0;
};

class DbsqlStressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dbsql_stress.XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    errors_ = dir_ + "/errors.txt";
    db_ = dir_ + "/db";
    std::filesystem::create_directory(db_);
  }
  void TearDown() override {
    writers_.clear();
    readers_.clear();
    if (!HasFailure()) std::filesystem::remove_all(dir_);
    else std::printf("stress test files kept in %s\n", dir_.c_str());
  }

  std::string Counters() const {
    std::string s;
    for (int w = 0; w < settings_.writers; ++w) s += ", C" + std::to_string(w);
    return s;
  }

  // Runs dbsql to its end, checks it succeeded, and returns its output.
  std::string Dbsql(const std::vector<std::string>& args) {
    DbsqlProcess p(args, errors_);
    if (!p.started()) {
      ADD_FAILURE() << "cannot start " << DbsqlPath();
      return "";
    }
    struct pollfd pfd{p.fd(), POLLIN, 0};
    while (true) {
      ::poll(&pfd, 1, 1000);
      if (!p.Read()) break;
    }
    int status = p.Kill(false);
    std::vector<std::string> lines = p.TakeLines();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "dbsql failed: " << ErrorsText();
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
  }
  std::string ErrorsText() const {
    std::ifstream in(errors_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  Statement NextStatement(Writer& w, std::set<std::string>& planned) {
    uint64_t seq = w.next_seq++;
    std::string c = "C" + std::to_string(w.index);
    int pick = static_cast<int>(w.rng() % 100);
    if (pick >= 90 && planned.empty()) pick = 0;
    if (pick < 35)
      return {Kind::kHot, "", "UPDATE S SET N = N + 1, " + c + " = " + c + " + 1 WHERE K = 'HOT'"};
    if (pick < 55)
      return {Kind::kCap, "",
              "UPDATE S SET N = N + 1, " + c + " = " + c + " + 1 WHERE K = 'CAP' AND N < " +
                  std::to_string(Settings::kCap)};
    if (pick < 90) {
      std::string key = "w" + std::to_string(w.index) + "-" + std::to_string(seq);
      planned.insert(key);
      Row r = InsertedRow(w.index, seq);
      return {Kind::kInsert, key,
              "INSERT INTO S (ID, K, W, N) VALUES (" + std::to_string(r.id) + ", '" + key + "', " +
                  std::to_string(r.w) + ", " + std::to_string(r.n) + ")"};
    }
    auto it = planned.begin();
    std::advance(it, static_cast<long>(w.rng() % planned.size()));
    std::string key = *it;
    planned.erase(it);
    return {Kind::kDelete, key, "DELETE FROM S WHERE K = '" + key + "'"};
  }
  static Row InsertedRow(int writer, uint64_t seq) {
    return {writer * 10000000 + static_cast<int32_t>(seq), writer + 1, static_cast<int32_t>(seq % 97)};
  }
  static uint64_t SeqOfKey(const std::string& key) { return std::stoull(key.substr(key.find('-') + 1)); }

  // Starts writer w on a new script that goes on from its model.
  void StartWriter(Writer& w) {
    std::set<std::string> planned;
    for (const auto& r : w.rows) planned.insert(r.first);
    w.script.clear();
    w.acked = 0;
    std::string path = dir_ + "/writer" + std::to_string(w.index) + ".sql";
    std::ofstream out(path, std::ios::trunc);
    for (size_t i = 0; i < Settings::kScriptLength; ++i) {
      w.script.push_back(NextStatement(w, planned));
      out << w.script.back().sql << ";\n";
    }
    out.close();
    w.process = std::make_unique<DbsqlProcess>(std::vector<std::string>{"--file", path, db_}, errors_);
    ASSERT_TRUE(w.process->started());
  }

  // Applies the acknowledgements the writer printed.
  void TakeAcks(Writer& w) {
    for (const std::string& line : w.process->TakeLines()) {
      unsigned long count = std::strtoul(line.c_str(), nullptr, 10);
      ASSERT_EQ(line, std::to_string(count) + (count == 1 ? " row affected" : " rows affected"))
          << "writer " << w.index << " printed something else";
      ASSERT_LT(w.acked, w.script.size()) << "writer " << w.index << ": more acknowledgements than statements";
      const Statement& s = w.script[w.acked++];
      ++w.statements;
      switch (s.kind) {
        case Kind::kHot:
          ASSERT_EQ(count, 1u) << s.sql;
          ++w.hot;
          break;
        case Kind::kCap:
          ASSERT_LE(count, 1u) << s.sql;
          w.cap += static_cast<int64_t>(count);
          if (count == 0) w.cap_refused = true;
          break;
        case Kind::kInsert:
          ASSERT_EQ(count, 1u) << s.sql;
          w.rows[s.key] = InsertedRow(w.index, SeqOfKey(s.key));
          break;
        case Kind::kDelete:
          ASSERT_EQ(count, 1u) << s.sql;
          w.rows.erase(s.key);
          break;
      }
    }
  }

  // The counter rows and, when given, the row of key, as dbsql reads them
  // now: key -> (N, C0, C1, ...).
  std::map<std::string, std::vector<int64_t>> ReadBack(const std::string& key) {
    std::string where = "W = 0" + (key.empty() ? std::string() : " OR K = '" + key + "'");
    std::string out = Dbsql({"--csv", db_, "SELECT K, N" + Counters() + " FROM S WHERE " + where});
    std::map<std::string, std::vector<int64_t>> rows;
    std::vector<std::string> lines = SplitLines(out);
    for (size_t i = 1; i < lines.size(); ++i) {
      std::vector<std::string> cells = SplitCsv(lines[i]);
      std::vector<int64_t> values;
      for (size_t c = 1; c < cells.size(); ++c) values.push_back(cells[c].empty() ? 0 : std::stoll(cells[c]));
      rows[cells[0]] = values;
    }
    return rows;
  }

  // Kills writer w (or finds it ended), accounts for the statement it had
  // in flight from what the table holds, and starts it again unless told not to.
  void StopWriter(Writer& w, bool kill, bool restart) {
    int status = 0;
    if (kill) {
      status = w.process->Kill();
      ++w.kills;
    } else {
      ASSERT_TRUE(w.process->Ended(&status));
    }
    TakeAcks(w);
    if (HasFatalFailure()) return;
    bool finished = w.acked == w.script.size();
    if (!kill || finished) {
      // (Killed after its last statement, it may not have exited yet.)
      ASSERT_TRUE(finished && (kill || (WIFEXITED(status) && WEXITSTATUS(status) == 0)))
          << "writer " << w.index << " stopped after " << w.acked << " of " << w.script.size()
          << " statements: " << ErrorsText();
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << "writer " << w.index << " stopped by itself: " << ErrorsText();
      // The statement in flight is there entirely or not at all; nothing else changed.
      const Statement& s = w.script[w.acked];
      ++w.in_flight;
      auto rows = ReadBack(s.key);
      ASSERT_TRUE(rows.count("HOT") && rows.count("CAP")) << "counter rows missing";
      const size_t c = 1 + static_cast<size_t>(w.index);
      int64_t hot = rows["HOT"][c], cap = rows["CAP"][c];
      bool landed = false;
      switch (s.kind) {
        case Kind::kHot:
          ASSERT_TRUE(hot == w.hot || hot == w.hot + 1) << "HOT column of writer " << w.index << ": " << hot
                                                        << ", acknowledged " << w.hot;
          landed = hot == w.hot + 1;
          w.hot = hot;
          break;
        case Kind::kCap:
          ASSERT_TRUE(cap == w.cap || cap == w.cap + 1) << "CAP column of writer " << w.index << ": " << cap
                                                        << ", acknowledged " << w.cap;
          landed = cap == w.cap + 1;
          w.cap = cap;
          break;
        case Kind::kInsert:
          landed = rows.count(s.key) != 0;
          if (landed) w.rows[s.key] = InsertedRow(w.index, SeqOfKey(s.key));
          break;
        case Kind::kDelete:
          landed = rows.count(s.key) == 0;
          if (landed) w.rows.erase(s.key);
          break;
      }
      ASSERT_EQ(hot, w.hot) << "writer " << w.index << ": HOT column differs from its statements";
      ASSERT_EQ(cap, w.cap) << "writer " << w.index << ": CAP column differs from its statements";
      if (landed) ++w.in_flight_landed;
    }
    w.process.reset();
    if (restart) StartWriter(w);
  }

  // A reader: the same two queries over and over, checked as they come.
  void StartReader(size_t r) {
    std::string path = dir_ + "/reader.sql";
    if (!std::filesystem::exists(path)) {
      std::ofstream out(path);
      for (int i = 0; i < 200; ++i) {
        std::string sum = "C0";
        for (int w = 1; w < settings_.writers; ++w) sum += " + C" + std::to_string(w);
        out << "SELECT K, N, " << sum << " AS SUMC FROM S WHERE W = 0;\n";
        out << "SELECT COUNT(*) AS ROWSN FROM S WHERE W > 0;\n";
      }
    }
    readers_[r].process = std::make_unique<DbsqlProcess>(std::vector<std::string>{"--csv", "--file", path, db_}, errors_);
    readers_[r].last_hot = -1;
    ASSERT_TRUE(readers_[r].process->started());
  }
  void TakeReads(size_t r) {
    Reader& reader = readers_[r];
    for (const std::string& line : reader.process->TakeLines()) {
      std::vector<std::string> cells = SplitCsv(line);
      if (cells.size() != 3 || (cells[0] != "HOT" && cells[0] != "CAP")) continue;
      int64_t n = std::stoll(cells[1]), sum = std::stoll(cells[2]);
      ++reader.rows_seen;
      ASSERT_EQ(n, sum) << "reader " << r << " saw a counter row whose N is not the sum of its writers' counts"
                        << " (a change lost or applied in part): " << line;
      if (cells[0] == "CAP") {
        ASSERT_LE(n, Settings::kCap) << "reader " << r << " saw CAP past its cap";
      }
      if (cells[0] == "HOT") {
        ASSERT_GE(n, reader.last_hot) << "reader " << r << " saw HOT go back";
        reader.last_hot = n;
      }
    }
  }

  struct Reader {
    std::unique_ptr<DbsqlProcess> process;
    int64_t last_hot = -1;
    uint64_t rows_seen = 0, kills = 0;
  };

  Settings settings_;
  std::string dir_, db_, errors_;
  std::vector<Writer> writers_;
  std::vector<Reader> readers_;
};

TEST_F(DbsqlStressTest, KilledWritersLoseNothingAndLeaveNothingHalfDone) {
  const Settings& s = settings_;
  ASSERT_GE(s.writers, 1);
  std::string zeros;
  for (int w = 0; w < s.writers; ++w) zeros += ", 0";
  std::string columns;
  for (int w = 0; w < s.writers; ++w) columns += ", C" + std::to_string(w) + " integer";
  Dbsql({db_, "CREATE TABLE S (ID integer, K char(16), W integer, N integer" + columns + ")",
         "INSERT INTO S (ID, K, W, N" + Counters() + ") VALUES (-1, 'HOT', 0, 0" + zeros + "), (-2, 'CAP', 0, 0" + zeros + ")",
         "CREATE UNIQUE INDEX BYKEY ON S (K)", "CREATE INDEX BYWN ON S (W, N)"});
  ASSERT_FALSE(HasFailure());

  std::mt19937_64 rng(s.seed);
  writers_.resize(static_cast<size_t>(s.writers));
  for (int w = 0; w < s.writers; ++w) {
    writers_[static_cast<size_t>(w)].index = w;
    writers_[static_cast<size_t>(w)].rng.seed(s.seed * 1000 + static_cast<uint64_t>(w));
    StartWriter(writers_[static_cast<size_t>(w)]);
  }
  readers_.resize(static_cast<size_t>(s.readers));
  for (size_t r = 0; r < readers_.size(); ++r) StartReader(r);
  ASSERT_FALSE(HasFatalFailure());

  auto until = [&](int min_ms, int max_ms) {
    return Clock::now() + std::chrono::milliseconds(min_ms + static_cast<int>(rng() % static_cast<uint64_t>(max_ms - min_ms + 1)));
  };
  const auto deadline = Clock::now() + std::chrono::seconds(s.seconds);
  auto next_kill = until(s.kill_min_ms, s.kill_max_ms);
  uint64_t reader_kills = 0;
  while (Clock::now() < deadline) {
    std::vector<struct pollfd> fds;
    for (auto& w : writers_) fds.push_back({w.process->fd(), POLLIN, 0});
    for (auto& r : readers_) fds.push_back({r.process->fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), 5);
    for (auto& w : writers_) {
      w.process->Read();
      TakeAcks(w);
      int status = 0;
      if (w.process->Ended(&status)) StopWriter(w, false, true);
      ASSERT_FALSE(HasFatalFailure());
    }
    for (size_t r = 0; r < readers_.size(); ++r) {
      readers_[r].process->Read();
      TakeReads(r);
      int status = 0;
      if (readers_[r].process->Ended(&status)) {
        TakeReads(r);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader " << r << " failed: " << ErrorsText();
        StartReader(r);
      }
      ASSERT_FALSE(HasFatalFailure());
    }
    if (Clock::now() < next_kill) continue;
    next_kill = until(s.kill_min_ms, s.kill_max_ms);
    size_t victim = rng() % (writers_.size() + readers_.size());
    if (victim < writers_.size()) {
      StopWriter(writers_[victim], true, true);
    } else {
      Reader& r = readers_[victim - writers_.size()];
      r.process->Kill();
      TakeReads(victim - writers_.size());
      ++r.kills;
      ++reader_kills;
      StartReader(victim - writers_.size());
    }
    ASSERT_FALSE(HasFatalFailure());
  }
  // The end: every writer is killed once more, every reader stopped.
  for (auto& w : writers_) {
    StopWriter(w, true, false);
    ASSERT_FALSE(HasFatalFailure());
  }
  for (size_t r = 0; r < readers_.size(); ++r) {
    readers_[r].process->Kill();
    TakeReads(r);
    readers_[r].process.reset();
  }
  ASSERT_FALSE(HasFatalFailure());

  // The model: every acknowledged statement once, and the in-flight ones found.
  int64_t hot = 0, cap = 0;
  bool cap_refused = false;
  std::map<std::string, Row> rows;
  uint64_t statements = 0, kills = 0, in_flight = 0, landed = 0, reads = 0;
  for (const auto& w : writers_) {
    hot += w.hot;
    cap += w.cap;
    cap_refused = cap_refused || w.cap_refused;
    rows.insert(w.rows.begin(), w.rows.end());
    statements += w.statements;
    kills += w.kills;
    in_flight += w.in_flight;
    landed += w.in_flight_landed;
  }
  for (const auto& r : readers_) reads += r.rows_seen;

  // The table as the engine reads it, record by record and through each index.
  ENGHANDLE conn = 0, t = 0;
  ASSERT_EQ(EngConnect(db_.c_str(), &conn), 0u);
  ASSERT_EQ(EngOpenTable(conn, "S", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                         0, &t),
            0u);
  auto field = [&](uint16_t f) {
    char buf[64];
    uint32_t len = sizeof buf;
    EXPECT_EQ(EngGetField(t, f, reinterpret_cast<uint8_t*>(buf), &len), 0u);
    std::string v(buf, len);
    return v.substr(0, v.find_last_not_of(' ') + 1);
  };
  struct Stored {
    uint32_t recno;
    std::string key;
    Row row;
    std::vector<int64_t> counters;
  };
  std::vector<Stored> stored;
  uint16_t eof = 0;
  ASSERT_EQ(EngGotoTop(t), 0u);
  for (EngAtEOF(t, &eof); !eof; EngAtEOF(t, &eof)) {
    Stored st;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &st.recno);
    st.key = field(2);
    st.row = {std::stoi(field(1)), std::stoi(field(3)), std::stoi(field(4))};
    for (int w = 0; w < s.writers; ++w) {
      std::string c = field(static_cast<uint16_t>(5 + w));
      st.counters.push_back(c.empty() ? 0 : std::stoll(c));
    }
    stored.push_back(st);
    ASSERT_EQ(EngSkip(t, 1), 0u);
  }
  uint32_t count = 0;
  EngGetRecordCount(t, ENG_IGNOREFILTERS, &count);
  EXPECT_EQ(count, stored.size()) << "the record count differs from the records";

  std::map<std::string, Row> found;
  for (const auto& st : stored) {
    if (st.key == "HOT") {
      EXPECT_EQ(st.row.n, hot) << "HOT";
      for (int w = 0; w < s.writers; ++w) EXPECT_EQ(st.counters[static_cast<size_t>(w)], writers_[static_cast<size_t>(w)].hot);
    } else if (st.key == "CAP") {
      EXPECT_EQ(st.row.n, cap) << "CAP";
      EXPECT_LE(st.row.n, Settings::kCap);
      if (cap_refused) {
        EXPECT_EQ(st.row.n, Settings::kCap) << "an increment was refused before CAP reached its cap";
      }
      for (int w = 0; w < s.writers; ++w) EXPECT_EQ(st.counters[static_cast<size_t>(w)], writers_[static_cast<size_t>(w)].cap);
    } else {
      EXPECT_TRUE(found.emplace(st.key, st.row).second) << "key " << st.key << " twice";
    }
  }
  EXPECT_EQ(stored.size(), rows.size() + 2);
  EXPECT_TRUE(found == rows) << found.size() << " inserted rows stored, " << rows.size() << " expected";

  // Each index walks exactly the records, in its key order (ties by record number).
  auto walk = [&](const char* tag_name) {
    std::vector<uint32_t> order;
    ENGHANDLE tag = 0;
    EXPECT_EQ(EngGetIndexHandle(t, tag_name, &tag), 0u) << tag_name;
    if (!tag) return order;
    EngGotoTop(tag);
    for (EngAtEOF(tag, &eof); !eof && order.size() <= stored.size(); EngAtEOF(tag, &eof)) {
      uint32_t recno = 0;
      EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
      order.push_back(recno);
      EngSkip(tag, 1);
    }
    return order;
  };
  std::vector<Stored> by_key = stored, by_wn = stored;
  std::sort(by_key.begin(), by_key.end(), [](const Stored& a, const Stored& b) { return a.key < b.key; });
  std::sort(by_wn.begin(), by_wn.end(), [](const Stored& a, const Stored& b) {
    return std::tie(a.row.w, a.row.n, a.recno) < std::tie(b.row.w, b.row.n, b.recno);
  });
  std::vector<uint32_t> expect_key, expect_wn;
  for (const auto& st : by_key) expect_key.push_back(st.recno);
  for (const auto& st : by_wn) expect_wn.push_back(st.recno);
  EXPECT_EQ(walk("BYKEY"), expect_key) << "the unique index disagrees with the records";
  EXPECT_EQ(walk("BYWN"), expect_wn) << "the (W, N) index disagrees with the records";
  EngCloseTable(t);
  EngDisconnect(conn);

  EXPECT_GT(kills, 0u);
  EXPECT_GT(in_flight, 0u) << "no kill interrupted a statement";
  std::printf(
      "dbsql stress (seed %llu, %llu s): %d writers, %d readers; %llu statements acknowledged; %llu writer kills "
      "(%llu with a statement in flight, %llu of those found done), %llu reader kills; %llu counter rows read; "
      "final HOT %lld, CAP %lld of %d, %zu inserted rows\n",
      static_cast<unsigned long long>(s.seed), static_cast<unsigned long long>(s.seconds), s.writers, s.readers,
      static_cast<unsigned long long>(statements), static_cast<unsigned long long>(kills),
      static_cast<unsigned long long>(in_flight), static_cast<unsigned long long>(landed),
      static_cast<unsigned long long>(reader_kills), static_cast<unsigned long long>(reads),
      static_cast<long long>(hot), static_cast<long long>(cap), Settings::kCap, rows.size());
}

}  // namespace
