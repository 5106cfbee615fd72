#include "backup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "engine.h"
#include "runerror.h"

namespace dbu {

namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The companion of a table file: its path with another extension, as
// spelled on disk (the exact spelling first).
std::string Companion(const std::filesystem::path& adt, const std::string& ext) {
  std::filesystem::path wanted = adt;
  wanted.replace_extension(ext);
  std::error_code ec;
  if (std::filesystem::is_regular_file(wanted, ec)) return wanted.string();
  const std::string name = wanted.filename().string();
  for (std::filesystem::directory_iterator it(adt.parent_path(), ec), end; !ec && it != end; it.increment(ec))
    if (SameNoCase(it->path().filename().string(), name) && it->is_regular_file(ec)) return it->path().string();
  return "";
}

ENGRESULT BackupHook(void* context, uint16_t kind, const char* path, char* message, uint16_t room) {
  try {
    static_cast<TRunBackup*>(context)->OnChange(kind, path);
    return ENG_OK;
  } catch (const ERunRefusal& refusal) {
    std::snprintf(message, room, "%s", refusal.what());
    return ENG_ERR_READ_ONLY;
  } catch (const std::exception& error) {
    std::snprintf(message, room, "%s", error.what());
    return ENG_ERR_IO;
  }
}

}  // namespace

