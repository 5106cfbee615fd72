// Table encryption: what is stored, who may read it, and round trips
// between plain and encrypted tables keeping every record, number and tag.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "table_handle.h"
#include "test_util.h"

namespace {

constexpr char kPassword[] = "KVRNA7310";

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void FlipByte(const std::string& path, uint64_t offset, uint8_t mask = 0x20) {
  int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << path;
  uint8_t b = 0;
  ASSERT_EQ(::pread(fd, &b, 1, static_cast<off_t>(offset)), 1) << path << " at " << offset;
  b ^= mask;
  ASSERT_EQ(::pwrite(fd, &b, 1, static_cast<off_t>(offset)), 1);
  ::close(fd);
}

uint32_t Code(ENGRESULT rc) { return rc; }

class CryptoTest : public engtest::CipherTest<engtest::EngineTest> {
 protected:
  // A table of secrets: ID (unique tag), NAME (tag), NOTE (memo); record 3
  // deleted so that numbers have a gap.
  void MakeTable(int rows = 40) {
    ENGHANDLE t = 0;
    ASSERT_EQ(EngCreateTable(conn_, "secret", "ID,Integer;NAME,Char,24;NOTE,Memo", ENG_OPEN_EXCLUSIVE, &t), 0u)
        << engtest::LastError();
    ENG_OK_(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr));
    ENG_OK_(EngCreateIndex(t, "NAME", "NAME", 0, 0, nullptr));
    for (int i = 1; i <= rows; ++i) Add(t, i, "SECRETNAME" + std::to_string(1000 + i), "SECRETMEMO-" + std::to_string(i * 7));
    ENG_OK_(EngGotoRecord(t, 3));
    ENG_OK_(EngDeleteRecord(t));
    EngCloseTable(t);
  }
  static void Add(ENGHANDLE t, int32_t id, const std::string& name, const std::string& memo) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4));
    SetText(t, 2, name);
    SetText(t, 3, memo);
    ENG_OK_(EngWriteRecord(t));
  }
  ENGHANDLE OpenEnabled(uint32_t options = 0, const char* password = kPassword) {
    ENGHANDLE t = Open("secret", options);
    EXPECT_EQ(EngEnableEncryption(t, password), 0u) << engtest::LastError();
    return t;
  }
  void Encrypt() {
    ENGHANDLE t = Open("secret", ENG_OPEN_EXCLUSIVE);
    ENG_OK_(EngEnableEncryption(t, kPassword));
    ENG_OK_(EngEncryptTable(t));
    EngCloseTable(t);
  }
  // recno -> (id, name, memo) in natural order, and the record numbers in
  // the order of each tag.
  struct Snapshot {
    std::map<uint32_t, std::string> rows;
    std::vector<uint32_t> by_id, by_name;
    bool operator==(const Snapshot& o) const { return rows == o.rows && by_id == o.by_id && by_name == o.by_name; }
  };
  static Snapshot Take(ENGHANDLE t) {
    Snapshot s;
    for (uint32_t r : Walk(t)) {
      EngGotoRecord(t, r);
      std::vector<uint8_t> raw = Record(t);
      int32_t id;
      std::memcpy(&id, raw.data(), 4);
      s.rows[r] = std::to_string(id) + "|" + Text(t, 2) + "|" + Text(t, 3);
    }
    ENGHANDLE id = 0, name = 0;
    EXPECT_EQ(EngGetIndexHandle(t, "ID", &id), 0u);
    EXPECT_EQ(EngGetIndexHandle(t, "NAME", &name), 0u);
    s.by_id = Walk(id);
    s.by_name = Walk(name);
    return s;
  }
  bool FilesContain(const std::string& text) {
    for (const char* ext : {".adt", ".memo", ".tags"})
      if (FileBytes(dir_.File(std::string("secret") + ext)).find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_P(CryptoTest, NothingWrittenToAnEncryptedTableIsStoredInClear) {
  MakeTable();
  ASSERT_TRUE(FilesContain("SECRETNAME1005"));  // the search finds plain values
  ASSERT_TRUE(FilesContain("SECRETMEMO-35"));
  Encrypt();
  EXPECT_FALSE(FilesContain("SECRETNAME"));
  EXPECT_FALSE(FilesContain("SECRETMEMO"));
  EXPECT_FALSE(FilesContain(kPassword));

  // Appends, updates and memo changes after encryption stay sealed too.
  ENGHANDLE t = OpenEnabled();
  Add(t, 500, "LATERNAME500", "LATERMEMO500");
  ENG_OK_(EngGotoRecord(t, 1));
  SetText(t, 2, "CHANGEDNAME1");
  SetText(t, 3, std::string(3000, 'Q') + "CHANGEDMEMO");
  ENG_OK_(EngWriteRecord(t));
  EngCloseTable(t);
  for (const char* s : {"LATERNAME", "LATERMEMO", "CHANGEDNAME", "CHANGEDMEMO", "QQQQQQQQ"})
    EXPECT_FALSE(FilesContain(s)) << s;
  // Only what opening needs is in clear: field names.
  EXPECT_TRUE(FilesContain("NOTE"));

  t = OpenEnabled();
  ENG_OK_(EngGotoRecord(t, 1));
  EXPECT_EQ(Text(t, 2), "CHANGEDNAME1            ");
  EXPECT_EQ(Text(t, 3), std::string(3000, 'Q') + "CHANGEDMEMO");
  EngCloseTable(t);
}

TEST_P(CryptoTest, RecordsNeedTheRightPasswordFieldsDoNot) {
  MakeTable();
  Encrypt();
  ENGHANDLE t = Open("secret");
  uint16_t enc = 0, nfields = 0;
  ENG_OK_(EngIsTableEncrypted(t, &enc));
  EXPECT_EQ(enc, 1);
  ENG_OK_(EngGetNumFields(t, &nfields));
  EXPECT_EQ(nfields, 3);
  char name[64];
  uint16_t len = sizeof name;
  ENG_OK_(EngGetFieldName(t, 2, name, &len));
  EXPECT_STREQ(name, "NAME");

  EXPECT_EQ(Code(EngGotoTop(t)), ENG_ERR_ENCRYPTED);
  const std::string refusal = engtest::LastError();
  EXPECT_NE(refusal.find("secret"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("password"), std::string::npos) << refusal;
  EXPECT_EQ(Code(EngGotoRecord(t, 1)), ENG_ERR_ENCRYPTED);
  EXPECT_EQ(Code(EngAppendRecord(t)), ENG_ERR_ENCRYPTED);
  uint8_t raw[64];
  uint32_t rlen = sizeof raw;
  EXPECT_EQ(Code(EngGetRecord(t, raw, &rlen)), ENG_ERR_ENCRYPTED);
  // No answer may make the table look empty: its ends are unknown too, and
  // every move and read (the combined ones included) is refused.
  uint16_t atEnd = 1;
  EXPECT_EQ(Code(EngAtEOF(t, &atEnd)), ENG_ERR_ENCRYPTED);
  EXPECT_EQ(Code(EngAtBOF(t, &atEnd)), ENG_ERR_ENCRYPTED);
  EXPECT_EQ(Code(EngSkip(t, 1)), ENG_ERR_ENCRYPTED);
  uint32_t recno = 0;
  rlen = sizeof raw;
  EXPECT_EQ(Code(EngSkipAndRead(t, 1, 0, raw, &rlen, &recno)), ENG_ERR_ENCRYPTED);
  uint8_t ahead[4 * 64];
  uint32_t recnos[4] = {};
  uint16_t count = 4;
  uint64_t stamp = 0;
  EXPECT_EQ(Code(EngSkipAndReadAhead(t, 0, 1, 0, &count, ahead, 64, recnos, &stamp)), ENG_ERR_ENCRYPTED);
  EXPECT_EQ(count, 0);
  ENGHANDLE id = 0;
  ENG_OK_(EngGetIndexHandle(t, "ID", &id));
  EXPECT_EQ(Code(EngGotoTop(id)), ENG_ERR_ENCRYPTED);
  int32_t key = 5;
  ENG_OK_(EngInitRawKey(id));
  ENG_OK_(EngSetFieldRaw(id, 1, reinterpret_cast<uint8_t*>(&key), 4));
  uint8_t k[16];
  uint16_t klen = sizeof k;
  ENG_OK_(EngBuildRawKey(id, k, &klen));
  uint16_t found = 0;
  EXPECT_EQ(Code(EngSeek(id, k, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found)), ENG_ERR_ENCRYPTED);

  EXPECT_EQ(Code(EngEnableEncryption(t, "kvrna7310")), ENG_ERR_WRONG_PASSWORD);
  EXPECT_EQ(Code(EngEnableEncryption(t, "")), ENG_ERR_WRONG_PASSWORD);
  EXPECT_EQ(Code(EngGotoTop(t)), ENG_ERR_ENCRYPTED);

  // A second handle that gave the password does not open the first.
  ENGHANDLE other = OpenEnabled();
  EXPECT_EQ(Walk(other).size(), 39u);
  EXPECT_EQ(Code(EngGotoTop(t)), ENG_ERR_ENCRYPTED);

  ENG_OK_(EngEnableEncryption(t, kPassword));
  ENG_OK_(EngAtBOF(t, &atEnd));
  EXPECT_EQ(atEnd, 1) << "not yet moved";
  ENG_OK_(EngSeek(id, k, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found));
  EXPECT_EQ(found, 1);
  EXPECT_EQ(RecNo(t), 5u);
  EXPECT_EQ(Text(t, 2), "SECRETNAME1005          ");
  EngCloseTable(other);
  EngCloseTable(t);
}

TEST_P(CryptoTest, EncryptDecryptAndPackKeepEveryRecordNumberAndTag) {
  MakeTable(300);
  ENGHANDLE t = Open("secret");
  Snapshot before = Take(t);
  EngCloseTable(t);
  ASSERT_EQ(before.rows.size(), 299u);

  Encrypt();
  t = OpenEnabled();
  EXPECT_TRUE(Take(t) == before);
  EngCloseTable(t);

  t = OpenEnabled(ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngDecryptTable(t));
  uint16_t enc = 1;
  ENG_OK_(EngIsTableEncrypted(t, &enc));
  EXPECT_EQ(enc, 0);
  EXPECT_TRUE(Take(t) == before);
  EngCloseTable(t);
  EXPECT_TRUE(FilesContain("SECRETMEMO-35"));
  t = Open("secret");  // plain again: no password needed
  EXPECT_TRUE(Take(t) == before);
  EngCloseTable(t);

  // Pack of an encrypted table: still encrypted, deleted records gone,
  // the others renumbered in order with their tags.
  Encrypt();
  t = OpenEnabled(ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngGotoRecord(t, 10));
  ENG_OK_(EngDeleteRecord(t));
  ENG_OK_(EngPackTable(t));
  ENG_OK_(EngIsTableEncrypted(t, &enc));
  EXPECT_EQ(enc, 1);
  Snapshot packed = Take(t);
  EngCloseTable(t);
  EXPECT_FALSE(FilesContain("SECRETNAME"));
  EXPECT_FALSE(FilesContain("SECRETMEMO"));
  ASSERT_EQ(packed.rows.size(), 298u);
  std::vector<std::string> want, got;
  for (const auto& [r, row] : before.rows)
    if (r != 10) want.push_back(row);
  for (const auto& [r, row] : packed.rows) got.push_back(row);
  EXPECT_EQ(got, want);
  EXPECT_EQ(packed.rows.rbegin()->first, 298u);
  EXPECT_EQ(packed.by_id.size(), 298u);
  ASSERT_EQ(packed.by_name.size(), 298u);
  std::vector<std::string> names;
  for (uint32_t r : packed.by_name) names.push_back(packed.rows[r]);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.substr(a.find('|')) < b.substr(b.find('|'));
  }));
}

