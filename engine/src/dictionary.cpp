#include "dictionary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>

#include "change_hook.h"
#include "engine.h"
#include "error.h"
#include "util.h"

namespace eng {

namespace {

constexpr const char* kMagicLine = "DBUDICT 1";
constexpr size_t kMaxDictionaryBytes = 64u << 20;

// The most work a stored password hash may ask of a login: the bounds that
// table encryption headers have. The file is only checksummed, not
// signed, so a hand edit could otherwise make a login run for hours or
// take more memory than the machine has.
constexpr uint64_t kMaxHashOps = 16;
constexpr uint64_t kMaxHashMemory = 1ull << 30;  // bytes

// Reads "<label><decimal>" at the front of s; a number too long for 64
// bits reads as the largest one (it is past every bound anyway).
bool ReadHashNumber(std::string_view& s, std::string_view label, uint64_t* value) {
  if (s.substr(0, label.size()) != label) return false;
  s.remove_prefix(label.size());
  size_t n = 0;
  uint64_t v = 0;
  for (; n < s.size() && s[n] >= '0' && s[n] <= '9'; ++n)
    v = v > (UINT64_MAX - 9) / 10 ? UINT64_MAX : v * 10 + static_cast<uint64_t>(s[n] - '0');
  if (n == 0) return false;
  s.remove_prefix(n);
  *value = v;
  return true;
}

// The passes and memory (in KiB) that an Argon2 hash string names:
// "$argon2id$v=19$m=65536,t=2,p=1$salt$hash" ("$argon2i$" too; the version
// may be left out). False when the text is no such string.
bool ReadHashSettings(std::string_view hash, uint64_t* ops, uint64_t* memory_kib) {
  if (hash.substr(0, 10) == "$argon2id$")
    hash.remove_prefix(9);
  else if (hash.substr(0, 9) == "$argon2i$")
    hash.remove_prefix(8);
  else
    return false;
  uint64_t version = 0, lanes = 0;
  if (hash.substr(0, 3) == "$v=" && !ReadHashNumber(hash, "$v=", &version)) return false;
  return ReadHashNumber(hash, "$m=", memory_kib) && ReadHashNumber(hash, ",t=", ops) &&
         ReadHashNumber(hash, ",p=", &lanes) && hash.substr(0, 1) == "$";
}

// Whether a stored table file names a file directly in the dictionary's
// folder: a plain name, no path.
bool IsPlainFileName(const std::string& file) {
  if (file.empty() || file == "." || file == "..") return false;
  for (char c : file)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

// Whether two folder names name the same folder (links and "." or ".."
// included); by their text when either cannot be read.
bool SameFolder(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return a == b;
}

void InitSodium() {
  static const int rc = sodium_init();
  if (rc < 0) Fail(ENG_ERR_INTERNAL, "The password library cannot start");
}

std::string Checksum(const std::string& body) {
  InitSodium();
  unsigned char out[32];
  crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(body.data()), body.size(), nullptr, 0);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char c : out) {
    s += hex[c >> 4];
    s += hex[c & 15];
  }
  return s;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return parts;
}

std::string TableKey(const std::string& name) {
  std::string n = name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  n = BaseName(n);
  return ToUpper(HasExtension(n) ? StripExtension(n) : n);
}

// Successful logins of this process: path + user + password digest -> stored hash.
std::mutex g_login_mu;
std::map<std::string, std::string>& LoginCache() {
  static auto* m = new std::map<std::string, std::string>();
  return *m;
}

}  // namespace

void CheckDictionaryText(const std::string& what, const std::string& text) {
  if (text.empty()) Fail(ENG_ERR_INVALID_ARGUMENT, what + " is empty");
  for (char c : text)
    if (c == '\t' || c == '\n' || c == '\r' || c == 0)
      Fail(ENG_ERR_INVALID_ARGUMENT, what + " '" + text + "' holds a tab or line break");
}

namespace {

// Parsed dictionaries by path, with the status of the file they came from.
struct CachedDictionary {
  struct stat status {};
  std::shared_ptr<const Dictionary> dictionary;
};
std::mutex g_dictionaries_mu;
std::map<std::string, CachedDictionary>& Dictionaries() {
  static auto* m = new std::map<std::string, CachedDictionary>();
  return *m;
}
constexpr size_t kCachedDictionaries = 16;

bool SameStatus(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         SameFileTime(a.st_mtim, b.st_mtim) && SameFileTime(a.st_ctim, b.st_ctim);
}

}  // namespace

std::shared_ptr<const Dictionary> Dictionary::LoadShared(const std::string& path) {
  struct stat st;
  const bool known = ::stat(path.c_str(), &st) == 0;
  if (known) {
    std::lock_guard<std::mutex> g(g_dictionaries_mu);
    auto it = Dictionaries().find(path);
    if (it != Dictionaries().end() && SameStatus(it->second.status, st)) return it->second.dictionary;
  }
  auto parsed = std::make_shared<const Dictionary>(ReadFile(path));
  if (known && FileTimeSettled(st.st_ctim)) {  // else parsed again at every load
    std::lock_guard<std::mutex> g(g_dictionaries_mu);
    auto& cache = Dictionaries();
    if (cache.size() >= kCachedDictionaries) cache.clear();
    cache[path] = CachedDictionary{st, parsed};
  }
  return parsed;
}

