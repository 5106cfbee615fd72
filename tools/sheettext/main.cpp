// sheettext FILE ADDRESS...
//
// Opens the workbook FILE as the import tasks do (first worksheet, one range)
// and prints the displayed text of each ADDRESS on its own line. The reader's
// message boxes ("Invalid Range Address.") are printed to standard error.
#include <cstdio>
#include <exception>

#include "sheet_reader.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FILE ADDRESS...\n", argv[0]);
    return 2;
  }
  try {
    dbu::TSheetReader reader;
    reader.SetMessageHandler([](const dbu::TSheetMessage& m) {
      std::fprintf(stderr, "%s: %s\n", m.Title.c_str(), m.Text.c_str());
    });
    dbu::SetUpSheetReader1(reader);
    reader.Workbooks()[0].SetFilename(argv[1]);
    reader.SetConnected(true);
    dbu::TSheetRange& range = reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
    range.SetName("r");
    for (int i = 2; i < argc; ++i) {
      range.SetAddress(argv[i]);
      const std::string text = range.SimpleText();
      std::printf("%s\n", text.c_str());
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sheettext: %s\n", e.what());
    return 1;
  }
}
