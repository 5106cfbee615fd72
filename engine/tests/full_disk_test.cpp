// Writers on a small file system that fills up. Whatever runs out of room
// (the table, its memo or tags file, its journal, a temporary file), the
// operation fails with ENG_ERR_IO naming the table and the operation, the
// process lives on, and once there is room again the table holds exactly
// the writes that completed, with tags that agree with its records. Each
// writer runs in a child process: a store into a page that the full disk
// has no block for would kill it with SIGBUS.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// A tmpfs of a few MiB mounted for the test (it needs root), and a ballast
// file that takes all of its room but what a step of the test leaves.
class SmallDisk {
 public:
  explicit SmallDisk(const char* size) {
    char tmpl[] = "/tmp/fulldisk.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      why_ = std::string("cannot make a folder for the mount: ") + std::strerror(errno);
      return;
    }
    path_ = tmpl;
    if (::geteuid() != 0) {
      why_ = "not running as root, which mounting a small tmpfs needs";
      return;
    }
    const std::string options = std::string("size=") + size;
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      why_ = std::string("mount -t tmpfs was refused: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
    ::mkdir(db().c_str(), 0755);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    if (!path_.empty()) ::rmdir(path_.c_str());
  }
  // Why the disk is not there (empty when it is).
  const std::string& why() const { return why_; }
  std::string db() const { return path_ + "/db"; }
  std::string tmp() const { return path_ + "/tmp"; }

  // The ballast takes all free room but about `room` bytes.
  void LeaveRoom(uint64_t room) {
    Free();
    int fd = ::open(Ballast().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct statvfs sv;
    ASSERT_EQ(::fstatvfs(fd, &sv), 0);
    const uint64_t free_bytes = uint64_t{sv.f_bavail} * sv.f_frsize;
    if (free_bytes > room) {
      ASSERT_EQ(::fallocate(fd, 0, 0, static_cast<off_t>(free_bytes - room)), 0) << std::strerror(errno);
    }
    ::close(fd);
  }
  // The ballast takes `bytes`.
  void Occupy(uint64_t bytes) {
    Free();
    int fd = ::open(Ballast().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fallocate(fd, 0, 0, static_cast<off_t>(bytes)), 0) << std::strerror(errno);
    ::close(fd);
  }
  void Free() { ::unlink(Ballast().c_str()); }

 private:
  std::string Ballast() const { return path_ + "/ballast"; }
  std::string path_, why_;
  bool mounted_ = false;
};

// What one step reports: the result code and text of its first failure
// (0 when it had none) and how many writes it completed before.
struct Outcome {
  uint32_t code = 0;
  std::string text;
  int completed = 0;
};

// Runs step in a child process; fails the test when the child died.
Outcome InChild(const std::function<Outcome()>& step) {
  int fds[2];
  if (::pipe(fds) != 0) return {9999, "pipe", 0};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    Outcome o = step();
    std::string report = std::to_string(o.code) + " " + std::to_string(o.completed) + " " + o.text;
    ssize_t ignored = ::write(fds[1], report.data(), report.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  Outcome o;
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "the writer died with signal " << WTERMSIG(status) << " (" << strsignal(WTERMSIG(status)) << ")";
    return {9999, "died", 0};
  }
  size_t a = report.find(' '), b = report.find(' ', a + 1);
  if (a == std::string::npos || b == std::string::npos) return {9999, "no report", 0};
  o.code = static_cast<uint32_t>(std::stoul(report.substr(0, a)));
  o.completed = std::stoi(report.substr(a + 1, b - a - 1));
  o.text = report.substr(b + 1);
  return o;
}

std::string LastText() {
  uint32_t code = 0;
  char text[1000];
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  return text;
}

// The table: ID (unique tag), NAME (tag on NAME then ID) and a memo.
struct Row {
  uint32_t recno;
  int32_t id;
  std::string name, note;
  bool operator==(const Row& o) const {
    return recno == o.recno && id == o.id && name == o.name && note == o.note;
  }
};

// The first difference of two tables, "" when they are equal.
std::string Diff(const std::vector<Row>& got, const std::vector<Row>& want) {
  auto show = [](const Row& r) {
    return "record " + std::to_string(r.recno) + " (ID " + std::to_string(r.id) + ", NAME " + r.name + ", NOTE of " +
           std::to_string(r.note.size()) + " '" + r.note.substr(0, 1) + "')";
  };
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (!(got[i] == want[i])) return "found " + show(got[i]) + " where " + show(want[i]) + " belongs";
  if (got.size() != want.size())
    return std::to_string(got.size()) + " records where " + std::to_string(want.size()) + " belong";
  return "";
}

std::string NameOf(int32_t id) { return "n" + std::to_string(id * 7919 % 100000); }
std::string NoteOf(int32_t id, int version) {
  return std::string(static_cast<size_t>((id * 131 + version * 977) % 5000 + 1), static_cast<char>('a' + (id + version) % 26));
}

ENGHANDLE OpenT(ENGHANDLE conn, uint32_t options = 0) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, "T", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS, options,
                   &t) != 0)
    return 0;
  return t;
}

