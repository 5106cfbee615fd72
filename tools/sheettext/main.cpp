// sheettext [--raw] FILE ADDRESS...
//
// Opens the workbook FILE as the import tasks do (first worksheet, one range)
// and prints the displayed text of each ADDRESS on its own line. Line breaks,
// tabs and backslashes inside a text are escaped (\n, \r, \t, \\), so that
// output line i is always address i; --raw prints them as they are. The
// reader's message boxes ("Invalid Range Address.") and the cells whose
// stored value could not be read (they show as empty) go to standard error.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "sheet_reader.h"

namespace {

const char kUsage[] =
    "usage: sheettext [--raw] FILE ADDRESS...\n"
    "Prints the text each ADDRESS (a cell such as A2, or a block such as A2:B3) of\n"
    "the first worksheet of FILE (.xls or .xlsx) shows, one line per address.\n"
    "Inside a text, a line feed prints as \\n, a carriage return as \\r, a tab as\n"
    "\\t and a backslash as \\\\, so that every address takes exactly one line.\n"
    "  --raw   print the texts as they are (a text may then span lines)\n"
    "Cells whose stored value cannot be read show as empty; each is named once\n"
    "on standard error.\n";

std::string Escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool raw = false;
  int first = 1;
  for (; first < argc && argv[first][0] == '-' && argv[first][1] == '-'; ++first) {
    if (std::strcmp(argv[first], "--raw") == 0) {
      raw = true;
    } else if (std::strcmp(argv[first], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    } else {
      std::fprintf(stderr, "sheettext: unknown option %s\n%s", argv[first], kUsage);
      return 2;
    }
  }
  if (argc - first < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    dbu::TSheetReader reader;
    reader.SetMessageHandler([](const dbu::TSheetMessage& m) {
      std::fprintf(stderr, "%s: %s\n", m.Title.c_str(), m.Text.c_str());
    });
    dbu::SetUpSheetReader1(reader);
    dbu::TSheetWorkbook& book = reader.Workbooks()[0];
    book.SetFilename(argv[first]);
    reader.SetConnected(true);
    for (const dbu::TSheetCellWarning& w : book.CellWarnings())
      std::fprintf(stderr, "sheettext: sheet \"%s\" cell %s reads as empty: %s\n", w.Sheet.c_str(), w.Address.c_str(),
                   w.Text.c_str());
    if (book.CellWarningCount() > book.CellWarnings().size())
      std::fprintf(stderr, "sheettext: %zu more cells read as empty: their stored values cannot be read\n",
                   book.CellWarningCount() - book.CellWarnings().size());
    dbu::TSheetRange& range = book.Worksheets()[0].Ranges().Add();
    range.SetName("r");
    for (int i = first + 1; i < argc; ++i) {
      range.SetAddress(argv[i]);
      const std::string text = range.SimpleText();
      const std::string line = (raw ? text : Escaped(text)) + "\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sheettext: %s\n", e.what());
    return 1;
  }
}
