// ".xls" workbooks: the BIFF8 (or BIFF5) record stream inside a compound document,
// or the bare stream of a single-sheet BIFF2, BIFF3 or BIFF4 file.
#include <cstring>
#include <map>

#include "compound_file.h"
#include "text_encoding.h"
#include "workbook_parsers.h"

namespace dbu::sheet {
namespace {

enum : std::uint16_t {
  kFormula = 0x0006, kEof = 0x000A, kDateMode = 0x0022, kFilePass = 0x002F, kContinue = 0x003C,
  kCodePage = 0x0042, kBoundSheet = 0x0085, kMulRk = 0x00BD, kRString = 0x00D6, kXf = 0x00E0,
  kSst = 0x00FC, kLabelSst = 0x00FD, kNumber = 0x0203, kLabel = 0x0204, kBoolErr = 0x0205,
  kString = 0x0207, kRk = 0x027E, kFormat = 0x041E, kBof = 0x0809
};

[[noreturn]] void Damaged(const std::string& what) {
  throw WorkbookError("the workbook is damaged (" + what + ")");
}

std::uint16_t U16(std::string_view b, std::size_t at) {
  if (at + 2 > b.size()) Damaged("record cut short");
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}
std::uint32_t U32(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}
double F64(std::string_view b, std::size_t at) {
  if (at + 8 > b.size()) Damaged("record cut short");
  double d;
  std::memcpy(&d, b.data() + at, 8);
  return d;
}

double DecodeRk(std::uint32_t rk) {
  double v;
  if (rk & 2) {
    v = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    const std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&v, &bits, 8);
  }
  return (rk & 1) ? v / 100.0 : v;
}

const char* ErrorText(std::uint8_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return "#N/A";
  }
}

struct Record {
  std::uint16_t id = 0;
  std::string_view data;
};

// Walks the records of a BIFF stream.
class RecordCursor {
 public:
  RecordCursor(std::string_view stream, std::size_t at) : s_(stream), pos_(at) {}
  bool Next(Record& r) {
    if (pos_ + 4 > s_.size()) return false;
    r.id = U16(s_, pos_);
    const std::uint16_t len = U16(s_, pos_ + 2);
    if (pos_ + 4 + len > s_.size()) Damaged("record extends past the end of the stream");
    r.data = s_.substr(pos_ + 4, len);
    pos_ += 4 + std::size_t(len);
    return true;
  }
  // The data of the CONTINUE record that follows, if any (consumed).
  bool NextContinue(std::string_view& data) {
    if (pos_ + 4 > s_.size() || U16(s_, pos_) != kContinue) return false;
    Record r;
    Next(r);
    data = r.data;
    return true;
  }

 private:
  std::string_view s_;
  std::size_t pos_;
};