uint32_t Append(ENGHANDLE t, int32_t id, const std::string& note) {
  const std::string name = NameOf(id);
  if (uint32_t rc = EngAppendRecord(t)) return rc;
  EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4);
  EngSetField(t, 2, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()));
  EngSetField(t, 3, reinterpret_cast<const uint8_t*>(note.data()), static_cast<uint32_t>(note.size()));
  uint32_t rc = EngWriteRecord(t);
  if (rc) EngCancelUpdate(t);
  return rc;
}

std::string Field(ENGHANDLE t, uint16_t field) {
  std::string buf(8192, '\0');
  uint32_t len = static_cast<uint32_t>(buf.size());
  if (EngGetField(t, field, reinterpret_cast<uint8_t*>(buf.data()), &len) != 0) return "<unreadable>";
  buf.resize(len);
  buf.erase(buf.find_last_not_of(' ') + 1);
  return buf;
}

// The first difference between the table (its live records in natural
// order, and the walk of each tag) and want; "" when there is none.
std::string Verify(ENGHANDLE conn, const std::vector<Row>& want) {
  ENGHANDLE t = OpenT(conn);
  if (!t) return "the table does not open: " + LastText();
  std::vector<Row> rows;
  uint16_t eof = 0;
  for (EngGotoTop(t); EngAtEOF(t, &eof) == 0 && !eof; EngSkip(t, 1)) {
    Row r{};
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &r.recno);
    r.id = std::atoi(Field(t, 1).c_str());
    r.name = Field(t, 2);
    r.note = Field(t, 3);
    rows.push_back(r);
  }
  std::string diff = Diff(rows, want);
  auto walk = [&](const char* tag, auto key) {
    std::vector<Row> sorted = rows;
    std::sort(sorted.begin(), sorted.end(), [&](const Row& a, const Row& b) { return key(a) < key(b); });
    std::vector<uint32_t> expected, walked;
    for (const Row& r : sorted) expected.push_back(r.recno);
    ENGHANDLE h = 0;
    if (EngGetIndexHandle(t, tag, &h)) return std::string("tag ") + tag + ": " + LastText();
    for (EngGotoTop(h); EngAtEOF(h, &eof) == 0 && !eof && walked.size() <= rows.size(); EngSkip(h, 1)) {
      uint32_t recno = 0;
      EngGetRecordNum(h, ENG_IGNOREFILTERS, &recno);
      walked.push_back(recno);
    }
    return walked == expected ? std::string() : std::string("tag ") + tag + " disagrees with the records";
  };
  if (diff.empty()) diff = walk("ID", [](const Row& r) { return std::make_pair(r.id, 0u); });
  if (diff.empty()) diff = walk("NAME", [](const Row& r) { return std::make_pair(r.name, r.id); });
  EngCloseTable(t);
  return diff;
}

