// Checksums of plain tables: a byte changed outside the engine in a record
// slot or an index page is reported naming the file and the record or page,
// never read as data, and no later write goes ahead over it. Readers without
// the table's lock never take a write under way for damage. Tables made
// before checksums keep their format until ALTER TABLE writes them anew.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "checksum.h"
#include "index_hooks.h"
#include "sql_test_util.h"
#include "table_file.h"

namespace {

using engtest::LastError;

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Puts bytes back into the same file (handles of this process may keep it mapped).
void PutBack(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
  ::close(fd);
}

uint32_t U32(const std::string& bytes, size_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

TEST(Crc32cTest, KnownValueBothImplementationsAndRuns) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(eng::Crc32c(digits, 9), 0xE3069283u);
  EXPECT_EQ(eng::Crc32cPortable(digits, 9), 0xE3069283u);
  std::mt19937 rng(7);
  std::vector<uint8_t> buf(1100);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t start : {0, 1, 3}) {
    for (size_t n = 0; n < 1024; n += 1 + n / 7) {
      uint32_t whole = eng::Crc32c(buf.data() + start, n);
      EXPECT_EQ(eng::Crc32cPortable(buf.data() + start, n), whole) << n;
      EXPECT_EQ(eng::Crc32c(buf.data() + start + n / 3, n - n / 3, eng::Crc32c(buf.data() + start, n / 3)), whole);
    }
  }
  // Units checked as a run: how many from the first match, whatever their size.
  for (size_t n : {1, 8, 67, 300}) {
    const size_t stride = n + 4 + 3;
    std::vector<uint8_t> units(9 * stride);
    for (auto& b : units) b = static_cast<uint8_t>(rng());
    for (size_t k = 0; k < 9; ++k) eng::StampCrc(&units[k * stride], n);
    for (size_t count = 0; count <= 9; ++count) EXPECT_EQ(eng::CrcMatchingRun(units.data(), count, stride, n), count);
    for (size_t bad = 0; bad < 9; ++bad) {
      units[bad * stride + n / 2] ^= 0x10;
      EXPECT_EQ(eng::CrcMatchingRun(units.data(), 9, stride, n), bad) << n;
      units[bad * stride + n / 2] ^= 0x10;
    }
  }
}

