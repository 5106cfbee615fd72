// Import tasks: each import lives in its own source; this installs them.
#include "import_approval.h"
#include "import_assets.h"
#include "tasks.h"

namespace dbu {

void InstallImportTasks(TTaskDispatcher& dispatcher) {
  InstallApprovalFlowImport(dispatcher);
  InstallAssetImportTask(dispatcher);
}

}  // namespace dbu
