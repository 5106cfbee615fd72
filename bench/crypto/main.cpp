// crypto_bench: what encryption costs. The same table of N records
// (integer, 10-character string, date, double, 40-character string; a
// unique tag on the integer) plain and encrypted: a full walk and N random
// exact seeks on the tag, each reading the record found; then cycles of
// open, EngEnableEncryption and close. "walk" is the first walk after
// opening (every block of the encrypted table decrypted once), "walk_again"
// a second walk on the same handle (blocks served from the process's
// cache). Both tables are opened the same way: each run of the walks and
// each run of the seeks is a process of its own that loads the table
// afresh (a plain table would otherwise stay loaded, its pages mapped,
// across closes, while an encrypted one never does). Both sides must read
// the same records (a digest of every record read, in order).
//
// usage: crypto_bench [N] [DIR]     (N defaults to 1,000,000)
// Each figure is the best of three runs, in processor time. Prints absolute
// times, "ratio <name> <encrypted/plain>" lines (target at most 1.3) and the
// microseconds per open/enable/close cycle (target under 50).
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine.h"

namespace {

using bench::Check;
using bench::CpuSeconds;

double Now() { return CpuSeconds(); }
double Seconds(double since) { return CpuSeconds() - since; }

// A digest of the records read, in order, eight bytes at a step: cheap
// beside the reading it checks, which it must not hide.
struct Digest {
  uint64_t hash = 1469598103934665603ull;
  void Add(const uint8_t* p, size_t n) {
    uint64_t word = 0;
    for (; n >= 8; p += 8, n -= 8) {
      std::memcpy(&word, p, 8);
      hash = (hash ^ word) * 0x100000001b3ull + (hash >> 29);
    }
    word = 0;
    std::memcpy(&word, p, n);
    hash = (hash ^ word ^ n) * 0x100000001b3ull;
  }
};

constexpr char kPassword[] = "KVRNA7310";

ENGHANDLE Open(ENGHANDLE conn, const char* name, uint32_t options) {
  ENGHANDLE t = 0;
  Check(EngOpenTable(conn, name, nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                     options, &t),
        "open");
  Check(EngEnableEncryption(t, kPassword), "enable encryption");
  return t;
}

void Build(ENGHANDLE conn, uint32_t n) {
  ENGHANDLE t = 0;
  Check(EngCreateTable(conn, "plain", "ID,Integer;CODE,Char,10;DAY,Date;AMOUNT,Double;TEXT,Char,40",
                       ENG_OPEN_EXCLUSIVE, &t),
        "create");
  for (uint32_t i = 1; i <= n; ++i) {
    int32_t id = static_cast<int32_t>(i), julian = 2451545 + static_cast<int32_t>(i % 9000);
    double amount = i * 1.25;
    char code[16], text[48];
    std::snprintf(code, sizeof code, "C%09u", (i * 2654435761u) % 50000u);
    std::snprintf(text, sizeof text, "Record %u, padded text", i);
    Check(EngAppendRecord(t), "append");
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4);
    EngSetField(t, 2, reinterpret_cast<uint8_t*>(code), 10);
    EngSetFieldRaw(t, 3, reinterpret_cast<uint8_t*>(&julian), 4);
    EngSetFieldRaw(t, 4, reinterpret_cast<uint8_t*>(&amount), 8);
    EngSetField(t, 5, reinterpret_cast<uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
    Check(EngWriteRecord(t), "write");
  }
  Check(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, nullptr), "create index");
  EngCloseTable(t);
}

double WalkOnce(ENGHANDLE t, const char* name, uint32_t n, Digest& digest) {
  std::vector<uint8_t> raw(128);
  const double start = Now();
  uint32_t seen = 0;
  uint16_t eof = 0;
  Check(EngGotoTop(t), "top");
  while (EngAtEOF(t, &eof) == ENG_OK && !eof) {
    uint32_t len = static_cast<uint32_t>(raw.size());
    Check(EngGetRecord(t, raw.data(), &len), "get record");
    digest.Add(raw.data(), len);
    ++seen;
    Check(EngSkip(t, 1), "skip");
  }
  double s = Seconds(start);
  if (seen != n) {
    std::fprintf(stderr, "walk of %s saw %u records, not %u\n", name, seen, n);
    std::exit(1);
  }
  return s;
}

// A walk right after opening (every block of an encrypted table is
// decrypted once) and a second walk on the same handle.
std::pair<double, double> Walks(ENGHANDLE conn, const char* name, uint32_t n, Digest& digest) {
  ENGHANDLE t = Open(conn, name, 0);
  double first = WalkOnce(t, name, n, digest);
  double again = WalkOnce(t, name, n, digest);
  EngCloseTable(t);
  return {first, again};
}

double Seeks(ENGHANDLE conn, const char* name, uint32_t n, Digest& digest) {
  ENGHANDLE t = Open(conn, name, 0), idx = 0;
  Check(EngGetIndexHandle(t, "ID", &idx), "index handle");
  std::vector<uint8_t> raw(128);
  std::mt19937 rng(99);
  const double start = Now();
  for (uint32_t i = 0; i < n; ++i) {
    int32_t id = static_cast<int32_t>(rng() % n + 1);
    uint8_t key[ENG_MAX_KEY_SIZE];
    uint16_t klen = sizeof key, found = 0;
    Check(EngInitRawKey(idx), "init key");
    Check(EngSetFieldRaw(idx, 1, reinterpret_cast<uint8_t*>(&id), 4), "key segment");
    Check(EngBuildRawKey(idx, key, &klen), "build key");
    Check(EngSeek(idx, key, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found), "seek");
    uint32_t len = static_cast<uint32_t>(raw.size());
    Check(EngGetRecord(t, raw.data(), &len), "get record");
    int32_t got;
    std::memcpy(&got, raw.data(), 4);
    digest.Add(raw.data(), len);
    if (!found || got != id) {
      std::fprintf(stderr, "seek of %d in %s found %d\n", id, name, got);
      std::exit(1);
    }
  }
  double s = Seconds(start);
  EngCloseTable(t);
  return s;
}

