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

std::string TConsoleUserInterface::InputBox(const std::string& title, const std::string& prompt,
                                            const std::string& defaultValue) {
  std::string answer = defaultValue;
  if (!inputs_.empty()) {
    answer = inputs_.front();
    inputs_.pop_front();
  } else if (askForInput_) {
    std::string typed;
    // End of input answers as Cancel does.
    if (Ask("[input] " + title + ": " + prompt + " [" + defaultValue + "] ", typed)) answer = typed;
  }
  out_ << "[input] " << title << ": " << prompt << " -> " << answer << "\n" << std::flush;
  return answer;
}

void TConsoleUserInterface::ShowError(const std::string& text) { out_ << "[error] " << text << "\n" << std::flush; }

void TConsoleUserInterface::AppendLogLine(const std::string& line) {
  TPlainView::AppendLogLine(line);
  out_ << line << "\n" << std::flush;
}

}  // namespace dbu
