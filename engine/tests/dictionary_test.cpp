// Data dictionaries: creation, login success and failure, tables opened by
// registered name (5132 otherwise), the default index property (213, 5138),
// CREATE TABLE registering on a dictionary connection, damaged files, and
// hand-edited files: table entries outside the dictionary's folder and
// password hashes that ask for too much work.
#include <signal.h>
#include <sodium.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "sql_test_util.h"

using namespace engtest;

namespace {

class DictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("Company.add");
    ASSERT_EQ(EngDictCreate(path_.c_str(), "AdsSys", "secret", &admin_), 0u) << LastError();
  }
  void TearDown() override { EngDisconnect(admin_); }
  ENGRESULT Connect(const char* user, const char* password, ENGHANDLE* h) {
    return EngConnectEx(path_.c_str(), ENG_LOCAL_SERVER, user, password, 0, h);
  }
  ENGRESULT OpenTable(ENGHANDLE conn, const char* name, ENGHANDLE* h) {
    return EngOpenTable(conn, name, nullptr, ENG_TABLE_DEFAULT, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                        0, h);
  }
  ENGRESULT Exec(ENGHANDLE conn, const char* sql) {
    ENGHANDLE s = 0;
    EngCreateSQLStatement(conn, &s);
    ENGHANDLE c = 0;
    ENGRESULT rc = EngExecuteSQLDirect(s, sql, &c);
    if (c) EngCloseTable(c);
    EngCloseSQLStatement(s);
    return rc;
  }
  TempDir dir_;
  std::string path_;
  ENGHANDLE admin_ = 0;
};

TEST_F(DictionaryTest, LoginChecksUserAndPassword) {
  ENGHANDLE h = 0;
  ENG_OK_(Connect("adssys", "secret", &h));  // user names without regard to case
  uint16_t type = 0;
  ENG_OK_(EngGetHandleType(h, &type));
  EXPECT_EQ(type, ENG_HANDLE_CONNECTION);
  EngDisconnect(h);
  h = 0;
  EXPECT_EQ(Connect("AdsSys", "Secret", &h), static_cast<ENGRESULT>(ENG_ERR_LOGIN));
  EXPECT_EQ(h, 0u);
  EXPECT_NE(LastError().find("Company.add"), std::string::npos) << LastError();
  EXPECT_EQ(Connect("nobody", "secret", &h), static_cast<ENGRESULT>(ENG_ERR_LOGIN));
  EXPECT_EQ(Connect("AdsSys", "", &h), static_cast<ENGRESULT>(ENG_ERR_LOGIN));

  ENG_OK_(EngDictCreateUser(admin_, "clerk", "pw2"));
  EXPECT_NE(EngDictCreateUser(admin_, "CLERK", "other"), 0u);
  ENG_OK_(Connect("clerk", "pw2", &h));
  EngDisconnect(h);
  // The dictionary is found without regard to case; no password is kept in clear.
  ENG_OK_(EngConnectEx(dir_.File("COMPANY.ADD").c_str(), ENG_REMOTE_SERVER, "clerk", "pw2", 0, &h));
  EngDisconnect(h);
  std::ifstream in(path_);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all.find("secret"), std::string::npos);
  EXPECT_EQ(all.find("pw2"), std::string::npos);
  EXPECT_EQ(EngDictCreate(path_.c_str(), "x", "y", nullptr), static_cast<ENGRESULT>(ENG_ERR_FILE_EXISTS));
  // A folder connection is no dictionary.
  ENGHANDLE folder = 0;
  ENG_OK_(EngConnect(dir_.path().c_str(), &folder));
  EXPECT_EQ(EngDictCreateUser(folder, "u", "p"), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY));
  EngDisconnect(folder);
}

