// Boxes as lines of text.
#include "consoleui.h"

#include <istream>
#include <ostream>

namespace dbu {

bool TConsoleUserInterface::Ask(const std::string& prompt, std::string& answer) {
  out_ << prompt << std::flush;
  if (!std::getline(in_, answer)) {
    out_ << "\n";
    return false;
  }
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return true;
}

void TConsoleUserInterface::ShowMessage(const std::string& text) { out_ << "[message] " << text << "\n" << std::flush; }

bool TConsoleUserInterface::Confirm(const std::string& text) {
  bool yes = confirm_ == TConfirmAnswer::Yes;
  if (confirm_ == TConfirmAnswer::AskTerminal) {
    std::string answer;
    // Only an explicit yes goes on; anything else, and the end of input,
    // answers No as Escape would.
    yes = Ask("[confirm] " + text + " [y/N] ", answer) && (answer == "y" || answer == "Y" || answer == "yes" ||
                                                           answer == "Yes" || answer == "YES");
  }
  out_ << "[confirm] " << text << " -> " << (yes ? "Yes" : "No") << "\n" << std::flush;
  return yes;
}

bool TConsoleUserInterface::InputQuery(const std::string& title, const std::string& prompt, std::string& value) {
  std::string answer;
  bool ok = false;
  if (!inputs_.empty()) {
    answer = inputs_.front();
    inputs_.pop_front();
    ok = true;
  } else if (askForInput_) {
    // The end of input is Cancel.
    ok = Ask("[input] " + title + ": " + prompt + " [" + value + "] ", answer);
  }
  out_ << "[input] " << title << ": " << prompt << " -> " << (ok ? answer : std::string(kInputCancelled)) << "\n"
       << std::flush;
  if (ok) value = answer;
  return ok;
}

void TConsoleUserInterface::ShowError(const std::string& text) { out_ << "[error] " << text << "\n" << std::flush; }

void TConsoleUserInterface::AppendLogLine(const std::string& line) {
  TPlainView::AppendLogLine(line);
  out_ << line << "\n" << std::flush;
}

}  // namespace dbu