// A record with its CONTINUE records joined; `breaks` are where each continuation starts,
// because a string's characters that cross one restart with a fresh option byte.
class JoinedRecord {
 public:
  explicit JoinedRecord(std::string_view first) : data_(first) {}
  void Append(std::string_view more) {
    breaks_.push_back(data_.size());
    data_.append(more.data(), more.size());
  }
  std::size_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }
  std::uint8_t Byte() {
    if (pos_ >= data_.size()) Damaged("string data cut short");
    return static_cast<std::uint8_t>(data_[pos_++]);
  }
  std::uint16_t Word() {
    const std::uint16_t lo = Byte();
    return static_cast<std::uint16_t>(lo | (Byte() << 8));
  }
  std::uint32_t Dword() {
    const std::uint32_t lo = Word();
    return lo | (static_cast<std::uint32_t>(Word()) << 16);
  }
  void Skip(std::uint64_t n) {
    if (n > data_.size() - pos_) Damaged("string data cut short");
    pos_ += static_cast<std::size_t>(n);
  }

  // A BIFF8 unicode string with a 1- or 2-byte character count.
  std::string UnicodeString(int count_bytes) {
    std::uint32_t remaining = count_bytes == 1 ? Byte() : Word();
    const std::uint8_t flags = Byte();
    bool wide = flags & 0x01;
    const std::uint16_t runs = (flags & 0x08) ? Word() : 0;
    const std::uint32_t ext = (flags & 0x04) ? Dword() : 0;
    std::string out;
    while (remaining > 0) {
      const std::size_t limit = NextBreak();
      if (pos_ == limit && limit < data_.size()) {
        wide = Byte() & 0x01;  // characters continue in the next record
        continue;
      }
      const std::size_t avail = (limit - pos_) / (wide ? 2 : 1);
      if (avail == 0) Damaged("string data cut short");
      const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(avail, remaining));
      const std::string_view chars(data_.data() + pos_, std::size_t(n) * (wide ? 2 : 1));
      out += wide ? Utf16LeToUtf8(chars) : SingleByteToUtf8(chars, 0);
      pos_ += chars.size();
      remaining -= n;
    }
    Skip(std::uint64_t(runs) * 4 + ext);  // formatting runs and phonetic data: not shown
    return out;
  }

 private:
  std::size_t NextBreak() {
    // pos_ only grows, so the search resumes where it stopped.
    while (next_break_ < breaks_.size() && breaks_[next_break_] < pos_) ++next_break_;
    return next_break_ < breaks_.size() ? breaks_[next_break_] : data_.size();
  }
  std::string data_;
  std::vector<std::size_t> breaks_;
  std::size_t next_break_ = 0;
  std::size_t pos_ = 0;
};

// Cell records keep their meaning from BIFF3 on; BIFF2 has its own set, whose
// cells carry three attribute bytes instead of an XF index.
enum : std::uint16_t {
  kBof2 = 0x0009, kBof3 = 0x0209, kBof4 = 0x0409, kFormat2 = 0x001E, kXf2 = 0x0043, kXf3 = 0x0243,
  kXf4 = 0x0443, kIxfe2 = 0x0044, kInteger2 = 0x0002, kNumber2 = 0x0003, kLabel2 = 0x0004,
  kBoolErr2 = 0x0005, kFormula2 = 0x0006, kString2 = 0x0007, kFormula3 = 0x0206, kFormula4 = 0x0406
};

// A cell record too short for what it must hold; only that cell is lost.
struct ShortCell {
  std::string what;
};

class BiffParser {
 public:
  explicit BiffParser(std::string_view stream, bool biff5_hint) : s_(stream), biff5_hint_(biff5_hint) {}

  Workbook Parse() {
    RecordCursor cur(s_, 0);
    Record r;
    if (!cur.Next(r) || r.id != kBof) {
      if (r.id == kBof2 || r.id == kBof3 || r.id == kBof4) {
        throw WorkbookError("the workbook is damaged (an old single-sheet stream inside a compound document)");
      }
      Damaged("no beginning-of-file record");
    }
    const std::uint16_t version = U16(r.data, 0);
    biff8_ = version == 0x0600 || (version != 0x0500 && !biff5_hint_);
    wb_.kind = biff8_ ? WorkbookKind::Biff8 : WorkbookKind::Biff5;
    wb_.max_rows = biff8_ ? 65536 : 16384;
    wb_.max_cols = 256;
    ReadGlobals(cur);
    ResolveFormats();
    for (const SheetEntry& e : sheets_) {
      wb_.sheets.emplace_back(e.name);
      ReadSheet(e.offset, static_cast<std::uint32_t>(wb_.sheets.size() - 1));
    }
    return std::move(wb_);
  }

  // A file of BIFF2, BIFF3 or BIFF4: one worksheet whose stream holds its
  // formats, XF records and cells together, with no container around it.
  Workbook ParseOld() {
    RecordCursor cur(s_, 0);
    Record r;
    if (!cur.Next(r)) Damaged("no beginning-of-file record");
    old_version_ = r.id == kBof2 ? 2 : r.id == kBof3 ? 3 : r.id == kBof4 ? 4 : 0;
    if (old_version_ == 0) Damaged("no beginning-of-file record");
    if (r.data.size() >= 4) {
      const std::uint16_t type = U16(r.data, 2);
      if (type == 0x0100) throw WorkbookError("the workbook is an Excel 4 workbook of several sheets, which is not supported");
      if (type != 0x0010) throw WorkbookError("the file holds no worksheet (an old chart or macro sheet)");
    }
    biff8_ = false;
    code_page_ = 1252;
    wb_.kind = WorkbookKind::Biff4;
    wb_.max_rows = 16384;
    wb_.max_cols = 256;
    wb_.sheets.emplace_back("Sheet1");
    ReadCells(cur, 0);
    return std::move(wb_);
  }

