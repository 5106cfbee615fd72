// Helpers shared by the benchmark programs: wall-clock timing, stopping at
// the first failed engine call with its text, and SQLite statements that
// must succeed. Header-only; each benchmark is one single-threaded program.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
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
