#include "pathutil.h"

#include <filesystem>
#include <system_error>

#include "strutil.h"

namespace dbu {

std::optional<std::string> ResolvePathNoCase(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (path.empty()) return std::nullopt;
  if (fs::exists(path, ec)) return path;
  fs::path resolved = fs::path(path).is_absolute() ? fs::path("/") : fs::path();
  for (const fs::path& part : fs::path(path).relative_path()) {
    std::string name = part.string();
    if (name.empty() || name == "." || name == "..") {
      resolved /= part;
      continue;
    }
    fs::path exact = resolved / part;
    if (fs::exists(exact, ec)) {
      resolved = exact;
      continue;
    }
    fs::path folder = resolved.empty() ? fs::path(".") : resolved;
    bool found = false;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::string candidate = it->path().filename().string();
      if (SameText(candidate, name)) {
        resolved /= candidate;
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  return resolved.string();
}

bool FileExistsNoCase(const std::string& path) {
  std::optional<std::string> found = ResolvePathNoCase(path);
  if (!found) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(*found, ec);
}

bool HasExtension(const std::string& name) {
  size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

}  // namespace dbu