TEST_P(CryptoTest, EncryptAndDecryptAskForTheStateTheyLeave) {
  MakeTable();
  ENGHANDLE t = Open("secret");
  ENG_OK_(EngDecryptTable(t));  // plain already: nothing to do
  ENG_OK_(EngEnableEncryption(t, "anything"));  // plain: accepted, only remembered
  EXPECT_EQ(Code(EngEncryptTable(t)), ENG_ERR_NEEDS_EXCLUSIVE);
  EngCloseTable(t);
  t = Open("secret", ENG_OPEN_EXCLUSIVE);
  EXPECT_EQ(Code(EngEncryptTable(t)), ENG_ERR_WRONG_PASSWORD);  // no password given
  ENG_OK_(EngEnableEncryption(t, kPassword));
  ENG_OK_(EngEncryptTable(t));
  std::string adt = FileBytes(dir_.File("secret.adt"));
  ENG_OK_(EngEncryptTable(t));  // encrypted already: nothing changes
  EXPECT_EQ(FileBytes(dir_.File("secret.adt")), adt);
  // The encrypting handle reads on without giving the password again.
  EXPECT_EQ(Walk(t).size(), 39u);
  EngCloseTable(t);
  t = Open("secret", ENG_OPEN_EXCLUSIVE);
  EXPECT_EQ(Code(EngDecryptTable(t)), ENG_ERR_ENCRYPTED);
  EXPECT_EQ(Code(EngPackTable(t)), ENG_ERR_ENCRYPTED);
  EngCloseTable(t);
}

