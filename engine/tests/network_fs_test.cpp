// On a network file system a table is open in one process at a time: its
// sharing between processes rests on the memory of one machine. The test
// makes the engine take the folder for one file system or another and opens
// a table from a second process while the first has it open.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "file_system.h"
#include "test_util.h"

namespace {

ENGHANDLE OpenN(ENGHANDLE conn, uint32_t options = 0) {
  ENGHANDLE t = 0;
  if (EngOpenTable(conn, "N", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS, options,
                   &t) != 0)
    return 0;
  return t;
}

// Opens the table in a child process: 0 when it opened, 1 when it was
// refused as in use with a text that names the file system, 2 otherwise.
// (The test process itself has no table open: a child of fork() would
// find it open in the memory it inherits and share it.)
int OpenElsewhere(const std::string& dir, const std::string& file_system) {
  return engtest::InChild([&] {
    ENGHANDLE conn = 0;
    if (EngConnect(dir.c_str(), &conn)) return 2;
    if (ENGHANDLE t = OpenN(conn)) {
      EngCloseTable(t);
      return 0;
    }
    uint32_t code = 0;
    char text[600];
    uint16_t len = sizeof text;
    EngGetLastError(&code, text, &len);
    const std::string expected = "network file system (" + file_system + ")";
    return code == ENG_ERR_TABLE_LOCKED && std::string(text).find(expected) != std::string::npos ? 1 : 2;
  });
}

// A process that opens the table with two handles and closes them one by
// one, each step when told.
class Holder {
 public:
  explicit Holder(const std::string& dir) {
    int to[2], from[2];
    if (::pipe(to) != 0 || ::pipe(from) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(to[1]);
      ::close(from[0]);
      ENGHANDLE conn = 0, a = 0, b = 0;
      char step;
      bool ok = EngConnect(dir.c_str(), &conn) == 0 && (a = OpenN(conn)) != 0 && (b = OpenN(conn)) != 0;
      Reply(from[1], ok);
      if (!ok || ::read(to[0], &step, 1) != 1) ::_exit(1);
      Reply(from[1], EngCloseTable(a) == 0);
      if (::read(to[0], &step, 1) != 1) ::_exit(1);
      Reply(from[1], EngCloseTable(b) == 0);
      ::_exit(0);
    }
    ::close(to[0]);
    ::close(from[1]);
    to_ = to[1];
    from_ = from[0];
  }
  ~Holder() {
    ::close(to_);
    ::close(from_);
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
  }
  // Whether the last step (opening, or closing one handle) worked.
  bool Done() {
    char c = 0;
    return ::read(from_, &c, 1) == 1 && c == 'y';
  }
  bool CloseOne() { return ::write(to_, "c", 1) == 1 && Done(); }

 private:
  static void Reply(int fd, bool ok) {
    if (::write(fd, ok ? "y" : "n", 1) != 1) ::_exit(1);
  }
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

TEST(NetworkFileSystemTest, ATableThereIsOpenInOneProcessAtATime) {
  struct Case {
    long type;
    const char* fuse_subtype;
    const char* network;  // "" for a local file system
  };
  const Case cases[] = {
      {0x6969, "", "nfs"},
      {0x517B, "", "smb"},
      {static_cast<long>(0xFE534D42), "", "smb2"},
      {static_cast<long>(0xFF534D42), "", "cifs"},
      {0x01021997, "", "9p"},
      {0x65735546, "sshfs", "fuse.sshfs"},
      {0x65735546, "fuse-overlayfs", ""},
      {0xEF53, "", ""},  // ext4
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("file system ") + (*c.network ? c.network : "local"));
    eng::SetFileSystemTypeForTesting(c.type, c.fuse_subtype);
    engtest::TempDir dir;
    ENGHANDLE conn = 0, t = 0;
    ENG_OK_(EngConnect(dir.path().c_str(), &conn));
    ENG_OK_(EngCreateTable(conn, "N", "ID,Integer", 0, &t));
    ENG_OK_(EngCloseTable(t));
    EngDisconnect(conn);
    // Handles of one process share the table wherever it lies; another
    // process may open it only where that is local, or once they are closed.
    const int while_open = *c.network ? 1 : 0;
    Holder holder(dir.path());
    ASSERT_TRUE(holder.Done()) << "the holder cannot open the table twice";
    EXPECT_EQ(OpenElsewhere(dir.path(), c.network), while_open);
    ASSERT_TRUE(holder.CloseOne());
    EXPECT_EQ(OpenElsewhere(dir.path(), c.network), while_open) << "a handle is still open";
    ASSERT_TRUE(holder.CloseOne());
    EXPECT_EQ(OpenElsewhere(dir.path(), c.network), 0) << "every handle is closed";
  }
  eng::SetFileSystemTypeForTesting(0);
}

}  // namespace
