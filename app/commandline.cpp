// Command line modes of dbutility.
#include "commandline.h"

#include <filesystem>
#include <iomanip>
#include <istream>
#include <ostream>

#include "appfiles.h"
#include "demodb.h"
#include "history.h"
#include "tasklist.h"
#include "undo.h"
#include "unit1logic.h"

#ifndef DBU_VERSION
#define DBU_VERSION "0"
#endif

namespace dbu {

namespace {

int ParseTaskIndex(const std::string& text) {
  size_t used = 0;
  int value = -1;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < 0 || value >= kTaskCount)
    throw EUsageError("--task needs a task number from 0 to 37, not '" + text + "'");
  return value;
}

int ExitStatus(TRunEnd end) {
  switch (end) {
    case TRunEnd::Done: return kExitDone;
    case TRunEnd::Error: return kExitError;
    default: return kExitStopped;
  }
}

void PrintTasks(std::ostream& out) {
  for (int i = 0; i < kTaskCount; ++i) out << std::setw(2) << i << "  " << TaskCaption(i) << "\n";
}

// Start-up shared by the headless and console modes; false when it showed
// an error.
bool StartUp(TForm1Logic& form, const TCommandLine& commandLine, const TPrepareLogic& prepare) {
  if (prepare) prepare(form);
  if (commandLine.Base) form.SetBaseDirOverride(BaseDirArgument(*commandLine.Base));
  const bool started = form.FormCreate();
  if (commandLine.Company) form.UI().SetCompanyText(*commandLine.Company);
  return started;
}

// Whether the runs have a base directory to work in: the folder exists.
bool BaseDirUsable(const std::string& dir) {
  std::error_code ec;
  return !dir.empty() && std::filesystem::is_directory(dir, ec);
}

int RunTasks(const TCommandLine& commandLine, std::istream& in, std::ostream& out, std::ostream& err,
             bool inIsTerminal, const TPrepareLogic& prepare) {
  // A preview as CSV keeps standard output for the CSV.
  TConsoleUserInterface ui(in, commandLine.Preview && commandLine.Csv ? err : out);
  ui.SetConfirmAnswer(commandLine.Answer.value_or(inIsTerminal ? TConfirmAnswer::AskTerminal : TConfirmAnswer::No));
  ui.SetInputs(std::deque<std::string>(commandLine.Inputs.begin(), commandLine.Inputs.end()));
  TForm1Logic form(ui);
  // Without its base directory every run could only fail, or (a task with
  // no body) end with "Done!" on nothing.
  if (!StartUp(form, commandLine, prepare) && !BaseDirUsable(form.BaseDir())) return kExitError;
  int status = kExitDone;
  if (commandLine.Preview) {
    ui.SetTaskIndex(commandLine.Tasks.front());
    TPreviewResult preview;
    const TRunEnd end = form.PreviewClick(preview);
    if (commandLine.Csv)
      PrintPreviewCsv(preview, out);
    else
      PrintPreview(preview, out, false);  // the boxes and log lines are out already
    status = ExitStatus(end);
    if (status == kExitDone && form.ErrorsShown() > 0) status = kExitDoneAfterErrors;
    return status;
  }
  for (int task : commandLine.Tasks) {
    ui.SetTaskIndex(task);
    TRunEnd end = form.Button1Click();
    status = ExitStatus(end);
    if (end != TRunEnd::Done) break;
  }
  if (commandLine.SaveLog && !form.Button2Click()) status = kExitError;
  // "Done!" after an error box tells a script less than a clean run.
  if (status == kExitDone && form.ErrorsShown() > 0) status = kExitDoneAfterErrors;
  return status;
}

bool IsYes(const std::string& answer) { return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes"; }

int RunConsole(const TCommandLine& commandLine, std::istream& in, std::ostream& out, const TPrepareLogic& prepare) {
  TConsoleUserInterface ui(in, out);
  ui.SetConfirmAnswer(TConfirmAnswer::AskTerminal);
  ui.SetAskForInput(true);
  TForm1Logic form(ui);
  StartUp(form, commandLine, prepare);
  // An answer naming a task selects it (empty keeps the selection); false
  // when it names none.
  auto selectTask = [&](const std::string& answer) {
    if (answer.empty()) return true;
    try {
      ui.SetTaskIndex(ParseTaskIndex(answer));
      return true;
    } catch (const EUsageError&) {
      out << "Not a task number: " << answer << "\n";
      return false;
    }
  };
  out << "Database Utility - 38 Tasks\n";
  for (;;) {
    out << "\nCompanies:\n";
    for (const TCompanyRow& row : ui.CompanyRows()) out << "  " << std::left << std::setw(8) << row.Code << "  " << row.Name << "\n";
    out << std::right << "Tasks:\n";
    PrintTasks(out);
    std::string answer;
    if (!ui.Ask("Company code [" + ui.CompanyText() + "]: ", answer)) break;
    if (!answer.empty()) ui.SetCompanyText(answer);
    int selected = ui.TaskIndex();
    std::string shown = selected >= 0 ? std::to_string(selected) : std::string();
    if (!ui.Ask("Task number [" + shown + "] (q to quit, undo: undo the last run, preview: what a run would change): ",
                answer) ||
        answer == "q" || answer == "Q")
      break;
    if (answer == "preview") {
      if (!ui.Ask("Task to preview [" + shown + "]: ", answer)) break;
      if (!selectTask(answer)) continue;
      if (ui.TaskIndex() < 0) {
        out << "No task selected\n";
        continue;
      }
      out << "Preview: " << TaskCaption(ui.TaskIndex()) << "\n";
      TPreviewResult preview;
      const size_t logLines = ui.LogLines().size();
      form.PreviewClick(preview);
      PrintPreview(preview, out, false);
      // The preview's lines were shown; "Save the log?" after a later run
      // must not write them as done.
      ui.KeepLogLines(logLines);
      continue;
    }
    if (answer == "undo") {
      try {
        // Undo takes each table exclusively: the last run's tables are let go first.
        form.DbConnection1.Disconnect();
        form.DbConnection2.Disconnect();
        form.DbConnection3.Disconnect();
        for (const std::string& line : UndoRun(form.BaseDir(), "", false)) out << line << "\n";
      } catch (const std::exception& error) {
        out << error.what() << "\n";
      }
      continue;
    }
    if (!selectTask(answer)) continue;
    out << "Process: " << TaskCaption(ui.TaskIndex()) << "\n";
    form.Button1Click();
    if (!ui.Ask("Save the log? [y/N] ", answer)) break;
    if (IsYes(answer)) form.Button2Click();
  }
  return kExitDone;
}

int RunsMode(const TCommandLine& commandLine, std::ostream& out, std::ostream& err) {
  const std::string base = BaseDirArgument(*commandLine.Base);
  try {
    if (commandLine.Mode == TProgramMode::Undo) {
      for (const std::string& line : UndoRun(base, commandLine.UndoRun, commandLine.Force)) out << line << "\n";
    } else if (commandLine.Mode == TProgramMode::ListRuns) {
      for (const TRunManifest& run : ListRuns(BackupsFolder(base))) {
        if (!run.Undone.empty()) continue;
        out << run.Id << "  " << run.Started << "  " << run.Company << "  " << std::setw(2) << run.Task << "  "
            << run.Caption << "  (" << (run.Outcome.empty() ? "did not end" : run.Outcome) << ", "
            << run.Tables.size() << (run.Tables.size() == 1 ? " table" : " tables") << ")\n";
      }
    } else {
      out << FormatHistory(ReadHistory(base), commandLine.Company.value_or(""), commandLine.Csv);
    }
  } catch (const std::exception& error) {
    err << "dbutility: " << error.what() << "\n";
    return kExitError;
  }
  return kExitDone;
}

int CreateDemo(const std::string& dir, std::ostream& out, std::ostream& err) {
  std::vector<std::string> report;
  try {
    CreateDemoDatabases(dir, DemoScripts(), report);
  } catch (const std::exception& error) {
    for (const std::string& line : report) out << line << "\n";
    err << "dbutility: " << error.what() << "\n";
    return kExitError;
  }
  for (const std::string& line : report) out << line << "\n";
  return kExitDone;
}

}  // namespace

std::string BaseDirArgument(const std::string& dir) {
  if (dir.empty()) return dir;
  // Made absolute: the data layer resolves table names against the
  // connection's folder, which a relative base would name twice.
  std::error_code ec;
  std::string path = std::filesystem::absolute(dir, ec).string();
  if (ec) path = dir;
  if (path.back() != '/') path += "/";
  return path;
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " [--base DIR] [--company CODE]\n"
         "       " + program + " [--base DIR] [--company CODE] --task N [--task N]... [--yes | --no]\n"
         "                 [--input TEXT]... [--save-log]\n"
         "       " + program + " [--base DIR] [--company CODE] --task N --preview [--csv] [--yes | --no]\n"
         "                 [--input TEXT]...\n"
         "       " + program + " --base DIR --undo [RUN] [--force] | --base DIR --list-runs\n"
         "       " + program + " --base DIR --history [--company CODE] [--csv]\n"
         "       " + program + " --list-tasks | --create-demo DIR | --help | --version\n"
         "\n"
         "Without --task the window opens (or, with no display, its console version).\n"
         "  --base DIR        base directory holding mcompany.adt and company/\n"
         "                    (default: the program folder or PALVO.ini's DIR)\n"
         "  --company CODE    company code of the runs (default: the first company)\n"
         "  --task N          run task N (0 to 37); several run in order, stopping\n"
         "                    after the first that does not end with \"Done!\"\n"
         "  --yes, --no       answer every confirmation (default: ask the terminal\n"
         "                    when standard input is one, else No)\n"
         "  --input TEXT      answer the next input box (none left: Cancel)\n"
         "  --save-log        save the log to ZozuzEzi.log after the runs\n"
         "  --preview         run the task on a private copy and print what it would\n"
         "                    change, record by record (--csv: as CSV); nothing of\n"
         "                    the base directory changes and no history is written\n"
         "  --list-tasks      print the task numbers and captions\n"
         "  --create-demo DIR write demo databases into DIR\n"
         "  --undo [RUN]      put back the tables of the last run (or of RUN) as they\n"
         "                    were before it; refused for a table changed since,\n"
         "                    unless --force\n"
         "  --list-runs       list the runs that can be undone, newest first\n"
         "  --history         print the run history, newest first (--csv: as CSV)\n"
         "Exit status: 0 Done!, 1 error (also a start-up error that leaves no base\n"
         "directory), 2 usage error, 3 ended without Done!, 4 Done! after an error was\n"
         "shown (at start-up, or one a task reported and went on after).\n";
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args, bool hasDisplay) {
  TCommandLine cl;
  std::optional<TProgramMode> only;  // a mode that takes no other option
  auto setOnly = [&](TProgramMode mode, const std::string& option) {
    if (only) throw EUsageError(option + " cannot be combined with other modes");
    only = mode;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw EUsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--base") {
      cl.Base = value();
      if (cl.Base->empty()) throw EUsageError("--base needs a folder name");
    } else if (a == "--company") {
      cl.Company = value();
    } else if (a == "--task") {
      cl.Tasks.push_back(ParseTaskIndex(value()));
    } else if (a == "--yes" || a == "--no") {
      TConfirmAnswer answer = a == "--yes" ? TConfirmAnswer::Yes : TConfirmAnswer::No;
      if (cl.Answer && *cl.Answer != answer) throw EUsageError("--yes and --no exclude each other");
      cl.Answer = answer;
    } else if (a == "--input") {
      cl.Inputs.push_back(value());
    } else if (a == "--save-log") {
      cl.SaveLog = true;
    } else if (a == "--list-tasks") {
      setOnly(TProgramMode::ListTasks, a);
    } else if (a == "--help" || a == "-h") {
      setOnly(TProgramMode::Help, a);
    } else if (a == "--version") {
      setOnly(TProgramMode::Version, a);
    } else if (a == "--undo") {
      setOnly(TProgramMode::Undo, a);
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) cl.UndoRun = args[++i];
    } else if (a == "--force") {
      cl.Force = true;
    } else if (a == "--list-runs") {
      setOnly(TProgramMode::ListRuns, a);
    } else if (a == "--history") {
      setOnly(TProgramMode::History, a);
    } else if (a == "--preview") {
      cl.Preview = true;
    } else if (a == "--csv") {
      cl.Csv = true;
    } else if (a == "--create-demo") {
      setOnly(TProgramMode::CreateDemo, a);
      cl.DemoDir = value();
      if (cl.DemoDir.empty()) throw EUsageError("--create-demo needs a folder name");
    } else {
      throw EUsageError("unknown argument '" + a + "'");
    }
  }
  bool runOptions = cl.Answer || !cl.Inputs.empty() || cl.SaveLog;
  const bool runsMode = only == TProgramMode::Undo || only == TProgramMode::ListRuns || only == TProgramMode::History;
  if (cl.Force && only != TProgramMode::Undo) throw EUsageError("--force needs --undo");
  if (cl.Csv && only != TProgramMode::History && !cl.Preview) throw EUsageError("--csv needs --history or --preview");
  if (cl.Preview) {
    if (only || cl.Tasks.size() != 1) throw EUsageError("--preview needs exactly one --task N");
    if (cl.SaveLog) throw EUsageError("--preview changes nothing, so it saves no log (--save-log)");
  }
  if (runsMode) {
    if (!cl.Tasks.empty() || runOptions) throw EUsageError("--undo, --list-runs and --history run no task");
    if (!cl.Base) throw EUsageError("--undo, --list-runs and --history need --base DIR");
    if (cl.Company && only != TProgramMode::History) throw EUsageError("--company goes with --history only");
    cl.Mode = *only;
    return cl;
  }
  if (only) {
    if (!cl.Tasks.empty() || runOptions || cl.Base || cl.Company)
      throw EUsageError("this mode takes no other options");
    cl.Mode = *only;
    return cl;
  }
  if (!cl.Tasks.empty()) {
    cl.Mode = TProgramMode::Tasks;
    return cl;
  }
  if (runOptions) throw EUsageError("--yes, --no, --input and --save-log need --task");
  cl.Mode = hasDisplay ? TProgramMode::Window : TProgramMode::Console;
  return cl;
}

int RunCommandLine(const TCommandLine& commandLine, std::istream& in, std::ostream& out, std::ostream& err,
                   bool inIsTerminal, const TPrepareLogic& prepare) {
  switch (commandLine.Mode) {
    case TProgramMode::Help: out << UsageText(ProgramTitle()); return kExitDone;
    case TProgramMode::Version: out << ProgramTitle() << " " << DBU_VERSION << "\n"; return kExitDone;
    case TProgramMode::ListTasks: PrintTasks(out); return kExitDone;
    case TProgramMode::CreateDemo: return CreateDemo(commandLine.DemoDir, out, err);
    case TProgramMode::Tasks: return RunTasks(commandLine, in, out, err, inIsTerminal, prepare);
    case TProgramMode::Console: return RunConsole(commandLine, in, out, prepare);
    case TProgramMode::Undo:
    case TProgramMode::ListRuns:
    case TProgramMode::History: return RunsMode(commandLine, out, err);
    case TProgramMode::Window: break;
  }
  err << "dbutility: the window cannot be shown here\n";
  return kExitUsage;
}

}  // namespace dbu
