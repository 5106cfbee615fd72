// The task bodies this build carries: every family installs its own. Task 1
// has no body by design (its run only shows "Done!").
#include "tasks.h"

namespace dbu {

void InstallTaskBodies(TTaskDispatcher& dispatcher) {
  InstallEmployeeTasks(dispatcher);
  InstallClaimTasks(dispatcher);
  InstallLeaveTasks(dispatcher);
  InstallStructureTasks(dispatcher);
  InstallVersionTasks(dispatcher);
  InstallAssetTasks(dispatcher);
  InstallImportTasks(dispatcher);
}

}  // namespace dbu