class ChecksumTest : public engtest::SqlTest {
 protected:
  static constexpr uint32_t kSlots = 150;
  // "dmg": ID (unique tag ID), NAME (tag NAME, names repeat), N; some
  // records deleted, so that a changed state byte could bring one back.
  void MakeTable(uint32_t rows) {
    ENGHANDLE t = 0;
    ASSERT_EQ(EngCreateTable(conn_, "dmg", "ID,Integer;NAME,Char,12;N,Integer", ENG_OPEN_EXCLUSIVE, &t), 0u)
        << LastError();
    ENG_OK_(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr));
    ENG_OK_(EngCreateIndex(t, "NAME", "NAME", 0, 0, nullptr));
    for (int32_t i = 1; i <= static_cast<int32_t>(rows); ++i) {
      ENG_OK_(EngAppendRecord(t));
      int32_t id = i * 7 % 1000, n = i;
      ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4));
      SetText(t, 2, "NAME" + std::to_string(i % 23));
      ENG_OK_(EngSetFieldRaw(t, 3, reinterpret_cast<uint8_t*>(&n), 4));
      ENG_OK_(EngWriteRecord(t));
    }
    for (uint32_t r = 5; r <= rows; r += 11) {
      ENG_OK_(EngGotoRecord(t, r));
      ENG_OK_(EngDeleteRecord(t));
    }
    EngCloseTable(t);
  }

  // What every read path gave; a path that failed holds only its error.
  struct Reading {
    std::map<std::string, std::string> paths;  // path -> what it read, or "error"
    std::vector<std::string> errors;            // messages of the paths that failed
  };

  static std::string RecordText(ENGHANDLE t) {
    uint8_t raw[64];
    uint32_t len = sizeof raw;
    ENGRESULT rc = EngGetRecord(t, raw, &len);
    if (rc) return "!" + std::to_string(rc);
    return std::to_string(RecNo(t)) + ":" + std::string(reinterpret_cast<char*>(raw), len) + "|";
  }

  // Runs one read path; an engine error ends it.
  template <class F>
  static void Path(Reading* out, const std::string& name, F body) {
    std::string got;
    ENGRESULT rc = body(&got);
    if (rc == 0) {
      out->paths[name] = got;
    } else {
      out->paths[name] = "error";
      out->errors.push_back(std::to_string(rc) + " " + LastError());
    }
  }

  Reading ReadAll() {
    Reading out;
    ENGHANDLE t = 0;
    ENGRESULT rc = EngOpenTable(conn_, "dmg", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                                ENG_IGNORE_RIGHTS, 0, &t);
    if (rc) {
      out.errors.push_back(std::to_string(rc) + " " + LastError());
      return out;
    }
    auto walk = [&](ENGHANDLE moved, int32_t step) {
      return [=](std::string* got) -> ENGRESULT {
        ENGRESULT e = step > 0 ? EngGotoTop(moved) : EngGotoBottom(moved);
        while (e == 0 && !(step > 0 ? Eof(moved) : Bof(moved))) {
          std::string rec = RecordText(t);
          if (rec[0] == '!') return static_cast<ENGRESULT>(std::stoul(rec.substr(1)));
          *got += rec;
          e = EngSkip(moved, step);
        }
        return e;
      };
    };
    Path(&out, "natural", walk(t, 1));
    Path(&out, "natural backwards", walk(t, -1));
    ENGHANDLE by_id = 0, by_name = 0;
    EngGetIndexHandle(t, "ID", &by_id);
    EngGetIndexHandle(t, "NAME", &by_name);
    Path(&out, "tag ID", walk(by_id, 1));
    Path(&out, "tag NAME backwards", walk(by_name, -1));
    Path(&out, "read ahead", [&](std::string* got) -> ENGRESULT {
      uint8_t raw[8 * 64];
      uint32_t recnos[8];
      uint64_t stamp = 0;
      ENGRESULT e = EngGotoTop(t);
      if (e || Eof(t)) return e;
      *got += RecordText(t);
      for (uint16_t count = 8; count == 8;) {
        if ((e = EngSkipAndReadAhead(t, 0, 1, 0, &count, raw, 64, recnos, &stamp)) != 0) return e;
        for (uint16_t k = 0; k < count; ++k)
          *got += std::to_string(recnos[k]) + ":" + std::string(reinterpret_cast<char*>(raw + k * 64), 20) + "|";
      }
      return 0;
    });
    Path(&out, "seeks", [&](std::string* got) -> ENGRESULT {
      for (int32_t id = 0; id < 1000; id += 3) {
        uint8_t key[16];
        uint16_t klen = sizeof key, found = 0;
        EngInitRawKey(by_id);
        EngSetFieldRaw(by_id, 1, reinterpret_cast<uint8_t*>(&id), 4);
        ENGRESULT e = EngBuildRawKey(by_id, key, &klen);
        if (!e) e = EngSeek(by_id, key, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found);
        if (e) return e;
        if (found) {
          std::string rec = RecordText(t);
          if (rec[0] == '!') return static_cast<ENGRESULT>(std::stoul(rec.substr(1)));
          *got += rec;
        }
      }
      return 0;
    });
    Path(&out, "records", [&](std::string* got) -> ENGRESULT {
      for (uint32_t r = 1; r <= kSlots + 1; ++r) {
        ENGRESULT e = EngGotoRecord(t, r);
        if (e == ENG_ERR_NO_SUCH_RECORD) continue;
        if (e) return e;
        std::string rec = RecordText(t);
        if (rec[0] == '!') return static_cast<ENGRESULT>(std::stoul(rec.substr(1)));
        *got += rec;
      }
      return 0;
    });
    EngCloseTable(t);
    Path(&out, "statement", [&](std::string* got) -> ENGRESULT {
      ENGHANDLE cursor = 0;
      ENGRESULT e = Run("SELECT ID, NAME, N FROM dmg WHERE N > 0", &cursor);
      if (e) return e;
      for (const auto& row : Rows(cursor)) *got += row[0] + "," + row[1] + "," + row[2] + "|";
      EngCloseTable(cursor);
      return 0;
    });
    return out;
  }

  // Updates every record through its own write (a new NAME moves its tag
  // entry); returns the errors met.
  std::vector<std::string> WriteAll(uint32_t slots) {
    std::vector<std::string> errors;
    ENGHANDLE t = 0;
    if (EngOpenTable(conn_, "dmg", nullptr, 3, 1, 1, 2, 0, &t)) return {LastError()};
    for (uint32_t r = 1; r <= slots; ++r) {
      ENGRESULT e = EngGotoRecord(t, r);
      if (e == ENG_ERR_NO_SUCH_RECORD) continue;
      if (!e) e = EngSetField(t, 2, reinterpret_cast<const uint8_t*>("CHANGED"), 7);
      if (!e) e = EngWriteRecord(t);
      if (e) {
        errors.push_back(std::to_string(e) + " " + LastError());
        EngCancelUpdate(t);
      }
    }
    EngCloseTable(t);
    return errors;
  }
};

