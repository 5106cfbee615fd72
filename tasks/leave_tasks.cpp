// Leave tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallLeaveTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