TEST_P(CryptoTest, WideRecordsZapAndTagsMadeAfterEncryption) {
  // One slot per block, no memo or index file at encryption time.
  ENGHANDLE t = 0;
  ASSERT_EQ(EngCreateTable(conn_, "wide", "K,Integer;BODY,Char,5000", ENG_OPEN_EXCLUSIVE, &t), 0u);
  auto add = [&](int32_t k, const std::string& body) {
    ENG_OK_(EngAppendRecord(t));
    ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&k), 4));
    SetText(t, 2, body);
    ENG_OK_(EngWriteRecord(t));
  };
  for (int32_t k = 1; k <= 5; ++k) add(k, "WIDEBODY" + std::to_string(k));
  ENG_OK_(EngEnableEncryption(t, kPassword));
  ENG_OK_(EngEncryptTable(t));
  ENG_OK_(EngZapTable(t));
  for (int32_t k = 10; k >= 1; --k) add(k, "AFTERZAP" + std::to_string(k));
  ENG_OK_(EngCreateIndex(t, "K", "K", ENG_INDEX_UNIQUE, 0, nullptr));
  EngCloseTable(t);
  std::string adt = FileBytes(dir_.File("wide.adt")) + FileBytes(dir_.File("wide.tags"));
  EXPECT_EQ(adt.find("WIDEBODY"), std::string::npos);
  EXPECT_EQ(adt.find("AFTERZAP"), std::string::npos);

  t = Open("wide", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngEnableEncryption(t, kPassword));
  ENGHANDLE k = 0;
  ENG_OK_(EngGetIndexHandle(t, "K", &k));
  std::vector<uint32_t> by_key = Walk(k);
  EXPECT_EQ(by_key, (std::vector<uint32_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  ENG_OK_(EngGotoRecord(t, 4));
  std::vector<uint8_t> raw = Record(t);
  EXPECT_EQ(std::string(raw.begin() + 4, raw.begin() + 13), "AFTERZAP7");
  ENG_OK_(EngDecryptTable(t));
  EXPECT_EQ(Walk(k), by_key);
  EngCloseTable(t);
  EXPECT_NE(FileBytes(dir_.File("wide.adt")).find("AFTERZAP7"), std::string::npos);
}

TEST_P(CryptoTest, AChangedByteInAnyFileIsAnErrorNotData) {
  MakeTable();
  Encrypt();
  std::string adt = FileBytes(dir_.File("secret.adt"));
  uint32_t header = 0;
  std::memcpy(&header, adt.data() + 12, 4);
  struct Case {
    const char* file;
    uint64_t offset;
  };
  for (Case c : {Case{"secret.adt", header + 100}, Case{"secret.memo", 64 + 30}, Case{"secret.tags", 65536 + 200}}) {
    SCOPED_TRACE(c.file);
    FlipByte(dir_.File(c.file), c.offset);
    ENGHANDLE t = OpenEnabled();
    ENGHANDLE id = 0, name = 0;
    ENG_OK_(EngGetIndexHandle(t, "ID", &id));
    ENG_OK_(EngGetIndexHandle(t, "NAME", &name));
    ENGRESULT rc = EngGotoTop(std::string(c.file).find("tags") != std::string::npos ? id : t);
    if (rc == 0 && std::string(c.file).find("tags") != std::string::npos) rc = EngGotoTop(name);
    if (rc == 0 && std::string(c.file).find("memo") != std::string::npos) {
      uint8_t buf[256];
      uint32_t len = sizeof buf;
      rc = EngGetField(t, 3, buf, &len);
    }
    EXPECT_EQ(Code(rc), ENG_ERR_TAMPERED) << engtest::LastError();
    EngCloseTable(t);
    FlipByte(dir_.File(c.file), c.offset);  // back as it was
    t = OpenEnabled();
    EXPECT_EQ(Walk(t).size(), 39u);
    EngCloseTable(t);
  }
  // A changed field definition (in clear) is told when the password is given.
  FlipByte(dir_.File("secret.adt"), 256 + 160 + 1);  // second field's name
  ENGHANDLE changed = Open("secret");
  EXPECT_EQ(Code(EngEnableEncryption(changed, kPassword)), ENG_ERR_TAMPERED);
  EXPECT_EQ(Code(EngGotoTop(changed)), ENG_ERR_ENCRYPTED);
  EngCloseTable(changed);
  FlipByte(dir_.File("secret.adt"), 256 + 160 + 1);
  // Clearing the encrypted flag does not make ciphertext pass for records.
  FlipByte(dir_.File("secret.adt"), 26, 1);
  ENGHANDLE t = 0;
  EXPECT_EQ(Code(EngOpenTable(conn_, "secret", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                              ENG_IGNORE_RIGHTS, 0, &t)),
            ENG_ERR_CORRUPT);
}

TEST_P(CryptoTest, ChangesOfAnotherProcessAreSeenThroughTheCache) {
  MakeTable(200);
  Encrypt();
  ENGHANDLE t = OpenEnabled();
  EXPECT_EQ(Walk(t).size(), 199u);  // every block cached
  pid_t pid = ::fork();
  if (pid == 0) {
    ENGHANDLE c = 0, h = 0;
    if (EngConnect(dir_.path().c_str(), &c)) ::_exit(2);
    if (EngOpenTable(c, "secret", nullptr, 3, 1, 1, 2, 0, &h) || EngEnableEncryption(h, kPassword)) ::_exit(3);
    const char name[] = "FROMCHILD";
    if (EngGotoRecord(h, 150) || EngSetField(h, 2, reinterpret_cast<const uint8_t*>(name), 9) || EngWriteRecord(h))
      ::_exit(4);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
  ENG_OK_(EngGotoRecord(t, 150));
  EXPECT_EQ(Text(t, 2), "FROMCHILD               ");
  ENGHANDLE name = 0;
  ENG_OK_(EngGetIndexHandle(t, "NAME", &name));
  ENG_OK_(EngGotoTop(name));  // "FROMCHILD" sorts first
  EXPECT_EQ(RecNo(t), 150u);
  EngCloseTable(t);
}

// The header's crypto area names the cipher: version 1 (XChaCha20-Poly1305,
// as every table sealed before AES-GCM) or version 2 and a cipher byte.
struct RecordedCipher {
  uint8_t version, cipher;
};
RecordedCipher CipherOf(const std::string& adt) {
  const std::string bytes = FileBytes(adt);
  return {static_cast<uint8_t>(bytes.at(128 + 7)), static_cast<uint8_t>(bytes.at(128 + 104))};
}
bool IsAes(const char* param) { return std::string(param) == "aes-256-gcm"; }

TEST_P(CryptoTest, ATableKeepsItsCipherWhicheverNewTablesGet) {
  MakeTable();
  Encrypt();
  const bool aes = IsAes(GetParam());
  const RecordedCipher made = CipherOf(dir_.File("secret.adt"));
  EXPECT_EQ(made.version, aes ? 2 : 1);
  EXPECT_EQ(made.cipher, aes ? 2 : 0);
  // New tables would now get the other cipher: this one keeps its own
  // through changes, a pack and a zap of the blocks' cache.
  ::setenv("DBU_TABLE_CIPHER", aes ? "xchacha20-poly1305" : "aes-256-gcm", 1);
  ENGHANDLE t = OpenEnabled(ENG_OPEN_EXCLUSIVE);
  Add(t, 41, "SECRETNAME1041", "SECRETMEMO-41");
  ENG_OK_(EngPackTable(t));
  const Snapshot packed = Take(t);
  EXPECT_EQ(packed.rows.size(), 40u);
  EngCloseTable(t);
  const RecordedCipher kept = CipherOf(dir_.File("secret.adt"));
  EXPECT_EQ(kept.version, made.version);
  EXPECT_EQ(kept.cipher, made.cipher);
  EXPECT_FALSE(FilesContain("SECRETNAME1041"));
  t = OpenEnabled();
  EXPECT_TRUE(Take(t) == packed);
  EngCloseTable(t);
}

// A table whose cipher the processor cannot run opens (its definition is in
// clear) but refuses every use of its data, naming table and cipher, and
// nothing is written to it; an XChaCha20-Poly1305 table works as ever.
TEST_P(CryptoTest, WithoutAesNiOnlyAesTablesAreRefusedAndNoneIsWritten) {
  MakeTable();
  Encrypt();
  std::map<std::string, std::string> before;
  for (const char* ext : {".adt", ".memo", ".tags"}) before[ext] = FileBytes(dir_.File(std::string("secret") + ext));
  ::setenv("DBU_TABLE_CIPHER", "no-aes-ni", 1);
  ENGHANDLE t = Open("secret", ENG_OPEN_EXCLUSIVE);
  if (!IsAes(GetParam())) {
    ENG_OK_(EngEnableEncryption(t, kPassword));
    EXPECT_EQ(Walk(t).size(), 39u);
    EngCloseTable(t);
    return;
  }
  EXPECT_EQ(Code(EngEnableEncryption(t, kPassword)), ENG_ERR_NOT_SUPPORTED);
  const std::string refusal = engtest::LastError();
  EXPECT_NE(refusal.find("secret"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("AES-256-GCM"), std::string::npos) << refusal;
  EXPECT_EQ(Code(EngGotoTop(t)), ENG_ERR_NOT_SUPPORTED);
  EXPECT_EQ(Code(EngAppendRecord(t)), ENG_ERR_NOT_SUPPORTED);
  EXPECT_EQ(Code(EngZapTable(t)), ENG_ERR_NOT_SUPPORTED);
  EXPECT_EQ(Code(EngPackTable(t)), ENG_ERR_NOT_SUPPORTED);
  EXPECT_EQ(Code(EngDecryptTable(t)), ENG_ERR_NOT_SUPPORTED);
  EngCloseTable(t);
  for (const auto& [ext, bytes] : before)
    EXPECT_TRUE(FileBytes(dir_.File("secret" + ext)) == bytes) << "secret" << ext << " was written";

  // A table encrypted now gets the cipher this processor runs.
  ENGHANDLE plain = 0;
  ASSERT_EQ(EngCreateTable(conn_, "fresh", "ID,Integer", ENG_OPEN_EXCLUSIVE, &plain), 0u) << engtest::LastError();
  ENG_OK_(EngEnableEncryption(plain, kPassword));
  ENG_OK_(EngEncryptTable(plain));
  EngCloseTable(plain);
  EXPECT_EQ(CipherOf(dir_.File("fresh.adt")).version, 1);
}

// A table sealed by the engine before AES-GCM came (engine/tests/data)
// reads, changes and stays XChaCha20-Poly1305 whichever cipher new tables get.
TEST_P(CryptoTest, ATableSealedBeforeAesGcmReadsAndChangesAsBefore) {
  for (const char* ext : {".adt", ".memo"})
    std::filesystem::copy_file(std::string(ENGINE_TEST_DATA) + "/oldseal" + ext, dir_.File(std::string("oldseal") + ext));
  ENGHANDLE t = Open("oldseal", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngEnableEncryption(t, "OLD-PASS-42"));
  auto contents = [&] {
    std::string out;
    for (uint32_t r : Walk(t)) {
      EngGotoRecord(t, r);
      out += Text(t, 2) + "|" + Text(t, 3) + "\n";
    }
    return out;
  };
  const std::string old_rows = "OLDNAME1            |OLDNOTE11\nOLDNAME2            |OLDNOTE22\nOLDNAME3            |OLDNOTE33\n";
  EXPECT_EQ(contents(), old_rows);
  ENG_OK_(EngAppendRecord(t));
  SetText(t, 2, "NEWNAME4");
  SetText(t, 3, "NEWNOTE44");
  ENG_OK_(EngWriteRecord(t));
  EngCloseTable(t);
  const RecordedCipher kept = CipherOf(dir_.File("oldseal.adt"));
  EXPECT_EQ(kept.version, 1);
  EXPECT_EQ(kept.cipher, 0);
  t = Open("oldseal");
  ENG_OK_(EngEnableEncryption(t, "OLD-PASS-42"));
  EXPECT_EQ(contents(), old_rows + "NEWNAME4            |NEWNOTE44\n");
  EngCloseTable(t);
}

ENG_FOR_EACH_CIPHER(CryptoTest);

}  // namespace

namespace {

// A table without memo fields, large enough for many record blocks and
// index pages: ID (unique tag) and NAME (tag, in an order unlike ID's).
class CryptoRewriteTest : public engtest::CipherTest<engtest::EngineTest> {
 protected:
  static constexpr int kRows = 5000;
  void SetUp() override {
    engtest::CipherTest<engtest::EngineTest>::SetUp();
    if (IsSkipped()) return;
    ENGHANDLE t = 0;
    ASSERT_EQ(EngCreateTable(conn_, "wide", "ID,Integer;NAME,Char,30", ENG_OPEN_EXCLUSIVE, &t), 0u)
        << engtest::LastError();
    ENG_OK_(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr));
    ENG_OK_(EngCreateIndex(t, "NAME", "NAME", 0, 0, nullptr));
    for (int32_t i = 1; i <= kRows; ++i) {
      ENG_OK_(EngAppendRecord(t));
      ENG_OK_(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&i), 4));
      SetText(t, 2, "N" + std::to_string((i * 7919) % kRows));
      ENG_OK_(EngWriteRecord(t));
    }
    ENG_OK_(EngEnableEncryption(t, kPassword));
    ENG_OK_(EngEncryptTable(t));
    EngCloseTable(t);
  }
  // Every record as "recno:id:name" in natural order, then the record
  // numbers in NAME's order.
  static std::string Contents(ENGHANDLE t) {
    std::string out;
    for (uint32_t r : Walk(t)) {
      EngGotoRecord(t, r);
      std::vector<uint8_t> raw = Record(t);
      int32_t id;
      std::memcpy(&id, raw.data(), 4);
      out += std::to_string(r) + ":" + std::to_string(id) + ":" + Text(t, 2) + "\n";
    }
    ENGHANDLE name = 0;
    EXPECT_EQ(EngGetIndexHandle(t, "NAME", &name), 0u);
    for (uint32_t r : Walk(name)) out += std::to_string(r) + " ";
    return out;
  }
  static uint32_t Seek(ENGHANDLE t, int32_t key) {
    ENGHANDLE id = 0;
    EXPECT_EQ(EngGetIndexHandle(t, "ID", &id), 0u);
    EXPECT_EQ(EngInitRawKey(id), 0u);
    EXPECT_EQ(EngSetFieldRaw(id, 1, reinterpret_cast<uint8_t*>(&key), 4), 0u);
    uint8_t k[16];
    uint16_t klen = sizeof k, found = 0;
    EXPECT_EQ(EngBuildRawKey(id, k, &klen), 0u);
    EXPECT_EQ(EngSeek(id, k, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found), 0u);
    if (!found) return 0;
    uint32_t recno = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
    return recno;
  }
};

