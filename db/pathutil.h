// File names as the databases use them: table files are found without
// regard to the letter case of each path component (the databases were
// made on a system that ignores case). Reads the file system only.
#pragma once

#include <optional>
#include <string>

namespace dbu {

// The existing path that matches path component by component without
// regard to case (an exact match wins); nullopt when there is none.
std::optional<std::string> ResolvePathNoCase(const std::string& path);
bool FileExistsNoCase(const std::string& path);
// True when the last component of name has an extension.
bool HasExtension(const std::string& name);

}  // namespace dbu
