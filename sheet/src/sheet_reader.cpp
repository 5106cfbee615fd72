// The reader component: connecting, binding items, addresses and displayed texts.
#include "sheet_reader.h"

#include <cstdio>
#include <new>

namespace dbu {
namespace {

constexpr const char* kInvalidAddress = "Invalid Range Address.";
// A range in a new workbook receives its text only up to this many cells.
constexpr std::uint64_t kMaxCellsWritten = std::uint64_t(1) << 20;

// Calls fn(row, col) for every stored cell of the block, visiting whichever is smaller.
template <typename Fn>
void ForStoredCellsIn(const sheet::Worksheet& ws, const sheet::CellBlock& b, Fn&& fn) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> cells;
  if (b.CellCount() <= ws.cell_count()) {
    for (std::uint32_t r = b.first_row;; ++r) {
      for (std::uint32_t c = b.first_col;; ++c) {
        if (ws.Find(r, c) != nullptr) cells.emplace_back(r, c);
        if (c == b.last_col) break;
      }
      if (r == b.last_row) break;
    }
  } else {
    ws.ForEach([&](std::uint32_t r, std::uint32_t c, const sheet::Cell&) {
      if (b.Contains(r, c)) cells.emplace_back(r, c);
    });
  }
  for (const auto& [r, c] : cells) fn(r, c);
}

}  // namespace

// --- TSheetRange -----------------------------------------------------------

std::string TSheetRange::Address() const {
  if (bound_ && owner_.Bound() != nullptr) address_ = sheet::FormatCellAddress(*bound_);
  return address_;
}

void TSheetRange::SetAddress(const std::string& address) {
  sheet::Worksheet* ws = owner_.Bound();
  if (ws != nullptr && bound_) {
    const sheet::Workbook& data = *owner_.owner_.loaded_;
    const auto block = sheet::ParseCellAddress(address, data.max_rows, data.max_cols);
    if (!block) {
      owner_.owner_.owner_.ShowMessage(TSheetMessage{kInvalidAddress, "Error"});
      return;
    }
    if (clear_on_move_) {
      ForStoredCellsIn(*ws, *bound_, [ws](std::uint32_t r, std::uint32_t c) { ws->Clear(r, c); });
    }
    bound_ = block;
  }
  address_ = address;
}

std::string TSheetRange::SimpleText() const {
  const sheet::Worksheet* ws = owner_.Bound();
  if (ws != nullptr && bound_) cached_text_ = owner_.owner_.renderer_->BlockText(*ws, *bound_);
  return cached_text_;
}

void TSheetRange::Bind() {
  sheet::Worksheet* ws = owner_.Bound();
  if (ws == nullptr) return;
  bound_ = sheet::CellBlock{};  // A1
  if (address_.empty()) {
    SetAddress("A1");
    SimpleText();
  } else {
    SetAddress(address_);
  }
  if (!owner_.owner_.filename_.empty()) {
    SimpleText();
  } else if (!cached_text_.empty() && bound_->CellCount() <= kMaxCellsWritten) {
    // A new workbook receives the item's text; a file's workbook is never written.
    sheet::Workbook& data = *owner_.owner_.loaded_;
    sheet::Cell cell;
    cell.kind = sheet::CellKind::Text;
    cell.text = data.AddString(cached_text_);
    for (std::uint32_t r = bound_->first_row;; ++r) {
      for (std::uint32_t c = bound_->first_col;; ++c) {
        ws->Set(r, c, cell);
        if (c == bound_->last_col) break;
      }
      if (r == bound_->last_row) break;
    }
  }
}

TSheetRange& TSheetRanges::Add() {
  TSheetRange& item = Append(std::make_unique<TSheetRange>(owner_));
  if (owner_.Bound() != nullptr) item.Bind();
  return item;
}

// --- TSheetWorksheet -------------------------------------------------------

sheet::Worksheet* TSheetWorksheet::Bound() const {
  if (!bound_sheet_ || !owner_.loaded_ || *bound_sheet_ >= owner_.loaded_->sheets.size()) return nullptr;
  return &owner_.loaded_->sheets[*bound_sheet_];
}

void TSheetWorksheet::SetName(std::string name) {
  name_ = std::move(name);
  if (sheet::Worksheet* ws = Bound()) ws->set_name(name_);
}

TSheetWorksheet& TSheetWorksheets::Add() {
  TSheetWorksheet& item = Append(std::make_unique<TSheetWorksheet>(owner_));
  if (owner_.loaded_) owner_.BindWorksheet(item, items_.size() - 1);
  return item;
}

// --- TSheetWorkbook --------------------------------------------------------

void TSheetWorkbook::SetFilename(std::string filename) {
  filename_ = std::move(filename);
  if (owner_.Connected()) Open();
}

