// A user interface for task benchmarks: answers every confirmation "Yes",
// answers input boxes with "OK" (and a fixed text when one is given), and
// keeps only the last box's text. Single-threaded, like the window.
#pragma once

#include <optional>
#include <string>

#include "userinterface.h"

namespace bench {

class TSilentUI : public dbu::TPlainView {
 public:
  std::optional<std::string> Input;  // typed into every input box when set
  std::string LastMessage;
  // Counted here: LogLines() copies the whole pane.
  void AppendLogLine(const std::string& line) override {
    dbu::TPlainView::AppendLogLine(line);
    ++lineCount_;
  }
  size_t LineCount() const { return lineCount_; }
  void ShowMessage(const std::string& text) override { LastMessage = text; }
  bool Confirm(const std::string&) override { return true; }
  bool InputQuery(const std::string&, const std::string&, std::string& value) override {
    if (Input) value = *Input;
    return true;
  }
  void ShowError(const std::string& text) override { LastMessage = "error: " + text; }
  void ShowTitledError(const std::string& title, const std::string& text) override {
    LastMessage = "error [" + title + "]: " + text;
  }
  void SetHourglass(bool) override {}
  void ProcessMessages() override {}

 private:
  size_t lineCount_ = 0;
};

}  // namespace bench
