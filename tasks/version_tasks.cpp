// Version tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallVersionTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
