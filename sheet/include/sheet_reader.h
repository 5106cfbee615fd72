/*
 * The spreadsheet component of the main window (SheetReader1): a tree of
 * workbook, worksheet and range items that reads the displayed text of cells
 * of workbook files. Connecting loads and indexes each workbook item's file
 * and binds the items to what was loaded (the worksheet items of a workbook
 * with a file name are rebuilt from the file); disconnecting drops it. While
 * disconnected, items keep their stored values (file names, names, addresses,
 * the last text read).
 *
 * Ownership: the reader owns its workbook items, each workbook item its
 * worksheet items, each worksheet item its range items; items never outlive
 * their owner and references to them stay valid until they are removed. A
 * loaded workbook is private to its item: clearing cells (ClearOnMove) or
 * writing into a new workbook changes only that copy, never a file.
 * Used from one thread only.
 */
#ifndef DBU_SHEET_SHEET_READER_H
#define DBU_SHEET_SHEET_READER_H

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cell_address.h"
#include "cell_text.h"
#include "workbook.h"

namespace dbu {

// Connecting failed (file missing, unreadable, not a workbook); the text names the file and the reason.
class ESheetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An item index outside a collection.
class ESheetIndexError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// A message box the component asks the application to show.
struct TSheetMessage {
  enum class TIcon { Error };
  enum class TButtons { Ok };
  std::string Text;
  std::string Title;
  TIcon Icon = TIcon::Error;
  TButtons Buttons = TButtons::Ok;
};
using TSheetMessageHandler = std::function<void(const TSheetMessage&)>;

// A cell of an opened file whose stored value could not be read: it reads as
// empty, and the rest of the file is there. Only tools ask for these; the
// import tasks see the empty text, as for any empty cell.
struct TSheetCellWarning {
  std::string Sheet;    // the worksheet's name
  std::string Address;  // "B3"
  std::string Text;     // what was wrong with the stored value
};

class TSheetReader;
class TSheetWorkbook;
class TSheetWorksheet;

// Items of one kind, in order, owned by the collection.
template <typename T>
class TSheetCollection {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  T& Items(int index) const {
    if (index < 0 || index >= Count())
      throw ESheetIndexError(std::string(kind_) + " index out of bounds (" + std::to_string(index) + "): there " +
                             (Count() == 1 ? "is 1 item" : "are " + std::to_string(Count()) + " items"));
    return *items_[static_cast<std::size_t>(index)];
  }
  T& operator[](int index) const { return Items(index); }
  void Delete(int index) {
    Items(index);
    items_.erase(items_.begin() + index);
  }
  void Clear() { items_.clear(); }

 protected:
  explicit TSheetCollection(const char* kind) : kind_(kind) {}
  T& Append(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return *items_.back();
  }
  std::vector<std::unique_ptr<T>> items_;

 private:
  const char* kind_;
};

class TSheetRange {
 public:
  explicit TSheetRange(TSheetWorksheet& owner) : owner_(owner) {}

  const std::string& Name() const { return name_; }  // a label of the item only
  void SetName(std::string name) { name_ = std::move(name); }

  // The last accepted address; while bound, in relative A1 form ("A2", "A2:B3").
  std::string Address() const;
  // Moves the range. An address the workbook cannot have shows "Invalid Range
  // Address." once and keeps the previous range and Address.
  void SetAddress(const std::string& address);

  // The displayed text of the range (cached; while disconnected the cached value).
  std::string SimpleText() const;

  bool ClearOnMove() const { return clear_on_move_; }
  void SetClearOnMove(bool value) { clear_on_move_ = value; }

 private:
  friend class TSheetWorksheet;
  friend class TSheetRanges;
  friend class TSheetWorkbook;
  friend class TSheetReader;
  void Bind();
  void Unbind() { bound_.reset(); }

  TSheetWorksheet& owner_;
  std::string name_;
  mutable std::string address_;
  mutable std::string cached_text_;
  bool clear_on_move_ = false;
  std::optional<sheet::CellBlock> bound_;
};

class TSheetRanges : public TSheetCollection<TSheetRange> {
 public:
  explicit TSheetRanges(TSheetWorksheet& owner) : TSheetCollection("Ranges"), owner_(owner) {}
  // A new range item; while connected it is bound at once (to A1 when it has no address).
  TSheetRange& Add();

 private:
  TSheetWorksheet& owner_;
};

class TSheetWorksheet {
 public:
  explicit TSheetWorksheet(TSheetWorkbook& owner) : owner_(owner), ranges_(*this) {}

