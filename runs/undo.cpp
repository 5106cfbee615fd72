#include "undo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "backup.h"
#include "engine.h"
#include "filecopy.h"
#include "runerror.h"

namespace dbu {

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// Where a saved table stands now against the run.
enum class TTableNow { AsBefore, AsRunLeft, Changed };

struct TTableCheck {
  const TSavedTable* Table;
  TTableNow Now;
};

TTableNow TableNow(const std::string& baseDir, const TSavedTable& t) {
  const std::string path = baseDir + "/" + t.Path;
  const bool present = IsFile(path);
  uint64_t id = 0, stamp = 0;
  if (present && EngGetTableStamp(path.c_str(), &id, &stamp) != ENG_OK) return TTableNow::Changed;
  if (!t.Existed && !present) return TTableNow::AsBefore;
  if (t.Existed && present && id == t.IdentityBefore && stamp == t.StampBefore) return TTableNow::AsBefore;
  if (t.After == TFileState::Absent && !present) return TTableNow::AsRunLeft;
  if (t.After == TFileState::Present && present && id == t.IdentityAfter && stamp == t.StampAfter)
    return TTableNow::AsRunLeft;
  return TTableNow::Changed;
}

void RemoveTableFiles(const std::string& path) {
  const TTableFiles files = FindTableFiles(path);
  // The table file first: without it the rest is no table.
  for (const std::string& f : {files.Adt, files.Memo, files.Tags})
    if (!f.empty() && ::unlink(f.c_str()) != 0 && errno != ENOENT)
      throw ERunError("Cannot remove " + f + ": " + std::strerror(errno));
}

void RestoreTable(const std::string& baseDir, const std::string& folder, const TSavedTable& t) {
  const std::string path = baseDir + "/" + t.Path;
  const std::string copy = folder + "/" + std::to_string(t.Number);
  const std::string memo = t.HadMemo ? copy + ".memo" : "", tags = t.HadTags ? copy + ".tags" : "";
  if (!t.Existed) {
    RemoveTableFiles(path);
    return;
  }
  if (!IsFile(path)) {
    // Dropped by the run: the companions first, the table file last.
    const std::filesystem::path target(path);
    const std::string stem = (target.parent_path() / target.stem()).string();
    if (!memo.empty()) CopyFileCloning(memo, stem + ".memo");
    if (!tags.empty()) CopyFileCloning(tags, stem + ".tags");
    CopyFileCloning(copy + ".adt", path);
    return;
  }
  const std::filesystem::path target(path);
  ENGHANDLE conn = 0, table = 0;
  if (EngConnect(target.parent_path().c_str(), &conn) != ENG_OK)
    throw ERunError("Cannot put back table " + t.Path + ": " + EngineErrorText());
  ENGRESULT rc = EngOpenTable(conn, target.filename().c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI,
                              ENG_LOCK_PROPRIETARY, ENG_IGNORE_RIGHTS, ENG_OPEN_EXCLUSIVE, &table);
  if (rc == ENG_OK) rc = EngRestoreTable(table, (copy + ".adt").c_str(), memo.c_str(), tags.c_str());
  const std::string error = rc == ENG_OK ? "" : EngineErrorText();
  EngDisconnect(conn);
  if (rc != ENG_OK) throw ERunError("Cannot put back table " + t.Path + ": " + error);
}

}  // namespace

std::string BackupsFolder(const std::string& baseDir) { return NormalPath(baseDir) + "/backups"; }

std::vector<TRunManifest> ListRuns(const std::string& backupsFolder) {
  std::vector<TRunManifest> runs;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(backupsFolder, ec), end; !ec && it != end; it.increment(ec)) {
    // Previews' private folders (".preview-...") are no runs.
    if (!it->is_directory(ec) || it->path().filename().string().rfind('.', 0) == 0) continue;
    try {
      runs.push_back(TRunManifest::Read(it->path().string()));
    } catch (const std::exception&) {
      // A folder without a readable manifest is no run of ours.
    }
  }
  // Ids begin with the start time, so their order is the runs' order.
  std::sort(runs.begin(), runs.end(), [](const TRunManifest& a, const TRunManifest& b) {
    return a.Started != b.Started ? a.Started > b.Started : a.Id > b.Id;
  });
  return runs;
}

