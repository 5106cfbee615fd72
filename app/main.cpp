// Program entry of dbutility: the window when there is a display, else the
// command line modes (see commandline.h).
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <iostream>

#include "appfiles.h"
#include "commandline.h"
#include "dynconnlist.h"
#include "unit1.h"

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  dbu::TCommandLine commandLine;
  try {
    commandLine = dbu::ParseCommandLine(args, HasDisplay());
  } catch (const dbu::EUsageError& error) {
    std::cerr << dbu::ProgramTitle() << ": " << error.Message() << "\n" << dbu::UsageText(dbu::ProgramTitle());
    return dbu::kExitUsage;
  }
  int status;
  if (commandLine.Mode != dbu::TProgramMode::Window) {
    status = dbu::RunCommandLine(commandLine, std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) == 1);
  } else {
    QApplication application(argc, argv);
    dbu::PrepareApplication(application);
    std::optional<std::string> base;
    if (commandLine.Base) base = dbu::BaseDirArgument(*commandLine.Base);
    dbu::TForm1 window(base, commandLine.Company);
    window.show();
    status = application.exec();
  }
  // Connections opened by path end while the engine is still whole.
  dbu::TDynamicConnList::DisconnectAll();
  return status;
}
