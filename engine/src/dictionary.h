// Data dictionaries: a file "<name>.add" holding the dictionary's users
// (name and a libsodium crypto_pwhash_str hash, never the password), the
// registry of its tables (name and file) and per-table properties (213: the
// default index).
//
// A dictionary's tables lie in its folder: an entry's file is a plain file
// name there. An entry naming another place (a path, absolute or with
// "..") is refused when used, naming the dictionary, the table and the
// file; such a file is never registered. A stored password hash may ask a
// login for at most 16 passes over 1 GiB (the bounds of table encryption);
// a hash beyond them, or not understood, refuses the login at once.
//
// File format: text lines "DBUDICT 1", then "USER\tname\thash",
// "TABLE\tname\tfile", "PROP\ttable\tid\tvalue", and last "SUM\t<hex>", a
// BLAKE2b checksum of everything before it. A file that fails any check is
// refused with ENG_ERR_DICTIONARY naming it. Writes go to a temporary file
// that is renamed over the dictionary, so readers see the old or the new
// file. Names and values may not hold tabs or line breaks.
//
// Threads: Dictionary objects are plain values; Load/Save touch only the
// file, and a process-wide cache of parsed files (checked against the
// file's identity and times at every load; guarded by its own lock). A process-wide cache remembers successful logins (keyed by path,
// user and a hash of the password, and valid while the user's stored hash
// is unchanged) because password hashing is slow by design.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace eng {

class Dictionary {
 public:
  struct Table {
    std::string name;
    std::string file;  // as stored: a file name in the dictionary's folder (checked when used)
    std::map<uint16_t, std::string> properties;
    std::string key;  // the name as looked up: upper case, no folder, no extension
  };

  // Reads path; throws ENG_ERR_FILE_NOT_FOUND or ENG_ERR_DICTIONARY.
  static Dictionary Load(const std::string& path);
  // The same, shared and read-only: the dictionary as last read, for as
  // long as the file is the same one unchanged (a save replaces the file;
  // a change made in place moves its change time).
  static std::shared_ptr<const Dictionary> LoadShared(const std::string& path);
  // Creates a new dictionary with its administrator (fails when the file exists).
  static void Create(const std::string& path, const std::string& admin, const std::string& password);

  void Save() const;  // atomically replaces the file
  const std::string& path() const { return path_; }
  std::string folder() const;

  // Throws ENG_ERR_LOGIN when the user is unknown or the password wrong,
  // ENG_ERR_DICTIONARY when the user's stored hash asks for more work than
  // the bounds allow or is not understood.
  void CheckLogin(const std::string& user, const std::string& password) const;
  void AddUser(const std::string& user, const std::string& password);

  // Registered tables by name (without regard to case; an extension is ignored).
  const Table* FindTable(const std::string& name) const;
  // Registers file (a path) under name; ENG_ERR_DICTIONARY when the file
  // does not lie directly in the dictionary's folder.
  void AddTable(const std::string& name, const std::string& file);
  // The same test alone, before a table is made for the dictionary.
  void CheckTableFile(const std::string& name, const std::string& file) const;
  void RemoveTable(const std::string& name);
  void SetProperty(const std::string& table, uint16_t property, const std::string& value);
  // The full path of a registered table's file; ENG_ERR_DICTIONARY when
  // its entry names a file outside the dictionary's folder.
  std::string TablePath(const Table& t) const;
  const std::vector<Table>& tables() const { return tables_; }

 private:
  Table* FindMutable(const std::string& name);
  static Dictionary ReadFile(const std::string& path);
  static std::string HashPassword(const std::string& password);
  void CheckHashSettings(const std::string& user, const std::string& hash) const;
  std::string FileInFolder(const std::string& table, const std::string& file) const;

  std::string path_;
  std::map<std::string, std::string> users_;  // upper-case name -> hash
  std::map<std::string, std::string> user_names_;  // upper-case name -> name as created
  std::vector<Table> tables_;
};

// Checks that a name or value can be stored (no tabs, line breaks or NULs, not empty).
void CheckDictionaryText(const std::string& what, const std::string& text);

}  // namespace eng
