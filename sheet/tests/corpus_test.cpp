// Workbooks that spreadsheet programs and common libraries wrote (tests/corpus):
// every cell listed in the corpus manifest shows the text that the program
// which wrote the file shows for it, and exactly the cells flagged "warn"
// are reported as unreadable. tests/corpus/README.md tells how the corpus
// and its expected texts were made.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sheet_reader.h"

namespace dbu::testing {
namespace {

struct ManifestRow {
  std::string file, sheet, cell, text, flags;
};

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
  }
  return out;
}

std::vector<ManifestRow> ReadManifest() {
  std::ifstream in(std::string(SHEET_CORPUS_DIR) + "/manifest.tsv");
  std::vector<ManifestRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string part; std::getline(fields, part, '\t');) f.push_back(part);
    if (f.size() < 5) {
      ADD_FAILURE() << "manifest line without five fields: " << line;
      continue;
    }
    rows.push_back(ManifestRow{f[0], f[1], f[2], Unescape(f[3]), f[4]});
  }
  return rows;
}

// One corpus file opened as the import tasks open a workbook, with a range on each worksheet.
class CorpusFile {
 public:
  explicit CorpusFile(const std::string& name) {
    reader_.SetMessageHandler([this](const TSheetMessage& m) { messages_.push_back(m.Text); });
    reader_.SetDateSettingsSource([] { return sheet::DateSettings{}; });
    SetUpSheetReader1(reader_);
    reader_.Workbooks()[0].SetFilename(std::string(SHEET_CORPUS_DIR) + "/" + name);
    reader_.SetConnected(true);
  }
  TSheetWorkbook& Book() { return reader_.Workbooks()[0]; }
  const std::vector<std::string>& Messages() const { return messages_; }

  // The text of a cell of the named worksheet; nothing when there is no such worksheet.
  std::optional<std::string> Text(const std::string& sheet, const std::string& cell) {
    auto it = ranges_.find(sheet);
    if (it == ranges_.end()) {
      TSheetWorksheets& sheets = Book().Worksheets();
      for (int i = 0; i < sheets.Count() && it == ranges_.end(); ++i)
        if (sheets[i].Name() == sheet) it = ranges_.emplace(sheet, &sheets[i].Ranges().Add()).first;
      if (it == ranges_.end()) return std::nullopt;
    }
    it->second->SetAddress(cell);
    return it->second->SimpleText();
  }

 private:
  TSheetReader reader_;
  std::vector<std::string> messages_;
  std::map<std::string, TSheetRange*> ranges_;
};

TEST(CorpusTest, EveryCellShowsWhatItsProducerShows) {
  const std::vector<ManifestRow> rows = ReadManifest();
  ASSERT_GT(rows.size(), 500u) << "the corpus manifest is missing or cut short";
  std::map<std::string, std::vector<const ManifestRow*>> by_file;
  for (const ManifestRow& r : rows) by_file[r.file].push_back(&r);
  ASSERT_GE(by_file.size(), 30u);
  for (const auto& [file, cells] : by_file) {
    SCOPED_TRACE(file);
    std::unique_ptr<CorpusFile> book;
    try {
      book = std::make_unique<CorpusFile>(file);
    } catch (const std::exception& e) {
      ADD_FAILURE() << file << " does not open: " << e.what();
      continue;
    }
    std::set<std::pair<std::string, std::string>> want_warned, warned;
    for (const ManifestRow* r : cells) {
      const std::optional<std::string> text = book->Text(r->sheet, r->cell);
      if (!text) {
        ADD_FAILURE() << file << " has no worksheet \"" << r->sheet << "\"";
        break;
      }
      EXPECT_EQ(*text, r->text) << file << " " << r->sheet << "!" << r->cell;
      if (r->flags == "warn") want_warned.emplace(r->sheet, r->cell);
    }
    for (const TSheetCellWarning& w : book->Book().CellWarnings()) warned.emplace(w.Sheet, w.Address);
    EXPECT_EQ(warned, want_warned) << file << ": the cells reported as unreadable";
    EXPECT_EQ(book->Book().CellWarningCount(), warned.size()) << file;
    EXPECT_TRUE(book->Messages().empty()) << file;
  }
}

}  // namespace
}  // namespace dbu::testing
