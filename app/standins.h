// Place holders for two objects of the main window whose classes are not in
// this build yet: the SQL query cursor and the spreadsheet component. They
// carry the design-time settings the window gives them so that the window
// owns every object it names; nothing opens or reads through them. Each is
// replaced by its real class when that class exists.
// Not thread-safe (window thread only).
#pragma once

#include <string>
#include <vector>

#include "component.h"
#include "dbtypes.h"

namespace dbu {

class TDbQueryStandIn : public TComponent {
 public:
  using TComponent::TComponent;
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name) { databaseName_ = name; }
  const TDbTableOptions& DbTableOptions() const { return options_; }
  void SetDbRightsCheck(bool value) { options_.DbRightsCheck = value; }
  bool ReadAllColumns() const { return readAllColumns_; }
  void SetReadAllColumns(bool value) { readAllColumns_ = value; }
  const std::vector<std::string>& SQL() const { return sql_; }
  bool Active() const { return false; }
  void Close() {}

 private:
  std::string databaseName_;
  TDbTableOptions options_;
  bool readAllColumns_ = true;
  std::vector<std::string> sql_;
};

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