 private:
  struct SheetEntry {
    std::string name;
    std::uint32_t offset;
  };

  std::string ByteString(std::string_view b, std::size_t at, int count_bytes, std::size_t* end = nullptr) {
    if (at >= b.size()) Damaged("string outside its record");
    const std::size_t n = count_bytes == 1 ? static_cast<unsigned char>(b[at]) : U16(b, at);
    const std::size_t start = at + std::size_t(count_bytes);
    if (start + n > b.size()) Damaged("string longer than its record");
    if (end) *end = start + n;
    return SingleByteToUtf8(b.substr(start, n), code_page_);
  }

  std::string RecordString(std::string_view data, std::size_t at, int count_bytes) {
    if (!biff8_) return ByteString(data, at, count_bytes);
    if (at > data.size()) Damaged("string outside its record");
    JoinedRecord j(data.substr(at));
    return j.UnicodeString(count_bytes);
  }

  void ReadGlobals(RecordCursor& cur) {
    Record r;
    while (cur.Next(r)) {
      switch (r.id) {
        case kEof: return;
        case kFilePass: throw WorkbookError("the workbook is protected by a password");
        case kDateMode: wb_.date1904 = U16(r.data, 0) != 0; break;
        case kCodePage: code_page_ = U16(r.data, 0); break;
        case kXf: xf_format_ids_.push_back(U16(r.data, 2)); break;
        case kFormat: {
          const std::uint16_t id = U16(r.data, 0);
          format_codes_[id] = RecordString(r.data, 2, biff8_ ? 2 : 1);
          break;
        }
        case kBoundSheet: {
          const std::uint32_t offset = U32(r.data, 0);
          const std::uint8_t type = static_cast<std::uint8_t>(r.data.size() > 5 ? r.data[5] : 0);
          std::string name = biff8_ ? RecordString(r.data, 6, 1) : ByteString(r.data, 6, 1);
          if (type == 0) sheets_.push_back(SheetEntry{std::move(name), offset});
          break;
        }
        case kSst: {
          JoinedRecord j(r.data);
          std::string_view more;
          while (cur.NextContinue(more)) j.Append(more);
          j.Skip(8);
          while (!j.AtEnd()) sst_.push_back(wb_.AddString(j.UnicodeString(2)));
          break;
        }
        default: break;
      }
    }
    Damaged("workbook globals without end-of-file record");
  }

  void ResolveFormats() {
    std::map<std::uint16_t, std::uint32_t> by_id;
    for (std::uint16_t id : xf_format_ids_) {
      if (by_id.count(id)) continue;
      const auto code = format_codes_.find(id);
      if (id == 0) by_id[id] = 0;
      else if (id == 14 || id == 22 || code == format_codes_.end()) by_id[id] = wb_.AddFormat(NumberFormat{id, {}});
      else by_id[id] = wb_.AddFormat(NumberFormat{-1, code->second});
    }
    for (std::uint16_t id : xf_format_ids_) xf_to_format_.push_back(by_id[id]);
  }

  // Old files number their formats by the order of their FORMAT records, and
  // spell out every format, the built-in ones too.
  std::uint32_t FormatOfOldIndex(std::size_t index) {
    if (index >= old_formats_.size()) return 0;
    OldFormat& f = old_formats_[index];
    if (!f.resolved) {
      f.format = wb_.AddFormat(NumberFormat{-1, f.code});
      f.resolved = true;
    }
    return f.format;
  }

