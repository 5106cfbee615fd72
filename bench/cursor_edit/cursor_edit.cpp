// Key search and editing through a TDbTable on a table of N records
// (default 1,000,000) with a unique index on ID:
//   edit_shared     M cycles (default 100,000) of FindKey + Edit + one field
//                   write + Post on a shared cursor (record locks taken)
//   edit_exclusive  the same on an exclusive cursor (no locks)
//   delete_walk     a walk over the whole table deleting every tenth record
// and the same work in SQLite (a table with an INTEGER PRIMARY KEY, prepared
// SELECT and UPDATE by key, one transaction; a walk by key deleting every
// tenth row). Prints microseconds per operation and
// "ratio <name> <ours/sqlite>"; the target for edit_exclusive is at most 1.5.
//
// Usage: bench_cursor_edit [records] [cycles]
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dbtable.h"
#include "dynconnlist.h"
#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void Ok(ENGRESULT r, const char* what) {
  if (r == ENG_OK) return;
  uint32_t code = 0;
  char text[600] = {};
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  std::fprintf(stderr, "%s failed: %u %s\n", what, r, text);
  std::exit(1);
}

void SqlOk(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  std::fprintf(stderr, "%s failed: %s\n", what, sqlite3_errmsg(db));
  std::exit(1);
}

std::string NameOf(long i) {
  char name[32];
  std::snprintf(name, sizeof name, "EMPLOYEE %07ld", i);
  return name;
}

void FillEngine(ENGHANDLE connection, long records) {
  ENGHANDLE table = 0;
  Ok(EngCreateTable(connection, "edit", "ID,Integer;NAME,Char,20;AMOUNT,Double", 0, &table), "EngCreateTable");
  for (long i = 0; i < records; ++i) {
    Ok(EngAppendRecord(table), "EngAppendRecord");
    int32_t id = static_cast<int32_t>(i);
    Ok(EngSetFieldRaw(table, 1, reinterpret_cast<const uint8_t*>(&id), 4), "EngSetFieldRaw");
    std::string name = NameOf(i);
    Ok(EngSetField(table, 2, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size())),
       "EngSetField");
    double amount = i * 0.25;
    Ok(EngSetFieldRaw(table, 3, reinterpret_cast<const uint8_t*>(&amount), 8), "EngSetFieldRaw");
    Ok(EngWriteRecord(table), "EngWriteRecord");
  }
  Ok(EngCloseTable(table), "EngCloseTable");
  Ok(EngOpenTable(connection, "edit", nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                  ENG_CHECK_RIGHTS, ENG_OPEN_EXCLUSIVE, &table),
     "EngOpenTable");
  ENGHANDLE index = 0;
  Ok(EngCreateIndex(table, "BYID", "ID", ENG_INDEX_UNIQUE, 0, &index), "EngCreateIndex");
  Ok(EngCloseTable(table), "EngCloseTable");
}

