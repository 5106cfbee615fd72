// Several processes insert into one table while others open it. A table
// that only grows is never damaged: no open and no insert may fail, and
// every insert is there in the end. Each opener pauses right after mapping
// the table file until a writer has grown it, as a busy machine may pause
// it there, so that every open meets a file that grows under it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "table_file.h"
#include "test_util.h"

namespace {

constexpr int kWriters = 3, kOpeners = 2, kInserts = 80;
constexpr char kPassword[] = "growing";

struct GrowSetup {
  std::string dir;
  bool encrypted;
  int ready_fd;  // a writer says here that it has the table open
  int done_fd;   // read end: ends once every writer has made its inserts
};

ENGHANDLE OpenGrow(ENGHANDLE conn, bool encrypted) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, "grow", nullptr, 3, 1, 1, 2, 0, &t)) return 0;
  if (encrypted && EngEnableEncryption(t, kPassword)) {
    EngCloseTable(t);
    return 0;
  }
  return t;
}

// Exit status: 10 + the failing step; the error goes to stderr.
int Failed(const char* what, int step) {
  std::fprintf(stderr, "%s: %s\n", what, engtest::LastError().c_str());
  return 10 + step;
}

// Records of 60 KB, so that the file grows every few inserts. A writer
// keeps the table open throughout: an opener in its pause holds the
// opening lock, which a writer opening or closing would wait for.
int Writer(const GrowSetup& s, int done_write_fd, int32_t first_id) {
  ENGHANDLE conn = 0, t = 0;
  if (EngConnect(s.dir.c_str(), &conn)) return Failed("writer connect", 0);
  if (!(t = OpenGrow(conn, s.encrypted))) return Failed("writer open", 1);
  if (::write(s.ready_fd, "r", 1) != 1) return 9;
  for (int k = 0; k < kInserts; ++k) {
    int32_t id = first_id + k;
    std::string memo(static_cast<size_t>(50 + k % 200), 'm');
    if (EngAppendRecord(t) || EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4) ||
        EngSetField(t, 2, reinterpret_cast<const uint8_t*>(memo.data()), static_cast<uint32_t>(memo.size())) ||
        EngWriteRecord(t))
      return Failed("writer insert", 2);
  }
  ::close(done_write_fd);
  EngCloseTable(t);
  EngDisconnect(conn);
  return 0;
}

bool WritersDone(int done_fd) {
  char c;
  return ::read(done_fd, &c, 1) == 0;  // -1 (EAGAIN) while a writer is at work
}

off_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Opens, counts and closes the table until the writers are done.
int Opener(const GrowSetup& s) {
  const std::string adt = s.dir + "/grow.adt";
  eng::g_table_mapped_for_load = [&] {
    const off_t mapped = FileSize(adt);
    while (FileSize(adt) == mapped && !WritersDone(s.done_fd)) ::usleep(200);
  };
  ENGHANDLE conn = 0;
  if (EngConnect(s.dir.c_str(), &conn)) return Failed("opener connect", 0);
  while (!WritersDone(s.done_fd)) {
    ENGHANDLE t = OpenGrow(conn, s.encrypted);
    if (!t) return Failed("opener open", 1);
    uint32_t n = 0;
    if (EngGetRecordCount(t, ENG_IGNOREFILTERS, &n)) return Failed("opener count", 2);
    EngCloseTable(t);
  }
  EngDisconnect(conn);
  return 0;
}

class ConcurrentOpenTest : public ::testing::TestWithParam<bool> {};

TEST_P(ConcurrentOpenTest, OpensAndInsertsNeverTakeAGrowingTableForDamaged) {
  engtest::TempDir dir;
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  ASSERT_EQ(::fcntl(done[0], F_SETFL, O_NONBLOCK), 0);
  const GrowSetup s{dir.path(), GetParam(), ready[1], done[0]};
  ENGHANDLE conn = 0, t = 0;
  ASSERT_EQ(EngConnect(s.dir.c_str(), &conn), 0u);
  ASSERT_EQ(EngCreateTable(conn, "grow", "ID,Integer;NOTE,Memo;PAD,Char,60000", ENG_OPEN_EXCLUSIVE, &t), 0u)
      << engtest::LastError();
  ASSERT_EQ(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr), 0u) << engtest::LastError();
  if (s.encrypted) {
    // The key derived here stays cached in the children forked below.
    ASSERT_EQ(EngEnableEncryption(t, kPassword), 0u);
    ASSERT_EQ(EngEncryptTable(t), 0u) << engtest::LastError();
  }
  EngCloseTable(t);

  std::vector<pid_t> pids;
  for (int p = 0; p < kWriters; ++p)
    if ((pids.emplace_back(::fork())) == 0) ::_exit(Writer(s, done[1], (p + 1) * 100000));
  ::close(ready[1]);
  ::close(done[1]);
  char c;
  for (int p = 0; p < kWriters; ++p) ASSERT_EQ(::read(ready[0], &c, 1), 1) << "a writer could not open the table";
  for (int p = 0; p < kOpeners; ++p)
    if ((pids.emplace_back(::fork())) == 0) ::_exit(Opener(s));
  ::close(ready[0]);
  ::close(done[0]);
  for (size_t p = 0; p < pids.size(); ++p) {
    int status = 0;
    ::waitpid(pids[p], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (p < kWriters ? "writer " : "opener ") << p << " stopped with status " << status;
  }

  ASSERT_NE(t = OpenGrow(conn, s.encrypted), 0u) << engtest::LastError();
  uint32_t n = 0;
  EXPECT_EQ(EngGetRecordCount(t, ENG_IGNOREFILTERS, &n), 0u);
  EXPECT_EQ(n, static_cast<uint32_t>(kWriters * kInserts));
  EngCloseTable(t);
  EngDisconnect(conn);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, ConcurrentOpenTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
