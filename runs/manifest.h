// The record a run's backup folder keeps of what the run saved: the file
// "run.txt" in DIR/backups/<run>/, beside the saved copies.
//
// A table is identified by its path relative to the base directory (as
// spelled on disk) and by the identity and change stamp its table file
// carries (bytes 72 to 88 of its header, new with every change): the
// stamps before the run (those of the saved copy) and after it tell undo
// whether the table is still as the run left it, already put back, or
// changed since. Copies are named by number: <n>.adt, <n>.memo, <n>.tags
// for table n, <n>.add (before) and <n>.after.add for dictionary n.
//
// The file is rewritten whole (a temporary file renamed over it) after
// every table saved, so a run cut short still leaves a readable record of
// what it saved; only a finished run records the state after it.
// Format: lines of tab-separated fields, the first "DBURUN 1"; tabs, line
// breaks and backslashes in values are escaped as \t, \n and \\.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dbu {

enum class TFileState { Unknown, Present, Absent };

struct TSavedTable {
  int Number = 0;
  std::string Path;  // relative to the base directory, "/" separated
  bool Existed = false;  // false: the run created it
  bool HadMemo = false, HadTags = false;
  uint64_t IdentityBefore = 0, StampBefore = 0;
  TFileState After = TFileState::Unknown;
  uint64_t IdentityAfter = 0, StampAfter = 0;
};

struct TSavedDictionary {
  int Number = 0;
  std::string Path;
  bool Existed = false;
  TFileState After = TFileState::Unknown;
};

struct TRunManifest {
  static constexpr const char* kFileName = "run.txt";

  std::string Id;
  std::string Company;
  int Task = -1;
  std::string Caption;
  std::string Started, Ended;  // "YYYY-MM-DD HH:MM:SS" local time; Ended empty while running
  std::string Outcome;
  std::string Undone;  // when the run was undone, else empty
  std::vector<TSavedTable> Tables;
  std::vector<TSavedDictionary> Dictionaries;

  bool Finished() const { return !Ended.empty(); }
  // Throws ERunError when the file is missing or not a manifest.
  static TRunManifest Read(const std::string& folder);
  void Write(const std::string& folder) const;
};

// "YYYY-MM-DD HH:MM:SS" of the local time now, and "YYYYMMDD-HHMMSS" for names.
std::string LocalTimeText();
std::string LocalTimeName();

}  // namespace dbu
