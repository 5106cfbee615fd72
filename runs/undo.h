// Undo of a run from its backup folder, the list of runs that can be
// undone, and the pruning of old backups.
//
// Undo first checks every saved table and dictionary, then changes any:
// a table whose stamp is neither the one the run left nor the one it had
// before the run was changed since, and undo refuses, naming it, unless
// forced. Each table is put back in one journaled engine change
// (EngRestoreTable), so a kill leaves it either as the run left it or as
// before the run; a later undo finishes the rest (tables already back are
// put back again). A table the run created is removed, one it dropped copied back.
// Once all is back the manifest records the undo, and the run is no longer
// offered. Failures throw ERunError naming the run and table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "manifest.h"

namespace dbu {

// The folder of a base directory's backups: DIR/backups.
std::string BackupsFolder(const std::string& baseDir);

// Every run with a readable manifest, newest first.
std::vector<TRunManifest> ListRuns(const std::string& backupsFolder);

// Puts back the run runId ("" for the newest not yet undone) of baseDir;
// the lines say what was done.
std::vector<std::string> UndoRun(const std::string& baseDir, const std::string& runId, bool force);

// Removes the oldest runs' folders beyond maxRuns runs or maxBytes bytes
// (the newest run always stays).
void PruneRuns(const std::string& backupsFolder, size_t maxRuns, uint64_t maxBytes);

}  // namespace dbu
