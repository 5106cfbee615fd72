// sql_vs_sqlite: the engine's SQL and filters against SQLite on N records of
// (integer, 10-character string, date, double, 40-character string):
//   select_where_order  SELECT with a WHERE on a field without index and an
//                       ORDER BY on another, every row read to the end
//   filtered_walk_1pct  a walk in index order over the records one value
//                       of the indexed field selects (1 %): our filter on
//                       the index handle, which seeks to the range of the
//                       index's leading segment, against SQLite's WHERE
//                       through its index
//   filtered_walk_1pct_natural
//                       the same walk in natural order (our filter finds its
//                       records through the index)
//   update_where_10pct  UPDATE adding 1 to a field of the records that a
//                       WHERE on that field selects (10 %)
//   group_by_text       GROUP BY a text field without index (1,000 groups)
//                       with COUNT(*) and SUM
//   join_indexed        an equality join of 10 % of the records to a table
//                       of 10,000 records through its index
//   count_distinct      COUNT(DISTINCT X)
//   order_limit_10      ORDER BY a field without index, LIMIT 10
// Each query's rows are read to the end on both sides and their counts and
// the sums of their first columns compared.
// SQLite runs with prepared statements, memory-mapped I/O and a large cache.
// Times are processor seconds (user and system) of the fastest of three
// runs, so other programs on the machine weigh little.
//
// usage: sql_vs_sqlite [N] [DIR] [QUERY]  (N defaults to 1,000,000)
// Prints the absolute times and one line "ratio <name> <ours/sqlite>" each.
// With QUERY (one of the last four names) only that query is compared, and
// then run on our side alone for ten processor seconds, for a profiler.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
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


struct Values {
  int32_t id;
  char grp[11];
  int32_t julian;
  double amount;
  char text[41];
  char cat[9];
};

Values Make(uint32_t i) {
  Values v;
  v.id = static_cast<int32_t>(i);
  std::snprintf(v.grp, sizeof v.grp, "G%09u", (i * 2654435761u) % 100u);  // 100 groups: 1 % each
  v.julian = 2451545 + static_cast<int32_t>(i % 9000);
  v.amount = static_cast<double>((i * 7907u) % 100000u) / 100.0;  // 0 .. 999.99
  std::snprintf(v.text, sizeof v.text, "%08x record text", (i * 40503u) ^ 0x5bd1e995u);
  std::memset(v.text + std::strlen(v.text), '.', 40 - std::strlen(v.text));
  v.text[40] = 0;
  std::snprintf(v.cat, sizeof v.cat, "C%07u", (i * 2246822519u) % 1000u);  // 1,000 groups
  return v;
}