// The tables are used only in child processes: the test process itself
// keeps nothing open or mapped, so that a folder put back as it was (see
// Snapshot) leaves no old file taking room.
class FullDiskTest : public ::testing::Test {
 protected:
  FullDiskTest() : disk_("4m") {}
  void SetUp() override {
    if (!disk_.why().empty()) GTEST_SKIP() << disk_.why();
    Outcome o = Run([](ENGHANDLE conn) {
      ENGHANDLE t = 0;
      if (EngCreateTable(conn, "T", "ID,Integer;NAME,Char,12;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t) ||
          EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr) || EngCreateIndex(t, "NAME", "NAME;ID", 0, 0, nullptr))
        return Outcome{1, LastText(), 0};
      return Outcome{};
    });
    ASSERT_EQ(o.code, 0u) << o.text;
  }
  // Runs step on a connection to the folder in a child process.
  Outcome Run(const std::function<Outcome(ENGHANDLE)>& step, const std::string& tmpdir = "") {
    const std::string db = disk_.db();
    return InChild([&step, db, tmpdir] {
      if (!tmpdir.empty()) ::setenv("TMPDIR", tmpdir.c_str(), 1);
      ENGHANDLE conn = 0;
      if (EngConnect(db.c_str(), &conn)) return Outcome{9998, LastText(), 0};
      Outcome o = step(conn);
      EngDisconnect(conn);
      return o;
    });
  }
  // The table holds want, with tags that agree.
  void Check(const std::vector<Row>& want, const std::string& when) {
    Outcome o = Run([&want](ENGHANDLE conn) { return Outcome{0, Verify(conn, want), 0}; });
    EXPECT_EQ(o.text, "") << when;
  }
  // Appends records id = first.. until one fails.
  Outcome AppendUntilFull(int32_t first) {
    return Run([first](ENGHANDLE conn) {
      ENGHANDLE t = OpenT(conn);
      if (!t) return Outcome{9998, LastText(), 0};
      Outcome o;
      for (int32_t id = first; id < first + 100000 && !o.code; ++id)
        if (uint32_t rc = Append(t, id, NoteOf(id, 0))) o = {rc, LastText(), id - first};
      // Still a working process with a working handle.
      uint32_t count = 0;
      if (EngGotoTop(t) || EngGetRecordCount(t, ENG_IGNOREFILTERS, &count)) o.text += " / then: " + LastText();
      EngCloseTable(t);
      return o;
    });
  }
  // Runs statements through SQL (TMPDIR as given); stops at the first failure.
  Outcome Sql(const std::vector<std::string>& statements, const std::string& tmpdir = "") {
    return Run(
        [&statements](ENGHANDLE conn) {
          ENGHANDLE stmt = 0, cursor = 0;
          if (EngCreateSQLStatement(conn, &stmt)) return Outcome{9998, LastText(), 0};
          Outcome o;
          for (const std::string& s : statements) {
            if (uint32_t rc = EngExecuteSQLDirect(stmt, s.c_str(), &cursor)) return Outcome{rc, LastText(), o.completed};
            ++o.completed;
          }
          return o;
        },
        tmpdir);
  }
  static void ExpectDiskFull(const Outcome& o, const std::string& operation, const std::string& table = "T") {
    EXPECT_EQ(o.code, uint32_t{ENG_ERR_IO}) << o.text;
    EXPECT_NE(o.text.find("Cannot " + operation + " table " + table), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("No space left on device"), std::string::npos) << o.text;
    EXPECT_EQ(o.text.find(" / then: "), std::string::npos) << "the handle failed after the error: " << o.text;
  }

  SmallDisk disk_;
};

