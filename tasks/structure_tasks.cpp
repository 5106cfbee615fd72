// Structure tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallStructureTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