  std::uint32_t FormatOfXf(std::uint16_t xf) {
    if (old_version_ != 0) return xf < old_xf_formats_.size() ? FormatOfOldIndex(old_xf_formats_[xf]) : 0;
    return xf < xf_to_format_.size() ? xf_to_format_[xf] : 0;
  }

  void Put(Worksheet& ws, std::uint32_t row, std::uint32_t col, Cell cell) {
    if (row >= wb_.max_rows || col >= wb_.max_cols) return;  // outside the grid: not a cell
    ws.Set(row, col, cell);
  }

  void PutNumber(Worksheet& ws, std::uint32_t row, std::uint32_t col, std::uint32_t format, double v) {
    Cell c;
    c.kind = CellKind::Number;
    c.number = v;
    c.format = format;
    Put(ws, row, col, c);
  }

  void PutText(Worksheet& ws, std::uint32_t row, std::uint32_t col, std::uint32_t format, std::uint32_t text) {
    Cell c;
    c.kind = CellKind::Text;
    c.text = text;
    c.format = format;
    Put(ws, row, col, c);
  }

  void PutBoolErr(Worksheet& ws, std::uint32_t row, std::uint32_t col, std::uint32_t format, std::uint8_t value,
                  bool is_error) {
    Cell c;
    c.format = format;
    if (is_error) {
      c.kind = CellKind::Error;
      c.text = wb_.AddString(ErrorText(value));
    } else {
      c.kind = CellKind::Boolean;
      c.number = value != 0;
    }
    Put(ws, row, col, c);
  }

  static void Need(std::string_view d, std::size_t n) {
    if (d.size() < n) throw ShortCell{"cell record cut short"};
  }

  void ReadSheet(std::uint32_t offset, std::uint32_t sheet) {
    if (offset >= s_.size()) Damaged("worksheet position beyond the end of the stream");
    RecordCursor cur(s_, offset);
    Record r;
    if (!cur.Next(r) || r.id != kBof) Damaged("worksheet without beginning-of-file record");
    ReadCells(cur, sheet);
  }

  // Reads cell records up to the sheet's end-of-file record, skipping embedded
  // substreams (charts). A cell whose record cannot be read stays empty and is
  // listed in the workbook's warnings.
  void ReadCells(RecordCursor& cur, std::uint32_t sheet) {
    Worksheet& ws = wb_.sheets[sheet];
    Record r;
    int depth = 1;
    while (depth > 0 && cur.Next(r)) {
      if (r.id == kBof || r.id == kBof2 || r.id == kBof3 || r.id == kBof4) {
        ++depth;
        continue;
      }
      if (r.id == kEof) {
        --depth;
        continue;
      }
      if (depth != 1) continue;
      try {
        if (old_version_ != 0 && ReadOldRecord(r, ws)) continue;
        ReadCellRecord(r, cur, ws);
      } catch (const ShortCell& e) {
        pending_string_ = false;
        if (r.data.size() < 4) {
          wb_.Warn(sheet, 0, 0, "a cell record too short to name its cell");
        } else {
          const std::uint32_t row = U16(r.data, 0), col = U16(r.data, 2);
          if (row < wb_.max_rows && col < wb_.max_cols) wb_.Warn(sheet, row, col, e.what);
        }
      }
    }
  }

