// dbsql: an SQL shell over the embedded engine. See Shell::HelpText.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "shell.h"

#ifdef DBSQL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

using dbsql::Shell;
using dbsql::ShellError;

namespace {

// The longest statement (or line) read from a file or standard input: an
// endless stream without a line end or a ";" ends with an error, not with all
// of memory.
constexpr size_t kMaxStatement = size_t(16) << 20;

// Feeds statements (ended by ";") and dot commands (one line each) to the shell.
class StatementReader {
 public:
  explicit StatementReader(Shell& shell) : shell_(shell) {}
  // Returns false at ".quit".
  bool Line(const std::string& line) {
    if (buffer_.empty()) {
      std::string t = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
      if (t.empty()) return true;
      if (t[0] == '.') {
        if (t.compare(0, 5, ".quit") == 0 || t.compare(0, 5, ".exit") == 0) return false;
        shell_.Run(t);
        return true;
      }
    }
    buffer_ += line + "\n";
    scanner_.Feed(std::string_view(buffer_).substr(buffer_.size() - line.size() - 1));
    if (scanner_.Complete()) {
      std::string s = buffer_;
      buffer_.clear();
      scanner_ = {};
      s.erase(s.find_last_of(';'));
      shell_.Run(s);
    }
    return true;
  }
  void Finish() {
    std::string rest = buffer_;
    buffer_.clear();
    scanner_ = {};
    if (!dbsql::OnlyComments(rest)) shell_.Run(rest);
  }
  bool pending() const { return !buffer_.empty(); }
  size_t pending_bytes() const { return buffer_.size(); }
  void Discard() {
    buffer_.clear();
    scanner_ = {};
  }

 private:
  Shell& shell_;
  std::string buffer_;
  dbsql::StatementScanner scanner_;  // of buffer_
};

// std::getline that stops at kMaxStatement bytes; false at the end of the stream.
bool ReadLine(std::istream& in, std::string& line, size_t number, const std::string& source) {
  line.clear();
  char chunk[1 << 16];
  for (;;) {
    in.getline(chunk, sizeof chunk);
    const auto got = static_cast<size_t>(in.gcount());
    if (in.good()) {  // a whole line: gcount counts its line end, which is not stored
      line.append(chunk, got - 1);
      return true;
    }
    if (in.eof() || got + 1 < sizeof chunk) {  // the last line, without a line end
      line.append(chunk, got);
      return !line.empty();
    }
    line.append(chunk, got);  // the chunk filled up before the line end
    in.clear();
    if (line.size() >= kMaxStatement)
      throw ShellError{source + ", line " + std::to_string(number) + ": a line longer than 16 MB"};
  }
}

int RunStream(Shell& shell, std::istream& in, const std::string& source) {
  StatementReader reader(shell);
  std::string line;
  for (size_t number = 1; ReadLine(in, line, number, source); ++number) {
    if (reader.pending_bytes() + line.size() >= kMaxStatement)
      throw ShellError{source + ", line " + std::to_string(number) + ": a statement longer than 16 MB"};
    if (!reader.Line(line)) return 0;
  }
  reader.Finish();
  return 0;
}

int RunInteractive(Shell& shell) {
  StatementReader reader(shell);
  std::cout << "dbsql: statements end with \";\"; .help lists the commands, .quit leaves.\n";
  while (true) {
    const char* prompt = reader.pending() ? "   ...> " : "dbsql> ";
    std::string line;
#ifdef DBSQL_HAVE_LIBEDIT
    char* raw = readline(prompt);
    if (!raw) break;
    line = raw;
    std::free(raw);
    if (!line.empty()) add_history(line.c_str());
#else
    std::cout << prompt << std::flush;
    if (!std::getline(std::cin, line)) break;
#endif
    try {
      if (!reader.Line(line)) break;
    } catch (const ShellError& e) {
      reader.Discard();
      std::cerr << e.text << "\n";
    }
  }
  std::cout << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  dbsql::Options options;
  std::string file;
  std::vector<std::string> statements;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "dbsql: " << name << " needs a value\n";
        std::exit(1);
      }
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::cout << Shell::HelpText();
      return 0;
    } else if (a == "-u" || a == "--user") {
      options.user = value("--user");
    } else if (a == "-p" || a == "--password") {
      options.password = value("--password");
    } else if (a == "-f" || a == "--file") {
      file = value("--file");
    } else if (a == "--csv") {
      options.mode = dbsql::Mode::kCsv;
    } else if (a == "--create-dictionary") {
      options.create_dictionary = true;
    } else if (a.size() > 1 && a[0] == '-' && options.path.empty()) {
      std::cerr << "dbsql: unknown option " << a << " (see --help)\n";
      return 1;
    } else if (options.path.empty()) {
      options.path = a;
    } else {
      statements.push_back(a);
    }
  }
  if (options.path.empty()) {
    std::cerr << "dbsql: no folder or dictionary given (see --help)\n";
    return 1;
  }
  // The shell ends (rolling back a transaction left open, and saying so)
  // only after its error is printed.
  std::optional<Shell> shell_object;
  try {
    Shell& shell = shell_object.emplace(options, std::cout);
    if (!statements.empty()) {
      for (const auto& s : statements) shell.Run(s);
      return 0;
    }
    if (!file.empty()) {
      std::ifstream in(file);
      if (!in) {
        std::cerr << "dbsql: cannot read " << file << "\n";
        return 1;
      }
      return RunStream(shell, in, file);
    }
    if (options.create_dictionary) return 0;
    if (::isatty(0)) return RunInteractive(shell);
    return RunStream(shell, std::cin, "standard input");
  } catch (const ShellError& e) {
    std::cout.flush();
    std::cerr << "dbsql: " << e.text << "\n";
    return 1;
  }
}