TEST_F(DictionaryTest, TablesOpenByRegisteredName) {
  ENG_OK_(Exec(admin_, "CREATE TABLE ASSET (CODE char(8), TABLE_NAME char(10))"));
  ENGHANDLE t = 0;
  ENG_OK_(OpenTable(admin_, "ASSET", &t));
  EngCloseTable(t);
  ENG_OK_(OpenTable(admin_, "asset.adt", &t));
  EngCloseTable(t);
  // A free table beside the dictionary is not registered: 5132.
  ENGHANDLE folder = 0;
  ENG_OK_(EngConnect(dir_.path().c_str(), &folder));
  ENGHANDLE free_table = 0;
  ENG_OK_(EngCreateTable(folder, "FREE", "A,Char,4", 0, &free_table));
  EngCloseTable(free_table);
  EngDisconnect(folder);
  EXPECT_EQ(OpenTable(admin_, "FREE", &t), static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));
  // SQL finds it beside the dictionary all the same.
  ENG_OK_(Exec(admin_, "INSERT INTO FREE VALUES ('x')"));
  ENG_OK_(Exec(admin_, "SELECT * FROM FREE"));
  // Registering makes it openable; removing takes that back.
  EXPECT_EQ(EngDictAddTable(admin_, "MISSING", "missing.adt"), static_cast<ENGRESULT>(ENG_ERR_FILE_NOT_FOUND));
  ENG_OK_(EngDictAddTable(admin_, "FREE", "free.adt"));
  EXPECT_EQ(EngDictAddTable(admin_, "FREE", "free.adt"), static_cast<ENGRESULT>(ENG_ERR_FILE_EXISTS));
  ENG_OK_(OpenTable(admin_, "FREE", &t));
  EngCloseTable(t);
  ENG_OK_(EngDictRemoveTable(admin_, "FREE"));
  EXPECT_EQ(OpenTable(admin_, "FREE", &t), static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));
  EXPECT_EQ(EngDictRemoveTable(admin_, "FREE"), static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));
  // DROP TABLE unregisters.
  ENG_OK_(Exec(admin_, "DROP TABLE ASSET"));
  EXPECT_EQ(OpenTable(admin_, "ASSET", &t), static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));
}

TEST_F(DictionaryTest, DefaultIndexProperty) {
  ENG_OK_(Exec(admin_, "CREATE TABLE EMPLOYEE (EMP_NO char(6))"));
  char value[64];
  uint16_t len = sizeof value;
  EXPECT_EQ(EngDictGetTableProperty(admin_, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, value, &len),
            static_cast<ENGRESULT>(ENG_ERR_NO_DEFAULT_INDEX));
  ENG_OK_(EngDictSetTableProperty(admin_, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, "EMP_NO"));
  len = sizeof value;
  ENG_OK_(EngDictGetTableProperty(admin_, "employee", ENG_DD_TABLE_DEFAULT_INDEX, value, &len));
  EXPECT_STREQ(value, "EMP_NO");
  EXPECT_EQ(len, 6);
  len = 3;
  EXPECT_EQ(EngDictGetTableProperty(admin_, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, value, &len),
            static_cast<ENGRESULT>(ENG_ERR_BUFFER_TOO_SMALL));
  len = sizeof value;
  EXPECT_EQ(EngDictGetTableProperty(admin_, "NOTHERE", ENG_DD_TABLE_DEFAULT_INDEX, value, &len),
            static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));
  EXPECT_EQ(EngDictSetTableProperty(admin_, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, "BAD\tNAME"),
            static_cast<ENGRESULT>(ENG_ERR_INVALID_ARGUMENT));
  // Another connection sees it; clearing restores 5138.
  ENGHANDLE other = 0;
  ENG_OK_(Connect("AdsSys", "secret", &other));
  len = sizeof value;
  ENG_OK_(EngDictGetTableProperty(other, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, value, &len));
  ENG_OK_(EngDictSetTableProperty(other, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, ""));
  len = sizeof value;
  EXPECT_EQ(EngDictGetTableProperty(admin_, "EMPLOYEE", ENG_DD_TABLE_DEFAULT_INDEX, value, &len),
            static_cast<ENGRESULT>(ENG_ERR_NO_DEFAULT_INDEX));
  EngDisconnect(other);
}

TEST_F(DictionaryTest, DamagedFilesAreRefusedClearly) {
  std::ifstream in(path_, std::ios::binary);
  std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  auto write = [&](const std::string& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << bytes;
  };
  ENGHANDLE h = 0;
  std::string flipped = good;
  flipped[12] ^= 1;
  for (const std::string& bad : {std::string(), std::string("garbage"), good.substr(0, good.size() / 2), flipped,
                                 std::string("DBUDICT 1\nSUM\tdeadbeef\n"), std::string(1000, '\0')}) {
    write(bad);
    ENGRESULT rc = Connect("AdsSys", "secret", &h);
    EXPECT_EQ(rc, static_cast<ENGRESULT>(ENG_ERR_DICTIONARY)) << LastError();
    EXPECT_NE(LastError().find("Company.add"), std::string::npos) << LastError();
  }
  write(good);
  ENG_OK_(Connect("AdsSys", "secret", &h));
  EngDisconnect(h);
}

}  // namespace