std::vector<std::string> UndoRun(const std::string& baseDirArg, const std::string& runId, bool force) {
  const std::string baseDir = NormalPath(baseDirArg);
  const std::string backups = BackupsFolder(baseDir);
  std::vector<TRunManifest> runs = ListRuns(backups);
  const TRunManifest* run = nullptr;
  for (const TRunManifest& r : runs) {
    if (runId.empty() ? r.Undone.empty() : r.Id == runId) {
      run = &r;
      break;
    }
  }
  if (run == nullptr)
    throw ERunError(runId.empty() ? "No run of " + baseDir + " can be undone"
                                  : "No run " + runId + " in " + backups + " (--list-runs lists them)");
  if (!run->Undone.empty()) throw ERunError("Run " + run->Id + " was undone at " + run->Undone);
  const std::string folder = backups + "/" + run->Id;

  // Every table is checked before any is changed.
  std::vector<TTableCheck> checks;
  for (const TSavedTable& t : run->Tables) {
    TTableNow now = TableNow(baseDir, t);
    if (now == TTableNow::Changed && !force) {
      if (t.After == TFileState::Unknown)
        throw ERunError("Run " + run->Id + " did not end normally, so table " + t.Path +
                        " may have changed after it; --force puts it back anyway");
      throw ERunError("Table " + t.Path + " changed after run " + run->Id +
                      "; undo refused (--force puts it back anyway)");
    }
    checks.push_back({&t, now});
  }
  for (const TSavedDictionary& d : run->Dictionaries) {
    const std::string path = baseDir + "/" + d.Path, copy = folder + "/" + std::to_string(d.Number);
    const bool present = IsFile(path);
    const bool asRunLeft = d.After == TFileState::Present ? present && FileBytes(path) == FileBytes(copy + ".after.add")
                                                          : d.After == TFileState::Absent && !present;
    const bool asBefore = d.Existed ? present && FileBytes(path) == FileBytes(copy + ".add") : !present;
    if (!asRunLeft && !asBefore && !force)
      throw ERunError("Data dictionary " + d.Path + " changed after run " + run->Id +
                      "; undo refused (--force puts it back anyway)");
  }

  std::vector<std::string> report;
  for (auto it = checks.rbegin(); it != checks.rend(); ++it) {
    // A table found as before may be one an undo killed midway put back
    // only in part (its header first): putting it back again is harmless,
    // and the engine finishes or rolls back the cut change on opening it.
    if (it->Now == TTableNow::AsBefore && !(it->Table->Existed && IsFile(baseDir + "/" + it->Table->Path))) continue;
    RestoreTable(baseDir, folder, *it->Table);
    report.push_back("Put back " + it->Table->Path);
  }
  for (const TSavedDictionary& d : run->Dictionaries) {
    const std::string path = baseDir + "/" + d.Path;
    if (d.Existed)
      CopyFileCloning(folder + "/" + std::to_string(d.Number) + ".add", path);
    else if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      throw ERunError("Cannot remove data dictionary " + path + ": " + std::strerror(errno));
    report.push_back("Put back " + d.Path);
  }
  TRunManifest done = *run;
  done.Undone = LocalTimeText();
  done.Write(folder);
  report.push_back("Run " + run->Id + " undone");
  return report;
}

void PruneRuns(const std::string& backupsFolder, size_t maxRuns, uint64_t maxBytes) {
  std::vector<TRunManifest> runs = ListRuns(backupsFolder);
  uint64_t bytes = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string folder = backupsFolder + "/" + runs[i].Id;
    bytes += TreeBytes(folder);
    if (i > 0 && (i >= maxRuns || bytes > maxBytes)) RemoveTree(folder);
  }
}

}  // namespace dbu