Dictionary Dictionary::Load(const std::string& path) { return *LoadShared(path); }

Dictionary Dictionary::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(ENG_ERR_FILE_NOT_FOUND, "Cannot read data dictionary " + path + ": " + std::strerror(errno));
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.size() > kMaxDictionaryBytes) Fail(ENG_ERR_DICTIONARY, "Data dictionary " + path + " is too large");
  const std::string bad = "Data dictionary " + path + " is damaged: ";
  size_t sum_at = all.rfind("SUM\t");
  if (all.compare(0, std::strlen(kMagicLine) + 1, std::string(kMagicLine) + "\n") != 0)
    Fail(ENG_ERR_DICTIONARY, "File " + path + " is not a data dictionary");
  if (sum_at == std::string::npos || (sum_at > 0 && all[sum_at - 1] != '\n')) Fail(ENG_ERR_DICTIONARY, bad + "no checksum");
  std::string body = all.substr(0, sum_at);
  std::string sum = all.substr(sum_at + 4);
  while (!sum.empty() && (sum.back() == '\n' || sum.back() == '\r')) sum.pop_back();
  if (sum != Checksum(body)) Fail(ENG_ERR_DICTIONARY, bad + "checksum mismatch");

  Dictionary d;
  d.path_ = path;
  std::istringstream lines(body);
  std::string line;
  std::getline(lines, line);  // magic
  int number = 1;
  std::set<std::string> keys;
  while (std::getline(lines, line)) {
    ++number;
    std::vector<std::string> p = SplitTabs(line);
    const std::string where = bad + "line " + std::to_string(number);
    if (p[0] == "USER" && p.size() == 3 && !p[1].empty() && !p[2].empty()) {
      d.users_[ToUpper(p[1])] = p[2];
      d.user_names_[ToUpper(p[1])] = p[1];
    } else if (p[0] == "TABLE" && p.size() == 3 && !p[1].empty() && !p[2].empty()) {
      std::string key = TableKey(p[1]);
      if (!keys.insert(key).second) Fail(ENG_ERR_DICTIONARY, where + ": table " + p[1] + " registered twice");
      d.tables_.push_back({p[1], p[2], {}, std::move(key)});
    } else if (p[0] == "PROP" && p.size() == 4) {
      Table* t = d.FindMutable(p[1]);
      char* end = nullptr;
      unsigned long id = std::strtoul(p[2].c_str(), &end, 10);
      if (!t || p[2].empty() || *end || id > 0xFFFF) Fail(ENG_ERR_DICTIONARY, where + ": bad property");
      t->properties[static_cast<uint16_t>(id)] = p[3];
    } else {
      Fail(ENG_ERR_DICTIONARY, where + ": not understood");
    }
  }
  if (d.users_.empty()) Fail(ENG_ERR_DICTIONARY, bad + "it has no users");
  return d;
}

void Dictionary::Create(const std::string& path, const std::string& admin, const std::string& password) {
  CheckDictionaryText("User name", admin);
  if (FileExists(path)) Fail(ENG_ERR_FILE_EXISTS, "Data dictionary " + path + " already exists");
  Dictionary d;
  d.path_ = path;
  d.AddUser(admin, password);
  d.Save();
}

std::string Dictionary::folder() const {
  std::string dir = DirName(path_);
  return dir.empty() ? "." : dir;
}

void Dictionary::Save() const {
  AnnounceChange(ENG_CHANGE_DICTIONARY, path_);
  std::string body = std::string(kMagicLine) + "\n";
  for (const auto& u : users_) body += "USER\t" + user_names_.at(u.first) + "\t" + u.second + "\n";
  for (const auto& t : tables_) body += "TABLE\t" + t.name + "\t" + t.file + "\n";
  for (const auto& t : tables_)
    for (const auto& p : t.properties) body += "PROP\t" + t.name + "\t" + std::to_string(p.first) + "\t" + p.second + "\n";
  std::string all = body + "SUM\t" + Checksum(body) + "\n";
  std::string tmp = path_ + ".writing." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail(ENG_ERR_IO, "Cannot write data dictionary " + path_ + ": " + std::strerror(errno));
  bool ok = ::write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    Fail(ENG_ERR_IO, "Cannot write data dictionary " + path_ + ": " + std::strerror(err));
  }
}

std::string Dictionary::HashPassword(const std::string& password) {
  InitSodium();
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    Fail(ENG_ERR_OUT_OF_MEMORY, "Not enough memory to hash a password");
  return hash;
}