TEST_F(ChecksumTest, AChangedByteIsReportedNeverReadAndNoWriteGoesAheadOverIt) {
  MakeTable(kSlots);
  const std::string adt_path = dir_.File("dmg.adt"), tags_path = dir_.File("dmg.tags");
  const Reading truth = ReadAll();
  ASSERT_TRUE(truth.errors.empty()) << truth.errors[0];
  const std::string adt = FileBytes(adt_path), tags = FileBytes(tags_path);
  const uint32_t header = U32(adt, 12), slot_size = U32(adt, 20), slots = U32(adt, 32);
  const uint32_t page_size = U32(tags, 8), pages = U32(tags, 16);
  const uint32_t stored_page = page_size + (U32(tags, 24) ? 4 : 0);
#ifdef DBU_SANITIZED_BUILD
  const int rounds = 60;
#else
  const int rounds = 200;
#endif
  std::mt19937 rng(20240611);
  int reported = 0;
  for (int round = 0; round < rounds; ++round) {
    // A byte of a record slot or of an index page, changed.
    const bool in_tags = round % 2 == 1;
    const std::string& original = in_tags ? tags : adt;
    const uint64_t first = in_tags ? 65536 : header;
    const uint64_t length = in_tags ? uint64_t{pages} * stored_page : uint64_t{slots} * slot_size;
    const uint64_t at = first + rng() % length;
    const uint32_t unit = static_cast<uint32_t>((at - first) / (in_tags ? stored_page : slot_size) + 1);
    std::string damaged = original;
    damaged[at] = static_cast<char>(damaged[at] ^ (1 + rng() % 255));
    PutBack(in_tags ? tags_path : adt_path, damaged);
    const std::string file = in_tags ? "dmg.tags" : "dmg.adt";
    const std::string names = (in_tags ? "page " : "record ") + std::to_string(unit) + " ";
    SCOPED_TRACE(file + " byte " + std::to_string(at) + " (" + names + ")");

    // Every path reads what was there or reports the damage by name.
    auto check = [&](const Reading& now, bool compare) {
      for (const auto& [path, got] : now.paths)
        if (got != "error" && compare) {
          EXPECT_EQ(got, truth.paths.at(path)) << path << " read damaged data";
        }
      for (const std::string& e : now.errors) {
        EXPECT_EQ(e.rfind(std::to_string(ENG_ERR_CORRUPT) + " ", 0), 0u) << e;
        EXPECT_NE(e.find(file), std::string::npos) << e;
        EXPECT_NE(e.find(names), std::string::npos) << e;
      }
    };
    const Reading now = ReadAll();
    check(now, true);
    const bool seen = !now.errors.empty();
    reported += seen;

    // Writes fail where they meet the damage (a damaged record is never
    // overwritten) and leave it to be found again.
    const std::vector<std::string> write_errors = WriteAll(slots);
    for (const std::string& e : write_errors) {
      EXPECT_EQ(e.rfind(std::to_string(ENG_ERR_CORRUPT) + " ", 0), 0u) << e;
      EXPECT_NE(e.find(names), std::string::npos) << e;
    }
    const bool live_record_hit = !in_tags && static_cast<uint8_t>(adt[header + (unit - 1) * slot_size]) == 1;
    if (live_record_hit) {
      EXPECT_FALSE(write_errors.empty()) << "the damaged record was written over";
    }
    const Reading after = ReadAll();
    check(after, false);
    if (seen) {
      EXPECT_FALSE(after.errors.empty()) << "the damage is no longer reported after the writes";
    }

    PutBack(adt_path, adt);
    PutBack(tags_path, tags);
  }
  // Nearly every byte is read by some path (not: free index pages).
  EXPECT_GT(reported, rounds * 9 / 10);
  const Reading restored = ReadAll();
  EXPECT_TRUE(restored.errors.empty());
  EXPECT_EQ(restored.paths, truth.paths);
}

