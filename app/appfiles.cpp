// Settings file, log and debug files, program folder and title.
#include "appfiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "pathutil.h"
#include "strutil.h"

namespace dbu {

namespace {

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

[[noreturn]] void FileError(const std::string& what, const std::string& fileName, int error) {
  throw EInOutError(what + " \"" + fileName + "\": " + std::strerror(error));
}

// Closes the file also when a write failed; reports the first failure.
void WriteAndClose(std::FILE* file, const std::string& fileName, const std::string& data) {
  bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  int writeError = errno;
  bool closed = std::fclose(file) == 0;
  int closeError = errno;
  if (!written) FileError("Cannot write to file", fileName, writeError ? writeError : EIO);
  if (!closed) FileError("Cannot close file", fileName, closeError ? closeError : EIO);
}

}  // namespace

std::string ParseIniString(const std::string& text, const std::string& section,
                           const std::string& key, const std::string& defaultValue) {
  std::istringstream in(text);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      size_t close = t.find(']');
      inSection = close != std::string::npos && SameText(Trim(t.substr(1, close - 1)), section);
      continue;
    }
    if (!inSection) continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos || !SameText(Trim(t.substr(0, eq)), key)) continue;
    std::string value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return defaultValue;
}

std::string ReadIniString(const std::string& fileName, const std::string& section,
                          const std::string& key, const std::string& defaultValue) {
  std::optional<std::string> found = ResolvePathNoCase(fileName);
  if (!found) return defaultValue;
  std::ifstream in(*found, std::ios::binary);
  if (!in) return defaultValue;
  std::ostringstream text;
  text << in.rdbuf();
  return ParseIniString(text.str(), section, key, defaultValue);
}

std::string ExistingSpelling(const std::string& fileName) {
  if (access(fileName.c_str(), F_OK) == 0) return fileName;
  std::optional<std::string> found = ResolvePathNoCase(fileName);
  return found ? *found : fileName;
}

void WriteLinesFile(const std::string& fileName, const std::vector<std::string>& lines) {
  std::string data;
  for (const std::string& line : lines) data += line + "\r\n";
  std::FILE* file = std::fopen(fileName.c_str(), "wb");
  if (!file) FileError("Cannot create file", fileName, errno);
  WriteAndClose(file, fileName, data);
}

void AppendLineToFile(const std::string& fileName, const std::string& line) {
  // Opened and closed for every line; plain calls, since a task may write
  // one line per record it changes and a buffered stream adds a seek and
  // a status call to each. The name as given is tried first: only when
  // that file is missing is it looked for in another spelling, or made.
  std::string name = fileName;
  int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    name = ExistingSpelling(fileName);
    fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) FileError("Cannot open file", name, errno);
  const std::string& fileNameUsed = name;
  const std::string data = line + "\r\n";
  size_t done = 0;
  int writeError = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      writeError = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  const int closeError = errno;
  if (writeError != 0) FileError("Cannot write to file", fileNameUsed, writeError);
  if (!closed) FileError("Cannot close file", fileNameUsed, closeError ? closeError : EIO);
}

namespace {

std::string ProgramPath() {
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) return std::string();
  path.resize(static_cast<size_t>(n));
  return path;
}

}  // namespace

std::string ProgramFolder() {
  std::string path = ProgramPath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string ProgramTitle() {
  std::string path = ProgramPath();
  std::string name = path.substr(path.rfind('/') + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? std::string("dbutility") : name;
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
    return message + ".";
  return message;
}

}  // namespace dbu