// A walk a record at a time over an encrypted table takes the steps within
// a block from a copy of it: whatever another handle changes between two
// steps (a deletion, a new value, a new record), in that block or another,
// shows at the next step as it does at a locked one.
TEST_P(CryptoRewriteTest, StepsOneAtATimeSeeEveryChangeMadeBetweenThem) {
  ENGHANDLE a = Open("wide", 0), b = Open("wide", 0);
  ENG_OK_(EngEnableEncryption(a, kPassword));
  ENG_OK_(EngEnableEncryption(b, kPassword));
  std::map<uint32_t, int32_t> live;  // record number -> ID, the model
  for (int32_t r = 1; r <= kRows; ++r) live[static_cast<uint32_t>(r)] = r;
  ENG_OK_(EngGotoTop(a));
  uint32_t at = 1, slots = kRows;
  std::mt19937 rng(7);
  auto near = [&] { return static_cast<uint32_t>(std::max<int64_t>(1, int64_t{at} - 60 + rng() % 121)); };
  for (int i = 0; i < 12000; ++i) {
    const unsigned op = rng() % 10;
    if (op < 6) {
      const int32_t step = op < 4 ? 1 : -1;
      ENG_OK_(EngSkip(a, step));
      auto next = step > 0 ? live.upper_bound(at) : live.lower_bound(at);
      uint16_t crack = 0;
      if (step > 0 ? next == live.end() : next == live.begin()) {
        ENG_OK_(step > 0 ? EngAtEOF(a, &crack) : EngAtBOF(a, &crack));
        ASSERT_TRUE(crack) << "step " << i << " from " << at;
        ENG_OK_(step > 0 ? EngGotoBottom(a) : EngGotoTop(a));
        at = step > 0 ? live.rbegin()->first : live.begin()->first;
      } else {
        at = step > 0 ? next->first : std::prev(next)->first;
      }
    } else if (op < 8) {
      const uint32_t r = near();
      if (r == at || live.count(r) == 0) continue;
      ENG_OK_(EngGotoRecord(b, r));
      ENG_OK_(EngDeleteRecord(b));
      live.erase(r);
    } else if (op == 8) {
      const uint32_t r = near();
      if (live.count(r) == 0) continue;
      const int32_t id = 100000 + i;
      ENG_OK_(EngGotoRecord(b, r));
      ENG_OK_(EngSetFieldRaw(b, 1, reinterpret_cast<const uint8_t*>(&id), 4));
      ENG_OK_(EngWriteRecord(b));
      live[r] = id;
    } else {
      const int32_t id = 200000 + i;
      ENG_OK_(EngAppendRecord(b));
      ENG_OK_(EngSetFieldRaw(b, 1, reinterpret_cast<const uint8_t*>(&id), 4));
      ENG_OK_(EngWriteRecord(b));
      live[++slots] = id;
    }
    ASSERT_EQ(RecNo(a), at) << "after operation " << i;
    std::vector<uint8_t> raw = Record(a);
    int32_t id = 0;
    std::memcpy(&id, raw.data(), 4);
    ASSERT_EQ(id, live[at]) << "record " << at << " after operation " << i;
  }
  EngCloseTable(b);
  EngCloseTable(a);
}