// A reopened table keeps the index pages it found intact while the tag
// file is untouched; a write to the file, even one to a table this process
// has read at settled file times, has them checked again.
TEST_F(ChecksumTest, PagesCheckedBeforeAReopenAreCheckedAgainAfterAWrite) {
  MakeTable(kSlots);
  const std::string tags_path = dir_.File("dmg.tags");
  struct stat st {};
  ASSERT_EQ(::stat(tags_path.c_str(), &st), 0);
  // Until the file's times are old enough to tell a later write apart.
  std::this_thread::sleep_for(std::chrono::milliseconds(st.st_ctim.tv_nsec != 0 ? 150 : 2100));
  for (int i = 0; i < 2; ++i) {  // the second reopen keeps what the first checked
    const Reading intact = ReadAll();
    ASSERT_TRUE(intact.errors.empty()) << intact.errors[0];
  }
  const std::string tags = FileBytes(tags_path);
  const uint32_t page_size = U32(tags, 8), pages = U32(tags, 16);
  const uint32_t stored_page = page_size + (U32(tags, 24) ? 4 : 0);
  std::string damaged = tags;
  for (uint32_t p = 0; p < pages; ++p) damaged[65536 + uint64_t{p} * stored_page + page_size / 2] ^= 0x20;
  PutBack(tags_path, damaged);
  const Reading now = ReadAll();
  EXPECT_FALSE(now.errors.empty()) << "damaged index pages were read without a check";
  for (const std::string& e : now.errors) EXPECT_NE(e.find("dmg.tags"), std::string::npos) << e;
  PutBack(tags_path, tags);
}

TEST_F(ChecksumTest, ReadersWithoutTheLockNeverTakeAWriteUnderWayForDamage) {
  // Long records make a write, and the window in which a slot's bytes and
  // its checksum disagree, long enough to be met.
  ENGHANDLE t = 0;
  ASSERT_EQ(EngCreateTable(conn_, "busy", "ID,Integer;TEXT,Char,4000", ENG_OPEN_EXCLUSIVE, &t), 0u) << LastError();
  for (int32_t i = 1; i <= 16; ++i) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&i), 4));
    ENG_OK_(EngWriteRecord(t));
  }
  EngCloseTable(t);
  const std::string dir = dir_.path();
  pid_t pid = ::fork();
  if (pid == 0) {
    ENGHANDLE c = 0, w = 0;
    if (EngConnect(dir.c_str(), &c) || EngOpenTable(c, "busy", nullptr, 3, 1, 1, 2, 0, &w)) ::_exit(1);
    std::string text(4000, 'a');
#ifdef DBU_SANITIZED_BUILD
    const int writes = 8000;
#else
    const int writes = 40000;
#endif
    for (int i = 0; i < writes; ++i) {
      text.assign(4000, static_cast<char>('a' + i % 26));
      if (EngGotoRecord(w, 1 + i % 16) ||
          EngSetField(w, 2, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())) ||
          EngWriteRecord(w))
        ::_exit(2);
    }
    ::_exit(0);
  }
  ASSERT_GT(pid, 0);
  t = Open("busy");
  int status = 0, walks = 0;
  std::vector<uint8_t> raw(4004);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    ++walks;
    for (ENGRESULT rc = EngGotoTop(t); !Eof(t); rc = EngSkip(t, 1)) {
      ASSERT_EQ(rc, 0u) << LastError();
      uint32_t len = static_cast<uint32_t>(raw.size());
      ENGRESULT got = EngGetRecord(t, raw.data(), &len);
      if (got) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "walk " << walks << ": " << LastError();
      }
      // A record is written whole: every byte of its text the same.
      ASSERT_EQ(std::count(raw.begin() + 4, raw.end(), raw[4]), 4000) << "walk " << walks;
    }
  }
  EngCloseTable(t);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ChecksumTest, AMismatchMetWithoutTheLockIsNoError) {
  // Without the lock a slot may be met in the middle of a write, its bytes
  // changed and its checksum not yet: such a read gives up (its caller reads
  // again under the lock) and never reports damage.
  ENGHANDLE t = Create("peek", "ID,Integer;NAME,Char,10");
  for (int i = 0; i < 3; ++i) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngWriteRecord(t));
  }
  const std::string adt = FileBytes(dir_.File("peek.adt"));
  struct stat info;
  ASSERT_EQ(::stat(dir_.File("peek.adt").c_str(), &info), 0);
  std::shared_ptr<eng::SharedTable> table = eng::SharedTable::FindOpen(info.st_dev, info.st_ino);
  ASSERT_TRUE(table);
  uint64_t seq = 0;
  ASSERT_TRUE(table->PeekBegin(&seq));
  uint8_t* second = table->table_file().data() + U32(adt, 12) + U32(adt, 20);
  second[3] ^= 0x40;  // a write to record 2 under way
  const uint8_t* raw = nullptr;
  uint32_t found = 0;
  eng::SharedTable::CheckedSlots checked;
  EXPECT_FALSE(table->PeekRecord(2, &raw));
  EXPECT_FALSE(table->PeekStep(1, true, &found, &raw, seq, &checked));
  EXPECT_FALSE(table->PeekStep(3, false, &found, &raw, seq, &checked));
  second[3] ^= 0x40;  // and done
  EXPECT_TRUE(table->PeekStep(1, true, &found, &raw, seq, &checked));
  EXPECT_EQ(found, 2u);
  EXPECT_TRUE(table->PeekValid(seq));
  table.reset();
  EngCloseTable(t);
}

