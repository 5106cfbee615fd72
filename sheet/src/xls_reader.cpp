// ".xls" workbooks: the BIFF8 (or BIFF5) record stream inside a compound document.
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

class BiffParser {
 public:
  explicit BiffParser(std::string_view stream, bool biff5_hint) : s_(stream), biff5_hint_(biff5_hint) {}

  Workbook Parse() {
    RecordCursor cur(s_, 0);
    Record r;
    if (!cur.Next(r) || r.id != kBof) {
      if (r.id == 0x0009 || r.id == 0x0209 || r.id == 0x0409) throw WorkbookError("the workbook is in an old format that is not supported (BIFF2-4)");
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
      ReadSheet(e.offset, wb_.sheets.back());
    }
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

  std::uint32_t FormatOfXf(std::uint16_t xf) const { return xf < xf_to_format_.size() ? xf_to_format_[xf] : 0; }

  void Put(Worksheet& ws, std::uint32_t row, std::uint32_t col, Cell cell) {
    if (row >= wb_.max_rows || col >= wb_.max_cols) return;  // outside the grid: not a cell
    ws.Set(row, col, cell);
  }

  void PutNumber(Worksheet& ws, std::string_view d, double v) {
    Cell c;
    c.kind = CellKind::Number;
    c.number = v;
    c.format = FormatOfXf(U16(d, 4));
    Put(ws, U16(d, 0), U16(d, 2), c);
  }

  void PutText(Worksheet& ws, std::uint32_t row, std::uint32_t col, std::uint16_t xf, std::uint32_t text) {
    Cell c;
    c.kind = CellKind::Text;
    c.text = text;
    c.format = FormatOfXf(xf);
    Put(ws, row, col, c);
  }

  void ReadSheet(std::uint32_t offset, Worksheet& ws) {
    if (offset >= s_.size()) Damaged("worksheet position beyond the end of the stream");
    RecordCursor cur(s_, offset);
    Record r;
    if (!cur.Next(r) || r.id != kBof) Damaged("worksheet without beginning-of-file record");
    int depth = 1;
    bool pending_string = false;
    std::uint16_t prow = 0, pcol = 0, pxf = 0;
    while (depth > 0 && cur.Next(r)) {
      if (r.id == kBof) {
        ++depth;
        continue;
      }
      if (r.id == kEof) {
        --depth;
        continue;
      }
      if (depth != 1) continue;
      const std::string_view d = r.data;
      switch (r.id) {
        case kNumber: PutNumber(ws, d, F64(d, 6)); break;
        case kRk: PutNumber(ws, d, DecodeRk(U32(d, 6))); break;
        case kMulRk: {
          if (d.size() < 6) Damaged("record cut short");
          const std::uint16_t row = U16(d, 0);
          std::uint32_t col = U16(d, 2);
          for (std::size_t at = 4; at + 6 + 2 <= d.size(); at += 6, ++col) {
            Cell c;
            c.kind = CellKind::Number;
            c.format = FormatOfXf(U16(d, at));
            c.number = DecodeRk(U32(d, at + 2));
            Put(ws, row, col, c);
          }
          break;
        }
        case kLabelSst: {
          const std::uint32_t idx = U32(d, 6);
          if (idx >= sst_.size()) Damaged("string table index out of range");
          PutText(ws, U16(d, 0), U16(d, 2), U16(d, 4), sst_[idx]);
          break;
        }
        case kLabel:
        case kRString:
          PutText(ws, U16(d, 0), U16(d, 2), U16(d, 4), wb_.AddString(RecordString(d, 6, 2)));
          break;
        case kBoolErr: {
          if (d.size() < 8) Damaged("record cut short");
          Cell c;
          const std::uint8_t value = static_cast<std::uint8_t>(d[6]);
          c.format = FormatOfXf(U16(d, 4));
          if (d[7] != 0) {
            c.kind = CellKind::Error;
            c.text = wb_.AddString(ErrorText(value));
          } else {
            c.kind = CellKind::Boolean;
            c.number = value != 0;
          }
          Put(ws, U16(d, 0), U16(d, 2), c);
          break;
        }
        case kFormula: {
          if (d.size() < 14) Damaged("record cut short");
          if (U16(d, 12) != 0xFFFF) {
            PutNumber(ws, d, F64(d, 6));
            break;
          }
          const std::uint8_t type = static_cast<std::uint8_t>(d[6]);
          Cell c;
          c.format = FormatOfXf(U16(d, 4));
          if (type == 0) {
            pending_string = true;
            prow = U16(d, 0);
            pcol = U16(d, 2);
            pxf = U16(d, 4);
          } else if (type == 1) {
            c.kind = CellKind::Boolean;
            c.number = d[8] != 0;
            Put(ws, U16(d, 0), U16(d, 2), c);
          } else if (type == 2) {
            c.kind = CellKind::Error;
            c.text = wb_.AddString(ErrorText(static_cast<std::uint8_t>(d[8])));
            Put(ws, U16(d, 0), U16(d, 2), c);
          }
          // type 3: an empty text, the same as an empty cell.
          break;
        }
        case kString:
          if (pending_string) {
            std::string text;
            if (biff8_) {
              JoinedRecord j(d);
              std::string_view more;
              while (cur.NextContinue(more)) j.Append(more);
              text = j.UnicodeString(2);
            } else {
              text = ByteString(d, 0, 2);
            }
            if (!text.empty()) PutText(ws, prow, pcol, pxf, wb_.AddString(std::move(text)));
            pending_string = false;
          }
          break;
        default: break;
      }
    }
  }

  std::string_view s_;
  bool biff5_hint_;
  bool biff8_ = true;
  int code_page_ = 1252;
  Workbook wb_;
  std::vector<std::uint32_t> sst_;
  std::vector<std::uint16_t> xf_format_ids_;
  std::map<std::uint16_t, std::string> format_codes_;
  std::vector<std::uint32_t> xf_to_format_;
  std::vector<SheetEntry> sheets_;
};

}  // namespace

Workbook ParseXls(std::string_view bytes) {
  CompoundFile cf(bytes);
  if (auto s = cf.ReadStream("Workbook")) return BiffParser(*s, false).Parse();
  if (auto s = cf.ReadStream("Book")) return BiffParser(*s, true).Parse();
  if (cf.ReadStream("EncryptedPackage")) throw WorkbookError("the workbook is protected by a password");
  throw WorkbookError("the file is not a workbook (a compound document without a workbook stream)");
}

}  // namespace dbu::sheet
