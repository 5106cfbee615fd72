// Walks a table of N records (default 1,000,000) three ways: with the bare
// engine calls one record at a time (EngGotoTop, EngSkip, EngGetRecord,
// EngAtEOF), with the engine reading ahead 32 records a call
// (EngSkipAndReadAhead, as the cursor does), and with a TDbTable reading
// five fields per record through FieldByName and the accessors. Each walk
// must visit every record with the same checksum. Prints processor
// nanoseconds per record of each (best of three runs), "ratio cursor_walk
// <cursor/engine one at a time>" (target at most 2.0) and "ratio
// cursor_walk_read_ahead <cursor/engine reading ahead>", the cost of the
// cursor's own work beside the same reading.
//
// Usage: bench_cursor_walk [records]
#include <time.h>

#include <algorithm>
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

// Processor seconds of this process: the machine is shared.
double Cpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// What every walk sums over its records: the integer and the logical.
uint64_t RecordSum(int32_t id, bool active) { return static_cast<uint64_t>(id) * 3 + (active ? 1 : 0); }

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
  const double start = Cpu();
  visited = 0;
  uint16_t eof = 0;
  Ok(EngGotoTop(table), "EngGotoTop");
  Ok(EngAtEOF(table, &eof), "EngAtEOF");
  while (!eof) {
    uint32_t len = length;
    Ok(EngGetRecord(table, record.data(), &len), "EngGetRecord");
    int32_t id;
    std::memcpy(&id, record.data(), 4);
    checksum += RecordSum(id, record[36] == 'T');
    ++visited;
    Ok(EngSkip(table, 1), "EngSkip");
    Ok(EngAtEOF(table, &eof), "EngAtEOF");
  }
  const double seconds = Cpu() - start;
  Ok(EngCloseTable(table), "EngCloseTable");
  return seconds;
}

// The engine reading ahead, 32 records a call, as the cursor asks it to.
double ReadAheadWalk(ENGHANDLE connection, const std::string& path, long& visited, uint64_t& checksum) {
  ENGHANDLE table = 0;
  Ok(EngOpenTable(connection, path.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                  ENG_CHECK_RIGHTS, 0, &table),
     "EngOpenTable");
  uint32_t length = 0;
  Ok(EngGetRecordLength(table, &length), "EngGetRecordLength");
  constexpr uint16_t kBatch = 32;
  std::vector<uint8_t> records(static_cast<size_t>(length) * kBatch);
  uint32_t recnos[kBatch];
  const double start = Cpu();
  visited = 0;
  Ok(EngGotoTop(table), "EngGotoTop");
  Ok(EngSkip(table, -1), "EngSkip");  // before the first record, as a cursor opens
  for (;;) {
    uint16_t count = kBatch;
    uint64_t stamp = 0;
    Ok(EngSkipAndReadAhead(table, 0, 1, ENG_READ_VISIBLE, &count, records.data(), length, recnos, &stamp),
       "EngSkipAndReadAhead");
    for (uint16_t i = 0; i < count; ++i) {
      const uint8_t* record = records.data() + static_cast<size_t>(i) * length;
      int32_t id;
      std::memcpy(&id, record, 4);
      checksum += RecordSum(id, record[36] == 'T');
    }
    visited += count;
    if (count < kBatch) break;
  }
  const double seconds = Cpu() - start;
  Ok(EngCloseTable(table), "EngCloseTable");
  return seconds;
}

double CursorWalk(const std::string& folder, long& visited, uint64_t& checksum) {
  dbu::TDbTable table;
  table.SetName("Walk");
  table.SetDatabaseName(folder);
  table.SetTableName("walk");
  const double start = Cpu();
  table.Open();
  visited = 0;
  double sum = 0;
  size_t names = 0;
  while (!table.Eof()) {
    const auto id = static_cast<int32_t>(table.FieldByName("ID").AsInteger());
    names += table.FieldByName("Name").AsString().size();
    sum += table.FieldByName("AMOUNT").AsFloat();
    sum += table.FieldByName("hired").AsDateTime();
    checksum += RecordSum(id, table.FieldByName("ACTIVE").AsBoolean());
    ++visited;
    table.Next();
  }
  table.Close();
  const double seconds = Cpu() - start;
  if (names != static_cast<size_t>(visited) * 16 || sum <= 0) {
    std::fprintf(stderr, "the cursor read names of %zu characters in all over %ld records\n", names, visited);
    std::exit(1);
  }
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

  const double fillStart = Cpu();
  Fill(connection, records);
  std::printf("records %ld (filled in %.2f s of processor time)\n", records,
              Cpu() - fillStart);

  const std::string path = folder + "/walk.adt";
  double bestEngine = 1e300, bestAhead = 1e300, bestCursor = 1e300;
  for (int run = 0; run < 3; ++run) {
    long engineVisited = 0, aheadVisited = 0, cursorVisited = 0;
    uint64_t engineSum = 0, aheadSum = 0, cursorSum = 0;
    bestEngine = std::min(bestEngine, EngineWalk(connection, path, engineVisited, engineSum));
    bestAhead = std::min(bestAhead, ReadAheadWalk(connection, path, aheadVisited, aheadSum));
    bestCursor = std::min(bestCursor, CursorWalk(folder, cursorVisited, cursorSum));
    if (engineVisited != records || aheadVisited != records || cursorVisited != records || aheadSum != engineSum ||
        cursorSum != engineSum) {
      std::fprintf(stderr, "walks visited %ld, %ld and %ld records (expected %ld), checksums %llu, %llu and %llu\n",
                   engineVisited, aheadVisited, cursorVisited, records, static_cast<unsigned long long>(engineSum),
                   static_cast<unsigned long long>(aheadSum), static_cast<unsigned long long>(cursorSum));
      return 1;
    }
  }
  dbu::TDynamicConnList::DisconnectAll();
  EngDisconnect(connection);
  std::filesystem::remove_all(folder);

  std::printf("engine_walk %.1f ns/record (one record a call)\n", bestEngine * 1e9 / records);
  std::printf("engine_read_ahead %.1f ns/record (32 records a call)\n", bestAhead * 1e9 / records);
  std::printf("cursor_walk %.1f ns/record (five fields per record)\n", bestCursor * 1e9 / records);
  std::printf("ratio cursor_walk %.2f\n", bestCursor / bestEngine);
  std::printf("ratio cursor_walk_read_ahead %.2f\n", bestCursor / bestAhead);
  return 0;
}
