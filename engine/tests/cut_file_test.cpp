// A table whose memo, table or tags file was cut short is reported damaged
// on every read, naming the file, and reading never changes a file: no
// read, open or close may grow the cut file back (which would turn the lost
// contents into empty values that read without an error).
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>

#include "test_util.h"

using engtest::EngineTest;

namespace {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string MemoOf(int i) { return std::string(static_cast<size_t>(60 + 37 * i), static_cast<char>('a' + i % 26)); }

constexpr int kRecords = 40;

class CutFileTest : public EngineTest {
 protected:
  // What one read of the whole table gives: the open's error, or per
  // record its memo or the error reading it ("<code> <text>").
  struct Reading {
    std::string open_error;
    std::map<int, std::string> memo, error;
    bool operator==(const Reading& o) const { return open_error == o.open_error && memo == o.memo && error == o.error; }
    friend void PrintTo(const Reading& r, std::ostream* os) {
      *os << "open: \"" << r.open_error << "\", " << r.memo.size() << " memos read";
      for (const auto& [i, e] : r.error) *os << "; record " << i << ": " << e;
    }
  };

  Reading ReadAll() {
    Reading r;
    ENGHANDLE t = 0;
    if (EngOpenTable(conn_, "cut", nullptr, 3, 1, 1, 2, 0, &t)) {
      r.open_error = engtest::LastError();
      return r;
    }
    for (int i = 1; i <= kRecords; ++i) {
      char buf[4096];
      uint32_t len = sizeof buf;
      if (EngGotoRecord(t, static_cast<uint32_t>(i)) || EngGetField(t, 2, reinterpret_cast<uint8_t*>(buf), &len))
        r.error[i] = engtest::LastError();
      else
        r.memo[i] = std::string(buf, len);
    }
    EngCloseTable(t);
    return r;
  }
};

TEST_F(CutFileTest, EveryReadReportsTheCutAndNoneChangesTheFile) {
  ENGHANDLE t = 0;
  ENG_OK_(EngCreateTable(conn_, "cut", "ID,Integer;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t));
  ENG_OK_(EngCreateIndex(t, "ID", "ID", 0, 0, nullptr));
  for (int i = 1; i <= kRecords; ++i) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<const uint8_t*>(&i), 4));
    SetText(t, 2, MemoOf(i));
    ENG_OK_(EngWriteRecord(t));
  }
  EngCloseTable(t);
  const std::string memo = dir_.File("cut.memo"), adt = dir_.File("cut.adt"), tags = dir_.File("cut.tags");
  const std::map<std::string, std::string> whole = {{memo, Bytes(memo)}, {adt, Bytes(adt)}, {tags, Bytes(tags)}};
  // Each file cut within what it holds: the table and memo files are
  // trimmed to their contents on close; the tags file keeps spare room
  // after its pages, so it loses all but its 64 KiB header and a bit.
  const std::pair<std::string, size_t> cuts[] = {{memo, whole.at(memo).size() / 2},
                                                 {memo, 0},
                                                 {adt, whole.at(adt).size() - 5},
                                                 {tags, 64 * 1024 + 100}};
  for (const auto& [path, length] : cuts) {
    for (const auto& [file, bytes] : whole) Put(file, bytes);
    ASSERT_LT(length, whole.at(path).size());
    Put(path, whole.at(path).substr(0, length));
    const std::string cut = Bytes(path);
    const Reading first = ReadAll(), second = ReadAll();
    EXPECT_EQ(first, second) << path << ": a second read must tell what the first told";
    EXPECT_TRUE(Bytes(path) == cut) << path << ": reading must leave the file as it was (" << cut.size()
                                    << " bytes, now " << Bytes(path).size() << ")";
    if (path == memo && length > 0) {
      EXPECT_EQ(first.open_error, "");
      EXPECT_FALSE(first.error.empty()) << "memos beyond the cut must fail";
      EXPECT_FALSE(first.memo.empty()) << "memos before the cut must read";
      for (const auto& [i, m] : first.memo) EXPECT_EQ(m, MemoOf(i)) << "record " << i;
      for (const auto& [i, e] : first.error) {
        EXPECT_EQ(e.rfind("5012 ", 0), 0u) << "record " << i << ": " << e;
        EXPECT_NE(e.find(memo), std::string::npos) << "record " << i << ": " << e;
      }
    } else {
      EXPECT_EQ(first.open_error.rfind("5012 ", 0), 0u) << path << ": " << first.open_error;
      EXPECT_NE(first.open_error.find(path), std::string::npos) << first.open_error;
    }
  }
  // A memo file gone altogether is not made anew, empty, for a table that
  // holds records.
  for (const auto& [file, bytes] : whole) Put(file, bytes);
  ASSERT_EQ(::unlink(memo.c_str()), 0);
  const Reading gone = ReadAll();
  EXPECT_EQ(gone.open_error.rfind("5012 ", 0), 0u) << gone.open_error;
  EXPECT_NE(gone.open_error.find(memo), std::string::npos) << gone.open_error;
  EXPECT_NE(::access(memo.c_str(), F_OK), 0) << "no memo file may appear";
}

}  // namespace
