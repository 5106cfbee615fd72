// Feeds arbitrary bytes to the engine as a table file (and, split off the
// end of the input, as its memo file), then opens and scans it. Damaged
// files must fail with an error, never crash or read out of bounds.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine.h"

namespace {

std::string Dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_table.XXXXXX";
    return std::string(::mkdtemp(tmpl));
  }();
  return dir;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// A valid table to seed mutations: made once with the engine itself.
void SeedOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  ENGHANDLE conn = 0, t = 0;
  if (EngConnect(Dir().c_str(), &conn)) return;
  if (EngCreateTable(conn, "seed", "A,Char,6;B,Integer;C,Memo;D,Date;E,Numeric,6,2;F,Double;G,Logical", 0, &t) == 0) {
    for (int i = 0; i < 4; ++i) {
      EngAppendRecord(t);
      EngSetField(t, 1, reinterpret_cast<const uint8_t*>("abc"), 3);
      EngSetField(t, 3, reinterpret_cast<const uint8_t*>("memo text"), 9);
      EngWriteRecord(t);
    }
  }
  EngDisconnect(conn);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SeedOnce();
  // The last byte chooses how much of the tail is the memo file.
  size_t memo = size ? (data[size - 1] % 4) * (size / 8) : 0;
  if (memo > size) memo = 0;
  WriteFile(Dir() + "/t.adt", data, size - memo);
  WriteFile(Dir() + "/t.memo", data + size - memo, memo);
  ::unlink((Dir() + "/t.jrn").c_str());

  ENGHANDLE conn = 0, t = 0;
  if (EngConnect(Dir().c_str(), &conn)) return 0;
  if (EngOpenTable(conn, "t", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                   ENG_OPEN_READONLY, &t) == 0) {
    uint16_t fields = 0;
    uint32_t reclen = 0;
    EngGetNumFields(t, &fields);
    EngGetRecordLength(t, &reclen);
    std::string rec(reclen, '\0');
    std::string buf(1 << 16, '\0');
    EngGotoTop(t);
    uint16_t eof = 1;
    for (int n = 0; n < 64 && EngAtEOF(t, &eof) == 0 && !eof; ++n) {
      uint32_t len = reclen;
      EngGetRecord(t, reinterpret_cast<uint8_t*>(rec.data()), &len);
      for (uint16_t f = 1; f <= fields; ++f) {
        uint32_t blen = static_cast<uint32_t>(buf.size());
        uint16_t empty;
        EngIsEmpty(t, f, &empty);
        EngGetField(t, f, reinterpret_cast<uint8_t*>(buf.data()), &blen);
      }
      EngSkip(t, 1);
    }
    EngGotoBottom(t);
    EngSkip(t, -1);
  }
  EngDisconnect(conn);
  return 0;
}
