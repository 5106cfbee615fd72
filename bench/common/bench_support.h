// Helpers shared by the benchmark programs: wall-clock and processor
// timing, stopping at the first failed engine call with its text, SQLite
// statements that must succeed, and the one set of SQLite settings every
// comparison uses. Header-only; each benchmark is one single-threaded
// program.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Processor seconds of this (single-threaded) process, user and system:
// unlike the wall clock it does not count the time other programs on a
// shared machine take the processor away.
inline double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Exits with the engine's error text when rc is not ENG_OK.
inline void Check(ENGRESULT rc, const char* what) {
  if (rc == ENG_OK) return;
  uint32_t code;
  char text[600];
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  std::fprintf(stderr, "%s failed: %u %s\n", what, code, text);
  std::exit(1);
}

}  // namespace bench

#ifdef SQLITE_VERSION
namespace bench {

inline void Sql(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s: %s\n", sql, err);
    std::exit(1);
  }
}

// SQLite at its best and on the engine's terms, the same in every
// comparison: memory-mapped I/O and a 512 MB page cache (the engine maps its
// files), a write-ahead log, and no sync to disk (the engine never syncs:
// both sides survive the death of the process, neither a power loss).
inline void Tune(sqlite3* db) {
  Sql(db, "PRAGMA journal_mode = WAL");
  Sql(db, "PRAGMA synchronous = OFF");
  Sql(db, "PRAGMA cache_size = -524288");
  Sql(db, "PRAGMA mmap_size = 4294967296");
}

inline sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite prepare: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
  return st;
}

}  // namespace bench
#endif