// Runs f `repeat` times and keeps the fastest.
template <class F>
double Best(int repeat, F&& f) {
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const double t0 = CpuSeconds();
    f();
    best = std::min(best, CpuSeconds() - t0);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000u;
  std::string dir = argc > 2 && *argv[2] ? argv[2]
                                         : std::filesystem::temp_directory_path().string() + "/sql_vs_sqlite." +
                                               std::to_string(::getpid());
  const std::string only = argc > 3 ? argv[3] : "";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);

  // ---- fill ours ----
  ENGHANDLE conn = 0, t = 0;
  Check(EngConnect(dir.c_str(), &conn), "connect");
  Check(EngCreateTable(conn, "BENCH", "ID,Integer;GRP,Char,10;D,Date;X,Double;TXT,Char,40;CAT,Char,8", ENG_OPEN_EXCLUSIVE, &t),
        "create");
  for (uint32_t i = 1; i <= n; ++i) {
    Values v = Make(i);
    Check(EngAppendRecord(t), "append");
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&v.id), 4);
    EngSetField(t, 2, reinterpret_cast<uint8_t*>(v.grp), 10);
    EngSetFieldRaw(t, 3, reinterpret_cast<uint8_t*>(&v.julian), 4);
    EngSetFieldRaw(t, 4, reinterpret_cast<uint8_t*>(&v.amount), 8);
    EngSetField(t, 5, reinterpret_cast<uint8_t*>(v.text), 40);
    EngSetField(t, 6, reinterpret_cast<uint8_t*>(v.cat), 8);
    Check(EngWriteRecord(t), "write");
  }
  ENGHANDLE idx = 0;
  Check(EngCreateIndex(t, "BYGRP", "GRP", 0, 0, &idx), "create index");
  Check(EngCloseTable(t), "close");
  // The joined table: 10,000 dates (the big table's 9,000 among them) and a name.
  constexpr int32_t kSmall = 10000, kFirstDay = 2451545;
  Check(EngCreateTable(conn, "SMALL", "K,Date;NAME,Char,20", ENG_OPEN_EXCLUSIVE, &t), "create small");
  for (int32_t k = 0; k < kSmall; ++k) {
    int32_t julian = kFirstDay + k;
    char name[21];
    std::snprintf(name, sizeof name, "name %d", k);
    Check(EngAppendRecord(t), "append");
    EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&julian), 4);
    EngSetField(t, 2, reinterpret_cast<uint8_t*>(name), static_cast<uint32_t>(std::strlen(name)));
    Check(EngWriteRecord(t), "write");
  }
  Check(EngCreateIndex(t, "BYK", "K", 0, 0, &idx), "create index");
  Check(EngCloseTable(t), "close");

  // ---- fill SQLite ----
  sqlite3* db = nullptr;
  if (sqlite3_open((dir + "/bench.sqlite").c_str(), &db) != SQLITE_OK) return 1;
  Sql(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA mmap_size=1073741824; PRAGMA cache_size=-524288");
  Sql(db, "CREATE TABLE BENCH (ID INTEGER, GRP TEXT, D INTEGER, X REAL, TXT TEXT, CAT TEXT)");
  Sql(db, "BEGIN");
  sqlite3_stmt* ins = Prepare(db, "INSERT INTO BENCH VALUES (?, ?, ?, ?, ?, ?)");
  for (uint32_t i = 1; i <= n; ++i) {
    Values v = Make(i);
    sqlite3_bind_int(ins, 1, v.id);
    sqlite3_bind_text(ins, 2, v.grp, 10, SQLITE_STATIC);
    sqlite3_bind_int(ins, 3, v.julian);
    sqlite3_bind_double(ins, 4, v.amount);
    sqlite3_bind_text(ins, 5, v.text, 40, SQLITE_STATIC);
    sqlite3_bind_text(ins, 6, v.cat, 8, SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  Sql(db, "COMMIT");
  Sql(db, "CREATE INDEX BYGRP ON BENCH (GRP)");
  Sql(db, "CREATE TABLE SMALL (K INTEGER, NAME TEXT)");
  Sql(db, "BEGIN");
  sqlite3_stmt* ins_small = Prepare(db, "INSERT INTO SMALL VALUES (?, ?)");
  for (int32_t k = 0; k < kSmall; ++k) {
    std::string name = "name " + std::to_string(k);
    sqlite3_bind_int(ins_small, 1, kFirstDay + k);
    sqlite3_bind_text(ins_small, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(ins_small);
    sqlite3_reset(ins_small);
  }
  sqlite3_finalize(ins_small);
  Sql(db, "COMMIT");
  Sql(db, "CREATE INDEX BYK ON SMALL (K)");

  ENGHANDLE stmt = 0;
  Check(EngCreateSQLStatement(conn, &stmt), "statement");
  // ---- queries, read to the end on both sides: (rows, sum of the first column) ----
  struct Tally {
    uint64_t rows = 0;
    double sum = 0;
  };
  auto run_ours = [&](const char* sql, Tally* tally) {
    ENGHANDLE cursor = 0;
    Check(EngExecuteSQLDirect(stmt, sql, &cursor), sql);
    *tally = Tally();
    char text[64];
    Check(EngGotoTop(cursor), "top");
    uint16_t eof = 0;
    for (EngAtEOF(cursor, &eof); !eof; EngAtEOF(cursor, &eof)) {
      uint32_t len = sizeof text - 1;
      Check(EngGetField(cursor, 1, reinterpret_cast<uint8_t*>(text), &len), "field");
      text[len] = 0;
      tally->sum += std::strtod(text, nullptr);
      ++tally->rows;
      EngSkip(cursor, 1);
    }
    EngCloseTable(cursor);
  };
  auto run_sqlite = [&](const char* sql, Tally* tally) {
    sqlite3_stmt* q = Prepare(db, sql);
    *tally = Tally();
    while (sqlite3_step(q) == SQLITE_ROW) {
      tally->sum += sqlite3_column_double(q, 0);
      ++tally->rows;
    }
    sqlite3_finalize(q);
  };
  struct QueryBench {
    const char* name;
    const char* ours;
    const char* sqlite;
    double ours_s = 0, sqlite_s = 0;
  };
  std::vector<QueryBench> queries = {
      {"group_by_text", "SELECT COUNT(*), SUM(X), CAT FROM BENCH GROUP BY CAT",
       "SELECT COUNT(*), SUM(X), CAT FROM BENCH GROUP BY CAT"},
      {"join_indexed", "SELECT B.ID, S.NAME FROM BENCH B JOIN SMALL S ON S.K = B.D WHERE B.X < 100",
       "SELECT B.ID, S.NAME FROM BENCH B JOIN SMALL S ON S.K = B.D WHERE B.X < 100"},
      {"count_distinct", "SELECT COUNT(DISTINCT X) FROM BENCH", "SELECT COUNT(DISTINCT X) FROM BENCH"},
      {"order_limit_10", "SELECT ID, X FROM BENCH ORDER BY X DESC, ID LIMIT 10",
       "SELECT ID, X FROM BENCH ORDER BY X DESC, ID LIMIT 10"},
  };
  auto compare = [&](QueryBench& q) {
    Tally ours_tally, sqlite_tally;
    q.ours_s = Best(3, [&] { run_ours(q.ours, &ours_tally); });
    q.sqlite_s = Best(3, [&] { run_sqlite(q.sqlite, &sqlite_tally); });
    if (ours_tally.rows != sqlite_tally.rows || std::abs(ours_tally.sum - sqlite_tally.sum) > 1e-6 * (1 + std::abs(sqlite_tally.sum))) {
      std::fprintf(stderr, "%s: results differ: %llu rows, sum %.6f vs %llu rows, sum %.6f\n", q.name,
                   static_cast<unsigned long long>(ours_tally.rows), ours_tally.sum,
                   static_cast<unsigned long long>(sqlite_tally.rows), sqlite_tally.sum);
      std::exit(1);
    }
  };
  if (!only.empty()) {
    for (QueryBench& q : queries) {
      if (q.name != only) continue;
      compare(q);
      std::printf("%s  ours %.4f s  sqlite %.4f s\nratio %s %.3f\n", q.name, q.ours_s, q.sqlite_s, q.name,
                  q.ours_s / q.sqlite_s);
      Tally tally;
      const double t0 = CpuSeconds();
      int runs = 0;
      for (; CpuSeconds() - t0 < 10; ++runs) run_ours(q.ours, &tally);
      std::printf("%s  ours alone %d runs, %.4f s each\n", q.name, runs, (CpuSeconds() - t0) / runs);
    }
    EngCloseSQLStatement(stmt);
    EngDisconnect(conn);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
    return 0;
  }

  const char* select_sql = "SELECT * FROM BENCH WHERE X < 100 ORDER BY TXT";
  uint64_t rows_ours = 0, rows_sqlite = 0;

  // ---- SELECT with WHERE and ORDER BY, read to the end ----
  double ours_select = Best(3, [&] {
    ENGHANDLE cursor = 0;
    Check(EngExecuteSQLDirect(stmt, select_sql, &cursor), "select");
    uint8_t rec[256];
    rows_ours = 0;
    Check(EngGotoTop(cursor), "top");
    uint16_t eof = 0;
    EngAtEOF(cursor, &eof);
    while (!eof) {
      uint32_t len = sizeof rec;
      Check(EngGetRecord(cursor, rec, &len), "read");
      ++rows_ours;
      EngSkip(cursor, 1);
      EngAtEOF(cursor, &eof);
    }
    EngCloseTable(cursor);
  });
  sqlite3_stmt* sel = Prepare(db, select_sql);
  double sqlite_select = Best(3, [&] {
    rows_sqlite = 0;
    int64_t sum = 0;
    while (sqlite3_step(sel) == SQLITE_ROW) {
      sum += sqlite3_column_int(sel, 0) + sqlite3_column_bytes(sel, 1) + sqlite3_column_int(sel, 2) +
             static_cast<int64_t>(sqlite3_column_double(sel, 3)) + sqlite3_column_bytes(sel, 4);
      ++rows_sqlite;
    }
    sqlite3_reset(sel);
    if (sum == 42) std::printf(" ");
  });
  sqlite3_finalize(sel);
  if (rows_ours != rows_sqlite) {
    std::fprintf(stderr, "row counts differ: %llu vs %llu\n", static_cast<unsigned long long>(rows_ours),
                 static_cast<unsigned long long>(rows_sqlite));
    return 1;
  }

  // ---- filtered walk of 1 % through the index's leading segment ----
  ENGHANDLE table = 0;
  Check(EngOpenTable(conn, "BENCH", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                     0, &table),
        "open");
  ENGHANDLE by_group = 0;
  Check(EngGetIndexHandle(table, "BYGRP", &by_group), "index handle");
  uint64_t walked_ours = 0, walked_natural = 0, walked_sqlite = 0;
  auto filtered_walk = [&](ENGHANDLE h, uint64_t* walked) {
    Check(EngSetOptimizedFilter(h, "GRP = 'G000000042'", ENG_RESOLVE_IMMEDIATE), "filter");
    uint8_t rec[256];
    *walked = 0;
    Check(EngGotoTop(h), "top");
    uint16_t eof = 0;
    EngAtEOF(h, &eof);
    while (!eof) {
      uint32_t len = sizeof rec;
      Check(EngGetRecord(h, rec, &len), "read");
      ++*walked;
      EngSkip(h, 1);
      EngAtEOF(h, &eof);
    }
    Check(EngClearFilter(h), "clear filter");
  };
  double ours_walk = Best(3, [&] { filtered_walk(by_group, &walked_ours); });
  double ours_natural = Best(3, [&] { filtered_walk(table, &walked_natural); });
  sqlite3_stmt* walk = Prepare(db, "SELECT * FROM BENCH WHERE GRP = 'G000000042'");
  double sqlite_walk = Best(3, [&] {
    walked_sqlite = 0;
    int64_t sum = 0;
    while (sqlite3_step(walk) == SQLITE_ROW) {
      sum += sqlite3_column_int(walk, 0) + sqlite3_column_bytes(walk, 1) + sqlite3_column_int(walk, 2) +
             static_cast<int64_t>(sqlite3_column_double(walk, 3)) + sqlite3_column_bytes(walk, 4);
      ++walked_sqlite;
    }
    sqlite3_reset(walk);
    if (sum == 42) std::printf(" ");
  });
  sqlite3_finalize(walk);
  if (walked_ours != walked_sqlite || walked_natural != walked_sqlite) {
    std::fprintf(stderr, "walked counts differ: %llu vs %llu\n", static_cast<unsigned long long>(walked_ours),
                 static_cast<unsigned long long>(walked_sqlite));
    return 1;
  }

  // ---- the queries ----
  for (QueryBench& q : queries) compare(q);

  // ---- UPDATE of 10 % of the records, each new value from the stored one ----
  const char* update_sql = "UPDATE BENCH SET X = X + 1 WHERE X < 100";
  uint32_t updated_ours = 0;
  double ours_update = Best(3, [&] {
    Check(EngExecuteSQLDirect(stmt, update_sql, nullptr), "update");
    Check(EngGetRecordCount(stmt, 0, &updated_ours), "update count");
  });
  sqlite3_stmt* upd = Prepare(db, update_sql);
  double sqlite_update = Best(3, [&] {
    Sql(db, "BEGIN");
    sqlite3_step(upd);
    sqlite3_reset(upd);
    Sql(db, "COMMIT");
  });
  sqlite3_finalize(upd);
  if (updated_ours != static_cast<uint32_t>(sqlite3_changes(db))) {
    std::fprintf(stderr, "updated counts differ: %u vs %d\n", updated_ours, sqlite3_changes(db));
    return 1;
  }

  std::printf("records %u; select rows %llu; walk rows %llu\n", n, static_cast<unsigned long long>(rows_ours),
              static_cast<unsigned long long>(walked_ours));
  std::printf("select_where_order  ours %.4f s  sqlite %.4f s\n", ours_select, sqlite_select);
  std::printf("filtered_walk_1pct  ours %.4f s  sqlite %.4f s\n", ours_walk, sqlite_walk);
  std::printf("filtered_walk_1pct_natural  ours %.4f s  sqlite %.4f s\n", ours_natural, sqlite_walk);
  std::printf("update_where_10pct  ours %.4f s  sqlite %.4f s\n", ours_update, sqlite_update);
  std::printf("ratio select_where_order %.3f\n", ours_select / sqlite_select);
  std::printf("ratio filtered_walk_1pct %.3f\n", ours_walk / sqlite_walk);
  std::printf("ratio filtered_walk_1pct_natural %.3f\n", ours_natural / sqlite_walk);
  std::printf("ratio update_where_10pct %.3f\n", ours_update / sqlite_update);
  for (const QueryBench& q : queries) {
    std::printf("%s  ours %.4f s  sqlite %.4f s\n", q.name, q.ours_s, q.sqlite_s);
    std::printf("ratio %s %.3f\n", q.name, q.ours_s / q.sqlite_s);
  }
  EngCloseTable(table);
  EngCloseSQLStatement(stmt);
  EngDisconnect(conn);
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
  return 0;
}
