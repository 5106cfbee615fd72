// Asset tasks: not built yet; their slots stay empty.
#include "tasks.h"

namespace dbu {

void InstallAssetTasks(TTaskDispatcher& dispatcher) { (void)dispatcher; }

}  // namespace dbu
