// Spreadsheet import tasks 32 and 34, each in a source of its own.
#include "import_assets.h"
#include "tasks.h"

namespace dbu {

void InstallImportTasks(TTaskDispatcher& dispatcher) {
  InstallAssetImportTask(dispatcher);
}

}  // namespace dbu
