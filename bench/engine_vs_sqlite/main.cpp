// engine_vs_sqlite: the engine's table storage against SQLite doing the same
// work in its best form (prepared statements, one transaction per batch of
// writes, one statement for a change of every row, a full SELECT scan for
// reading, and the settings of bench_support.h: memory-mapped I/O, a 512 MB
// page cache, no sync to disk), on N records of (integer, 10-character
// string, date, double, 40-character string).
//
// Every comparison checks that both sides hold and read the same: record
// counts, a digest of the rows read in order, the values after the updates;
// a difference ends the program with a non-zero exit.
//
// usage: engine_vs_sqlite [N] [DIR]     (N defaults to 1,000,000)
// Prints the absolute processor times and one line "ratio <name>
// <ours/sqlite>" each.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine.h"

namespace {

using bench::Check;
using bench::CpuSeconds;
using bench::Prepare;
using bench::Sql;

// Processor seconds since a start taken with Now().
double Now() { return CpuSeconds(); }
double Seconds(double since) { return CpuSeconds() - since; }

// A digest of the values read, in the order read, eight bytes at a step:
// cheap beside the reading it checks, which it must not hide.
struct Digest {
  uint64_t hash = 1469598103934665603ull;
  uint64_t rows = 0;
  void Bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t word = 0;
    for (; size >= 8; p += 8, size -= 8) {
      std::memcpy(&word, p, 8);
      hash = (hash ^ word) * 0x100000001b3ull + (hash >> 29);
    }
    word = 0;
    std::memcpy(&word, p, size);
    hash = (hash ^ word ^ size) * 0x100000001b3ull;
  }
  // One row: the integer, the code, the day, the amount and the text.
  void Row(int32_t id, const char* code, int32_t day, double amount, const char* text) {
    Bytes(&id, 4);
    Bytes(code, 10);
    Bytes(&day, 4);
    Bytes(&amount, 8);
    Bytes(text, 40);
    ++rows;
  }
  // The same from the engine's raw record (fields in order, packed).
  void Raw(const uint8_t* rec) {
    int32_t id, day;
    double amount;
    std::memcpy(&id, rec, 4);
    std::memcpy(&day, rec + 14, 4);
    std::memcpy(&amount, rec + 18, 8);
    Row(id, reinterpret_cast<const char*>(rec + 4), day, amount, reinterpret_cast<const char*>(rec + 26));
  }
  // The same from a SQLite row of (id, code, day, amount, text).
  void Sqlite(sqlite3_stmt* st) {
    char code[10], text[40];
    std::memset(code, ' ', 10);
    std::memset(text, ' ', 40);
    std::memcpy(code, sqlite3_column_text(st, 1), std::min(10, sqlite3_column_bytes(st, 1)));
    std::memcpy(text, sqlite3_column_text(st, 4), std::min(40, sqlite3_column_bytes(st, 4)));
    Row(sqlite3_column_int(st, 0), code, sqlite3_column_int(st, 2), sqlite3_column_double(st, 3), text);
  }
};

void Same(const char* what, const Digest& ours, const Digest& theirs) {
  if (ours.hash == theirs.hash && ours.rows == theirs.rows) return;
  std::fprintf(stderr, "%s: the two sides differ (%llu and %llu rows)\n", what,
               static_cast<unsigned long long>(ours.rows), static_cast<unsigned long long>(theirs.rows));
  std::exit(1);
}


struct Values {
  int32_t id;
  char code[11];
  int32_t julian;
  double amount;
  char text[41];
};

Values Make(uint32_t i) {
  Values v;
  v.id = static_cast<int32_t>(i);
  std::snprintf(v.code, sizeof v.code, "C%09u", (i * 2654435761u) % 50000u);  // about 20 records per code
  v.julian = 2451545 + static_cast<int32_t>(i % 9000);
  v.amount = i * 1.25;
  std::snprintf(v.text, sizeof v.text, "Record %u, padded text", i);
  std::memset(v.text + std::strlen(v.text), '.', 40 - std::strlen(v.text));
  v.text[40] = 0;
  return v;
}