namespace {

// A dictionary read once is reused while its file stays the same; every
// save (by this connection, another one, or another process) and every
// change made to the file in place must show at the next call.
TEST_F(DictionaryTest, ChangesToAKeptDictionaryShowAtTheNextCall) {
  ASSERT_EQ(Exec(admin_, "CREATE TABLE first (ID integer)"), 0u) << LastError();
  // Old enough to be kept: a file changed within the last seconds is read
  // at every call.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  ENGHANDLE t = 0;
  ASSERT_EQ(OpenTable(admin_, "first", &t), 0u) << LastError();
  EngCloseTable(t);
  ASSERT_EQ(OpenTable(admin_, "first", &t), 0u) << LastError();
  EngCloseTable(t);

  // Registered through another connection, then from another process.
  ENGHANDLE other = 0;
  ENG_OK_(Connect("AdsSys", "secret", &other));
  ASSERT_EQ(Exec(other, "CREATE TABLE second (ID integer)"), 0u) << LastError();
  EXPECT_EQ(OpenTable(admin_, "second", &t), 0u) << LastError();
  EngCloseTable(t);
  const std::string path = path_;
  ASSERT_EQ(InChild([&] {
              ENGHANDLE c = 0, s = 0, cursor = 0;
              if (EngConnectEx(path.c_str(), ENG_LOCAL_SERVER, "AdsSys", "secret", 0, &c)) return 1;
              if (EngCreateSQLStatement(c, &s) || EngExecuteSQLDirect(s, "CREATE TABLE third (ID integer)", &cursor))
                return 2;
              return EngDictSetTableProperty(c, "first", ENG_DD_TABLE_DEFAULT_INDEX, "BYID") ? 3 : 0;
            }),
            0);
  EXPECT_EQ(OpenTable(admin_, "third", &t), 0u) << LastError();
  EngCloseTable(t);
  char value[64] = {};
  uint16_t length = sizeof value;
  ENG_OK_(EngDictGetTableProperty(admin_, "first", ENG_DD_TABLE_DEFAULT_INDEX, value, &length));
  EXPECT_STREQ(value, "BYID");

  // Removed through the other connection: gone here too.
  ENG_OK_(EngDictRemoveTable(other, "second"));
  EXPECT_EQ(OpenTable(admin_, "second", &t), static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));
  EngDisconnect(other);

  // Damaged in place (the same file, rewritten): refused, not answered
  // from what was read before.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  ASSERT_EQ(OpenTable(admin_, "first", &t), 0u) << LastError();
  EngCloseTable(t);
  {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << "DBUDICT 1\nTABLE\tfirst\tfirst.adt\n";
  }
  EXPECT_EQ(OpenTable(admin_, "first", &t), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY)) << LastError();
}

}  // namespace

