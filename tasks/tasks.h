// The maintenance tasks, one source per family. Each family installs the
// bodies of its task indexes into the window's dispatcher; a body works
// only through the window's shared objects (TForm1Logic) and its user
// interface, never through Qt, so the window, the command line and the
// tests run the very same code.
#pragma once

#include "tasklist.h"

namespace dbu {

void InstallEmployeeTasks(TTaskDispatcher& dispatcher);   // 1, 4, 6, 9, 10, 12, 18
void InstallClaimTasks(TTaskDispatcher& dispatcher);      // 0, 2, 3, 16, 17, 19, 23
void InstallLeaveTasks(TTaskDispatcher& dispatcher);      // 5, 7, 11, 13, 14, 22, 28, 29, 30
void InstallStructureTasks(TTaskDispatcher& dispatcher);  // 25, 26, 27, 31, 33, 36
void InstallVersionTasks(TTaskDispatcher& dispatcher);    // 8, 37
void InstallAssetTasks(TTaskDispatcher& dispatcher);      // 15, 20, 21, 24, 35
void InstallImportTasks(TTaskDispatcher& dispatcher);     // 32, 34

}  // namespace dbu