// Open, EngEnableEncryption and close of a table another handle of the
// process keeps open, as the tasks' handles do.
double Cycles(ENGHANDLE conn, const char* name, int cycles) {
  EngCloseTable(Open(conn, name, 0));  // the key is derived once per process
  ENGHANDLE keep = Open(conn, name, 0);
  const double start = Now();
  for (int i = 0; i < cycles; ++i) EngCloseTable(Open(conn, name, 0));
  double s = Seconds(start);
  EngCloseTable(keep);
  return s;
}

// One run of one table's walks or seeks, in a process of its own: "--run
// walks|seeks NAME N DIR" prints the seconds and the digest.
int RunOne(const std::string& what, const char* name, uint32_t n, const std::string& dir) {
  ENGHANDLE conn = 0;
  Check(EngConnect(dir.c_str(), &conn), "connect");
  Digest digest;
  if (what == "walks") {
    const auto walks = Walks(conn, name, n, digest);
    std::printf("%.9f %.9f %llu\n", walks.first, walks.second, static_cast<unsigned long long>(digest.hash));
  } else {
    const double seeks = Seeks(conn, name, n, digest);
    std::printf("%.9f 0 %llu\n", seeks, static_cast<unsigned long long>(digest.hash));
  }
  EngDisconnect(conn);
  return 0;
}

struct RunResult {
  double first = 0, second = 0;
  unsigned long long digest = 0;
};

RunResult RunApart(const char* self, const char* what, const char* name, uint32_t n, const std::string& dir) {
  const std::string command = std::string("'") + self + "' --run " + what + " " + name + " " + std::to_string(n) +
                              " '" + dir + "'";
  FILE* out = ::popen(command.c_str(), "r");
  RunResult r;
  if (out == nullptr || std::fscanf(out, "%lf %lf %llu", &r.first, &r.second, &r.digest) != 3 || ::pclose(out) != 0) {
    std::fprintf(stderr, "%s of %s failed\n", what, name);
    std::exit(1);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--run")
    return RunOne(argv[2], argv[3], static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)), argv[5]);
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  std::string dir = argc > 2 ? argv[2] : "/tmp/crypto_bench." + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  ENGHANDLE conn = 0;
  Check(EngConnect(dir.c_str(), &conn), "connect");

  double start = Now();
  Build(conn, n);
  std::printf("build plain table of %u records: %.2f s\n", n, Seconds(start));
  for (const char* ext : {".adt", ".tags"})
    std::filesystem::copy_file(dir + "/plain" + ext, dir + "/enc" + ext);
  start = Now();
  {
    ENGHANDLE t = Open(conn, "enc", ENG_OPEN_EXCLUSIVE);
    Check(EngEncryptTable(t), "encrypt");
    EngCloseTable(t);
  }
  std::printf("encrypt it (key derivation included): %.2f s\n", Seconds(start));

  struct Pair {
    const char* name;
    double plain, encrypted;
  };
  // The machine is shared: each figure is the best of three runs, plain
  // and encrypted alternating.
  std::vector<Pair> pairs = {{"walk", 1e9, 1e9}, {"walk_again", 1e9, 1e9}, {"seek", 1e9, 1e9}};
  for (int run = 0; run < 3; ++run) {
    unsigned long long walked[2] = {0, 0}, found[2] = {0, 0};
    for (int encrypted = 0; encrypted < 2; ++encrypted) {
      const char* name = encrypted ? "enc" : "plain";
      const RunResult walks = RunApart(argv[0], "walks", name, n, dir);
      const RunResult seeks = RunApart(argv[0], "seeks", name, n, dir);
      walked[encrypted] = walks.digest;
      found[encrypted] = seeks.digest;
      double* slot[3] = {encrypted ? &pairs[0].encrypted : &pairs[0].plain,
                         encrypted ? &pairs[1].encrypted : &pairs[1].plain,
                         encrypted ? &pairs[2].encrypted : &pairs[2].plain};
      *slot[0] = std::min(*slot[0], walks.first);
      *slot[1] = std::min(*slot[1], walks.second);
      *slot[2] = std::min(*slot[2], seeks.first);
    }
    if (walked[0] != walked[1] || found[0] != found[1]) {
      std::fprintf(stderr, "the plain and the encrypted table read differently (walks %llx %llx, seeks %llx %llx)\n",
                   walked[0], walked[1], found[0], found[1]);
      return 1;
    }
  }
  for (const Pair& p : pairs)
    std::printf("%-10s plain %.3f s, encrypted %.3f s\n", p.name, p.plain, p.encrypted);
  for (const Pair& p : pairs) std::printf("ratio %s %.2f\n", p.name, p.encrypted / p.plain);

  const int cycles = 10000;
  double plain = 1e9, enc = 1e9;
  for (int run = 0; run < 3; ++run) {
    plain = std::min(plain, Cycles(conn, "plain", cycles));
    enc = std::min(enc, Cycles(conn, "enc", cycles));
  }
  std::printf("open, EngEnableEncryption, close, with another handle of the table kept open: plain %.1f us,"
              " encrypted %.1f us per cycle\n",
              plain * 1e6 / cycles, enc * 1e6 / cycles);
  EngDisconnect(conn);
  if (argc <= 2) std::filesystem::remove_all(dir);
  return 0;
}
