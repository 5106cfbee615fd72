#include "shell.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

namespace dbsql {

namespace {

std::string LastEngineError() {
  uint32_t code = 0;
  char text[2048];
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  std::string error = "error " + std::to_string(code) + ": " + text;
  // The engine's text names its own call; tell the shell's user how to give the password.
  if (code == ENG_ERR_ENCRYPTED) error += "; give it with .password TABLE PASSWORD";
  return error;
}

std::string NeedsPassword(const std::string& table) {
  return "Table " + table + " is encrypted: its password is needed (.password " + table + " PASSWORD)";
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t')) s.pop_back();
  return s;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out = "0x";
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace

const char* Shell::HelpText() {
  return "Usage: dbsql [options] PATH [STATEMENT ...]\n"
         "\n"
         "Opens PATH, a folder of free tables or a data dictionary (.add), and runs\n"
         "the statements given as arguments; without any, the statements of --file,\n"
         "or of standard input (with a prompt and line editing on a terminal).\n"
         "Statements from a file or standard input end with \";\".\n"
         "\n"
         "Options:\n"
         "  -u, --user NAME          dictionary user\n"
         "  -p, --password TEXT      dictionary password\n"
         "  -f, --file FILE          run the statements in FILE\n"
         "      --csv                print result sets as CSV (.mode csv)\n"
         "      --create-dictionary  create the dictionary PATH with --user and\n"
         "                           --password as its administrator, then go on\n"
         "  -h, --help               this text\n"
         "\n"
         "SQL: SELECT, INSERT, UPDATE, DELETE, CREATE TABLE, DROP TABLE,\n"
         "CREATE [UNIQUE] INDEX, DROP INDEX and ALTER TABLE of the engine's dialect,\n"
         "and BEGIN, COMMIT and ROLLBACK. Each INSERT, UPDATE or DELETE applies whole\n"
         "or not at all (a failing row or a crash leaves its table as it was); it\n"
         "holds its table's lock while it runs. Between BEGIN and COMMIT the\n"
         "statements, on any tables, stand or fall together, also across a crash;\n"
         "ROLLBACK undoes them, a failing statement undoes only itself, and a\n"
         "transaction still open at the end is rolled back. A table changed in a\n"
         "transaction stays locked until it ends: other users wait for it, and a\n"
         "statement gives up after the lock wait (.timeout), so two transactions\n"
         "waiting for each other's tables end with an error. CREATE, DROP and ALTER\n"
         "statements and the commands that change tables cannot run inside one.\n"
         "\n"
         "Commands (one per line, starting with a dot):\n"
         "  .help                         this text\n"
         "  .tables                       list the tables\n"
         "  .schema [TABLE]               the CREATE statements of TABLE (or of every\n"
         "                                table), indexes included\n"
         "  .indexes [TABLE]              the index tags of TABLE (or of every table)\n"
         "  .mode table|csv|line          print results as aligned columns (the default),\n"
         "                                CSV, or one \"COLUMN = value\" line per field\n"
         "  .headers on|off               column names above the rows (default on)\n"
         "  .timer on|off                 print each statement's real, user and system time\n"
         "  .timeout MS                   how long a statement waits for a table another\n"
         "                                statement or transaction holds (default 10000)\n"
         "  .import FILE TABLE            append the rows of a CSV file or pipe to TABLE\n"
         "                                (the first line names the columns; empty =\n"
         "                                empty; a row holds up to 16 MB); at a bad row\n"
         "                                it stops, and the rows before it stay imported\n"
         "  .export TABLE [FILE]          write TABLE as CSV to FILE or standard output\n"
         "  .adduser USER PASSWORD        add a dictionary user\n"
         "  .register NAME FILE           register a table file in the dictionary\n"
         "  .unregister NAME              remove a table from the dictionary\n"
         "  .default-index TABLE TAG      set a dictionary table's default index\n"
         "  .show-default-index TABLE     print a dictionary table's default index\n"
         "  .password TABLE PASSWORD      give the password of an encrypted table for\n"
         "                                this session (statements, .import, .export)\n"
         "  .encrypt TABLE PASSWORD       encrypt TABLE with PASSWORD (needs it exclusively)\n"
         "  .decrypt TABLE PASSWORD       turn the encrypted TABLE back into a plain one\n"
         "  .quit                         stop reading statements\n"
         "\n"
         "Exit status: 0 when everything ran, 1 at the first error (its text on\n"
         "standard error; an interactive session reports errors and goes on).\n";
}

Shell::Shell(const Options& options, std::ostream& out) : options_(options), out_(out) {
  if (options_.create_dictionary) {
    if (options_.user.empty()) throw ShellError{"--create-dictionary needs --user and --password"};
    if (EngDictCreate(options_.path.c_str(), options_.user.c_str(), options_.password.c_str(), &conn_) != ENG_OK)
      EngineFail("Cannot create data dictionary " + options_.path);
    return;
  }
  if (EngConnectEx(options_.path.c_str(), ENG_LOCAL_SERVER, options_.user.c_str(), options_.password.c_str(), 0,
                   &conn_) != ENG_OK)
    EngineFail("Cannot open " + options_.path);
}

Shell::~Shell() {
  if (!conn_) return;
  // Disconnecting rolls an open transaction back; the user is told.
  if (InTransaction()) std::cerr << "dbsql: the transaction still open at the end was rolled back\n";
  EngDisconnect(conn_);
}

bool Shell::InTransaction() {
  uint16_t open = 0;
  return EngInTransaction(conn_, &open) == ENG_OK && open != 0;
}

void Shell::RefuseInTransaction(const std::string& command) {
  if (InTransaction())
    throw ShellError{command + " cannot run inside a transaction (it could not be undone with it): COMMIT or ROLLBACK first"};
}

void Shell::EngineFail(const std::string& what) { throw ShellError{what + ": " + LastEngineError()}; }

void Shell::Run(const std::string& text) {
  std::string t = TrimRight(text);
  size_t start = t.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return;
  t = t.substr(start);
  if (t[0] == '.')
    Command(SplitWords(t));
  else
    Sql(t);
  // Each statement's outcome goes out when it is done: a program reading
  // the output through a pipe sees it then, and a shell that is killed has
  // shown every statement it finished but the last.
  out_.flush();
}

namespace {
double Seconds(const struct timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Prints the time a statement took, when asked to (.timer on).
class StatementTimer {
 public:
  StatementTimer(bool on, std::ostream& out) : on_(on), out_(out) {
    if (!on_) return;
    start_ = std::chrono::steady_clock::now();
    ::getrusage(RUSAGE_SELF, &usage_);
  }
  ~StatementTimer() {
    if (!on_) return;
    struct rusage now;
    ::getrusage(RUSAGE_SELF, &now);
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char line[160];
    std::snprintf(line, sizeof line, "Time: real %.3f s, user %.3f s, system %.3f s\n", real,
                  Seconds(now.ru_utime) - Seconds(usage_.ru_utime), Seconds(now.ru_stime) - Seconds(usage_.ru_stime));
    out_ << line;
  }

 private:
  bool on_;
  std::ostream& out_;
  std::chrono::steady_clock::time_point start_;
  struct rusage usage_ {};
};
}  // namespace

void Shell::Sql(const std::string& text) {
  StatementTimer timer(timer_, out_);
  ENGHANDLE stmt = 0;
  if (EngCreateSQLStatement(conn_, &stmt) != ENG_OK) EngineFail("Cannot create a statement");
  for (const auto& [table, password] : passwords_) EngStmtSetTablePassword(stmt, table.c_str(), password.c_str());
  ENGHANDLE cursor = 0;
  if (EngExecuteSQLDirect(stmt, text.c_str(), &cursor) != ENG_OK) {
    std::string error = LastEngineError();
    EngCloseSQLStatement(stmt);
    throw ShellError{error};
  }
  uint32_t count = 0;
  bool counted = EngGetRecordCount(stmt, 0, &count) == ENG_OK;
  EngCloseSQLStatement(stmt);
  if (cursor) {
    PrintCursor(cursor);
    EngCloseTable(cursor);
  } else if (counted && options_.mode != Mode::kCsv) {
    out_ << count << (count == 1 ? " row" : " rows") << " affected\n";
  }
}

namespace {

struct Column {
  std::string name;
  uint16_t type = 0;
};

std::vector<Column> Columns(ENGHANDLE h) {
  uint16_t n = 0;
  EngGetNumFields(h, &n);
  std::vector<Column> cols;
  for (uint16_t f = 1; f <= n; ++f) {
    char name[256];
    uint16_t len = sizeof name;
    Column c;
    EngGetFieldName(h, f, name, &len);
    c.name = name;
    EngGetFieldType(h, f, &c.type);
    cols.push_back(c);
  }
  return cols;
}

// The current record's fields as texts (empty fields as ""). A field that
// cannot be read is an error: showing it as empty would pass off a failed
// read as data.
std::vector<std::string> RowTexts(ENGHANDLE h, const std::vector<Column>& cols, const std::string& source) {
  std::vector<std::string> row;
  std::vector<uint8_t> buf(4096);
  auto fail = [&](uint16_t f) {
    throw ShellError{"Cannot read field " + cols[f - 1].name + " of " + source + ": " + LastEngineError()};
  };
  for (uint16_t f = 1; f <= cols.size(); ++f) {
    uint16_t empty = 0;
    if (EngIsEmpty(h, f, &empty) != ENG_OK) fail(f);
    if (empty) {
      row.emplace_back();
      continue;
    }
    uint32_t len = static_cast<uint32_t>(buf.size());
    ENGRESULT rc = EngGetField(h, f, buf.data(), &len);
    if (rc == ENG_ERR_BUFFER_TOO_SMALL) {
      buf.resize(len + 1);
      len = static_cast<uint32_t>(buf.size());
      rc = EngGetField(h, f, buf.data(), &len);
    }
    if (rc != ENG_OK) fail(f);
    std::string value(reinterpret_cast<char*>(buf.data()), len);
    uint16_t type = cols[f - 1].type;
    if (type == ENG_BINARY || type == ENG_IMAGE || type == ENG_RAW) value = Hex(value);
    else value = TrimRight(value);
    if (type == ENG_NUMERIC) value = value.substr(std::min(value.size(), value.find_first_not_of(' ')));
    row.push_back(value);
  }
  return row;
}

}  // namespace

void Shell::PrintCursor(ENGHANDLE cursor) {
  std::vector<Column> cols = Columns(cursor);
  std::vector<std::vector<std::string>> rows;
  uint16_t eof = 0;
  if (EngGotoTop(cursor) != ENG_OK || EngAtEOF(cursor, &eof) != ENG_OK) EngineFail("Cannot read the result");
  while (!eof) {
    rows.push_back(RowTexts(cursor, cols, "the result"));
    if (EngSkip(cursor, 1) != ENG_OK || EngAtEOF(cursor, &eof) != ENG_OK) EngineFail("Cannot read the result");
  }
  if (options_.mode == Mode::kCsv) {
    if (options_.headers) {
      for (size_t i = 0; i < cols.size(); ++i) out_ << (i ? "," : "") << CsvField(cols[i].name);
      out_ << "\n";
    }
    for (const auto& r : rows) {
      for (size_t i = 0; i < r.size(); ++i) out_ << (i ? "," : "") << CsvField(r[i]);
      out_ << "\n";
    }
    return;
  }
  if (options_.mode == Mode::kLine) {
    // Each row as "NAME = value" lines, the names aligned; a blank line between rows.
    size_t name_width = 0;
    for (const auto& c : cols) name_width = std::max(name_width, c.name.size());
    for (size_t k = 0; k < rows.size(); ++k) {
      if (k) out_ << "\n";
      for (size_t i = 0; i < cols.size(); ++i)
        out_ << std::string(name_width - cols[i].name.size(), ' ') << cols[i].name << " = " << rows[k][i] << "\n";
    }
    return;
  }
  std::vector<size_t> width(cols.size());
  for (size_t i = 0; i < cols.size(); ++i) width[i] = options_.headers ? cols[i].name.size() : 0;
  for (const auto& r : rows)
    for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], std::min<size_t>(r[i].size(), 60));
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s;
    for (size_t i = 0; i < cells.size(); ++i) {
      std::string c = cells[i].size() > 60 ? cells[i].substr(0, 57) + "..." : cells[i];
      for (char& ch : c)
        if (ch == '\n' || ch == '\r' || ch == '\t') ch = ' ';
      bool right = cols[i].type == ENG_NUMERIC || cols[i].type == ENG_INTEGER || cols[i].type == ENG_DOUBLE ||
                   cols[i].type == ENG_CURDOUBLE || cols[i].type == ENG_SHORTINT || cols[i].type == ENG_AUTOINC;
      std::string pad(width[i] - std::min(width[i], c.size()), ' ');
      s += (i ? " | " : "") + (right ? pad + c : c + pad);
    }
    out_ << TrimRight(s) << "\n";
  };
  if (options_.headers) {
    std::vector<std::string> header;
    for (const auto& c : cols) header.push_back(c.name);
    line(header);
    std::string rule;
    for (size_t i = 0; i < cols.size(); ++i) rule += (i ? "-+-" : "") + std::string(width[i], '-');
    out_ << rule << "\n";
  }
  for (const auto& r : rows) line(r);
  out_ << "(" << rows.size() << (rows.size() == 1 ? " row)" : " rows)") << "\n";
}

namespace {
std::string TableKey(const std::string& table) {
  std::string key = table;
  size_t slash = key.find_last_of("/\\");
  if (slash != std::string::npos) key = key.substr(slash + 1);
  size_t dot = key.rfind('.');
  if (dot != std::string::npos && dot > 0) key = key.substr(0, dot);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}
}  // namespace

ENGHANDLE Shell::OpenTable(const std::string& table, uint32_t options) {
  ENGHANDLE h = 0;
  if (EngOpenTable(conn_, table.c_str(), nullptr, ENG_TABLE_DEFAULT, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                   ENG_IGNORE_RIGHTS, options, &h) != ENG_OK)
    EngineFail("Cannot open table " + table);
  auto it = passwords_.find(TableKey(table));
  if (it != passwords_.end() && EngEnableEncryption(h, it->second.c_str()) != ENG_OK) {
    std::string error = LastEngineError();
    EngCloseTable(h);
    throw ShellError{"Cannot use table " + table + ": " + error};
  }
  return h;
}

ENGHANDLE Shell::OpenForRecords(const std::string& table) {
  ENGHANDLE h = OpenTable(table);
  uint16_t encrypted = 0;
  if (passwords_.count(TableKey(table)) == 0 && EngIsTableEncrypted(h, &encrypted) == ENG_OK && encrypted) {
    EngCloseTable(h);
    throw ShellError{NeedsPassword(table)};
  }
  return h;
}

void Shell::Encryption(const std::string& table, const std::string& password, bool encrypt) {
  ENGHANDLE h = OpenTable(table, ENG_OPEN_EXCLUSIVE);
  ENGRESULT rc = EngEnableEncryption(h, password.c_str());
  if (rc == ENG_OK) rc = encrypt ? EngEncryptTable(h) : EngDecryptTable(h);
  std::string error = rc == ENG_OK ? std::string() : LastEngineError();
  EngCloseTable(h);
  if (rc != ENG_OK) throw ShellError{std::string(encrypt ? "Cannot encrypt " : "Cannot decrypt ") + table + ": " + error};
  if (encrypt)
    passwords_[TableKey(table)] = password;
  else
    passwords_.erase(TableKey(table));
}

namespace {

// The longest CSV line (a row, with any quoted line breaks) .import reads:
// it bounds the memory an endless or line-less stream can take.
constexpr size_t kMaxCsvRow = size_t(16) << 20;

std::string RowsBefore(size_t added) {
  return " (" + std::to_string(added) + (added == 1 ? " row before it was" : " rows before it were") + " imported)";
}

}  // namespace

// Rows are appended as they are read, so a pipe or a file of any length is
// imported in bounded memory. At a bad line the rows before it stay in the
// table (the engine has no transaction to take them back) and the error says
// how many: the import can go on from that line.
void Shell::Import(const std::string& file, const std::string& table) {
  auto refuse_kind = [&](const struct stat& st) {
    if (S_ISDIR(st.st_mode)) throw ShellError{"Cannot import " + file + ": it is a folder"};
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
      throw ShellError{"Cannot import " + file + ": not a regular file or a pipe (a device has no end)"};
  };
  // Checked before opening, as opening a device may already act on it.
  struct stat st{};
  if (::stat(file.c_str(), &st) != 0) throw ShellError{"Cannot read " + file + ": " + std::strerror(errno)};
  refuse_kind(st);
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ShellError{"Cannot read " + file + ": " + std::strerror(errno)};
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } fd_closer{fd};
  if (::fstat(fd, &st) != 0) throw ShellError{"Cannot read " + file + ": " + std::strerror(errno)};
  refuse_kind(st);
  CsvReader csv(fd, kMaxCsvRow);
  size_t added = 0;
  auto next = [&](std::vector<std::string>& record) {
    const CsvReader::Result r = csv.Next(record);
    if (r == CsvReader::kTooLong)
      throw ShellError{"CSV file " + file + ", line " + std::to_string(csv.line()) + ": longer than " +
                       std::to_string(kMaxCsvRow >> 20) + " MB" + RowsBefore(added)};
    if (r == CsvReader::kReadError)
      throw ShellError{"Cannot read " + file + " at line " + std::to_string(csv.line()) + ": " +
                       std::strerror(csv.error()) + RowsBefore(added)};
    return r == CsvReader::kRecord;
  };
  std::vector<std::string> header;
  if (!next(header)) throw ShellError{"CSV file " + file + " has no header line"};
  ENGHANDLE h = OpenForRecords(table);
  struct Closer {
    ENGHANDLE h;
    ~Closer() { EngCloseTable(h); }
  } closer{h};
  std::vector<uint16_t> fields;
  for (const auto& name : header) {
    uint16_t f = 0;
    if (EngGetFieldNum(h, name.c_str(), &f) != ENG_OK)
      throw ShellError{"CSV file " + file + ": column \"" + name + "\" is not a field of table " + table};
    fields.push_back(f);
  }
  std::vector<std::string> rec;
  while (next(rec)) {
    if (rec.size() == 1 && rec[0].empty()) continue;
    const std::string at = "CSV file " + file + ", line " + std::to_string(csv.line());
    if (rec.size() != fields.size())
      throw ShellError{at + ": " + std::to_string(rec.size()) + " values for " + std::to_string(fields.size()) +
                       " columns" + RowsBefore(added)};
    if (EngAppendRecord(h) != ENG_OK) EngineFail("Cannot append to " + table + RowsBefore(added));
    for (size_t i = 0; i < fields.size(); ++i) {
      ENGRESULT rc = rec[i].empty() ? EngSetEmpty(h, fields[i])
                                    : EngSetField(h, fields[i], reinterpret_cast<const uint8_t*>(rec[i].data()),
                                                  static_cast<uint32_t>(rec[i].size()));
      if (rc != ENG_OK) {
        std::string error = LastEngineError();
        EngCancelUpdate(h);
        throw ShellError{at + ", column \"" + header[i] + "\": " + error + RowsBefore(added)};
      }
    }
    if (EngWriteRecord(h) != ENG_OK) {
      std::string error = LastEngineError();
      EngCancelUpdate(h);
      throw ShellError{at + ": " + error + RowsBefore(added)};
    }
    ++added;
  }
  if (options_.mode != Mode::kCsv) out_ << added << (added == 1 ? " row" : " rows") << " imported into " << table << "\n";
}

