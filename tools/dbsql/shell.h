// The dbsql shell: runs SQL statements and dot commands on one engine
// connection and prints results. One Shell per connection; not thread-safe.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "csv.h"
#include "engine.h"

namespace dbsql {

// How result sets print: aligned columns, CSV, or one "NAME = value" line per field.
enum class Mode { kTable, kCsv, kLine };

struct Options {
  std::string path;      // folder or dictionary (.add)
  std::string user, password;
  Mode mode = Mode::kTable;
  bool headers = true;   // column names above the rows (table and CSV modes)
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
  std::vector<std::string> TableNames();
  // The CREATE TABLE and CREATE INDEX statements that make the table as it is.
  void Schema(const std::string& table);
  void Indexes(const std::string& table);
  bool InTransaction();
  // Dot commands that change tables or the dictionary outside SQL cannot
  // be undone with a transaction: refused while one is open.
  void RefuseInTransaction(const std::string& command);

  Options options_;
  std::ostream& out_;
  ENGHANDLE conn_ = 0;
  // Table passwords of this session, by upper-case table name without extension.
  std::map<std::string, std::string> passwords_;
  bool timer_ = false;  // .timer on: each statement's times after it
};

// Reads CSV rows (RFC 4180 quoting; a line ends at CR LF, LF or CR) from a
// file descriptor one at a time, holding one row of at most max_row bytes, so
// that a stream of any length is read in bounded memory.
class CsvReader {
 public:
  enum Result { kRecord, kEnd, kTooLong, kReadError };
  CsvReader(int fd, size_t max_row) : fd_(fd), max_row_(max_row) {}
  // The next row's fields; kTooLong once a row passes max_row bytes (the
  // reader is then of no further use), kReadError when reading failed.
  Result Next(std::vector<std::string>& record);
  size_t line() const { return line_; }  // the line, from 1, that the last row began on
  int error() const { return error_; }   // errno of a failed read

 private:
  bool Fill();
  int Peek();  // the next byte, or -1 at the end
  int Get();

  int fd_;
  size_t max_row_;
  char buf_[1 << 16];
  size_t pos_ = 0, len_ = 0;
  size_t line_ = 0, next_line_ = 1;
  int error_ = 0;
};
using dbu::CsvField;
// Splits a dot command into words; double quotes group words.
std::vector<std::string> SplitWords(const std::string& line);
// Whether statement text fed so far ends with ";" outside quotes and comments
// (a complete statement). Fed a line at a time, so that a statement of many
// lines costs one pass over its text.
class StatementScanner {
 public:
  void Feed(std::string_view text);
  bool Complete() const { return complete_ && !quote_; }

 private:
  char quote_ = 0;  // the open quote character, 0 outside quotes
  bool complete_ = false;
};
// True when text holds nothing but blanks and "--" comments.
bool OnlyComments(const std::string& text);

}  // namespace dbsql
