// Damages a valid index file at the offsets the input names, then opens the
// table and walks and seeks every tag. A damaged index must be reported as
// an error, never crash the engine or read out of bounds.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"

namespace {

std::string Dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_tags.XXXXXX";
    return std::string(::mkdtemp(tmpl));
  }();
  return dir;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

// A table with two tags, built once; returns the valid index file's bytes.
const std::vector<uint8_t>& ValidTags() {
  static std::vector<uint8_t> tags = [] {
    ENGHANDLE conn = 0, t = 0;
    EngConnect(Dir().c_str(), &conn);
    EngCreateTable(conn, "t", "ID,Integer;NAME,Char,8", ENG_OPEN_EXCLUSIVE, &t);
    EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr);
    EngCreateIndex(t, "NAME", "NAME;ID", ENG_INDEX_DESCENDING, 0, nullptr);
    for (int32_t i = 1; i <= 300; ++i) {
      EngAppendRecord(t);
      EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&i), 4);
      char name[9];
      std::snprintf(name, sizeof name, "N%05d", (i * 37) % 101);
      EngSetField(t, 2, reinterpret_cast<uint8_t*>(name), 8);
      EngWriteRecord(t);
    }
    EngDisconnect(conn);
    return ReadFile(Dir() + "/t.tags");
  }();
  return tags;
}

void Walk(ENGHANDLE h, int32_t step) {
  if (step > 0 ? EngGotoTop(h) : EngGotoBottom(h)) return;
  uint16_t end = 0;
  for (int n = 0; n < 400; ++n) {
    if ((step > 0 ? EngAtEOF(h, &end) : EngAtBOF(h, &end)) || end) return;
    if (EngSkip(h, step)) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> tags = ValidTags();
  if (tags.empty()) return 0;
  // Each 5 bytes of input: an offset (mostly within the pages) and a byte.
  for (size_t i = 0; i + 5 <= size; i += 5) {
    uint32_t off;
    std::memcpy(&off, data + i, 4);
    size_t at = (off & 1) ? 65536 + off % (tags.size() - 65536) : off % tags.size();
    tags[at] = data[i + 4];
  }
  if (size % 5 == 1) tags.resize(tags.size() - data[size - 1] * 16u % tags.size());
  FILE* f = std::fopen((Dir() + "/t.tags").c_str(), "wb");
  if (!f) return 0;
  std::fwrite(tags.data(), 1, tags.size(), f);
  std::fclose(f);
  ::unlink((Dir() + "/t.jrn").c_str());

  ENGHANDLE conn = 0, t = 0;
  if (EngConnect(Dir().c_str(), &conn)) return 0;
  if (EngOpenTable(conn, "t", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                   ENG_OPEN_READONLY, &t) == 0) {
    ENGHANDLE idx[4];
    uint16_t n = 4;
    if (EngGetAllIndexes(t, idx, &n) == 0) {
      for (uint16_t k = 0; k < n; ++k) {
        Walk(idx[k], 1);
        Walk(idx[k], -1);
        for (int32_t id : {1, 150, 300, 999}) {
          uint8_t key[256];
          uint16_t klen = sizeof key, found = 0;
          EngInitRawKey(idx[k]);
          EngSetFieldRaw(idx[k], 1, reinterpret_cast<uint8_t*>(&id), 4);
          if (EngBuildRawKey(idx[k], key, &klen) == 0) EngSeek(idx[k], key, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found);
        }
      }
    }
  }
  EngDisconnect(conn);
  return 0;
}
