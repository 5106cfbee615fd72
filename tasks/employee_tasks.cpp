// Employee tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallEmployeeTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