namespace {

// Output file that appears under its name only once complete: written to a
// temporary file beside it, renamed over it by Commit, removed otherwise.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path), temp_(path + ".XXXXXX") {
    int fd = ::mkstemp(temp_.data());
    if (fd < 0) throw ShellError{"Cannot write " + path_};
    // mkstemp makes the file private; give it the mode a plain create would.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    stream_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!stream_) {
      std::remove(temp_.c_str());
      throw ShellError{"Cannot write " + path_};
    }
  }
  ~OutputFile() {
    if (!committed_) {
      stream_.close();
      std::remove(temp_.c_str());
    }
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& stream() { return stream_; }
  // what: the text of a failure ("Cannot export table T to FILE").
  void Commit(const std::string& what) {
    errno = 0;
    stream_.close();
    if (!stream_ || std::rename(temp_.c_str(), path_.c_str()) != 0) throw ShellError{what + Reason()};
    committed_ = true;
  }
  // ": " and why the last write failed (a full disk, say), when known.
  static std::string Reason() { return errno ? std::string(": ") + std::strerror(errno) : std::string(); }

 private:
  std::string path_, temp_;
  std::ofstream stream_;
  bool committed_ = false;
};

}  // namespace

void Shell::Export(const std::string& table, const std::string& file) {
  ENGHANDLE h = OpenForRecords(table);
  struct Closer {
    ENGHANDLE h;
    ~Closer() { EngCloseTable(h); }
  } closer{h};
  uint16_t eof = 0;
  if (EngGotoTop(h) != ENG_OK || EngAtEOF(h, &eof) != ENG_OK) EngineFail("Cannot read table " + table);
  std::optional<OutputFile> fout;
  if (!file.empty()) fout.emplace(file);
  std::ostream& out = fout ? fout->stream() : out_;
  const std::string failed = "Cannot export table " + table + " to " + (file.empty() ? std::string("the output") : file);
  // Checked after every line, while errno still tells why a write failed.
  auto written = [&] {
    if (!out) throw ShellError{failed + OutputFile::Reason()};
  };
  std::vector<Column> cols = Columns(h);
  errno = 0;
  for (size_t i = 0; i < cols.size(); ++i) out << (i ? "," : "") << CsvField(cols[i].name);
  out << "\n";
  written();
  while (!eof) {
    auto r = RowTexts(h, cols, "table " + table);
    errno = 0;
    for (size_t i = 0; i < r.size(); ++i) out << (i ? "," : "") << CsvField(r[i]);
    out << "\n";
    written();
    if (EngSkip(h, 1) != ENG_OK || EngAtEOF(h, &eof) != ENG_OK) EngineFail("Cannot read table " + table);
  }
  if (fout) fout->Commit(failed);
}