TEST_F(ChecksumTest, TablesMadeBeforeChecksumsKeepTheirFormatAndWork) {
  eng::CreateTableFile(dir_.File("old.adt"), eng::ParseFieldDecls("ID,Integer;NAME,Char,12"), false);
  ENGHANDLE t = Open("old", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr));
  for (int32_t i = 1; i <= 200; ++i) {
    ENG_OK_(EngAppendRecord(t));
    int32_t id = 1000 - i;
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4));
    SetText(t, 2, "N" + std::to_string(i));
    ENG_OK_(EngWriteRecord(t));
  }
  ENG_OK_(EngGotoRecord(t, 7));
  ENG_OK_(EngDeleteRecord(t));
  ENG_OK_(EngPackTable(t));
  EngCloseTable(t);
  EngCloseTable(Create("new", "ID,Integer;NAME,Char,12"));
  ENGHANDLE n = Open("new", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngCreateIndex(n, "ID", "ID", 0, 0, nullptr));
  EngCloseTable(n);

  // Old: slot = state + record, no flag, pages without checksums (pack
  // keeps the format). New: 4 more bytes a slot, the flags set.
  const std::string old_adt = FileBytes(dir_.File("old.adt")), old_tags = FileBytes(dir_.File("old.tags"));
  EXPECT_EQ(U32(old_adt, 20), 17u);
  EXPECT_EQ(old_adt[26], 0);
  EXPECT_EQ(U32(old_tags, 24), 0u);
  EXPECT_EQ(U32(old_tags, 28), 0u);
  EXPECT_EQ(old_adt.size(), U32(old_adt, 12) + 199u * 17);
  const std::string new_adt = FileBytes(dir_.File("new.adt")), new_tags = FileBytes(dir_.File("new.tags"));
  EXPECT_EQ(U32(new_adt, 20), 21u);
  EXPECT_EQ(new_adt[26], 2);
  EXPECT_EQ(U32(new_tags, 24), 1u);
  EXPECT_EQ(U32(new_tags, 28), ~1u);

  t = Open("old");
  EXPECT_EQ(Walk(t).size(), 199u);
  ENGHANDLE idx = 0;
  ENG_OK_(EngGetIndexHandle(t, "ID", &idx));
  std::vector<uint32_t> order = Walk(idx);
  ASSERT_EQ(order.size(), 199u);
  EXPECT_EQ(order.front(), 199u);  // the highest ID, 1000 - 200, is the last record
  ENG_OK_(EngGotoRecord(t, 50));
  EXPECT_EQ(Text(t, 2), "N51         ");
  EngCloseTable(t);

  // ALTER TABLE writes the table anew, in the current format.
  Ok("ALTER TABLE old ADD COLUMN N INTEGER");
  const std::string altered = FileBytes(dir_.File("old.adt")), altered_tags = FileBytes(dir_.File("old.tags"));
  EXPECT_EQ(U32(altered, 20), 25u);
  EXPECT_EQ(altered[26], 2);
  EXPECT_EQ(U32(altered_tags, 24), 1u);
  t = Open("old");
  ENG_OK_(EngGetIndexHandle(t, "ID", &idx));
  EXPECT_EQ(Walk(idx), order);
  ENG_OK_(EngGotoRecord(t, 50));
  EXPECT_EQ(Text(t, 2), "N51         ");
  EngCloseTable(t);
}

}  // namespace
