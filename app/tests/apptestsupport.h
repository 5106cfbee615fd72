// Helpers of the application tests: temporary folders, file contents, demo
// base directories and a scripted user interface.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "demodb.h"
#include "engine.h"
#include "userinterface.h"

namespace dbu {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dbuapp_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // The folder with its trailing separator, as a base directory.
  std::string Base() const { return path_ + "/"; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& name, const std::string& content) {
  std::ofstream out(name, std::ios::binary);
  out << content;
}

inline std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool Exists(const std::string& name) { return std::filesystem::exists(name); }

// Every file under dir (its path relative to dir) with its bytes.
inline std::map<std::string, std::string> FilesUnder(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file())
      files[std::filesystem::relative(entry.path(), dir).string()] = ReadFile(entry.path().string());
  return files;
}

// The names that differ between two snapshots: changed, added or gone.
inline std::vector<std::string> Differences(const std::map<std::string, std::string>& a,
                                            const std::map<std::string, std::string>& b) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : a)
    if (!b.count(name) || b.at(name) != bytes) names.push_back(name);
  for (const auto& entry : b)
    if (!a.count(entry.first)) names.push_back(entry.first);
  return names;
}

// The files under dir that differ from before: changed, added or gone.
inline std::vector<std::string> ChangedFiles(const std::map<std::string, std::string>& before, const std::string& dir) {
  return Differences(before, FilesUnder(dir));
}

// The company data under base: every file but the runs' own (backups,
// history) and the engine's journals, which reading a table may rewrite.
inline std::map<std::string, std::string> CompanyData(const std::string& base) {
  std::map<std::string, std::string> files = FilesUnder(base);
  for (auto it = files.begin(); it != files.end();) {
    const std::string& name = it->first;
    const bool own = name.rfind("backups/", 0) == 0 || name.rfind("runhistory.", 0) == 0 ||
                     (name.size() > 4 && name.compare(name.size() - 4, 4, ".jrn") == 0);
    it = own ? files.erase(it) : std::next(it);
  }
  return files;
}

// Appends a blank record to table in folder through the engine, as another
// program would behind the utility's back; false when the engine refused.
inline bool AppendBlankRecord(const std::string& folder, const std::string& tableName) {
  ENGHANDLE conn = 0, table = 0;
  if (EngConnect(folder.c_str(), &conn) != ENG_OK) return false;
  bool ok = EngOpenTable(conn, tableName.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                         ENG_IGNORE_RIGHTS, 0, &table) == ENG_OK;
  ok = ok && EngAppendRecord(table) == ENG_OK && EngWriteRecord(table) == ENG_OK;
  if (table) EngCloseTable(table);
  EngDisconnect(conn);
  return ok;
}

// The demo base directory in dir.
inline void MakeDemo(const std::string& dir) {
  std::vector<std::string> report;
  CreateDemoDatabases(dir, DemoScripts(), report);
}

// Records every dialog; answers come from the test.
class TScriptedUI : public TPlainView {
 public:
  std::vector<std::string> Events;  // "message: ...", "confirm: ...", ...
  bool ConfirmAnswer = false;
  std::vector<std::string> InputAnswers;  // next answers ("OK"); none left: Cancel
  std::vector<std::string> InputPresets;  // the text each input box showed first
  std::function<void()> OnProcessMessages;
  bool Hourglass = false;
  int HourglassChanges = 0;

  void ShowMessage(const std::string& text) override { Events.push_back("message: " + text); }
  bool Confirm(const std::string& text) override {
    Events.push_back("confirm: " + text);
    return ConfirmAnswer;
  }
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override {
    Events.push_back("input: " + title + ": " + prompt);
    InputPresets.push_back(value);
    if (InputAnswers.empty()) return false;
    value = InputAnswers.front();
    InputAnswers.erase(InputAnswers.begin());
    return true;
  }
  void ShowError(const std::string& text) override { Events.push_back("error: " + text); }
  void ShowTitledError(const std::string& title, const std::string& text) override {
    Events.push_back("error [" + title + "]: " + text);
  }
  void SetHourglass(bool on) override {
    if (on != Hourglass) ++HourglassChanges;
    Hourglass = on;
  }
  void ProcessMessages() override {
    if (OnProcessMessages) OnProcessMessages();
  }
};

}  // namespace dbu
