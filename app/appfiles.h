// The utility's own files and texts outside the databases: the settings
// file reader, the log file and debug file writers, the program's folder and
// title, and the standard error box text.
//
// Paths use "/" as separator. File names that the utility looks up are found
// without regard to the letter case of each component. Every failure is an
// EInOutError naming the file and the reason. Stateless and thread-safe.
#pragma once

#include <string>
#include <vector>

#include "dberrors.h"

namespace dbu {

// A file that could not be opened, written or closed.
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};

// The value of key in section of an initialization file, or defaultValue
// when the file, the section or the key is missing. Section and key names
// match without regard to case; the value is taken literally (backslashes
// included), without surrounding blanks and without one pair of enclosing
// quotes. Lines starting with ";" or "#" are comments.
std::string ReadIniString(const std::string& fileName, const std::string& section,
                          const std::string& key, const std::string& defaultValue);
// The same over the file's text.
std::string ParseIniString(const std::string& text, const std::string& section,
                           const std::string& key, const std::string& defaultValue);

// fileName as spelled on disk when a file matches it without regard to case,
// else fileName unchanged.
std::string ExistingSpelling(const std::string& fileName);

// Replaces fileName by the lines, each ended by a carriage return and a line
// feed (no lines: an empty file).
void WriteLinesFile(const std::string& fileName, const std::vector<std::string>& lines);
// Appends line and a carriage return and line feed, creating the file when
// it is missing; the file is opened and closed for this one line. A file
// of the name in another letter case counts as the file.
void AppendLineToFile(const std::string& fileName, const std::string& line);

// Folder of the running program, ending with "/".
std::string ProgramFolder();
// The program file's name without its extension (the application's title).
std::string ProgramTitle();

// The standard error box text: message, with a full stop added when its
// last character sorts after ".".
std::string ErrorBoxText(const std::string& message);

}  // namespace dbu
