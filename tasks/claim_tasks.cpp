// Claim tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallClaimTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
