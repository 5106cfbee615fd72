// The user interface of the command line: every box becomes a line of text
// ("[message] ...", "[confirm] ... -> Yes", "[input] TITLE: PROMPT -> ANSWER",
// or "-> (Cancel)" for a box nobody answered, "[error] ..."), log lines are
// printed as they are added, and answers come from the command line's
// options or from the terminal.
// Not thread-safe; the streams are borrowed.
#pragma once

#include <deque>
#include <iosfwd>
#include <string>

#include "userinterface.h"

namespace dbu {

enum class TConfirmAnswer { Yes, No, AskTerminal };

// What an input box line shows after " -> " when the box was cancelled.
inline constexpr const char* kInputCancelled = "(Cancel)";

class TConsoleUserInterface : public TPlainView {
 public:
  TConsoleUserInterface(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

  // How confirmations are answered.
  void SetConfirmAnswer(TConfirmAnswer answer) { confirm_ = answer; }
  // Answers for the next input boxes, in order.
  void SetInputs(std::deque<std::string> inputs) { inputs_ = std::move(inputs); }
  // When no answer is left: ask the terminal (true) or answer Cancel.
  void SetAskForInput(bool ask) { askForInput_ = ask; }
  bool Hourglass() const { return hourglass_; }

  void ShowMessage(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override;
  void ShowError(const std::string& text) override;
  void SetHourglass(bool on) override { hourglass_ = on; }
  void ProcessMessages() override {}
  void AppendLogLine(const std::string& line) override;

  // A question on the terminal; false at the end of input.
  bool Ask(const std::string& prompt, std::string& answer);

 private:
  std::istream& in_;
  std::ostream& out_;
  TConfirmAnswer confirm_ = TConfirmAnswer::No;
  std::deque<std::string> inputs_;
  bool askForInput_ = false;
  bool hourglass_ = false;
};

}  // namespace dbu