TEST_P(CryptoRewriteTest, DecryptReadsCachedAndUncachedBlocksAlike) {
  ENGHANDLE t = Open("wide", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngEnableEncryption(t, kPassword));
  // One block changed and written back; the walk leaves others cached.
  ENG_OK_(EngGotoRecord(t, 2));
  SetText(t, 2, "CHANGED");
  ENG_OK_(EngWriteRecord(t));
  const std::string expected = Contents(t);
  ASSERT_NE(expected.find("\n2:2:CHANGED "), std::string::npos);
  ENG_OK_(EngGotoRecord(t, 4000));
  ENG_OK_(EngDecryptTable(t));
  uint16_t enc = 1;
  ENG_OK_(EngIsTableEncrypted(t, &enc));
  EXPECT_EQ(enc, 0);
  EXPECT_EQ(Contents(t), expected);
  EngCloseTable(t);
  EXPECT_NE(FileBytes(dir_.File("wide.adt")).find("CHANGED"), std::string::npos);
  t = Open("wide");  // plain now: no password needed
  EXPECT_EQ(Contents(t), expected);
  EXPECT_EQ(Seek(t, 4999), 4999u);
  EngCloseTable(t);
}

TEST_P(CryptoRewriteTest, PackWithNothingToRemoveLeavesRecordsAndTagsInPlace) {
  ENGHANDLE t = Open("wide", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngEnableEncryption(t, kPassword));
  const std::string before = Contents(t);
  const std::string sealed = FileBytes(dir_.File("wide.adt"));
  ENG_OK_(EngPackTable(t));
  EXPECT_EQ(Contents(t), before);
  EXPECT_EQ(Seek(t, 4321), 4321u);
  EngCloseTable(t);
  EXPECT_EQ(FileBytes(dir_.File("wide.adt")).size(), sealed.size());

  // Plain, with a deleted record: the pack renumbers and rebuilds the tags.
  t = Open("wide", ENG_OPEN_EXCLUSIVE);
  ENG_OK_(EngEnableEncryption(t, kPassword));
  ENG_OK_(EngDecryptTable(t));
  ENG_OK_(EngPackTable(t));
  EXPECT_EQ(Contents(t), before);
  ENG_OK_(EngGotoRecord(t, 10));
  ENG_OK_(EngDeleteRecord(t));
  ENG_OK_(EngPackTable(t));
  uint32_t count = 0;
  ENG_OK_(EngGetRecordCount(t, ENG_IGNOREFILTERS, &count));
  EXPECT_EQ(count, static_cast<uint32_t>(kRows - 1));
  EXPECT_EQ(Seek(t, 10), 0u);
  EXPECT_EQ(Seek(t, 4321), 4320u);
  EXPECT_EQ(Seek(t, 9), 9u);
  EngCloseTable(t);
}

