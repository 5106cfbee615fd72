// Helpers for engine tests: a temporary folder with a connection, and
// assertions that turn engine result codes into readable failures.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine.h"

namespace engtest {

inline std::string LastError() {
  uint32_t code = 0;
  char text[600];
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  return std::to_string(code) + " " + text;
}

#define ENG_OK_(expr)                                   \
  do {                                                  \
    ENGRESULT rc_ = (expr);                             \
    ASSERT_EQ(rc_, 0u) << #expr << ": " << engtest::LastError(); \
  } while (0)

// Runs fn in a child process; returns its exit status (100 when it did not
// exit by itself, for instance when killed).
template <class F>
int InChild(F fn) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/engtest.XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points TMPDIR (where statements build their temporary tables) at a
// folder of the test while it lives, so that what a killed statement left
// there can be looked at, and goes with the test's folder.
class TmpDirWithin {
 public:
  explicit TmpDirWithin(const std::string& path) {
    std::filesystem::create_directories(path);
    if (const char* old = std::getenv("TMPDIR")) old_ = old, had_ = true;
    ::setenv("TMPDIR", path.c_str(), 1);
  }
  ~TmpDirWithin() {
    if (had_)
      ::setenv("TMPDIR", old_.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }
  TmpDirWithin(const TmpDirWithin&) = delete;
  TmpDirWithin& operator=(const TmpDirWithin&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

// A temporary folder with an open connection.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(EngConnect(dir_.path().c_str(), &conn_), 0u) << LastError(); }
  void TearDown() override { EngDisconnect(conn_); }

  ENGHANDLE Create(const char* name, const char* defs) {
    ENGHANDLE h = 0;
    EXPECT_EQ(EngCreateTable(conn_, name, defs, 0, &h), 0u) << LastError();
    return h;
  }
  ENGHANDLE Open(const char* name, uint32_t options = 0) {
    ENGHANDLE h = 0;
    EXPECT_EQ(EngOpenTable(conn_, name, nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                           ENG_IGNORE_RIGHTS, options, &h), 0u)
        << LastError();
    return h;
  }
  static std::vector<uint8_t> Record(ENGHANDLE h) {
    uint32_t len = 0;
    EngGetRecordLength(h, &len);
    std::vector<uint8_t> r(len);
    EXPECT_EQ(EngGetRecord(h, r.data(), &len), 0u) << LastError();
    return r;
  }
  static std::string Text(ENGHANDLE h, uint16_t field) {
    uint8_t buf[4096];
    uint32_t len = sizeof buf;
    EXPECT_EQ(EngGetField(h, field, buf, &len), 0u) << LastError();
    return std::string(reinterpret_cast<char*>(buf), len);
  }
  static void SetText(ENGHANDLE h, uint16_t field, const std::string& v) {
    EXPECT_EQ(EngSetField(h, field, reinterpret_cast<const uint8_t*>(v.data()), static_cast<uint32_t>(v.size())), 0u)
        << LastError();
  }
  static uint32_t RecNo(ENGHANDLE h) {
    uint32_t r = 0;
    EngGetRecordNum(h, ENG_IGNOREFILTERS, &r);
    return r;
  }
  static bool Eof(ENGHANDLE h) {
    uint16_t b = 0;
    EngAtEOF(h, &b);
    return b;
  }
  static bool Bof(ENGHANDLE h) {
    uint16_t b = 0;
    EngAtBOF(h, &b);
    return b;
  }
  // Record numbers visited walking the whole table forward.
  static std::vector<uint32_t> Walk(ENGHANDLE h) {
    std::vector<uint32_t> out;
    EngGotoTop(h);
    while (!Eof(h)) {
      out.push_back(RecNo(h));
      EngSkip(h, 1);
    }
    return out;
  }

  TempDir dir_;
  ENGHANDLE conn_ = 0;
};

// Runs a suite of encryption tests once per table cipher: the parameter is
// the DBU_TABLE_CIPHER value new tables are sealed under (children of the
// test inherit it). Instantiate with ENG_FOR_EACH_CIPHER(Suite).
inline const char* const kTableCiphers[] = {"aes-256-gcm", "xchacha20-poly1305"};

template <class Base = ::testing::Test>
class CipherTest : public Base, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    if (sodium_init() < 0) FAIL() << "libsodium cannot be initialized";
    if (std::string(GetParam()) == "aes-256-gcm" && !crypto_aead_aes256gcm_is_available())
      GTEST_SKIP() << "this processor has no AES-NI and PCLMUL";
    ::setenv("DBU_TABLE_CIPHER", GetParam(), 1);
    Base::SetUp();
  }
  void TearDown() override {
    Base::TearDown();
    ::unsetenv("DBU_TABLE_CIPHER");
  }
};

inline std::string CipherTestName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

#define ENG_FOR_EACH_CIPHER(Suite) \
  INSTANTIATE_TEST_SUITE_P(Ciphers, Suite, ::testing::ValuesIn(engtest::kTableCiphers), engtest::CipherTestName)

}  // namespace engtest