TEST_F(FullDiskTest, AppendsAndUpdatesUntilFullKeepEveryCompletedWrite) {
  disk_.Occupy(1 << 20);  // freed below, once the disk is full
  Outcome o = AppendUntilFull(1);
  ExpectDiskFull(o, "append a record to");
  ASSERT_GT(o.completed, 100) << "the disk filled up too soon to tell anything";
  disk_.Free();
  std::vector<Row> model;
  for (int32_t id = 1; id <= o.completed; ++id)
    model.push_back({static_cast<uint32_t>(id), id, NameOf(id), NoteOf(id, 0)});
  Check(model, "after the appends");

  // With room again the table takes writes; then updates fill the disk.
  const int32_t next = o.completed + 1;
  o = Run([next](ENGHANDLE conn) {
    ENGHANDLE t = OpenT(conn);
    return Outcome{t ? Append(t, next, NoteOf(next, 0)) : 9998, LastText(), 0};
  });
  ASSERT_EQ(o.code, 0u) << o.text;
  model.push_back({static_cast<uint32_t>(next), next, NameOf(next), NoteOf(next, 0)});
  disk_.LeaveRoom(64 << 10);
  std::vector<std::string> updates;
  for (const Row& r : model)
    updates.push_back("UPDATE T SET NOTE = '" + NoteOf(r.id, 1) + "', NAME = 'u" + std::to_string(r.id) +
                      "' WHERE ID = " + std::to_string(r.id));
  o = Sql(updates);
  ExpectDiskFull(o, "update");
  ASSERT_GT(o.completed, 0);
  disk_.Free();
  for (size_t i = 0; i < static_cast<size_t>(o.completed); ++i) {
    model[i].note = NoteOf(model[i].id, 1);
    model[i].name = "u" + std::to_string(model[i].id);
  }
  Check(model, "after the updates");

  // One statement over every record runs out of room part-way: it changes none.
  disk_.LeaveRoom(64 << 10);
  o = Sql({"UPDATE T SET NAME = 'all', NOTE = '" + std::string(3000, 'z') + "'"});
  ExpectDiskFull(o, "update");
  disk_.Free();
  Check(model, "after a statement over every record failed");
}

// Finds, by bisection, the least room (in pages) with which probe(room)
// completes; the probes just below it fail at the operation's last step.
// Each probe starts from the same files (see Snapshot).
void Bisect(const std::function<bool(uint64_t)>& probe) {
  uint64_t lo = 0, hi = 1 << 20;
  ASSERT_FALSE(probe(lo)) << "completed with no room at all";
  ASSERT_TRUE(probe(hi)) << "failed with " << hi << " bytes of room";
  while (hi - lo > 4096) {
    const uint64_t mid = (lo + hi) / 2 / 4096 * 4096;
    (probe(mid) ? hi : lo) = mid;
  }
}

// The files of a folder, put back as they were by Restore.
class Snapshot {
 public:
  explicit Snapshot(const std::string& folder) : folder_(folder) {
    for (const auto& e : std::filesystem::directory_iterator(folder))
      std::filesystem::copy_file(e.path(), copy_.File(e.path().filename().string()));
  }
  void Restore() const {
    std::filesystem::remove_all(folder_);
    std::filesystem::copy(copy_.path(), folder_);
  }

 private:
  std::string folder_;
  engtest::TempDir copy_;
};

