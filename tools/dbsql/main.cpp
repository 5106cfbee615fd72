// dbsql: an SQL shell over the embedded engine. See Shell::HelpText.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "shell.h"

#ifdef DBSQL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

using dbsql::Shell;
using dbsql::ShellError;

namespace {

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
    if (dbsql::StatementComplete(buffer_)) {
      std::string s = buffer_;
      buffer_.clear();
      s.erase(s.find_last_of(';'));
      shell_.Run(s);
    }
    return true;
  }
  void Finish() {
    std::string rest = buffer_;
    buffer_.clear();
    if (!dbsql::OnlyComments(rest)) shell_.Run(rest);
  }
  bool pending() const { return !buffer_.empty(); }
  void Discard() { buffer_.clear(); }

 private:
  Shell& shell_;
  std::string buffer_;
};

int RunStream(Shell& shell, std::istream& in) {
  StatementReader reader(shell);
  std::string line;
  while (std::getline(in, line))
    if (!reader.Line(line)) return 0;
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
      options.csv = true;
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
  try {
    Shell shell(options, std::cout);
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
      return RunStream(shell, in);
    }
    if (options.create_dictionary) return 0;
    if (::isatty(0)) return RunInteractive(shell);
    return RunStream(shell, std::cin);
  } catch (const ShellError& e) {
    std::cout.flush();
    std::cerr << "dbsql: " << e.text << "\n";
    return 1;
  }
}
