// What one engine call costs: the calls a cursor makes for every record it
// walks or edits (goto, skip, get record, record number, lock and unlock,
// set field, write), on a table opened shared and opened exclusively, and
// skipping in the order of an index. The calls are timed in runs of 1,000,
// three passes over the table, and the fastest run counts: a run nothing
// interrupted, whose wall time is the calls' own processor time (on a
// shared machine the slower runs mostly measure the neighbours). The clock
// is the monotonic one, read without a system call: reading the process's
// processor time is one, and in a virtual machine it costs a microsecond
// and leaves the next calls running cold.
//
// The table has N records (default 100,000) of an integer and three
// 10-character strings; a second table of the same shape has a tag on the
// integer. "write" is the row "goto, set field, write" less a goto and a
// set field; "row" is goto, lock, set field, write, unlock as a cursor
// editing every record does it.
//
// usage: bench_engine_calls [N]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine.h"

namespace {

using bench::Check;

double Seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The fastest run of `body(first, count)`, which makes calls for records
// first .. first + count - 1, in nanoseconds per record.
double NsPerCall(uint32_t n, const std::function<void(uint32_t, uint32_t)>& body) {
  constexpr uint32_t kRun = 1000;
  double best = 1e300;
  for (int pass = 0; pass < 3; ++pass)
    for (uint32_t first = 1; first + kRun - 1 <= n; first += kRun) {
      double start = Seconds();
      body(first, kRun);
      best = std::min(best, Seconds() - start);
    }
  return best * 1e9 / kRun;
}

void Fill(ENGHANDLE conn, const char* name, uint32_t n, bool tagged) {
  ENGHANDLE t = 0;
  Check(EngCreateTable(conn, name, "ID,Integer;NAME,Char,10;A,Char,10;B,Char,10", ENG_OPEN_EXCLUSIVE, &t), "create");
  for (uint32_t i = 1; i <= n; ++i) {
    int32_t id = static_cast<int32_t>(i);
    char text[16];
    int len = std::snprintf(text, sizeof text, "N%08u", (i * 2654435761u) % 1000000u);
    Check(EngAppendRecord(t), "append");
    Check(EngSetFieldRaw(t, 1, reinterpret_cast<uint8_t*>(&id), 4), "set ID");
    Check(EngSetField(t, 2, reinterpret_cast<uint8_t*>(text), static_cast<uint32_t>(len)), "set NAME");
    Check(EngWriteRecord(t), "write");
  }
  if (tagged) Check(EngCreateIndex(t, "ID", "ID", 0, 512, nullptr), "create index");
  Check(EngCloseTable(t), "close");
}

ENGHANDLE Open(ENGHANDLE conn, const char* name, uint32_t options) {
  ENGHANDLE t = 0;
  Check(EngOpenTable(conn, name, nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS,
                     options, &t),
        "open");
  return t;
}

void Print(const char* mode, const char* call, double ns) { std::printf("%-9s %-16s %8.1f ns\n", mode, call, ns); }

void Measure(ENGHANDLE conn, const char* mode, uint32_t options, uint32_t n) {
  ENGHANDLE h = Open(conn, "plain", options);
  const uint8_t kText[] = "abcdef";
  uint32_t length = 0;
  Check(EngGetRecordLength(h, &length), "record length");
  std::vector<uint8_t> record(length);

  double go = NsPerCall(n, [&](uint32_t first, uint32_t count) {
    for (uint32_t i = first; i < first + count; ++i) Check(EngGotoRecord(h, i), "goto");
  });
  Print(mode, "goto", go);
  Print(mode, "skip", NsPerCall(n, [&](uint32_t first, uint32_t count) {
          if (first == 1) Check(EngGotoTop(h), "top");
          for (uint32_t i = 0; i < count; ++i) Check(EngSkip(h, 1), "skip");
        }));
  Check(EngGotoRecord(h, n / 2), "goto");
  Print(mode, "get record", NsPerCall(n, [&](uint32_t, uint32_t count) {
          for (uint32_t i = 0; i < count; ++i) {
            uint32_t len = length;
            Check(EngGetRecord(h, record.data(), &len), "get record");
          }
        }));
  Print(mode, "record number", NsPerCall(n, [&](uint32_t, uint32_t count) {
          uint32_t recno = 0;
          for (uint32_t i = 0; i < count; ++i) Check(EngGetRecordNum(h, 0, &recno), "record number");
        }));
  Print(mode, "lock+unlock", NsPerCall(n, [&](uint32_t first, uint32_t count) {
          for (uint32_t i = first; i < first + count; ++i) {
            Check(EngLockRecord(h, i), "lock");
            Check(EngUnlockRecord(h, i), "unlock");
          }
        }));
  double set = NsPerCall(n, [&](uint32_t, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) Check(EngSetField(h, 2, kText, 6), "set field");
  });
  Check(EngCancelUpdate(h), "cancel");
  Print(mode, "set field", set);
  Print(mode, "set field raw", NsPerCall(n, [&](uint32_t, uint32_t count) {
          for (uint32_t i = 0; i < count; ++i)
            Check(EngSetFieldRaw(h, 3, reinterpret_cast<const uint8_t*>("0123456789"), 10), "set raw");
        }));
  Check(EngCancelUpdate(h), "cancel");
  double write = NsPerCall(n, [&](uint32_t first, uint32_t count) {
    for (uint32_t i = first; i < first + count; ++i) {
      Check(EngGotoRecord(h, i), "goto");
      Check(EngSetField(h, 2, kText, 6), "set field");
      Check(EngWriteRecord(h), "write");
    }
  });
  Print(mode, "write", write - go - set);
  // An edited row as a shared cursor makes it: go, lock, set, write, unlock.
  auto editedRows = [&] {
    return NsPerCall(n, [&](uint32_t first, uint32_t count) {
      for (uint32_t i = first; i < first + count; ++i) {
        Check(EngGotoRecord(h, i), "goto");
        Check(EngLockRecord(h, i), "lock");
        Check(EngSetField(h, 2, kText, 6), "set field");
        Check(EngWriteRecord(h), "write");
        Check(EngUnlockRecord(h, i), "unlock");
      }
    });
  };
  Print(mode, "row", editedRows());
  Check(EngCloseTable(h), "close");