// Pack and ALTER TABLE rewrite the whole table under its journal: with any
// amount of room, each completes or changes nothing.
TEST_F(FullDiskTest, PackAndAlterTableCompleteOrChangeNothing) {
  std::vector<Row> model;
  for (int32_t id = 1; id <= 200; ++id)
    if (id % 3 != 1) model.push_back({static_cast<uint32_t>(id), id, NameOf(id), NoteOf(id, 0).substr(0, 700)});
  Outcome o = Run([](ENGHANDLE conn) {
    ENGHANDLE t = OpenT(conn);
    for (int32_t id = 1; id <= 200; ++id)
      if (!t || Append(t, id, NoteOf(id, 0).substr(0, 700))) return Outcome{1, LastText(), 0};
    for (uint32_t recno = 1; recno <= 200; recno += 3)
      if (EngGotoRecord(t, recno) || EngDeleteRecord(t)) return Outcome{1, LastText(), 0};
    return Outcome{};
  });
  ASSERT_EQ(o.code, 0u) << o.text;
  Check(model, "before");
  const Snapshot before(disk_.db());
  ::mkdir(disk_.tmp().c_str(), 0755);

  // ALTER TABLE, with its temporary files elsewhere and on the full disk.
  for (bool tmp_on_disk : {false, true}) {
    SCOPED_TRACE(tmp_on_disk ? "temporary files on the full disk" : "temporary files elsewhere");
    Bisect([&](uint64_t room) {
      before.Restore();
      disk_.LeaveRoom(room);
      Outcome o = Sql({"ALTER TABLE T ALTER COLUMN NAME NAME CHAR(20)"}, tmp_on_disk ? disk_.tmp() : "");
      disk_.Free();
      if (o.code) ExpectDiskFull(o, "alter");
      Check(model, "room " + std::to_string(room));
      Outcome width = Run([](ENGHANDLE conn) {
        ENGHANDLE t = OpenT(conn);
        uint32_t length = 0;
        EngGetFieldLength(t, 2, &length);
        return Outcome{length, "", 0};
      });
      EXPECT_EQ(width.code, o.code ? 12u : 20u) << "room " << room << ": the column changed with a failed ALTER, or not with one that worked";
      EXPECT_FALSE(std::filesystem::exists(disk_.db() + "/T.memo.alter")) << "a temporary file was left behind";
      return o.code == 0;
    });
  }
  // Pack: the whole table into the journal first, then in place.
  std::vector<Row> packed = model;
  for (size_t i = 0; i < packed.size(); ++i) packed[i].recno = static_cast<uint32_t>(i + 1);
  Bisect([&](uint64_t room) {
    before.Restore();
    disk_.LeaveRoom(room);
    Outcome o = Run([](ENGHANDLE conn) {
      ENGHANDLE t = OpenT(conn, ENG_OPEN_EXCLUSIVE);
      if (!t) return Outcome{9998, LastText(), 0};
      uint32_t rc = EngPackTable(t);
      return Outcome{rc, rc ? LastText() : std::string(), 0};
    });
    disk_.Free();
    if (o.code) ExpectDiskFull(o, "pack");
    Check(o.code ? model : packed, "room " + std::to_string(room));
    return o.code == 0;
  });
}

// ALTER TABLE that gives a table its first memo field writes the memo file
// beside the table before the change: on a full disk no part of it stays.
TEST_F(FullDiskTest, AlterTableLeavesNoPartOfANewMemoFile) {
  Outcome o = Run([](ENGHANDLE conn) {
    ENGHANDLE t = 0;
    if (EngCreateTable(conn, "U", "ID,Integer", 0, &t)) return Outcome{1, LastText(), 0};
    for (int32_t id = 1; id <= 50; ++id)
      if (EngAppendRecord(t) || EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&id), 4) || EngWriteRecord(t))
        return Outcome{1, LastText(), 0};
    return Outcome{};
  });
  ASSERT_EQ(o.code, 0u) << o.text;
  disk_.LeaveRoom(0);
  o = Sql({"ALTER TABLE U ADD COLUMN NOTE MEMO"});
  disk_.Free();
  ExpectDiskFull(o, "alter", "U");
  EXPECT_FALSE(std::filesystem::exists(disk_.db() + "/U.memo.alter")) << "a part of the new memo file was left behind";
  o = Run([](ENGHANDLE conn) {
    ENGHANDLE t = 0;
    uint16_t fields = 0;
    uint32_t records = 0;
    if (EngOpenTable(conn, "U", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS, 0, &t) ||
        EngGetNumFields(t, &fields) || EngGetRecordCount(t, ENG_IGNOREFILTERS, &records))
      return Outcome{1, LastText(), 0};
    return Outcome{0, std::to_string(fields) + " fields, " + std::to_string(records) + " records", 0};
  });
  EXPECT_EQ(o.text, "1 fields, 50 records");
}

}  // namespace
