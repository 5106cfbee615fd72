// Shared helpers of the sheet tests: fixture paths and a reader opened on a fixture.
#ifndef DBU_SHEET_TESTS_FIXTURE_UTIL_H
#define DBU_SHEET_TESTS_FIXTURE_UTIL_H

#include <string>
#include <vector>

#include "sheet_reader.h"

namespace dbu::testing {

inline std::string Fixture(const std::string& name) { return std::string(SHEET_FIXTURES_DIR) + "/" + name; }

// SheetReader1 as an import task drives it: design state, file name, connect, one range "r".
struct OpenedSheet {
  TSheetReader reader;
  std::vector<TSheetMessage> messages;
  TSheetRange* range = nullptr;

  explicit OpenedSheet(const std::string& file, sheet::DateSettings dates = {}) {
    reader.SetMessageHandler([this](const TSheetMessage& m) { messages.push_back(m); });
    reader.SetDateSettingsSource([dates] { return dates; });
    SetUpSheetReader1(reader);
    reader.SetConnected(false);
    reader.Workbooks()[0].SetFilename(Fixture(file));
    reader.SetConnected(true);
    range = &reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
    range->SetName("r");
  }
  std::string Text(const std::string& address) {
    range->SetAddress(address);
    return range->SimpleText();
  }
};

}  // namespace dbu::testing

#endif