  // Records of the old formats that differ from later ones; false for the rest.
  bool ReadOldRecord(const Record& r, Worksheet& ws) {
    const std::string_view d = r.data;
    switch (r.id) {
      case kDateMode:
        if (d.size() >= 2) wb_.date1904 = U16(d, 0) != 0;
        return true;
      case kCodePage:
        if (d.size() >= 2) code_page_ = U16(d, 0);
        return true;
      case kFilePass: throw WorkbookError("the workbook is protected by a password");
      case kFormat2:
      case kFormat: {
        // BIFF4 puts two unused bytes before the text.
        std::string code;
        try {
          code = ByteString(d, r.id == kFormat ? 2 : 0, 1);
        } catch (const WorkbookError&) {
          code = "General";
        }
        old_formats_.push_back(OldFormat{std::move(code)});
        return true;
      }
      case kXf3:
      case kXf4:
        old_xf_formats_.push_back(d.size() >= 2 ? static_cast<std::uint8_t>(d[1]) : 0);
        return true;
      case kXf2:
        old_xf_formats_.push_back(d.size() >= 3 ? static_cast<std::uint8_t>(d[2]) & 0x3F : 0);
        return true;
      case kFormula3:
      case kFormula4:
        ReadFormula(r, ws);
        return true;
      default: break;
    }
    if (old_version_ != 2) return false;
    // BIFF2 cells: row, column, three attribute bytes (the second holds the format index), value.
    switch (r.id) {
      case kIxfe2:  // the XF of the next cell, whose format its own attributes name
        return true;
      case kInteger2:
        Need(d, 9);
        PutNumber(ws, U16(d, 0), U16(d, 2), Biff2Format(d), U16(d, 7));
        return true;
      case kNumber2:
        Need(d, 15);
        PutNumber(ws, U16(d, 0), U16(d, 2), Biff2Format(d), F64(d, 7));
        return true;
      case kLabel2:
        Need(d, 8);
        PutText(ws, U16(d, 0), U16(d, 2), Biff2Format(d), wb_.AddString(CellString(d, 7, 1)));
        return true;
      case kBoolErr2:
        Need(d, 9);
        PutBoolErr(ws, U16(d, 0), U16(d, 2), Biff2Format(d), static_cast<std::uint8_t>(d[7]), d[8] != 0);
        return true;
      case kFormula2: {
        Need(d, 17);
        const std::uint32_t format = Biff2Format(d);
        if (U16(d, 13) != 0xFFFF) {
          PutNumber(ws, U16(d, 0), U16(d, 2), format, F64(d, 7));
        } else {
          FormulaResult(ws, U16(d, 0), U16(d, 2), format, static_cast<std::uint8_t>(d[7]), static_cast<std::uint8_t>(d[9]));
        }
        return true;
      }
      case kString2:
        if (pending_string_) {
          std::string text = CellString(d, 0, 1);
          if (!text.empty()) PutText(ws, prow_, pcol_, pformat_, wb_.AddString(std::move(text)));
          pending_string_ = false;
        }
        return true;
      default: return false;
    }
  }

  std::uint32_t Biff2Format(std::string_view d) { return FormatOfOldIndex(static_cast<std::uint8_t>(d[5]) & 0x3F); }

  // A string inside a cell record; a length that runs past the record loses only this cell.
  std::string CellString(std::string_view d, std::size_t at, int count_bytes) {
    try {
      return RecordString(d, at, count_bytes);
    } catch (const WorkbookError&) {
      throw ShortCell{"text longer than its cell record"};
    }
  }

  // A formula's cached result that is not a number: a text (in the STRING record that follows), a boolean, an error, or empty.
  void FormulaResult(Worksheet& ws, std::uint32_t row, std::uint32_t col, std::uint32_t format, std::uint8_t type,
                     std::uint8_t value) {
    if (type == 0) {
      pending_string_ = true;
      prow_ = row;
      pcol_ = col;
      pformat_ = format;
    } else if (type == 1 || type == 2) {
      PutBoolErr(ws, row, col, format, value, type == 2);
    }
    // type 3: an empty text, the same as an empty cell.
  }

  void ReadFormula(const Record& r, Worksheet& ws) {
    const std::string_view d = r.data;
    Need(d, 14);
    const std::uint32_t format = FormatOfXf(U16(d, 4));
    if (U16(d, 12) != 0xFFFF) {
      PutNumber(ws, U16(d, 0), U16(d, 2), format, F64(d, 6));
    } else {
      FormulaResult(ws, U16(d, 0), U16(d, 2), format, static_cast<std::uint8_t>(d[6]), static_cast<std::uint8_t>(d[8]));
    }
  }