  const std::string& Name() const { return name_; }
  void SetName(std::string name);
  TSheetRanges& Ranges() { return ranges_; }
  const TSheetRanges& Ranges() const { return ranges_; }
  TSheetWorkbook& Workbook() const { return owner_; }

 private:
  friend class TSheetRange;
  friend class TSheetRanges;
  friend class TSheetWorkbook;
  friend class TSheetReader;
  sheet::Worksheet* Bound() const;

  TSheetWorkbook& owner_;
  std::string name_;
  TSheetRanges ranges_;
  std::optional<std::size_t> bound_sheet_;
};

class TSheetWorksheets : public TSheetCollection<TSheetWorksheet> {
 public:
  explicit TSheetWorksheets(TSheetWorkbook& owner) : TSheetCollection("Worksheets"), owner_(owner) {}
  TSheetWorksheet& Add();

 private:
  friend class TSheetWorkbook;
  TSheetWorkbook& owner_;
};

class TSheetWorkbook {
 public:
  explicit TSheetWorkbook(TSheetReader& owner) : owner_(owner), worksheets_(*this) {}

  const std::string& Filename() const { return filename_; }
  // While connected this opens the file at once (see TSheetReader::SetConnected for failures).
  void SetFilename(std::string filename);
  TSheetWorksheets& Worksheets() { return worksheets_; }
  const TSheetWorksheets& Worksheets() const { return worksheets_; }
  TSheetReader& Reader() const { return owner_; }

  // The cells of the opened file that loaded empty because their stored value
  // was unreadable (the first hundred), and how many there were in all.
  std::vector<TSheetCellWarning> CellWarnings() const;
  std::size_t CellWarningCount() const { return loaded_ ? loaded_->warning_count : 0; }

 private:
  friend class TSheetReader;
  friend class TSheetWorksheet;
  friend class TSheetWorksheets;
  friend class TSheetRange;
  friend class TSheetRanges;
  friend class TSheetWorkbooks;
  void Bind();
  void Open();
  void BindWorksheet(TSheetWorksheet& item, std::size_t index);
  void Unbind();

  TSheetReader& owner_;
  std::string filename_;
  TSheetWorksheets worksheets_;
  std::unique_ptr<sheet::Workbook> loaded_;
  std::unique_ptr<sheet::CellTextRenderer> renderer_;
};

class TSheetWorkbooks : public TSheetCollection<TSheetWorkbook> {
 public:
  explicit TSheetWorkbooks(TSheetReader& owner) : TSheetCollection("Workbooks"), owner_(owner) {}
  TSheetWorkbook& Add();

 private:
  TSheetReader& owner_;
};

class TSheetReader {
 public:
  TSheetReader();
  ~TSheetReader();  // disconnects
  TSheetReader(const TSheetReader&) = delete;
  TSheetReader& operator=(const TSheetReader&) = delete;

  bool Connected() const { return connected_; }
  // True loads every workbook item's file and binds the items. A file that
  // cannot be opened throws ESheetError naming the file and the reason; the
  // reader is then connected and that workbook item has no worksheet items.
  // False drops what was loaded; the item tree stays.
  void SetConnected(bool value);

  TSheetWorkbooks& Workbooks() { return workbooks_; }
  const TSheetWorkbooks& Workbooks() const { return workbooks_; }

  // Shows the component's message boxes; without one they go to standard error.
  void SetMessageHandler(TSheetMessageHandler handler) { message_handler_ = std::move(handler); }
  void SetOnSheetConnect(std::function<void()> fn) { on_connect_ = std::move(fn); }
  void SetOnSheetDisconnect(std::function<void()> fn) { on_disconnect_ = std::move(fn); }
  // Where the built-in short date format comes from (default: the process settings).
  void SetDateSettingsSource(std::function<sheet::DateSettings()> source) { date_source_ = std::move(source); }

  void ShowMessage(const TSheetMessage& message) const;
  const std::function<sheet::DateSettings()>& DateSource() const { return date_source_; }

 private:
  bool connected_ = false;
  TSheetWorkbooks workbooks_;
  TSheetMessageHandler message_handler_;
  std::function<void()> on_connect_, on_disconnect_;
  std::function<sheet::DateSettings()> date_source_;
};

// The main window's design-time state of SheetReader1: disconnected, one
// workbook item without a file name holding one worksheet item "Sheet1".
void SetUpSheetReader1(TSheetReader& reader);

}  // namespace dbu

#endif
