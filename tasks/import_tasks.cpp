// Import tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallImportTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