std::vector<std::string> Shell::TableNames() {
  std::vector<char> buf(4096);
  uint32_t len = static_cast<uint32_t>(buf.size());
  ENGRESULT rc = EngGetTableNames(conn_, buf.data(), &len);
  if (rc == ENG_ERR_BUFFER_TOO_SMALL) {
    buf.resize(len + 1);
    len = static_cast<uint32_t>(buf.size());
    rc = EngGetTableNames(conn_, buf.data(), &len);
  }
  if (rc != ENG_OK) EngineFail("Cannot list the tables");
  std::vector<std::string> names;
  std::istringstream lines(std::string(buf.data(), len));
  for (std::string name; std::getline(lines, name);)
    if (!name.empty()) names.push_back(name);
  return names;
}

namespace {

// A name as the SQL parser reads it back: bare when it is a plain word.
std::string SqlName(const std::string& name) {
  bool plain = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
  for (char c : name) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  return plain ? name : "\"" + name + "\"";
}

// The column type of a field, in the dialect's spelling.
std::string SqlType(ENGHANDLE h, uint16_t field, uint16_t type) {
  uint32_t length = 0;
  uint16_t decimals = 0;
  EngGetFieldDeclaredLength(h, field, &length);
  EngGetFieldDecimals(h, field, &decimals);
  switch (type) {
    case ENG_STRING: return "CHAR(" + std::to_string(length) + ")";
    case ENG_VARCHAR: return "VARCHAR(" + std::to_string(length) + ")";
    case ENG_RAW: return "RAW(" + std::to_string(length) + ")";
    case ENG_NUMERIC:
      return "NUMERIC(" + std::to_string(length) + (decimals ? "," + std::to_string(decimals) : std::string()) + ")";
    case ENG_INTEGER: return "INTEGER";
    case ENG_SHORTINT: return "SHORT";
    case ENG_LOGICAL: return "LOGICAL";
    case ENG_DATE: return "DATE";
    case ENG_COMPACTDATE: return "COMPACTDATE";
    case ENG_TIME: return "TIME";
    case ENG_TIMESTAMP: return "TIMESTAMP";
    case ENG_DOUBLE: return "DOUBLE";
    case ENG_CURDOUBLE: return "CURDOUBLE";
    case ENG_AUTOINC: return "AUTOINC";
    case ENG_BINARY: return "BLOB";
    case ENG_MEMO: return "MEMO";
    case ENG_IMAGE: return "IMAGE";
    default: return "TYPE" + std::to_string(type);
  }
}

struct TagInfo {
  std::string name;
  std::vector<std::string> segments;
  bool unique = false, descending = false;
};

std::vector<TagInfo> Tags(ENGHANDLE h) {
  std::vector<ENGHANDLE> handles(1024);
  uint16_t count = static_cast<uint16_t>(handles.size());
  if (EngGetAllIndexes(h, handles.data(), &count) != ENG_OK) count = 0;
  std::vector<TagInfo> tags;
  for (uint16_t i = 0; i < count; ++i) {
    TagInfo tag;
    char buf[300];
    uint16_t len = sizeof buf;
    if (EngGetIndexName(handles[i], buf, &len) != ENG_OK) continue;
    tag.name.assign(buf, len);
    uint16_t segments = 0, flag = 0;
    EngGetNumSegments(handles[i], &segments);
    for (uint16_t k = 0; k < segments; ++k) {
      len = sizeof buf;
      if (EngGetSegmentFieldname(handles[i], k, buf, &len) == ENG_OK) tag.segments.emplace_back(buf, len);
    }
    if (EngIsIndexUnique(handles[i], &flag) == ENG_OK) tag.unique = flag != 0;
    if (EngIsIndexDescending(handles[i], &flag) == ENG_OK) tag.descending = flag != 0;
    tags.push_back(std::move(tag));
  }
  return tags;
}

}  // namespace