  // The same on a table with a tag: skipping in its order, and rows whose
  // writes the index must see.
  h = Open(conn, "tagged", options);
  ENGHANDLE index = 0;
  Check(EngGetIndexHandle(h, "ID", &index), "index handle");
  Print(mode, "skip (index)", NsPerCall(n, [&](uint32_t first, uint32_t count) {
          if (first == 1) Check(EngGotoTop(index), "top");
          for (uint32_t i = 0; i < count; ++i) Check(EngSkip(index, 1), "skip");
        }));
  Print(mode, "row (tagged)", editedRows());
  Check(EngCloseTable(h), "close");
}

}  // namespace

int main(int argc, char** argv) {
  long n = argc > 1 ? std::atol(argv[1]) : 100000;
  if (n < 1000 || n > 10000000) n = 100000;
  char pattern[] = "/tmp/engine_calls_XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = pattern;
  ENGHANDLE conn = 0;
  Check(EngConnect(folder.c_str(), &conn), "connect");
  Fill(conn, "plain", static_cast<uint32_t>(n), false);
  Fill(conn, "tagged", static_cast<uint32_t>(n), true);
  std::printf("records %ld; time per call in the fastest run of 1,000 calls\n", n);
  Measure(conn, "shared", 0, static_cast<uint32_t>(n));
  Measure(conn, "exclusive", ENG_OPEN_EXCLUSIVE, static_cast<uint32_t>(n));
  EngDisconnect(conn);
  std::filesystem::remove_all(folder);
  return 0;
}