void TSheetWorkbook::BindWorksheet(TSheetWorksheet& item, std::size_t index) {
  std::vector<sheet::Worksheet>& sheets = loaded_->sheets;
  if (index >= sheets.size()) {
    // One new worksheet after the last one, with the first free "SheetN" name.
    std::string name;
    for (std::size_t n = sheets.size() + 1;; ++n) {
      name = "Sheet" + std::to_string(n);
      bool taken = false;
      for (const sheet::Worksheet& s : sheets) taken = taken || s.name() == name;
      if (!taken) break;
    }
    sheets.emplace_back(name);
    index = sheets.size() - 1;
  }
  item.bound_sheet_ = index;
  if (filename_.empty() && !item.name_.empty()) sheets[index].set_name(item.name_);
  else item.name_ = sheets[index].name();
}

void TSheetWorkbook::Bind() {
  if (!filename_.empty()) {
    Open();
    return;
  }
  loaded_ = std::make_unique<sheet::Workbook>();
  loaded_->sheets.emplace_back("Sheet1");
  renderer_ = std::make_unique<sheet::CellTextRenderer>(*loaded_, owner_.DateSource());
  for (int i = 0; i < worksheets_.Count(); ++i) {
    TSheetWorksheet& ws = worksheets_[i];
    BindWorksheet(ws, static_cast<std::size_t>(i));
    for (int r = 0; r < ws.ranges_.Count(); ++r) ws.ranges_[r].Bind();
  }
}

void TSheetWorkbook::Open() {
  worksheets_.Clear();
  renderer_.reset();
  loaded_.reset();
  std::unique_ptr<sheet::Workbook> data;
  try {
    data = std::make_unique<sheet::Workbook>(sheet::LoadWorkbook(filename_));
  } catch (const sheet::WorkbookError& e) {
    throw ESheetError("Cannot open workbook \"" + filename_ + "\": " + e.what());
  } catch (const std::bad_alloc&) {
    throw ESheetError("Cannot open workbook \"" + filename_ + "\": not enough memory to load it");
  } catch (const std::exception& e) {
    // Any other failure while parsing still means the file cannot be read as a workbook.
    throw ESheetError("Cannot open workbook \"" + filename_ + "\": the workbook is damaged (" + e.what() + ")");
  }
  loaded_ = std::move(data);
  renderer_ = std::make_unique<sheet::CellTextRenderer>(*loaded_, owner_.DateSource());
  for (std::size_t i = 0; i < loaded_->sheets.size(); ++i) {
    TSheetWorksheet& ws = worksheets_.Append(std::make_unique<TSheetWorksheet>(*this));
    BindWorksheet(ws, i);
  }
}

std::vector<TSheetCellWarning> TSheetWorkbook::CellWarnings() const {
  std::vector<TSheetCellWarning> out;
  if (!loaded_) return out;
  for (const sheet::CellWarning& w : loaded_->warnings) {
    const std::string name = w.sheet < loaded_->sheets.size() ? loaded_->sheets[w.sheet].name() : std::string();
    out.push_back(TSheetCellWarning{name, sheet::FormatCellAddress(sheet::CellBlock{w.row, w.col, w.row, w.col}), w.text});
  }
  return out;
}

void TSheetWorkbook::Unbind() {
  for (int i = 0; i < worksheets_.Count(); ++i) {
    TSheetWorksheet& ws = worksheets_[i];
    ws.bound_sheet_.reset();
    for (int r = 0; r < ws.ranges_.Count(); ++r) ws.ranges_[r].Unbind();
  }
  renderer_.reset();
  loaded_.reset();
}

TSheetWorkbook& TSheetWorkbooks::Add() {
  TSheetWorkbook& item = Append(std::make_unique<TSheetWorkbook>(owner_));
  if (owner_.Connected()) item.Bind();
  return item;
}

// --- TSheetReader ----------------------------------------------------------

TSheetReader::TSheetReader() : workbooks_(*this), date_source_(sheet::SystemDateSettings) {}

TSheetReader::~TSheetReader() {
  try {
    SetConnected(false);
  } catch (...) {
    // A disconnect listener failing must not escape a destructor.
  }
}

void TSheetReader::SetConnected(bool value) {
  if (value == connected_) return;
  if (value) {
    connected_ = true;
    for (int i = 0; i < workbooks_.Count(); ++i) workbooks_[i].Bind();
    if (on_connect_) on_connect_();
  } else {
    if (on_disconnect_) on_disconnect_();
    for (int i = 0; i < workbooks_.Count(); ++i) workbooks_[i].Unbind();
    connected_ = false;
  }
}

void TSheetReader::ShowMessage(const TSheetMessage& message) const {
  if (message_handler_) {
    message_handler_(message);
  } else {
    std::fprintf(stderr, "%s: %s\n", message.Title.c_str(), message.Text.c_str());
  }
}

void SetUpSheetReader1(TSheetReader& reader) {
  reader.SetConnected(false);
  reader.Workbooks().Clear();
  reader.Workbooks().Add().Worksheets().Add().SetName("Sheet1");
}

}  // namespace dbu