void Shell::Schema(const std::string& table) {
  ENGHANDLE h = OpenTable(table);
  struct Closer {
    ENGHANDLE h;
    ~Closer() { EngCloseTable(h); }
  } closer{h};
  std::string create = "CREATE TABLE " + SqlName(table) + " (";
  std::vector<Column> cols = Columns(h);
  for (size_t i = 0; i < cols.size(); ++i)
    create += (i ? ", " : "") + SqlName(cols[i].name) + " " + SqlType(h, static_cast<uint16_t>(i + 1), cols[i].type);
  out_ << create << ");\n";
  for (const TagInfo& tag : Tags(h)) {
    std::string columns;
    for (const std::string& seg : tag.segments) columns += (columns.empty() ? "" : ", ") + SqlName(seg);
    out_ << "CREATE " << (tag.unique ? "UNIQUE " : "") << "INDEX " << SqlName(tag.name) << " ON " << SqlName(table)
         << " (" << columns << ")" << (tag.descending ? " DESC" : "") << ";\n";
  }
}

void Shell::Indexes(const std::string& table) {
  ENGHANDLE h = OpenTable(table);
  struct Closer {
    ENGHANDLE h;
    ~Closer() { EngCloseTable(h); }
  } closer{h};
  for (const TagInfo& tag : Tags(h)) out_ << tag.name << "\n";
}

