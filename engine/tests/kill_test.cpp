// A child process changes a table in a loop and is killed at random moments.
// After every kill the table must open, and its records must be exactly those
// of the writes the child completed, plus at most the one it was making.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "test_util.h"

namespace {

struct Row {
  int32_t id;
  std::string value, memo;
  bool operator==(const Row& o) const { return id == o.id && value == o.value && memo == o.memo; }
};

std::string MemoFor(int32_t id, int version) { return std::string(static_cast<size_t>(id % 700 + version % 5 + 1), static_cast<char>('a' + (id + version) % 26)); }

ENGHANDLE OpenKillTable(ENGHANDLE conn) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, "kill", nullptr, 3, 1, 1, 2, 0, &t)) return 0;
  return t;
}

void Send(int fd, const std::string& line) {
  std::string l = line + "\n";
  if (::write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) ::_exit(9);
}

// The child: appends, updates and deletes records it made, reporting each
// operation before it starts ("I ...") and after it completed ("C").
[[noreturn]] void Writer(const std::string& dir, int fd, int round) {
  ENGHANDLE conn = 0;
  if (EngConnect(dir.c_str(), &conn)) ::_exit(2);
  ENGHANDLE t = OpenKillTable(conn);
  if (!t) ::_exit(3);
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

// Walks tag `name` and checks that it visits exactly the records of `keys`
// (key, record number) in key order.
void CheckTagWalk(ENGHANDLE t, const char* name, std::vector<std::pair<std::pair<std::string, int32_t>, uint32_t>> keys,
                  std::string* error) {
  ENGHANDLE tag = 0;
  if (EngGetIndexHandle(t, name, &tag)) {
    *error = std::string("tag ") + name + " missing: " + engtest::LastError();
    return;
  }
  std::sort(keys.begin(), keys.end());
  std::vector<uint32_t> expected, walked;
  for (const auto& k : keys) expected.push_back(k.second);
  uint16_t eof = 0;
  EngGotoTop(tag);
  while (EngAtEOF(tag, &eof) == 0 && !eof && walked.size() <= expected.size()) {
    uint32_t recno = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
    walked.push_back(recno);
    EngSkip(tag, 1);
  }
  if (walked != expected) *error = std::string("tag ") + name + " does not walk the live records in key order";
}

std::map<uint32_t, Row> ReadTable(ENGHANDLE conn, std::string* error) {
  std::map<uint32_t, Row> rows;
  ENGHANDLE t = OpenKillTable(conn);
  if (!t) {
    *error = "open failed: " + engtest::LastError();
    return rows;
  }
  EngGotoTop(t);
  uint16_t eof = 0;
  while (EngAtEOF(t, &eof) == 0 && !eof) {
    uint32_t recno = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
    uint8_t raw[32];
    uint32_t len = sizeof raw;
    if (EngGetRecord(t, raw, &len)) *error = "read failed: " + engtest::LastError();
    Row r;
    std::memcpy(&r.id, raw, 4);
    char buf[8192];
    uint32_t blen = sizeof buf;
    EngGetField(t, 2, reinterpret_cast<uint8_t*>(buf), &blen);
    r.value.assign(buf, blen);
    r.value.erase(r.value.find_last_not_of(' ') + 1);
    blen = sizeof buf;
    if (EngGetField(t, 3, reinterpret_cast<uint8_t*>(buf), &blen)) *error = "memo read failed: " + engtest::LastError();
    r.memo.assign(buf, blen);
    rows[recno] = r;
    EngSkip(t, 1);
  }
  // Every tag walks exactly the live records, in key order.
  std::vector<std::pair<std::pair<std::string, int32_t>, uint32_t>> by_value, by_id;
  for (const auto& [recno, row] : rows) {
    by_value.push_back({{row.value, row.id}, recno});
    by_id.push_back({{std::string(), row.id}, recno});
  }
  if (error->empty()) CheckTagWalk(t, "ID", std::move(by_id), error);
  if (error->empty()) CheckTagWalk(t, "VAL", std::move(by_value), error);
  EngCloseTable(t);
  return rows;
}

// Applies one reported operation ("A id", "U recno value k", "D recno") to
// the model; an append lands at recno.
void ApplyOp(const std::string& intent, uint32_t recno_of_append, std::map<uint32_t, Row>& model) {
  std::istringstream op(intent.substr(2));
  char kind;
  op >> kind;
  if (kind == 'A') {
    int32_t id;
    op >> id;
    model[recno_of_append] = Row{id, "v" + std::to_string(id), MemoFor(id, 0)};
  } else if (kind == 'U') {
    uint32_t recno;
    std::string value;
    int k;
    op >> recno >> value >> k;
    model[recno].value = value;
    model[recno].memo = MemoFor(static_cast<int32_t>(recno), k);
  } else {
    uint32_t recno;
    op >> recno;
    model.erase(recno);
  }
}

TEST(KillTest, EveryTableSurvivesAKillAtAnyMoment) {
  engtest::TempDir dir;
  ENGHANDLE conn = 0;
  ASSERT_EQ(EngConnect(dir.path().c_str(), &conn), 0u);
  ENGHANDLE t = 0;
  ASSERT_EQ(EngCreateTable(conn, "kill", "ID,Integer;VALUE,Char,12;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t), 0u)
      << engtest::LastError();
  ASSERT_EQ(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr), 0u) << engtest::LastError();
  ASSERT_EQ(EngCreateIndex(t, "VAL", "VALUE;ID", 0, 0, nullptr), 0u) << engtest::LastError();
  EngCloseTable(t);

  std::map<uint32_t, Row> model;
  std::mt19937 rng(12345);
  int in_flight_seen = 0, interrupted = 0, round = 1;
  // More rounds than the least on a loaded machine, until enough kills land inside a change.
  for (; round <= 120 && (round <= 40 || interrupted < 20); ++round) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipefd[0]);
      Writer(dir.path(), pipefd[1], round);
    }
    ::close(pipefd[1]);
    // Kill only once the writer is under way (its start-up time varies, a lot
    // under sanitizers), at a random moment after its first completed write.
    std::string log;
    char buf[4096];
    ssize_t n;
    while (log.find("C") == std::string::npos && (n = ::read(pipefd[0], buf, sizeof buf)) > 0)
      log.append(buf, static_cast<size_t>(n));
    ::usleep(rng() % 15000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with " << WEXITSTATUS(status);
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) log.append(buf, static_cast<size_t>(n));
    ::close(pipefd[0]);

    // Replay the completed operations; remember the one in flight.
    std::istringstream in(log);
    std::string line, intent;
    while (std::getline(in, line)) {
      if (line.rfind("I ", 0) == 0) {
        intent = line;
        continue;
      }
      if (line.empty() || line[0] != 'C' || intent.empty()) continue;  // a torn last line
      ApplyOp(intent, intent[2] == 'A' ? static_cast<uint32_t>(std::stoul(line.substr(2))) : 0, model);
      intent.clear();
    }

    if (!intent.empty()) ++interrupted;
    std::string error;
    std::map<uint32_t, Row> table = ReadTable(conn, &error);
    ASSERT_TRUE(error.empty()) << "round " << round << ": " << error;
    if (table == model) continue;
    // Otherwise the operation in flight must have completed, entirely.
    ASSERT_FALSE(intent.empty()) << "round " << round << ": table differs from the completed writes";
    std::map<uint32_t, Row> after = model;
    uint32_t appended = 0;
    if (intent[2] == 'A') {
      ASSERT_EQ(table.size(), model.size() + 1) << "round " << round;
      for (const auto& entry : table)
        if (!model.count(entry.first)) appended = entry.first;
    }
    ApplyOp(intent, appended, after);
    ASSERT_TRUE(table == after) << "round " << round << ": a write in flight was applied partly: " << intent;
    model = after;
    ++in_flight_seen;
  }
  // The writer spends nearly all its time inside operations: most kills must
  // have interrupted one, or this test proves little.
  EXPECT_GE(interrupted, 20) << "of " << round - 1 << " kills";
  std::printf("kill test: %zu live records after %d kills; %d kills interrupted a write, %d of them after its last step\n",
              model.size(), round - 1, interrupted, in_flight_seen);
  EngDisconnect(conn);
}

}  // namespace
