// What the utility's logic needs from a user interface: the dialogs, the
// application-wide pointer, letting pending events through, and the few
// pieces of window state a run reads or sets (company edit text, task
// selection, log pane).
//
// The Qt window, the command line and the tests each implement it, so all
// three drive the very same run. The logic calls it on its one thread only;
// an implementation need not be thread-safe. TPlainView keeps the window
// state in memory for front ends that have no widgets.
#pragma once

#include <string>
#include <vector>

namespace dbu {

// One row of the company drop-down.
struct TCompanyRow {
  std::string Code;
  std::string Name;
};

class TUserInterface {
 public:
  virtual ~TUserInterface() = default;

  // Message box: the text and "OK", titled with the application's title.
  virtual void ShowMessage(const std::string& text) = 0;
  // Confirmation box titled "Warning": true only for the answer "Yes"
  // (No, Escape and closing the box all give false).
  virtual bool Confirm(const std::string& text) = 0;
  // Input box with value preset in its field: true on "OK", value then
  // holding the field's text; false on "Cancel" (Escape, closing the box),
  // value then unchanged.
  virtual bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) = 0;
  // The input box as the tasks mostly use it: the field's text on "OK",
  // defaultValue on "Cancel", so the caller cannot tell the two apart.
  std::string InputBox(const std::string& title, const std::string& prompt, const std::string& defaultValue) {
    std::string value = defaultValue;
    return InputQuery(title, prompt, value) ? value : defaultValue;
  }
  // Standard error box; the text already carries its closing full stop.
  virtual void ShowError(const std::string& text) = 0;
  // An error box with its own title (the spreadsheet component's boxes);
  // front ends without titles show it as the standard error box.
  virtual void ShowTitledError(const std::string& title, const std::string& text) {
    (void)title;
    ShowError(text);
  }
  // Hourglass over the whole application on, or the default pointer back.
  virtual void SetHourglass(bool on) = 0;
  // Lets pending window events through (may deliver a "Process" click).
  virtual void ProcessMessages() = 0;

  // The log pane: a line was appended; all lines as they stand now (the
  // user may have edited them).
  virtual void AppendLogLine(const std::string& line) = 0;
  virtual std::vector<std::string> LogLines() const = 0;

  // The company edit box and its drop-down rows.
  virtual std::string CompanyText() const = 0;
  virtual void SetCompanyText(const std::string& code) = 0;
  virtual void SetCompanyRows(const std::vector<TCompanyRow>& rows) = 0;

  // The task list selection: 0 to 37, or -1 when nothing is selected.
  virtual int TaskIndex() const = 0;
  virtual void SetTaskIndex(int index) = 0;
};

// Window state held in memory; dialogs are left to the derived class.
class TPlainView : public TUserInterface {
 public:
  void AppendLogLine(const std::string& line) override { log_.push_back(line); }
  std::vector<std::string> LogLines() const override { return log_; }
  // Drops the lines after the first count (a preview's, which must never
  // be saved as a run's).
  void KeepLogLines(size_t count) {
    if (count < log_.size()) log_.resize(count);
  }
  std::string CompanyText() const override { return company_; }
  void SetCompanyText(const std::string& code) override { company_ = code; }
  void SetCompanyRows(const std::vector<TCompanyRow>& rows) override { rows_ = rows; }
  const std::vector<TCompanyRow>& CompanyRows() const { return rows_; }
  int TaskIndex() const override { return taskIndex_; }
  void SetTaskIndex(int index) override { taskIndex_ = index; }

 private:
  std::vector<std::string> log_;
  std::string company_;
  std::vector<TCompanyRow> rows_;
  int taskIndex_ = -1;
};

}  // namespace dbu