namespace {

// Rewrites the dictionary file as a hand edit would: edit applied to its
// body, and the checksum made anew.
void EditDictionary(const std::string& path, const std::function<std::string(std::string)>& edit) {
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const std::string body = edit(all.substr(0, all.rfind("SUM\t")));
  unsigned char sum[32];
  crypto_generichash(sum, sizeof sum, reinterpret_cast<const unsigned char*>(body.data()), body.size(), nullptr, 0);
  char hex[2 * sizeof sum + 1];
  sodium_bin2hex(hex, sizeof hex, sum, sizeof sum);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << body << "SUM\t" << hex << "\n";
}

// A dictionary's tables lie in its folder: an entry naming a file
// elsewhere is refused when used, naming the dictionary, the entry and its
// file, while the dictionary's other tables stay usable; registering such
// a file is refused too, before any file is made.
TEST_F(DictionaryTest, TableEntriesOutsideTheFolderAreRefused) {
  ASSERT_EQ(Exec(admin_, "CREATE TABLE HOME (A char(4))"), 0u) << LastError();
  TempDir outside;
  ENGHANDLE folder = 0, t = 0;
  ENG_OK_(EngConnect(outside.path().c_str(), &folder));
  ENG_OK_(EngCreateTable(folder, "SECRET", "A,Char,4", 0, &t));
  EngCloseTable(t);
  EngDisconnect(folder);
  const std::string secret = outside.File("SECRET.adt");
  ASSERT_TRUE(std::filesystem::exists(secret));
  const std::string up = "../" + std::filesystem::path(outside.path()).filename().string() + "/SECRET.adt";

  EXPECT_EQ(EngDictAddTable(admin_, "SECRET", secret.c_str()), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY));
  EXPECT_NE(LastError().find(secret), std::string::npos) << LastError();
  EXPECT_EQ(EngDictAddTable(admin_, "SECRET", up.c_str()), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY));
  EXPECT_NE(EngCreateTable(admin_, outside.File("MADE").c_str(), "A,Char,4", 0, &t), 0u);
  EXPECT_FALSE(std::filesystem::exists(outside.File("MADE.adt")));
  EXPECT_EQ(OpenTable(admin_, "SECRET", &t), static_cast<ENGRESULT>(ENG_ERR_NOT_IN_DICTIONARY));

  const std::vector<std::pair<std::string, std::string>> entries = {
      {"ABSOLUTE", secret}, {"UPWARD", up}, {"BACKSLASH", "..\\x\\SECRET.adt"},
      {"SUB", "sub/home.adt"}, {"PARENT", ".."}};
  EditDictionary(path_, [&](std::string body) {
    for (const auto& [name, file] : entries) body += "TABLE\t" + name + "\t" + file + "\n";
    return body;
  });
  for (const auto& [name, file] : entries) {
    EXPECT_EQ(OpenTable(admin_, name.c_str(), &t), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY)) << name;
    const std::string error = LastError();
    for (const std::string& part : {std::string("Company.add"), name, file})
      EXPECT_NE(error.find(part), std::string::npos) << part << " in " << error;
    EXPECT_EQ(Exec(admin_, ("SELECT * FROM " + name).c_str()), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY)) << name;
  }
  ENG_OK_(OpenTable(admin_, "HOME", &t));
  EngCloseTable(t);
}

// The login's result from a child process given seconds to finish: -1 when
// it had not (it hung), else 0 for ENG_ERR_DICTIONARY, 1 for success and 2
// for any other result.
int LoginResultWithin(const std::string& path, int seconds) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ENGHANDLE h = 0;
    const ENGRESULT rc = EngConnectEx(path.c_str(), ENG_LOCAL_SERVER, "AdsSys", "secret", 0, &h);
    ::_exit(rc == ENG_ERR_DICTIONARY ? 0 : rc == ENG_OK ? 1 : 2);
  }
  int status = 0;
  for (int waited = 0; waited < seconds * 10; ++waited) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// A password hash names its own work (passes t, memory m in KiB). A
// hand-edited file must not make a login hang or take the machine's
// memory: settings past 16 passes or 1 GiB are refused at once, naming the
// dictionary and the user; settings up to them are honoured.
TEST_F(DictionaryTest, PasswordHashesAskingTooMuchWorkAreRefusedFast) {
  std::ifstream in(path_, std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const std::regex settings("m=[0-9]+,t=[0-9]+");
  auto withSettings = [&](const std::string& text) {
    EditDictionary(path_, [&](std::string body) { return std::regex_replace(body, settings, text); });
  };
  for (const char* text : {"m=65536,t=1000000", "m=1048577,t=1", "m=8,t=17", "m=99999999999,t=2"}) {
    withSettings(text);
    ASSERT_EQ(LoginResultWithin(path_, 60), 0) << text << " (-1: the login hung)";
    ENGHANDLE h = 0;
    EXPECT_EQ(Connect("AdsSys", "secret", &h), static_cast<ENGRESULT>(ENG_ERR_DICTIONARY)) << text;
    EXPECT_NE(LastError().find("Company.add"), std::string::npos) << LastError();
    EXPECT_NE(LastError().find("AdsSys"), std::string::npos) << LastError();
  }
  // At the bounds: a hash made with 16 passes over the least memory logs in.
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str(hash, "secret", 6, 16, crypto_pwhash_MEMLIMIT_MIN), 0);
  EditDictionary(path_, [&](std::string body) {
    const size_t at = body.find("$argon2id$");
    return body.replace(at, body.find('\n', at) - at, hash);
  });
  ENGHANDLE h = 0;
  ENG_OK_(Connect("AdsSys", "secret", &h));
  EngDisconnect(h);
  EXPECT_EQ(Connect("AdsSys", "wrong", &h), static_cast<ENGRESULT>(ENG_ERR_LOGIN));
  std::ofstream(path_, std::ios::binary | std::ios::trunc) << good;
  ENG_OK_(Connect("AdsSys", "secret", &h));
  EngDisconnect(h);
}

}  // namespace
