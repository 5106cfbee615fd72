// The data dictionary calls of the C interface, and the links by which
// connecting, opening and creating tables use a dictionary. Every call
// looks at the dictionary file afresh (parsing it again only when it
// changed), so that changes by other processes show.
#include <dirent.h>

#include <algorithm>

#include "api_support.h"
#include "dictionary.h"
#include "engine.h"
#include "index_hooks.h"
#include "util.h"

using namespace eng;

namespace {

std::string DictionaryPathOf(ENGHANDLE hConnect) {
  auto conn = FindConnection(hConnect);
  if (conn->dictionary.empty())
    Fail(ENG_ERR_DICTIONARY, "Connection " + std::to_string(hConnect) + " is to the folder " + conn->folder +
                                 ", not to a data dictionary");
  return conn->dictionary;
}

Dictionary DictionaryOf(ENGHANDLE hConnect) { return Dictionary::Load(DictionaryPathOf(hConnect)); }

std::string Text(const char* s, const char* what) {
  Need(s, what);
  return s;
}

}  // namespace

namespace eng {

void OpenDictionary(ConnectionObject& conn, const std::string& path, const std::string& user,
                    const std::string& password) {
  Dictionary d = Dictionary::Load(path);
  d.CheckLogin(user, password);
  conn.dictionary = path;
  conn.folder = d.folder();
}

void CheckDictionaryTableFile(ConnectionObject& conn, const std::string& name, const std::string& path) {
  Dictionary::LoadShared(conn.dictionary)->CheckTableFile(name, path);
}

void RegisterInDictionary(ConnectionObject& conn, const std::string& name, const std::string& path) {
  Dictionary d = Dictionary::Load(conn.dictionary);
  if (d.FindTable(name)) return;
  d.AddTable(name, path);
  d.Save();
}

std::string DictionaryTablePath(ConnectionObject& conn, const std::string& name) {
  if (!name.empty() && name[0] == '/') return ResolveNoCase(name);  // a free table named by its path
  std::shared_ptr<const Dictionary> d = Dictionary::LoadShared(conn.dictionary);
  const Dictionary::Table* t = d->FindTable(name);
  if (!t) Fail(ENG_ERR_NOT_IN_DICTIONARY, "Table " + name + " is not registered in data dictionary " + conn.dictionary);
  return d->TablePath(*t);
}

}  // namespace eng

extern "C" {

ENGRESULT EngDictCreate(const char* path, const char* adminUser, const char* adminPassword, ENGHANDLE* hConnect) {
  return Call([&] {
    std::string p = Text(path, "dictionary path");
    for (char& ch : p)
      if (ch == '\\') ch = '/';
    if (!HasExtension(p)) p += ".add";
    Dictionary::Create(p, Text(adminUser, "user"), Text(adminPassword, "password"));
    if (hConnect) {
      ENGRESULT rc = EngConnectEx(p.c_str(), ENG_LOCAL_SERVER, adminUser, adminPassword, 0, hConnect);
      if (rc != ENG_OK) Fail(rc, LastErrorText());
    }
  });
}

ENGRESULT EngDictCreateUser(ENGHANDLE hConnect, const char* user, const char* password) {
  return Call([&] {
    Dictionary d = DictionaryOf(hConnect);
    d.AddUser(Text(user, "user"), Text(password, "password"));
    d.Save();
  });
}

ENGRESULT EngDictAddTable(ENGHANDLE hConnect, const char* name, const char* file) {
  return Call([&] {
    Dictionary d = DictionaryOf(hConnect);
    std::string f = Text(file, "table file");
    for (char& ch : f)
      if (ch == '\\') ch = '/';
    std::string full = f[0] == '/' ? f : JoinPath(d.folder(), f);
    if (!HasExtension(full)) full += ".adt";
    if (!FileExists(ResolveNoCase(full))) Fail(ENG_ERR_FILE_NOT_FOUND, "Table " + full + " does not exist");
    d.AddTable(Text(name, "table name"), ResolveNoCase(full));
    d.Save();
  });
}

ENGRESULT EngDictRemoveTable(ENGHANDLE hConnect, const char* name) {
  return Call([&] {
    Dictionary d = DictionaryOf(hConnect);
    d.RemoveTable(Text(name, "table name"));
    d.Save();
  });
}

ENGRESULT EngDictGetTableProperty(ENGHANDLE hConnect, const char* table, uint16_t property, void* value,
                                  uint16_t* len) {
  return Call([&] {
    std::shared_ptr<const Dictionary> d = Dictionary::LoadShared(DictionaryPathOf(hConnect));
    std::string name = Text(table, "table name");
    const Dictionary::Table* t = d->FindTable(name);
    if (!t) Fail(ENG_ERR_NOT_IN_DICTIONARY, "Table " + name + " is not registered in " + d->path());
    auto it = t->properties.find(property);
    if (it == t->properties.end()) {
      if (property == ENG_DD_TABLE_DEFAULT_INDEX)
        Fail(ENG_ERR_NO_DEFAULT_INDEX, "Table " + name + " has no default index in " + d->path());
      Fail(ENG_ERR_NOT_SUPPORTED, "Table " + name + " has no property " + std::to_string(property));
    }
    PutText(it->second, static_cast<char*>(value), len);
  });
}

ENGRESULT EngDictSetTableProperty(ENGHANDLE hConnect, const char* table, uint16_t property, const char* value) {
  return Call([&] {
    Dictionary d = DictionaryOf(hConnect);
    d.SetProperty(Text(table, "table name"), property, value ? value : "");
    d.Save();
  });
}

ENGRESULT EngGetTableNames(ENGHANDLE hConnect, char* names, uint32_t* len) {
  return Call([&] {
    Need(names, "buffer");
    Need(len, "length");
    auto conn = FindConnection(hConnect);
    std::vector<std::string> list;
    if (!conn->dictionary.empty()) {
      // Held here: the loop would outlive a temporary owner of the list.
      const std::shared_ptr<const Dictionary> dict = Dictionary::LoadShared(conn->dictionary);
      for (const Dictionary::Table& t : dict->tables()) list.push_back(t.name);
    } else if (DIR* dir = ::opendir(conn->folder.empty() ? "." : conn->folder.c_str())) {
      while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && EqualsNoCase(name.substr(name.size() - 4), ".adt") && name[0] != '.')
          list.push_back(name.substr(0, name.size() - 4));
      }
      ::closedir(dir);
    } else {
      FailIo("Cannot list the tables of " + conn->folder, errno);
    }
    std::sort(list.begin(), list.end(), [](const std::string& a, const std::string& b) { return ToUpper(a) < ToUpper(b); });
    std::string text;
    for (const std::string& n : list) text += (text.empty() ? "" : "\n") + n;
    if (text.size() + 1 > *len) {
      *len = static_cast<uint32_t>(text.size() + 1);
      Fail(ENG_ERR_BUFFER_TOO_SMALL, "The table names need " + std::to_string(text.size() + 1) + " characters");
    }
    std::memcpy(names, text.c_str(), text.size() + 1);
    *len = static_cast<uint32_t>(text.size());
  });
}

}  // extern "C"
