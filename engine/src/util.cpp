#include "util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace eng {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    // Names are mostly spelled alike: equal bytes need no conversion.
    if (a[i] != b[i] &&
        std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (!name.empty() && name[0] == '/') return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string DirName(const std::string& path) {
  size_t p = path.rfind('/');
  if (p == std::string::npos) return "";
  if (p == 0) return "/";
  return path.substr(0, p);
}

std::string BaseName(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

bool HasExtension(const std::string& path) {
  std::string base = BaseName(path);
  size_t dot = base.rfind('.');
  return dot != std::string::npos && dot > 0 && dot + 1 < base.size();
}

std::string StripExtension(const std::string& path) {
  std::string base = BaseName(path);
  size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return path;
  return path.substr(0, path.size() - (base.size() - dot));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The entry of dir whose name equals name without regard to case.
bool FindNoCase(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (struct dirent* e = ::readdir(d)) {
    if (EqualsNoCase(e->d_name, name)) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(d);
  return ok;
}
}  // namespace

namespace {

// The names of a folder by their upper-case spelling (the first entry in
// reading order for each), kept for as long as the folder's change time
// says that no entry was added, removed or renamed since it was read. The
// tasks open the same tables many times a run, each a case-insensitive
// lookup of a name spelled otherwise than on disk.
struct FolderListing {
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec mtime {};
  std::unordered_map<std::string, std::string> names;
  std::unordered_set<std::string> several;  // upper-case names spelled more than one way
  // Regular files by their spelling: inode numbers as read with the names.
  std::unordered_map<std::string, ino_t> files;
  bool Valid(const struct stat& st) const {
    return dev == st.st_dev && ino == st.st_ino && SameFileTime(mtime, st.st_mtim);
  }
};

std::mutex g_listings_mutex;
std::unordered_map<std::string, FolderListing>& Listings() {
  static auto* listings = new std::unordered_map<std::string, FolderListing>();
  return *listings;
}
constexpr size_t kMaxListings = 64;


// Looks name up in the existing folder dir (whose stat is st). False when
// no entry matches (or the folder cannot be read).
bool FindInFolder(const std::string& dir, const struct stat& st, const std::string& name, std::string* found) {
  const std::string key = ToUpper(name);
  std::lock_guard<std::mutex> g(g_listings_mutex);
  auto& listings = Listings();
  auto it = listings.find(dir);
  if (it != listings.end() && it->second.Valid(st)) {
    auto hit = it->second.names.find(key);
    if (hit == it->second.names.end()) return false;
    *found = hit->second;
    return true;
  }
  if (it != listings.end()) listings.erase(it);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  FolderListing listing;
  listing.dev = st.st_dev;
  listing.ino = st.st_ino;
  listing.mtime = st.st_mtim;
  while (struct dirent* e = ::readdir(d)) {
    std::string upper = ToUpper(e->d_name);
    if (!listing.names.emplace(upper, e->d_name).second) listing.several.insert(std::move(upper));
    if (e->d_type == DT_REG) listing.files.emplace(e->d_name, e->d_ino);
  }
  ::closedir(d);
  auto hit = listing.names.find(key);
  const bool ok = hit != listing.names.end();
  if (ok) *found = hit->second;
  if (FileTimeSettled(st.st_mtim)) {  // else read afresh every time
    if (listings.size() >= kMaxListings) listings.clear();
    listings.emplace(dir, std::move(listing));
  }
  return ok;
}

// The one spelling on disk of name in dir, when it differs from name, as
// the listing kept of dir tells; with st (dir's stat) only while dir has not
// changed since it was read, and then *ino is the inode of a regular file
// of that spelling (0 when not known). False otherwise.
bool KnownOtherSpelling(const std::string& dir, const struct stat* st, const std::string& name, std::string* found,
                        ino_t* ino = nullptr) {
  const std::string key = ToUpper(name);
  std::lock_guard<std::mutex> g(g_listings_mutex);
  auto& listings = Listings();
  auto it = listings.find(dir);
  if (it == listings.end() || (st != nullptr && !it->second.Valid(*st)) || it->second.several.count(key) != 0)
    return false;
  auto hit = it->second.names.find(key);
  if (hit == it->second.names.end() || hit->second == name) return false;
  *found = hit->second;
  if (ino != nullptr) {
    auto file = it->second.files.find(hit->second);
    *ino = file == it->second.files.end() ? 0 : file->second;
  }
  return true;
}

}  // namespace

bool SameFileTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool FileTimeSettled(const struct timespec& when) {
  struct timespec now {};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  // A file system that keeps whole seconds (or coarser) shows times without
  // a fraction: a change within the next two seconds may leave them as they
  // are. Finer times follow the kernel's clock tick (a few milliseconds),
  // which lags this clock by up to a tick: a tenth of a second covers both.
  const int64_t age = (static_cast<int64_t>(now.tv_sec) - when.tv_sec) * 1000000000 + (now.tv_nsec - when.tv_nsec);
  return age >= (when.tv_nsec != 0 ? int64_t{100000000} : int64_t{2000000000});
}

bool FolderVouchesFor(const std::vector<FileAtPath>& files) {
  if (files.empty()) return true;
  const std::string dir = DirName(*files[0].path);
  if (dir.empty()) return false;
  for (const FileAtPath& f : files)
    if (DirName(*f.path) != dir) return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::lock_guard<std::mutex> g(g_listings_mutex);
  auto& listings = Listings();
  auto it = listings.find(dir);
  if (it == listings.end() || !it->second.Valid(st)) return false;
  for (const FileAtPath& f : files) {
    auto file = it->second.files.find(BaseName(*f.path));
    if (f.dev != st.st_dev || file == it->second.files.end() || file->second != f.ino) return false;
  }
  return true;
}

bool StillUnderTheirNames(const std::vector<FileAtPath>& files) {
  if (FolderVouchesFor(files)) return true;
  for (const FileAtPath& f : files) {
    struct stat st;
    if (::stat(f.path->c_str(), &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino) return false;
  }
  return true;
}

bool GuessFromKeptListing(const std::string& path, std::string* resolved, dev_t* dev, ino_t* ino) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 >= path.size() || path.find("//") != std::string::npos) return false;
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  const std::string key = ToUpper(std::string_view(path).substr(slash + 1));
  std::lock_guard<std::mutex> g(g_listings_mutex);
  auto& listings = Listings();
  auto it = listings.find(dir);
  if (it == listings.end() || it->second.several.count(key) != 0) return false;
  auto hit = it->second.names.find(key);
  if (hit == it->second.names.end()) return false;
  auto file = it->second.files.find(hit->second);
  if (file == it->second.files.end() || file->second == 0) return false;
  *resolved = JoinPath(dir, hit->second);
  *dev = it->second.dev;
  *ino = file->second;
  return true;
}

std::string ResolveNoCase(const std::string& path) {
  struct stat st;
  return ResolveNoCase(path, &st);
}

std::string ResolveNoCase(const std::string& path, struct stat* status) {
  status->st_ino = 0;
  if (path.empty()) return path;
  // Mostly only the last name differs, in a folder that exists as spelled.
  const size_t slash = path.rfind('/');
  const bool lastOnly = slash != std::string::npos && slash + 1 < path.size() && path.find("//") == std::string::npos;
  std::string found;
  if (lastOnly && KnownOtherSpelling(slash == 0 ? "/" : path.substr(0, slash), nullptr, path.substr(slash + 1), &found)) {
    // A name the kept listing of an unchanged folder holds in one other
    // spelling (the tasks open the same tables, spelled the same way, over
    // and over): no look for the name as asked, which is not there, nor for
    // the file's identity, which no entry of the folder can have changed.
    const std::string name = path.substr(slash + 1);
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    ino_t ino = 0;
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && KnownOtherSpelling(dir, &st, name, &found, &ino)) {
      std::string resolved = JoinPath(dir, found);
      if (ino != 0) {
        *status = {};
        status->st_dev = st.st_dev;
        status->st_ino = ino;
        status->st_mode = S_IFREG;
        return resolved;
      }
      if (::stat(resolved.c_str(), status) == 0) return resolved;
    }
    status->st_ino = 0;
  }
  if (::stat(path.c_str(), status) == 0) return path;
  status->st_ino = 0;
  if (lastOnly) {
    const std::string name = path.substr(slash + 1);
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (name != "." && name != ".." && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::string found;
      if (!FindInFolder(dir, st, name, &found)) return path;
      std::string resolved = JoinPath(dir, found);
      if (::stat(resolved.c_str(), status) != 0) status->st_ino = 0;
      return resolved;
    }
  }
  // Split into components and resolve each in turn.
  std::vector<std::string> parts;
  size_t start = 0;
  bool absolute = path[0] == '/';
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  std::string current = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    std::string candidate = current.empty() ? part : JoinPath(current, part);
    if (part == "." || part == ".." || Exists(candidate)) {
      current = candidate;
      continue;
    }
    std::string found;
    if (!FindNoCase(current.empty() ? "." : current, part, &found)) return path;
    current = current.empty() ? found : JoinPath(current, found);
  }
  if (!path.empty() && path.back() == '/' && (current.empty() || current.back() != '/')) current += "/";
  return current;
}

int64_t JulianFromDate(int year, int month, int day) {
  int64_t a = (14 - month) / 12;
  int64_t y = static_cast<int64_t>(year) + 4800 - a;
  int64_t m = month + 12 * a - 3;
  return day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

void DateFromJulian(int64_t julian, int* year, int* month, int* day) {
  int64_t a = julian + 32044;
  int64_t b = (4 * a + 3) / 146097;
  int64_t c = a - 146097 * b / 4;
  int64_t d = (4 * c + 3) / 1461;
  int64_t e = c - 1461 * d / 4;
  int64_t m = (5 * e + 2) / 153;
  *day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
  *month = static_cast<int>(m + 3 - 12 * (m / 10));
  *year = static_cast<int>(100 * b + d - 4800 + m / 10);
}

bool ValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int dim = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) dim = 29;
  return day <= dim;
}

}  // namespace eng