void Shell::Command(const std::vector<std::string>& w) {
  std::string cmd = Lower(w[0]);
  auto need = [&](size_t n, const char* usage) {
    if (w.size() != n) throw ShellError{std::string("Usage: ") + usage};
  };
  if (cmd == ".help") {
    out_ << HelpText();
  } else if (cmd == ".tables") {
    need(1, ".tables");
    for (const std::string& t : TableNames()) out_ << t << "\n";
  } else if (cmd == ".schema" || cmd == ".indexes") {
    if (w.size() > 2) throw ShellError{"Usage: " + cmd + " [TABLE]"};
    std::vector<std::string> tables = w.size() == 2 ? std::vector<std::string>{w[1]} : TableNames();
    for (const std::string& t : tables) cmd == ".schema" ? Schema(t) : Indexes(t);
  } else if (cmd == ".mode") {
    need(2, ".mode table|csv|line");
    const std::string m = Lower(w[1]);
    if (m == "table") options_.mode = Mode::kTable;
    else if (m == "csv") options_.mode = Mode::kCsv;
    else if (m == "line") options_.mode = Mode::kLine;
    else throw ShellError{"Unknown mode " + w[1] + ": table, csv or line"};
  } else if (cmd == ".headers" || cmd == ".timer") {
    need(2, cmd == ".headers" ? ".headers on|off" : ".timer on|off");
    const std::string v = Lower(w[1]);
    if (v != "on" && v != "off") throw ShellError{"Usage: " + cmd + " on|off"};
    (cmd == ".headers" ? options_.headers : timer_) = v == "on";
  } else if (cmd == ".timeout") {
    need(2, ".timeout MS");
    char* end = nullptr;
    const unsigned long ms = std::strtoul(w[1].c_str(), &end, 10);
    if (w[1].empty() || *end != 0 || w[1][0] == '-' || ms > 86400000UL)
      throw ShellError{"Usage: .timeout MS (milliseconds, up to 86400000): not " + w[1]};
    if (EngSetLockWait(conn_, static_cast<uint32_t>(ms)) != ENG_OK) EngineFail("Cannot set the lock wait");
  } else if (cmd == ".import") {
    need(3, ".import FILE TABLE");
    RefuseInTransaction(".import");
    Import(w[1], w[2]);
  } else if (cmd == ".export") {
    if (w.size() != 2 && w.size() != 3) throw ShellError{"Usage: .export TABLE [FILE]"};
    Export(w[1], w.size() == 3 ? w[2] : std::string());
  } else if (cmd == ".password") {
    need(3, ".password TABLE PASSWORD");
    passwords_[TableKey(w[1])] = w[2];
  } else if (cmd == ".encrypt" || cmd == ".decrypt") {
    need(3, cmd == ".encrypt" ? ".encrypt TABLE PASSWORD" : ".decrypt TABLE PASSWORD");
    RefuseInTransaction(cmd);
    Encryption(w[1], w[2], cmd == ".encrypt");
  } else if (cmd == ".adduser") {
    need(3, ".adduser USER PASSWORD");
    RefuseInTransaction(".adduser");
    if (EngDictCreateUser(conn_, w[1].c_str(), w[2].c_str()) != ENG_OK) EngineFail("Cannot add user " + w[1]);
  } else if (cmd == ".register") {
    need(3, ".register NAME FILE");
    RefuseInTransaction(".register");
    if (EngDictAddTable(conn_, w[1].c_str(), w[2].c_str()) != ENG_OK) EngineFail("Cannot register table " + w[1]);
  } else if (cmd == ".unregister") {
    need(2, ".unregister NAME");
    RefuseInTransaction(".unregister");
    if (EngDictRemoveTable(conn_, w[1].c_str()) != ENG_OK) EngineFail("Cannot remove table " + w[1]);
  } else if (cmd == ".default-index") {
    need(3, ".default-index TABLE TAG");
    RefuseInTransaction(".default-index");
    if (EngDictSetTableProperty(conn_, w[1].c_str(), ENG_DD_TABLE_DEFAULT_INDEX, w[2].c_str()) != ENG_OK)
      EngineFail("Cannot set the default index of " + w[1]);
  } else if (cmd == ".show-default-index") {
    need(2, ".show-default-index TABLE");
    char value[256];
    uint16_t len = sizeof value;
    if (EngDictGetTableProperty(conn_, w[1].c_str(), ENG_DD_TABLE_DEFAULT_INDEX, value, &len) != ENG_OK)
      EngineFail("No default index for " + w[1]);
    out_ << value << "\n";
  } else {
    throw ShellError{"Unknown command " + w[0] + " (see .help)"};
  }
}