double ProcessorSeconds() {
  struct timespec t {};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string NormalPath(const std::string& path) {
  std::string p = std::filesystem::path(path).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

TTableFiles FindTableFiles(const std::string& adtPath) {
  TTableFiles files;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(adtPath, ec)) return files;
  files.Adt = adtPath;
  files.Memo = Companion(adtPath, ".memo");
  files.Tags = Companion(adtPath, ".tags");
  return files;
}

TRunBackup::TRunBackup(TBackupScope scope, std::string backupsFolder, TRunManifest header)
    : scope_(std::move(scope)), backups_(std::move(backupsFolder)), manifest_(std::move(header)) {
  scope_.SaveUnder = NormalPath(scope_.SaveUnder);
  if (!scope_.RefuseUnder.empty()) scope_.RefuseUnder = NormalPath(scope_.RefuseUnder);
  for (std::string& folder : scope_.NeverSave) folder = NormalPath(folder);
}

bool TRunBackup::Under(const std::string& path, const std::string& folder) const {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string TRunBackup::Relative(const std::string& path) const { return path.substr(scope_.SaveUnder.size() + 1); }

bool TRunBackup::AlreadySaved(const std::string& relative) const {
  for (const TSavedTable& t : manifest_.Tables)
    if (t.Path == relative) return true;
  for (const TSavedDictionary& d : manifest_.Dictionaries)
    if (d.Path == relative) return true;
  return false;
}

void TRunBackup::OnChange(uint16_t kind, const std::string& rawPath) {
  const std::string path = NormalPath(rawPath);
  const bool saved = Under(path, scope_.SaveUnder);
  if (!saved) {
    if (!scope_.RefuseUnder.empty() && (Under(path, scope_.RefuseUnder) || path == scope_.RefuseUnder))
      throw ERunRefusal("A preview changes nothing outside its copy of the company, but the task would change " +
                        rawPath);
    return;
  }
  for (const std::string& never : scope_.NeverSave)
    if (Under(path, never)) return;
  const std::string relative = Relative(path);
  if (AlreadySaved(relative)) return;
  TProcessorTimeAdder count(savingSeconds_);
  if (kind == ENG_CHANGE_DICTIONARY)
    SaveDictionary(path, relative);
  else
    SaveTable(kind == ENG_CHANGE_CREATE ? std::string() : path, relative);
}

void TRunBackup::EnsureFolder() {
  if (!folder_.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(backups_, ec);
  const std::string id = manifest_.Id;
  for (int n = 1; n < 1000; ++n) {
    const std::string candidate = n == 1 ? id : id + "-" + std::to_string(n);
    const std::string folder = backups_ + "/" + candidate;
    if (::mkdir(folder.c_str(), 0755) == 0) {
      folder_ = folder;
      manifest_.Id = candidate;
      return;
    }
    if (errno != EEXIST)
      throw ERunError("Cannot make the run's backup folder " + folder + ": " + std::strerror(errno));
  }
  throw ERunError("Cannot make the run's backup folder under " + backups_ + ": too many runs named " + id);
}

std::string TRunBackup::CopyOf(const TSavedTable& table, const char* ext) const {
  return folder_ + "/" + std::to_string(table.Number) + ext;
}

void TRunBackup::SaveTable(const std::string& path, const std::string& relative) {
  const auto start = std::chrono::steady_clock::now();
  EnsureFolder();
  TSavedTable t;
  t.Number = next_++;
  t.Path = relative;
  const TTableFiles files = path.empty() ? TTableFiles() : FindTableFiles(path);
  TSaveFigure figure;
  figure.Table = relative;
  if (!files.Adt.empty()) {
    t.Existed = true;
    if (EngGetTableStamp(files.Adt.c_str(), &t.IdentityBefore, &t.StampBefore) != ENG_OK)
      throw ERunError("The run cannot save " + files.Adt + ": it is no table");
    auto copy = [&](const std::string& from, const char* ext) {
      const std::string to = CopyOf(t, ext);
      figure.Way = CopyFileCloning(from, to);
      struct stat st;
      if (::stat(to.c_str(), &st) == 0) figure.Bytes += static_cast<uint64_t>(st.st_size);
    };
    try {
      copy(files.Adt, ".adt");
      if (!files.Memo.empty()) {
        t.HadMemo = true;
        copy(files.Memo, ".memo");
      }
      if (!files.Tags.empty()) {
        t.HadTags = true;
        copy(files.Tags, ".tags");
      }
    } catch (const std::exception& error) {
      // The change is refused: a run is never left without its way back.
      throw ERunError("Cannot save table " + relative + " before the run changes it: " + error.what());
    }
  }
  manifest_.Tables.push_back(t);
  manifest_.Write(folder_);
  figure.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures_.push_back(figure);
}

void TRunBackup::SaveDictionary(const std::string& path, const std::string& relative) {
  EnsureFolder();
  TSavedDictionary d;
  d.Number = next_++;
  d.Path = relative;
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    d.Existed = true;
    CopyFileCloning(path, folder_ + "/" + std::to_string(d.Number) + ".add");
  }
  manifest_.Dictionaries.push_back(d);
  manifest_.Write(folder_);
}

void TRunBackup::Finish(const std::string& outcome) {
  manifest_.Ended = LocalTimeText();
  manifest_.Outcome = outcome;
  if (folder_.empty()) return;
  for (TSavedTable& t : manifest_.Tables) {
    const std::string now = scope_.SaveUnder + "/" + t.Path;
    std::error_code ec;
    if (std::filesystem::is_regular_file(now, ec) &&
        EngGetTableStamp(now.c_str(), &t.IdentityAfter, &t.StampAfter) == ENG_OK)
      t.After = TFileState::Present;
    else
      t.After = std::filesystem::exists(now, ec) ? TFileState::Unknown : TFileState::Absent;
  }
  for (TSavedDictionary& d : manifest_.Dictionaries) {
    const std::string now = scope_.SaveUnder + "/" + d.Path;
    std::error_code ec;
    if (std::filesystem::is_regular_file(now, ec)) {
      CopyFileCloning(now, folder_ + "/" + std::to_string(d.Number) + ".after.add");
      d.After = TFileState::Present;
    } else {
      d.After = TFileState::Absent;
    }
  }
  manifest_.Write(folder_);
}

TChangeHookScope::TChangeHookScope(TRunBackup& backup) { EngSetChangeHook(BackupHook, &backup); }
TChangeHookScope::~TChangeHookScope() { EngSetChangeHook(nullptr, nullptr); }

}  // namespace dbu
