// Place holder for an object of the main window whose class is not in this
// build yet: the spreadsheet component. It carries the design-time settings
// the window gives it so that the window owns every object it names; nothing
// opens or reads through it. It is replaced by its real class when that
// class exists.
// Not thread-safe (window thread only).
#pragma once

#include <string>
#include <vector>

#include "component.h"
#include "dbtypes.h"

namespace dbu {

// What the window stores for its spreadsheet component.
struct TSheetReaderSettings {
  bool Visible = false;  // the spreadsheet application stays hidden
  bool WindowStateNormal = true;
  int Left = 0, Top = -2, Width = 640, Height = 480;  // server window
  bool LargeButtons = false;
  bool EnableAnimations = false;
  bool EnableAutoComplete = false;
  bool CancelKeyInterrupts = true;
};

class TSheetReaderStandIn : public TComponent {
 public:
  using TComponent::TComponent;
  const TSheetReaderSettings& Settings() const { return settings_; }
  bool Visible() const { return settings_.Visible; }
  bool Connected() const { return false; }
  // One workbook with one worksheet, as the window stores it.
  const std::vector<std::string>& WorksheetNames() const { return sheets_; }

 private:
  TSheetReaderSettings settings_;
  std::vector<std::string> sheets_{"Sheet1"};  // no ranges
};

}  // namespace dbu
