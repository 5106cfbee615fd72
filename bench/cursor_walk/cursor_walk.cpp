// Walks a table of N records (default 1,000,000) twice: with the bare engine
// calls (EngGotoTop, EngSkip, EngGetRecord, EngAtEOF) and with a TDbTable
// reading five fields per record through FieldByName and the accessors.
// Prints nanoseconds per record of each (best of three runs) and
// "ratio cursor_walk <cursor/engine>"; the target is at most 2.0.
//
// Usage: bench_cursor_walk [records]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dbtable.h"
#include "dynconnlist.h"
#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;

void Ok(ENGRESULT r, const char* what) {
  if (r == ENG_OK) return;
  uint32_t code = 0;
  char text[600] = {};
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  std::fprintf(stderr, "%s failed: %u %s\n", what, r, text);
  std::exit(1);
}

void Fill(ENGHANDLE connection, long records) {
  ENGHANDLE table = 0;
  Ok(EngCreateTable(connection, "walk", "ID,Integer;NAME,Char,20;AMOUNT,Double;HIRED,Date;ACTIVE,Logical;NOTE,Char,30",
                    0, &table),
     "EngCreateTable");
  char name[32];
  for (long i = 0; i < records; ++i) {
    Ok(EngAppendRecord(table), "EngAppendRecord");
    int32_t id = static_cast<int32_t>(i);
    Ok(EngSetFieldRaw(table, 1, reinterpret_cast<const uint8_t*>(&id), 4), "EngSetFieldRaw");
    int n = std::snprintf(name, sizeof name, "EMPLOYEE %07ld", i);
    Ok(EngSetField(table, 2, reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(n)), "EngSetField");
    double amount = i * 0.25;
    Ok(EngSetFieldRaw(table, 3, reinterpret_cast<const uint8_t*>(&amount), 8), "EngSetFieldRaw");
    int32_t julian = 2453737 + static_cast<int32_t>(i % 3650);
    Ok(EngSetFieldRaw(table, 4, reinterpret_cast<const uint8_t*>(&julian), 4), "EngSetFieldRaw");
    uint8_t active = (i % 2) ? 'T' : 'F';
    Ok(EngSetFieldRaw(table, 5, &active, 1), "EngSetFieldRaw");
    Ok(EngWriteRecord(table), "EngWriteRecord");
  }
  Ok(EngCloseTable(table), "EngCloseTable");
}

// The bare walk: what a hand-written loop over the engine needs.
double EngineWalk(ENGHANDLE connection, const std::string& path, long& visited, uint64_t& checksum) {
  ENGHANDLE table = 0;
  Ok(EngOpenTable(connection, path.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                  ENG_CHECK_RIGHTS, 0, &table),
     "EngOpenTable");
  uint32_t length = 0;
  Ok(EngGetRecordLength(table, &length), "EngGetRecordLength");
  std::vector<uint8_t> record(length);
  auto start = Clock::now();
  visited = 0;
  uint16_t eof = 0;
  Ok(EngGotoTop(table), "EngGotoTop");
  Ok(EngAtEOF(table, &eof), "EngAtEOF");
  while (!eof) {
    uint32_t len = length;
    Ok(EngGetRecord(table, record.data(), &len), "EngGetRecord");
    checksum += record[0] + record[length - 1];
    ++visited;
    Ok(EngSkip(table, 1), "EngSkip");
    Ok(EngAtEOF(table, &eof), "EngAtEOF");
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  Ok(EngCloseTable(table), "EngCloseTable");
  return seconds;
}

double CursorWalk(const std::string& folder, long& visited, uint64_t& checksum) {
  dbu::TDbTable table;
  table.SetName("Walk");
  table.SetDatabaseName(folder);
  table.SetTableName("walk");
  auto start = Clock::now();
  table.Open();
  visited = 0;
  double sum = 0;
  while (!table.Eof()) {
    sum += static_cast<double>(table.FieldByName("ID").AsInteger());
    checksum += table.FieldByName("Name").AsString().size();
    sum += table.FieldByName("AMOUNT").AsFloat();
    sum += table.FieldByName("hired").AsDateTime();
    checksum += table.FieldByName("ACTIVE").AsBoolean() ? 1 : 0;
    ++visited;
    table.Next();
  }
  table.Close();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  checksum += static_cast<uint64_t>(sum) & 0xFF;
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  long records = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (records <= 0) records = 1000000;
  char pattern[] = "/tmp/cursor_walk_XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = pattern;
  ENGHANDLE connection = 0;
  Ok(EngConnect(folder.c_str(), &connection), "EngConnect");

  auto fillStart = Clock::now();
  Fill(connection, records);
  std::printf("records %ld (filled in %.2f s)\n", records,
              std::chrono::duration<double>(Clock::now() - fillStart).count());

  const std::string path = folder + "/walk.adt";
  double bestEngine = 1e300, bestCursor = 1e300;
  uint64_t checksum = 0;
  for (int run = 0; run < 3; ++run) {
    long engineVisited = 0, cursorVisited = 0;
    bestEngine = std::min(bestEngine, EngineWalk(connection, path, engineVisited, checksum));
    bestCursor = std::min(bestCursor, CursorWalk(folder, cursorVisited, checksum));
    if (engineVisited != records || cursorVisited != records) {
      std::fprintf(stderr, "walks visited %ld and %ld records, expected %ld\n", engineVisited, cursorVisited, records);
      return 1;
    }
  }
  dbu::TDynamicConnList::DisconnectAll();
  EngDisconnect(connection);
  std::filesystem::remove_all(folder);

  std::printf("engine_walk %.1f ns/record\n", bestEngine * 1e9 / records);
  std::printf("cursor_walk %.1f ns/record (five fields per record)\n", bestCursor * 1e9 / records);
  std::printf("checksum %llu\n", static_cast<unsigned long long>(checksum));
  std::printf("ratio cursor_walk %.2f\n", bestCursor / bestEngine);
  return 0;
}