  void ReadCellRecord(const Record& r, RecordCursor& cur, Worksheet& ws) {
    const std::string_view d = r.data;
    switch (r.id) {
      case kNumber:
        Need(d, 14);
        PutNumber(ws, U16(d, 0), U16(d, 2), FormatOfXf(U16(d, 4)), F64(d, 6));
        break;
      case kRk:
        Need(d, 10);
        PutNumber(ws, U16(d, 0), U16(d, 2), FormatOfXf(U16(d, 4)), DecodeRk(U32(d, 6)));
        break;
      case kMulRk: {
        Need(d, 6);
        const std::uint16_t row = U16(d, 0);
        std::uint32_t col = U16(d, 2);
        for (std::size_t at = 4; at + 6 + 2 <= d.size(); at += 6, ++col)
          PutNumber(ws, row, col, FormatOfXf(U16(d, at)), DecodeRk(U32(d, at + 2)));
        break;
      }
      case kLabelSst: {
        Need(d, 10);
        const std::uint32_t idx = U32(d, 6);
        if (idx >= sst_.size()) throw ShortCell{"string table index " + std::to_string(idx) + " out of range"};
        PutText(ws, U16(d, 0), U16(d, 2), FormatOfXf(U16(d, 4)), sst_[idx]);
        break;
      }
      case kLabel:
      case kRString:
        Need(d, 8);
        PutText(ws, U16(d, 0), U16(d, 2), FormatOfXf(U16(d, 4)), wb_.AddString(CellString(d, 6, 2)));
        break;
      case kBoolErr:
        Need(d, 8);
        PutBoolErr(ws, U16(d, 0), U16(d, 2), FormatOfXf(U16(d, 4)), static_cast<std::uint8_t>(d[6]), d[7] != 0);
        break;
      case kFormula:
        ReadFormula(r, ws);
        break;
      case kString:
        if (pending_string_) {
          std::string text;
          if (biff8_) {
            JoinedRecord j(d);
            std::string_view more;
            while (cur.NextContinue(more)) j.Append(more);
            try {
              text = j.UnicodeString(2);
            } catch (const WorkbookError&) {
              pending_string_ = false;
              throw ShortCell{"formula text longer than its record"};
            }
          } else {
            text = CellString(d, 0, 2);
          }
          if (!text.empty()) PutText(ws, prow_, pcol_, pformat_, wb_.AddString(std::move(text)));
          pending_string_ = false;
        }
        break;
      default: break;
    }
  }

  struct OldFormat {
    std::string code;
    bool resolved = false;
    std::uint32_t format = 0;
  };

  std::string_view s_;
  bool biff5_hint_ = false;
  bool biff8_ = true;
  int old_version_ = 0;  // 2, 3 or 4 for a bare old stream
  int code_page_ = 1252;
  Workbook wb_;
  std::vector<std::uint32_t> sst_;
  std::vector<std::uint16_t> xf_format_ids_;
  std::map<std::uint16_t, std::string> format_codes_;
  std::vector<std::uint32_t> xf_to_format_;
  std::vector<SheetEntry> sheets_;
  std::vector<OldFormat> old_formats_;
  std::vector<std::uint8_t> old_xf_formats_;
  // A formula whose text result comes in the next STRING record.
  bool pending_string_ = false;
  std::uint32_t prow_ = 0, pcol_ = 0, pformat_ = 0;
};

}  // namespace

bool IsOldBiffStream(std::string_view bytes) {
  if (bytes.size() < 8) return false;
  const std::uint16_t id = U16(bytes, 0), len = U16(bytes, 2);
  return (id == kBof2 || id == kBof3 || id == kBof4) && len >= 4 && len <= 16;
}

Workbook ParseXls(std::string_view bytes) {
  if (IsOldBiffStream(bytes)) return BiffParser(bytes, false).ParseOld();
  CompoundFile cf(bytes);
  if (auto s = cf.ReadStream("Workbook")) return BiffParser(*s, false).Parse();
  if (auto s = cf.ReadStream("Book")) return BiffParser(*s, true).Parse();
  if (cf.ReadStream("EncryptedPackage")) throw WorkbookError("the workbook is protected by a password");
  throw WorkbookError("the file is not a workbook (a compound document without a workbook stream)");
}

}  // namespace dbu::sheet