void FillSqlite(sqlite3* db, long records) {
  SqlOk(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-524288; PRAGMA mmap_size=1073741824;", nullptr, nullptr, nullptr), db,
        "pragma");
  SqlOk(sqlite3_exec(db, "CREATE TABLE edit(ID INTEGER PRIMARY KEY, NAME TEXT, AMOUNT REAL)", nullptr, nullptr,
                     nullptr),
        db, "create");
  SqlOk(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* insert = nullptr;
  SqlOk(sqlite3_prepare_v2(db, "INSERT INTO edit VALUES(?,?,?)", -1, &insert, nullptr), db, "prepare");
  for (long i = 0; i < records; ++i) {
    std::string name = NameOf(i);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, i * 0.25);
    SqlOk(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  SqlOk(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
}

std::vector<int32_t> Keys(long records, long cycles) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<long> pick(0, records - 1);
  std::vector<int32_t> keys(static_cast<size_t>(cycles));
  for (int32_t& key : keys) key = static_cast<int32_t>(pick(random));
  return keys;
}

double CursorEdits(const std::string& folder, bool exclusive, const std::vector<int32_t>& keys) {
  dbu::TDbTable table;
  table.SetName("Edit");
  table.SetDatabaseName(folder);
  table.SetTableName("edit");
  table.SetExclusive(exclusive);
  table.SetIndexFieldNames("ID");
  table.Open();
  dbu::TField& amount = table.FieldByName("AMOUNT");
  auto start = Clock::now();
  for (int32_t key : keys) {
    if (!table.FindKey({key})) {
      std::fprintf(stderr, "key %d not found\n", key);
      std::exit(1);
    }
    table.Edit();
    amount.SetAsFloat(amount.AsFloat() + 1.0);
    table.Post();
  }
  double seconds = Since(start);
  table.Close();
  return seconds;
}

double SqliteEdits(sqlite3* db, const std::vector<int32_t>& keys) {
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* update = nullptr;
  SqlOk(sqlite3_prepare_v2(db, "SELECT ID, NAME, AMOUNT FROM edit WHERE ID = ?", -1, &select, nullptr), db, "prepare");
  SqlOk(sqlite3_prepare_v2(db, "UPDATE edit SET AMOUNT = ? WHERE ID = ?", -1, &update, nullptr), db, "prepare");
  auto start = Clock::now();
  SqlOk(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (int32_t key : keys) {
    sqlite3_bind_int(select, 1, key);
    if (sqlite3_step(select) != SQLITE_ROW) {
      std::fprintf(stderr, "sqlite key %d not found\n", key);
      std::exit(1);
    }
    double amount = sqlite3_column_double(select, 2);
    sqlite3_reset(select);
    sqlite3_bind_double(update, 1, amount + 1.0);
    sqlite3_bind_int(update, 2, key);
    SqlOk(sqlite3_step(update), db, "update");
    sqlite3_reset(update);
  }
  SqlOk(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  double seconds = Since(start);
  sqlite3_finalize(select);
  sqlite3_finalize(update);
  return seconds;
}

double CursorDeleteWalk(const std::string& folder, long& deleted) {
  dbu::TDbTable table;
  table.SetName("Edit");
  table.SetDatabaseName(folder);
  table.SetTableName("edit");
  table.SetExclusive(true);
  table.SetIndexFieldNames("ID");
  auto start = Clock::now();
  table.Open();
  dbu::TField& id = table.FieldByName("ID");
  deleted = 0;
  while (!table.Eof()) {
    if (id.AsInteger() % 10 == 0) {
      table.Delete();
      ++deleted;
    } else {
      table.Next();
    }
  }
  table.Close();
  return Since(start);
}

double SqliteDeleteWalk(sqlite3* db, long& deleted) {
  sqlite3_stmt* walk = nullptr;
  sqlite3_stmt* erase = nullptr;
  SqlOk(sqlite3_prepare_v2(db, "SELECT ID, NAME, AMOUNT FROM edit ORDER BY ID", -1, &walk, nullptr), db, "prepare");
  SqlOk(sqlite3_prepare_v2(db, "DELETE FROM edit WHERE ID = ?", -1, &erase, nullptr), db, "prepare");
  auto start = Clock::now();
  SqlOk(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  deleted = 0;
  while (sqlite3_step(walk) == SQLITE_ROW) {
    int64_t id = sqlite3_column_int64(walk, 0);
    if (id % 10 != 0) continue;
    sqlite3_bind_int64(erase, 1, id);
    SqlOk(sqlite3_step(erase), db, "delete");
    sqlite3_reset(erase);
    ++deleted;
  }
  SqlOk(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  double seconds = Since(start);
  sqlite3_finalize(walk);
  sqlite3_finalize(erase);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  long records = argc > 1 ? std::atol(argv[1]) : 1000000;
  long cycles = argc > 2 ? std::atol(argv[2]) : 100000;
  if (records <= 0) records = 1000000;
  if (cycles <= 0) cycles = 100000;
  char pattern[] = "/tmp/cursor_edit_XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = pattern;
  ENGHANDLE connection = 0;
  Ok(EngConnect(folder.c_str(), &connection), "EngConnect");
  sqlite3* db = nullptr;
  SqlOk(sqlite3_open((folder + "/edit.sqlite").c_str(), &db), db, "open");

  auto fillStart = Clock::now();
  FillEngine(connection, records);
  FillSqlite(db, records);
  std::printf("records %ld, cycles %ld (filled in %.2f s)\n", records, cycles, Since(fillStart));

  const std::vector<int32_t> keys = Keys(records, cycles);
  double shared = 1e300, exclusive = 1e300, sqlite = 1e300;
  for (int run = 0; run < 3; ++run) {
    shared = std::min(shared, CursorEdits(folder, false, keys));
    exclusive = std::min(exclusive, CursorEdits(folder, true, keys));
    sqlite = std::min(sqlite, SqliteEdits(db, keys));
  }
  long deletedOurs = 0, deletedSqlite = 0;
  double walkOurs = CursorDeleteWalk(folder, deletedOurs);
  double walkSqlite = SqliteDeleteWalk(db, deletedSqlite);
  if (deletedOurs != deletedSqlite || deletedOurs != (records + 9) / 10) {
    std::fprintf(stderr, "deleted %ld and %ld records, expected %ld\n", deletedOurs, deletedSqlite, (records + 9) / 10);
    return 1;
  }

  sqlite3_close(db);
  dbu::TDynamicConnList::DisconnectAll();
  EngDisconnect(connection);
  std::filesystem::remove_all(folder);

  std::printf("edit_shared %.2f us/cycle\n", shared * 1e6 / cycles);
  std::printf("edit_exclusive %.2f us/cycle\n", exclusive * 1e6 / cycles);
  std::printf("edit_sqlite %.2f us/cycle\n", sqlite * 1e6 / cycles);
  std::printf("delete_walk %.3f us/record (%ld deleted)\n", walkOurs * 1e6 / records, deletedOurs);
  std::printf("delete_walk_sqlite %.3f us/record\n", walkSqlite * 1e6 / records);
  std::printf("ratio edit_shared %.2f\n", shared / sqlite);
  std::printf("ratio edit_exclusive %.2f\n", exclusive / sqlite);
  std::printf("ratio delete_walk %.2f\n", walkOurs / walkSqlite);
  return 0;
}
