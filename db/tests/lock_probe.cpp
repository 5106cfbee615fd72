// Another process for the locking tests: opens a table shared in a folder,
// tries to lock one record and prints the engine's result (0 or the code).
// Usage: lock_probe folder table recno
#include <cstdio>
#include <cstdlib>

#include "engine.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  ENGHANDLE connection = 0, table = 0;
  if (EngConnect(argv[1], &connection) != ENG_OK) return 3;
  ENGRESULT r = EngOpenTable(connection, argv[2], nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                             ENG_CHECK_RIGHTS, 0, &table);
  if (r == ENG_OK) {
    uint32_t recno = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    r = EngLockRecord(table, recno);
    if (r == ENG_OK) EngUnlockRecord(table, recno);
    EngCloseTable(table);
  }
  std::printf("%u\n", static_cast<unsigned>(r));
  EngDisconnect(connection);
  return 0;
}
