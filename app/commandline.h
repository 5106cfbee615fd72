// The command line of dbutility: option parsing, one or more tasks run
// headless, the task list, the demo databases, and the interactive console
// version of the window for machines without a display.
//
// Every mode builds the same TForm1Logic and calls the same FormCreate and
// Button1Click (PreviewClick for --preview) as the window. A preview prints
// what the run would change; with --csv only the CSV goes to standard
// output, the boxes and log lines to standard error. Exit statuses of the headless runs: 0 after
// "Done!", 1 after the standard error box, 3 when a run ended without
// "Done!", 4 after "Done!" when an error was shown on the way (at start-up,
// or caught by a task that went on), 2 for a usage error. A start-up error
// that leaves no base directory to work in ends them at once with 1. The
// console version, like the window, opens whatever start-up showed and
// ends with 0. Not thread-safe; the streams are borrowed.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "consoleui.h"
#include "dberrors.h"

namespace dbu {

constexpr int kExitDone = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStopped = 3;
constexpr int kExitDoneAfterErrors = 4;

enum class TProgramMode { Window, Console, Tasks, ListTasks, Help, Version, CreateDemo, Undo, ListRuns, History };

struct TCommandLine {
  TProgramMode Mode = TProgramMode::Window;
  std::optional<std::string> Base;
  std::optional<std::string> Company;
  std::vector<int> Tasks;
  std::optional<TConfirmAnswer> Answer;  // --yes or --no
  std::vector<std::string> Inputs;
  bool SaveLog = false;
  std::string DemoDir;
  std::string UndoRun;  // --undo's run; empty: the last one
  bool Force = false;   // --undo --force
  bool Csv = false;     // --history --csv, --preview --csv
  bool Preview = false;  // --task N --preview: a dry run of the one task
};

class EUsageError : public Exception {
 public:
  using Exception::Exception;
};

// args without the program name. Without task or other mode options the
// mode is Window when hasDisplay, else Console. Throws EUsageError.
TCommandLine ParseCommandLine(const std::vector<std::string>& args, bool hasDisplay);
std::string UsageText(const std::string& program);

// The base directory as the command line gives it: made absolute, with "/"
// appended when the folder name lacks its trailing separator.
std::string BaseDirArgument(const std::string& dir);

class TForm1Logic;
// Called with the window logic right after it is made, before FormCreate
// (tests install task bodies with it).
using TPrepareLogic = std::function<void(TForm1Logic&)>;

// Runs every mode but Window; returns the exit status.
int RunCommandLine(const TCommandLine& commandLine, std::istream& in, std::ostream& out, std::ostream& err,
                   bool inIsTerminal, const TPrepareLogic& prepare = {});

}  // namespace dbu
