// The dbsql shell: runs SQL statements and dot commands on one engine
// connection and prints results. One Shell per connection; not thread-safe.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "engine.h"

namespace dbsql {

struct Options {
  std::string path;      // folder or dictionary (.add)
  std::string user, password;
  bool csv = false;      // results as CSV instead of aligned tables
  bool create_dictionary = false;
};

// Failure of a statement or command; the text names what failed.
struct ShellError {
  std::string text;
};

class Shell {
 public:
  Shell(const Options& options, std::ostream& out);
  ~Shell();
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // Runs one SQL statement or one dot command; throws ShellError.
  void Run(const std::string& text);

  static const char* HelpText();

 private:
  void Sql(const std::string& text);
  void Command(const std::vector<std::string>& words);
  void PrintCursor(ENGHANDLE cursor);
  void Import(const std::string& file, const std::string& table);
  void Export(const std::string& table, const std::string& file);
  ENGHANDLE OpenTable(const std::string& table, uint32_t options = 0);
  // OpenTable for reading or writing records: fails, naming the table, when
  // it is encrypted and this session has no password for it.
  ENGHANDLE OpenForRecords(const std::string& table);
  void Encryption(const std::string& table, const std::string& password, bool encrypt);
  [[noreturn]] void EngineFail(const std::string& what);

  Options options_;
  std::ostream& out_;
  ENGHANDLE conn_ = 0;
  // Table passwords of this session, by upper-case table name without extension.
  std::map<std::string, std::string> passwords_;
};

// Splits CSV text into records of fields (RFC 4180 quoting; CR LF or LF).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text);
std::string CsvField(const std::string& value);
// Splits a dot command into words; double quotes group words.
std::vector<std::string> SplitWords(const std::string& line);
// True when text ends with ";" outside quotes and comments (a complete statement).
bool StatementComplete(const std::string& text);
// True when text holds nothing but blanks and "--" comments.
bool OnlyComments(const std::string& text);

}  // namespace dbsql