bool CsvReader::Fill() {
  if (pos_ < len_) return true;
  ssize_t n;
  do n = ::read(fd_, buf_, sizeof buf_);
  while (n < 0 && errno == EINTR);
  if (n < 0 && error_ == 0) error_ = errno;
  pos_ = 0;
  len_ = n > 0 ? static_cast<size_t>(n) : 0;
  return len_ > 0;
}

int CsvReader::Peek() { return Fill() ? static_cast<unsigned char>(buf_[pos_]) : -1; }

int CsvReader::Get() { return Fill() ? static_cast<unsigned char>(buf_[pos_++]) : -1; }

CsvReader::Result CsvReader::Next(std::vector<std::string>& record) {
  record.clear();
  std::string field;
  bool quoted = false, any = false;
  size_t bytes = 0;
  line_ = next_line_;
  while (Fill()) {
    // A run of bytes that mean nothing to the syntax joins the field in one piece.
    const char* begin = buf_ + pos_;
    const char* end = buf_ + len_;
    const char* p = begin;
    while (p < end && *p != '"' && *p != '\n' && *p != '\r' && (quoted || *p != ',')) ++p;
    if (p > begin) {
      bytes += static_cast<size_t>(p - begin);
      if (bytes > max_row_) return kTooLong;
      field.append(begin, p);
      pos_ += static_cast<size_t>(p - begin);
      any = true;
      continue;
    }
    const int ch = Get();
    if (++bytes > max_row_) return kTooLong;
    const char c = static_cast<char>(ch);
    if (quoted) {
      if (c == '"' && Peek() == '"') {
        Get();
        ++bytes;
        field += '"';
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n' || (c == '\r' && Peek() != '\n')) ++next_line_;
        field += c;
      }
      continue;
    }
    if (c == '\n' || c == '\r') {
      if (c == '\r' && Peek() == '\n') Get();
      ++next_line_;
      record.push_back(std::move(field));
      return kRecord;
    }
    any = true;
    if (c == '"') {
      quoted = true;
    } else {  // ','
      record.push_back(std::move(field));
      field.clear();
    }
  }
  if (error_ != 0) return kReadError;
  if (any || !field.empty()) {
    record.push_back(std::move(field));
    return kRecord;
  }
  return kEnd;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string w;
  bool quoted = false, have = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      have = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (have) words.push_back(w);
      w.clear();
      have = false;
    } else {
      w += c;
      have = true;
    }
  }
  if (have) words.push_back(w);
  return words;
}

void StatementScanner::Feed(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote_) {
      if (c == quote_) quote_ = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote_ = c;
      complete_ = false;
    } else if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == ';') {
      complete_ = true;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      complete_ = false;
    }
  }
}

bool OnlyComments(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find_first_not_of(" \t\r");
    if (at != std::string::npos && line.compare(at, 2, "--") != 0) return false;
  }
  return true;
}

}  // namespace dbsql