void Dictionary::CheckLogin(const std::string& user, const std::string& password) const {
  auto it = users_.find(ToUpper(user));
  const std::string refused = "Login to data dictionary " + path_ + " refused: wrong user name or password";
  if (it == users_.end()) Fail(ENG_ERR_LOGIN, refused);
  CheckHashSettings(user_names_.at(it->first), it->second);
  InitSodium();
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                     nullptr, 0);
  std::string key = path_ + '\n' + ToUpper(user) + '\n' + std::string(reinterpret_cast<char*>(digest), sizeof digest);
  {
    std::lock_guard<std::mutex> g(g_login_mu);
    auto hit = LoginCache().find(key);
    if (hit != LoginCache().end() && hit->second == it->second) return;
  }
  if (it->second.size() >= crypto_pwhash_STRBYTES ||
      crypto_pwhash_str_verify(it->second.c_str(), password.data(), password.size()) != 0)
    Fail(ENG_ERR_LOGIN, refused);
  std::lock_guard<std::mutex> g(g_login_mu);
  LoginCache()[key] = it->second;
}

void Dictionary::CheckHashSettings(const std::string& user, const std::string& hash) const {
  const std::string where = "Data dictionary " + path_ + ": the password of user " + user;
  uint64_t ops = 0, memory_kib = 0;
  if (!ReadHashSettings(hash, &ops, &memory_kib))
    Fail(ENG_ERR_DICTIONARY, where + " is stored in a form not understood");
  if (ops > kMaxHashOps || memory_kib > kMaxHashMemory / 1024)
    Fail(ENG_ERR_DICTIONARY, where + " is stored with hashing settings of " + std::to_string(ops) + " passes over " +
                                 std::to_string(memory_kib) + " KiB, beyond the bounds of " +
                                 std::to_string(kMaxHashOps) + " passes and " + std::to_string(kMaxHashMemory / 1024) +
                                 " KiB; the login is refused");
}

void Dictionary::AddUser(const std::string& user, const std::string& password) {
  CheckDictionaryText("User name", user);
  if (users_.count(ToUpper(user))) Fail(ENG_ERR_DICTIONARY, "User " + user + " already exists in " + path_);
  users_[ToUpper(user)] = HashPassword(password);
  user_names_[ToUpper(user)] = user;
}

const Dictionary::Table* Dictionary::FindTable(const std::string& name) const {
  std::string key = TableKey(name);
  for (const auto& t : tables_)
    if (t.key == key) return &t;
  return nullptr;
}

Dictionary::Table* Dictionary::FindMutable(const std::string& name) {
  return const_cast<Table*>(FindTable(name));
}

std::string Dictionary::FileInFolder(const std::string& table, const std::string& file) const {
  std::string f = file;
  for (char& ch : f)
    if (ch == '\\') ch = '/';
  const std::string dir = DirName(f);
  const std::string base = BaseName(f);
  if (IsPlainFileName(base) && (dir.empty() || SameFolder(dir, folder()))) return base;
  Fail(ENG_ERR_DICTIONARY, "Table " + table + " cannot be registered in data dictionary " + path_ + " with the file " +
                               file + ": a dictionary's tables lie in its folder " + folder());
}

void Dictionary::CheckTableFile(const std::string& table, const std::string& file) const { FileInFolder(table, file); }

void Dictionary::AddTable(const std::string& name, const std::string& file) {
  CheckDictionaryText("Table name", name);
  CheckDictionaryText("Table file", file);
  if (FindTable(name)) Fail(ENG_ERR_FILE_EXISTS, "Table " + name + " is already registered in " + path_);
  std::string stored = FileInFolder(name, file);
  std::string n = name;
  for (char& ch : n)
    if (ch == '\\') ch = '/';
  n = BaseName(n);
  std::string stem = HasExtension(n) ? StripExtension(n) : n;
  std::string key = TableKey(stem);
  tables_.push_back({std::move(stem), stored, {}, std::move(key)});
}

void Dictionary::RemoveTable(const std::string& name) {
  std::string key = TableKey(name);
  for (size_t i = 0; i < tables_.size(); ++i)
    if (tables_[i].key == key) {
      tables_.erase(tables_.begin() + static_cast<long>(i));
      return;
    }
  Fail(ENG_ERR_NOT_IN_DICTIONARY, "Table " + name + " is not registered in " + path_);
}

void Dictionary::SetProperty(const std::string& table, uint16_t property, const std::string& value) {
  Table* t = FindMutable(table);
  if (!t) Fail(ENG_ERR_NOT_IN_DICTIONARY, "Table " + table + " is not registered in " + path_);
  if (value.empty()) {
    t->properties.erase(property);
    return;
  }
  CheckDictionaryText("Property value", value);
  t->properties[property] = value;
}

std::string Dictionary::TablePath(const Table& t) const {
  if (!IsPlainFileName(t.file))
    Fail(ENG_ERR_DICTIONARY, "Data dictionary " + path_ + ": table " + t.name + " is registered with the file " +
                                 t.file + ", which is not in the dictionary's folder; its tables must lie beside it");
  std::string file = t.file;
  if (!HasExtension(file)) file += ".adt";
  return ResolveNoCase(JoinPath(folder(), file));
}

}  // namespace eng