// A walk holds at most its cache limit decrypted, whatever the table's
// size, forward and back alike, and what it reads is the table; a table
// within the limit is decrypted once however often it is walked.
TEST_P(CryptoRewriteTest, AWalkHoldsItsCacheLimitWhateverTheTableSize) {
  eng::TableHandle t(dir_.File("wide.adt"), eng::OpenOptions{});
  t.EnableEncryption(kPassword);
  const uint64_t block = uint64_t{t.table().slots_per_block()} * t.table().slot_size();
  const uint64_t blocks = kRows / t.table().slots_per_block();
  ASSERT_GT(blocks, 20u) << "too few blocks to tell";
  const auto walk = [&] {
    uint64_t most = 0;
    int32_t expect = 1;
    for (t.GotoTop(nullptr); !t.AtEof(); t.Skip(nullptr, 1), ++expect) {
      int32_t id = 0;
      std::memcpy(&id, t.CurrentBytes(), 4);
      EXPECT_EQ(id, expect);
      most = std::max(most, t.table().DecryptedBytes());
    }
    EXPECT_EQ(expect, kRows + 1);
    for (t.Skip(nullptr, -1); !t.AtBof(); t.Skip(nullptr, -1)) most = std::max(most, t.table().DecryptedBytes());
    return most;
  };
  // Beyond the limit: the blocks of the operation under way, and those met
  // by a jump (the first one) rather than in passing.
  t.table().SetWalkCacheBytes(4 * block);
  EXPECT_LE(walk(), (4 + 3) * block);
  t.table().SetWalkCacheBytes(eng::SharedTable::kWalkCacheBytes);
  walk();
  const uint64_t decrypted = t.table().BlocksDecrypted();
  walk();
  EXPECT_EQ(t.table().BlocksDecrypted(), decrypted);
}

ENG_FOR_EACH_CIPHER(CryptoRewriteTest);

}  // namespace