struct Result {
  const char* name;
  double ours, sqlite;
};

}  // namespace

int main(int argc, char** argv) {
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::atol(argv[1])) : 1000000;
  std::string dir;
  if (argc > 2) {
    dir = argv[2];
  } else {
    char tmpl[] = "/tmp/engine_vs_sqlite.XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  std::filesystem::create_directories(dir);
  std::printf("records %u, folder %s\n", n, dir.c_str());
  std::vector<Result> results;

  // ---- ours ----
  ENGHANDLE conn = 0, t = 0;
  Check(EngConnect(dir.c_str(), &conn), "connect");
  std::filesystem::remove(dir + "/bench.adt");
  std::filesystem::remove(dir + "/bench.jrn");
  Check(EngCreateTable(conn, "bench", "ID,Integer;CODE,Char,10;DAY,Date;AMOUNT,Double;TEXT,Char,40", ENG_OPEN_EXCLUSIVE, &t),
        "create");
  auto start = Now();
  for (uint32_t i = 1; i <= n; ++i) {
    Values v = Make(i);
    Check(EngAppendRecord(t), "append");
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&v.id), 4);
    EngSetField(t, 2, reinterpret_cast<uint8_t*>(v.code), 10);
    EngSetFieldRaw(t, 3, reinterpret_cast<uint8_t*>(&v.julian), 4);
    EngSetFieldRaw(t, 4, reinterpret_cast<uint8_t*>(&v.amount), 8);
    EngSetField(t, 5, reinterpret_cast<uint8_t*>(v.text), static_cast<uint32_t>(std::strlen(v.text)));
    Check(EngWriteRecord(t), "write");
  }
  double ours_append = Seconds(start);
  Check(EngCloseTable(t), "close");

  Check(EngOpenTable(conn, "bench", nullptr, 3, 1, 1, 2, 0, &t), "open shared");
  uint8_t rec[128];
  Digest ours_walked;
  start = Now();
  Check(EngGotoTop(t), "top");
  uint16_t eof = 0;
  while (EngAtEOF(t, &eof) == ENG_OK && !eof) {
    uint32_t len = sizeof rec;
    Check(EngGetRecord(t, rec, &len), "get record");
    ours_walked.Raw(rec);
    EngSkip(t, 1);
  }
  double ours_walk = Seconds(start);
  Check(EngCloseTable(t), "close");

  Check(EngOpenTable(conn, "bench", nullptr, 3, 1, 1, 2, ENG_OPEN_EXCLUSIVE, &t), "open exclusive");
  start = Now();
  Check(EngGotoTop(t), "top");
  while (EngAtEOF(t, &eof) == ENG_OK && !eof) {
    double a = 1.5;
    EngSetFieldRaw(t, 4, reinterpret_cast<uint8_t*>(&a), 8);
    Check(EngWriteRecord(t), "update");
    EngSkip(t, 1);
  }
  double ours_update = Seconds(start);
  Check(EngCloseTable(t), "close");

  Check(EngOpenTable(conn, "bench", nullptr, 3, 1, 1, 2, 0, &t), "open shared");
  start = Now();
  Check(EngGotoTop(t), "top");
  while (EngAtEOF(t, &eof) == ENG_OK && !eof) {
    uint32_t recno = 0;
    EngGetRecordNum(t, ENG_IGNOREFILTERS, &recno);
    Check(EngLockRecord(t, recno), "lock");
    double a = 2.5;
    EngSetFieldRaw(t, 4, reinterpret_cast<uint8_t*>(&a), 8);
    Check(EngWriteRecord(t), "update");
    Check(EngUnlockRecord(t, recno), "unlock");
    EngSkip(t, 1);
  }
  double ours_update_shared = Seconds(start);
  // Not timed: what the updates left.
  Digest ours_updated;
  Check(EngGotoTop(t), "top");
  while (EngAtEOF(t, &eof) == ENG_OK && !eof) {
    uint32_t len = sizeof rec;
    Check(EngGetRecord(t, rec, &len), "get record");
    ours_updated.Raw(rec);
    EngSkip(t, 1);
  }
  Check(EngCloseTable(t), "close");

  // Indexed: a unique integer tag and a (string, date) tag kept during the appends.
  std::filesystem::remove(dir + "/bench2.adt");
  std::filesystem::remove(dir + "/bench2.tags");
  std::filesystem::remove(dir + "/bench2.jrn");
  Check(EngCreateTable(conn, "bench2", "ID,Integer;CODE,Char,10;DAY,Date;AMOUNT,Double;TEXT,Char,40", ENG_OPEN_EXCLUSIVE,
                       &t),
        "create indexed");
  ENGHANDLE by_id = 0, by_code = 0;
  Check(EngCreateIndex(t, "ID", "ID", ENG_INDEX_UNIQUE, 0, &by_id), "create tag ID");
  Check(EngCreateIndex(t, "CODE_DAY", "CODE;DAY", 0, 0, &by_code), "create tag CODE_DAY");
  start = Now();
  for (uint32_t i = 1; i <= n; ++i) {
    Values v = Make(i);
    Check(EngAppendRecord(t), "append");
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&v.id), 4);
    EngSetField(t, 2, reinterpret_cast<uint8_t*>(v.code), 10);
    EngSetFieldRaw(t, 3, reinterpret_cast<uint8_t*>(&v.julian), 4);
    EngSetFieldRaw(t, 4, reinterpret_cast<uint8_t*>(&v.amount), 8);
    EngSetField(t, 5, reinterpret_cast<uint8_t*>(v.text), static_cast<uint32_t>(std::strlen(v.text)));
    Check(EngWriteRecord(t), "write");
  }
  double ours_append_indexed = Seconds(start);
  Check(EngCloseTable(t), "close");
  Check(EngOpenTable(conn, "bench2", nullptr, 3, 1, 1, 2, 0, &t), "open indexed");
  Check(EngGetIndexHandle(t, "ID", &by_id), "tag ID");
  Check(EngGetIndexHandle(t, "CODE_DAY", &by_code), "tag CODE_DAY");

  uint32_t seeks = n;
  std::vector<int32_t> targets(seeks);
  uint64_t state = 88172645463325252ull;
  for (auto& x : targets) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    x = static_cast<int32_t>(state % n) + 1;
  }
  start = Now();
  Digest ours_found;
  for (int32_t id : targets) {
    uint8_t key[256];
    uint16_t klen = sizeof key, found = 0;
    EngInitRawKey(by_id);
    EngSetFieldRaw(by_id, 1, reinterpret_cast<uint8_t*>(&id), 4);
    EngBuildRawKey(by_id, key, &klen);
    Check(EngSeek(by_id, key, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found), "seek");
    uint32_t len = sizeof rec;
    if (found && EngGetRecord(t, rec, &len) == ENG_OK) ours_found.Raw(rec);
  }
  double ours_seek = Seconds(start);

  start = Now();
  Check(EngGotoTop(by_code), "top");
  Digest ours_ordered;
  while (EngAtEOF(t, &eof) == ENG_OK && !eof) {
    uint32_t len = sizeof rec;
    Check(EngGetRecord(t, rec, &len), "get record");
    ours_ordered.Raw(rec);
    EngSkip(by_code, 1);
  }
  double ours_index_walk = Seconds(start);

  uint32_t prefix_seeks = n / 10;
  Digest ours_groups;
  start = Now();
  for (uint32_t k = 0; k < prefix_seeks; ++k) {
    char code[11];
    std::snprintf(code, sizeof code, "C%09u", (k * 7919u) % 50000u);
    uint8_t key[256];
    uint16_t klen = sizeof key, found = 0;
    EngInitRawKey(by_code);
    EngSetField(by_code, 2, reinterpret_cast<uint8_t*>(code), 10);
    EngBuildRawKey(by_code, key, &klen);
    Check(EngSeek(by_code, key, klen, ENG_RAWKEY, ENG_SEEK_HARD, &found), "seek code");
    while (found && EngAtEOF(t, &eof) == ENG_OK && !eof) {
      uint32_t len = sizeof rec;
      EngGetRecord(t, rec, &len);
      if (std::memcmp(rec + 4, code, 10) != 0) break;
      ours_groups.Raw(rec);
      EngSkip(by_code, 1);
    }
  }
  double ours_prefix = Seconds(start);
  Check(EngCloseTable(t), "close");
  EngDisconnect(conn);

  // ---- SQLite ----
  std::string dbpath = dir + "/bench.sqlite";
  std::filesystem::remove(dbpath);
  sqlite3* db = nullptr;
  if (sqlite3_open(dbpath.c_str(), &db) != SQLITE_OK) return 1;
  bench::Tune(db);
  Sql(db, "CREATE TABLE bench(id INTEGER, code TEXT, day INTEGER, amount REAL, text TEXT)");
  sqlite3_stmt* ins = Prepare(db, "INSERT INTO bench VALUES(?,?,?,?,?)");
  start = Now();
  Sql(db, "BEGIN");
  for (uint32_t i = 1; i <= n; ++i) {
    Values v = Make(i);
    sqlite3_bind_int(ins, 1, v.id);
    sqlite3_bind_text(ins, 2, v.code, 10, SQLITE_STATIC);
    sqlite3_bind_int(ins, 3, v.julian);
    sqlite3_bind_double(ins, 4, v.amount);
    sqlite3_bind_text(ins, 5, v.text, -1, SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  Sql(db, "COMMIT");
  double sqlite_append = Seconds(start);
  sqlite3_finalize(ins);

  sqlite3_stmt* sel = Prepare(db, "SELECT id, code, day, amount, text FROM bench");
  start = Now();
  Digest sqlite_walked;
  while (sqlite3_step(sel) == SQLITE_ROW) sqlite_walked.Sqlite(sel);
  double sqlite_walk = Seconds(start);
  sqlite3_finalize(sel);
  Same("walk", ours_walked, sqlite_walked);

  // One statement changes every row, as the engine's walk does.
  sqlite3_stmt* upd = Prepare(db, "UPDATE bench SET amount = ?");
  double sqlite_update = 0;
  for (double value : {1.5, 2.5}) {
    start = Now();
    Sql(db, "BEGIN");
    sqlite3_bind_double(upd, 1, value);
    if (sqlite3_step(upd) != SQLITE_DONE) {
      std::fprintf(stderr, "update: %s\n", sqlite3_errmsg(db));
      return 1;
    }
    sqlite3_reset(upd);
    Sql(db, "COMMIT");
    double s = Seconds(start);
    sqlite_update = sqlite_update == 0 ? s : (sqlite_update + s) / 2;
  }
  sqlite3_finalize(upd);
  sel = Prepare(db, "SELECT id, code, day, amount, text FROM bench");
  Digest sqlite_updated;
  while (sqlite3_step(sel) == SQLITE_ROW) sqlite_updated.Sqlite(sel);
  sqlite3_finalize(sel);
  Same("update", ours_updated, sqlite_updated);

  Sql(db, "CREATE TABLE bench2(id INTEGER, code TEXT, day INTEGER, amount REAL, text TEXT)");
  Sql(db, "CREATE UNIQUE INDEX bench2_id ON bench2(id)");
  Sql(db, "CREATE INDEX bench2_code_day ON bench2(code, day)");
  ins = Prepare(db, "INSERT INTO bench2 VALUES(?,?,?,?,?)");
  start = Now();
  Sql(db, "BEGIN");
  for (uint32_t i = 1; i <= n; ++i) {
    Values v = Make(i);
    sqlite3_bind_int(ins, 1, v.id);
    sqlite3_bind_text(ins, 2, v.code, 10, SQLITE_STATIC);
    sqlite3_bind_int(ins, 3, v.julian);
    sqlite3_bind_double(ins, 4, v.amount);
    sqlite3_bind_text(ins, 5, v.text, -1, SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  Sql(db, "COMMIT");
  double sqlite_append_indexed = Seconds(start);
  sqlite3_finalize(ins);

  sqlite3_stmt* one = Prepare(db, "SELECT id, code, day, amount, text FROM bench2 WHERE id = ?");
  start = Now();
  Digest sqlite_found;
  for (int32_t id : targets) {
    sqlite3_bind_int(one, 1, id);
    if (sqlite3_step(one) == SQLITE_ROW) sqlite_found.Sqlite(one);
    sqlite3_reset(one);
  }
  double sqlite_seek = Seconds(start);
  sqlite3_finalize(one);
  Same("seek", ours_found, sqlite_found);
  if (ours_found.rows != seeks) {
    std::fprintf(stderr, "seeks found %llu of %u\n", static_cast<unsigned long long>(ours_found.rows), seeks);
    return 1;
  }

  // Ties in the engine's tag fall in record order: rowid here (the index
  // holds it, so the order still comes from the index).
  sel = Prepare(db, "SELECT id, code, day, amount, text FROM bench2 ORDER BY code, day, rowid");
  start = Now();
  Digest sqlite_ordered;
  while (sqlite3_step(sel) == SQLITE_ROW) sqlite_ordered.Sqlite(sel);
  double sqlite_index_walk = Seconds(start);
  sqlite3_finalize(sel);
  Same("walk in (code, day) order", ours_ordered, sqlite_ordered);

  sqlite3_stmt* grp =
      Prepare(db, "SELECT id, code, day, amount, text FROM bench2 WHERE code = ? ORDER BY code, day, rowid");
  Digest sqlite_groups;
  start = Now();
  for (uint32_t k = 0; k < prefix_seeks; ++k) {
    char code[11];
    std::snprintf(code, sizeof code, "C%09u", (k * 7919u) % 50000u);
    sqlite3_bind_text(grp, 1, code, 10, SQLITE_STATIC);
    while (sqlite3_step(grp) == SQLITE_ROW) sqlite_groups.Sqlite(grp);
    sqlite3_reset(grp);
  }
  double sqlite_prefix = Seconds(start);
  sqlite3_finalize(grp);
  sqlite3_close(db);
  Same("seek on the code and walk its group", ours_groups, sqlite_groups);

  results.push_back({"append", ours_append, sqlite_append});
  results.push_back({"walk", ours_walk, sqlite_walk});
  results.push_back({"update_exclusive", ours_update, sqlite_update});
  results.push_back({"update_shared_locked", ours_update_shared, sqlite_update});
  results.push_back({"append_two_tags", ours_append_indexed, sqlite_append_indexed});
  results.push_back({"seek_integer_tag", ours_seek, sqlite_seek});
  results.push_back({"walk_string_date_tag", ours_index_walk, sqlite_index_walk});
  results.push_back({"seek_prefix_and_walk", ours_prefix, sqlite_prefix});
  std::printf("%-22s %12s %12s   (processor time)\n", "benchmark", "ours (s)", "sqlite (s)");
  for (const auto& r : results) std::printf("%-22s %12.3f %12.3f\n", r.name, r.ours, r.sqlite);
  for (const auto& r : results) std::printf("ratio %s %.2f\n", r.name, r.ours / r.sqlite);
  std::printf("both sides read the same rows in every comparison (%llu in the walk)\n",
              static_cast<unsigned long long>(ours_walked.rows));
  if (argc <= 2) std::filesystem::remove_all(dir);
  return 0;
}
