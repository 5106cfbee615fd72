// ".xlsx" workbooks: SpreadsheetML parts in a zip package, streamed through expat.
#include <expat.h>
#include <unzip.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <map>

#include "cell_address.h"
#include "text_encoding.h"
#include "workbook_parsers.h"

namespace dbu::sheet {
namespace {

// Limits on unpacking, so that a small hostile package (a decompression bomb)
// cannot make the reader produce, parse and hold gigabytes. The XML of a real
// workbook packs 5 to 10 times; a part may unpack to kMaxPartRatio times its
// packed size, to kFreePartBytes whatever its ratio (small parts of repeated
// markup pack far better), and never past kMaxPartBytes; a whole package never
// past kMaxInflated. Each limit is checked as the bytes come out of inflate.
constexpr std::uint64_t kMaxInflated = std::uint64_t(1) << 30;
constexpr std::uint64_t kMaxPartBytes = std::uint64_t(512) << 20;
constexpr std::uint64_t kFreePartBytes = std::uint64_t(16) << 20;
constexpr std::uint64_t kMaxPartRatio = 100;
// Any row number past the grid; keeps row arithmetic far from overflow.
constexpr long long kMaxRowNumber = 1LL << 40;

[[noreturn]] void Damaged(const std::string& what) {
  throw WorkbookError("the workbook is damaged (" + what + ")");
}

// ---------------------------------------------------------------------------
// minizip reading from memory or from an open file.

struct MemoryFile {
  std::string_view bytes;
  std::uint64_t pos = 0;
};

voidpf PassOpen(voidpf opaque, const void*, int) { return opaque; }
uLong NoWrite(voidpf, voidpf, const void*, uLong) { return 0; }
int NoClose(voidpf, voidpf) { return 0; }

uLong MemRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto* f = static_cast<MemoryFile*>(stream);
  if (f->pos >= f->bytes.size()) return 0;
  const uLong n = static_cast<uLong>(std::min<std::uint64_t>(size, f->bytes.size() - f->pos));
  std::memcpy(buf, f->bytes.data() + f->pos, n);
  f->pos += n;
  return n;
}
ZPOS64_T MemTell(voidpf, voidpf stream) { return static_cast<MemoryFile*>(stream)->pos; }
long MemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* f = static_cast<MemoryFile*>(stream);
  std::uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = f->pos;
  else if (origin == ZLIB_FILEFUNC_SEEK_END) base = f->bytes.size();
  else if (origin != ZLIB_FILEFUNC_SEEK_SET) return -1;
  const std::uint64_t target = base + offset;
  if (target > f->bytes.size()) return -1;
  f->pos = target;
  return 0;
}
int MemError(voidpf, voidpf) { return 0; }

// A file read in place, so that the package never has to be held in memory whole.
struct StdioFile {
  std::FILE* file;
  int error = 0;  // errno of the first failed read
};

uLong FileRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto* f = static_cast<StdioFile*>(stream);
  const std::size_t n = std::fread(buf, 1, size, f->file);
  if (n < size && std::ferror(f->file) && f->error == 0) f->error = errno != 0 ? errno : EIO;
  return static_cast<uLong>(n);
}
ZPOS64_T FileTell(voidpf, voidpf stream) {
  const off_t pos = ::ftello(static_cast<StdioFile*>(stream)->file);
  return pos < 0 ? ZPOS64_T(-1) : static_cast<ZPOS64_T>(pos);
}
long FileSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  int whence = SEEK_SET;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) whence = SEEK_CUR;
  else if (origin == ZLIB_FILEFUNC_SEEK_END) whence = SEEK_END;
  else if (origin != ZLIB_FILEFUNC_SEEK_SET) return -1;
  if (offset > static_cast<ZPOS64_T>(std::numeric_limits<off_t>::max())) return -1;
  return ::fseeko(static_cast<StdioFile*>(stream)->file, static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}
int FileError(voidpf, voidpf stream) { return std::ferror(static_cast<StdioFile*>(stream)->file); }

zlib_filefunc64_def MemoryFunctions(MemoryFile* m) {
  zlib_filefunc64_def def{};
  def.zopen64_file = PassOpen;
  def.zread_file = MemRead;
  def.zwrite_file = NoWrite;
  def.ztell64_file = MemTell;
  def.zseek64_file = MemSeek;
  def.zclose_file = NoClose;
  def.zerror_file = MemError;
  def.opaque = m;
  return def;
}

zlib_filefunc64_def FileFunctions(StdioFile* f) {
  zlib_filefunc64_def def{};
  def.zopen64_file = PassOpen;
  def.zread_file = FileRead;
  def.zwrite_file = NoWrite;
  def.ztell64_file = FileTell;
  def.zseek64_file = FileSeek;
  def.zclose_file = NoClose;
  def.zerror_file = FileError;
  def.opaque = f;
  return def;
}

class ZipPackage {
 public:
  // package_size: the bytes of the whole package, which no entry can pack into more of.
  ZipPackage(zlib_filefunc64_def functions, std::uint64_t package_size) : package_size_(package_size) {
    zip_ = unzOpen2_64("workbook", &functions);
    if (zip_ == nullptr) Damaged("the zip directory cannot be read");
  }
  ~ZipPackage() {
    if (zip_ != nullptr) unzClose(zip_);
  }
  ZipPackage(const ZipPackage&) = delete;
  ZipPackage& operator=(const ZipPackage&) = delete;

  // The most an entry may unpack to: its stated uncompressed size within its
  // limit (0 when absent). Sizes reservations; the file's statement may be false.
  std::uint64_t SizeOf(const std::string& name) {
    unz_file_info64 info{};
    if (!Locate(name, info)) return 0;
    return std::min<std::uint64_t>(info.uncompressed_size, LimitOf(info));
  }

  // Opens an entry for ReadSome; false when there is no such entry.
  bool Open(const std::string& name) {
    unz_file_info64 info{};
    if (!Locate(name, info)) return false;
    if (unzOpenCurrentFile(zip_) != UNZ_OK) Damaged("entry " + name + " cannot be opened");
    name_ = name;
    part_limit_ = LimitOf(info);
    part_inflated_ = 0;
    ratio_bound_ = part_limit_ < kMaxPartBytes && part_limit_ > kFreePartBytes;
    return true;
  }

  // Fills buf with up to size bytes of the open entry; 0 at its end, where the
  // checksum is verified and the entry closed. Never inflates more than one
  // byte past the entry's limit: that byte proves the part too large.
  std::size_t ReadSome(char* buf, std::size_t size) {
    size = static_cast<std::size_t>(std::min<std::uint64_t>(size, part_limit_ - part_inflated_ + 1));
    const int n = unzReadCurrentFile(zip_, buf, static_cast<unsigned>(size));
    if (n < 0) {
      unzCloseCurrentFile(zip_);
      Damaged("entry " + name_ + " cannot be decompressed");
    }
    part_inflated_ += static_cast<std::uint64_t>(n);
    inflated_ += static_cast<std::uint64_t>(n);
    if (part_inflated_ > part_limit_) {
      unzCloseCurrentFile(zip_);
      throw WorkbookError("the workbook is too large to load (part " + name_ + " unpacks to more than " +
                          Megabytes(part_limit_) +
                          (ratio_bound_ ? ", " + std::to_string(kMaxPartRatio) + " times its packed size" : "") +
                          ")");
    }
    if (inflated_ > kMaxInflated) {
      unzCloseCurrentFile(zip_);
      throw WorkbookError("the workbook is too large to load (more than " + Megabytes(kMaxInflated) +
                          " of uncompressed content)");
    }
    if (n == 0 && unzCloseCurrentFile(zip_) != UNZ_OK) Damaged("entry " + name_ + " fails its checksum");
    return static_cast<std::size_t>(n);
  }

 private:
  bool Locate(const std::string& name, unz_file_info64& info) {
    return unzLocateFile(zip_, name.c_str(), 2) == UNZ_OK &&
           unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK;
  }

  std::uint64_t LimitOf(const unz_file_info64& info) const {
    // Clamped first, so that the product cannot overflow.
    const std::uint64_t packed = std::min<std::uint64_t>({info.compressed_size, package_size_, kMaxPartBytes});
    return std::min(kMaxPartBytes, std::max(kFreePartBytes, packed * kMaxPartRatio));
  }

  static std::string Megabytes(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MB"; }

  unzFile zip_ = nullptr;
  std::uint64_t package_size_;
  std::string name_;  // of the open entry
  std::uint64_t part_limit_ = 0, part_inflated_ = 0;  // of the open entry
  bool ratio_bound_ = false;  // the open entry's limit comes from its packed size
  std::uint64_t inflated_ = 0;
};

// ---------------------------------------------------------------------------
// Streaming XML with element names stripped of their namespace prefix.

class XmlHandler {
 public:
  // An exception from a callback stops the parser and is rethrown after it returns,
  // so that it never unwinds through the C library.
  std::exception_ptr error;
  XML_Parser parser = nullptr;

  virtual ~XmlHandler() = default;
  virtual void Start(std::string_view name, const char** attrs) = 0;
  virtual void End(std::string_view name) = 0;
  virtual void Text(std::string_view) {}
};

// The name after its namespace prefix; one pass, as it runs for every element.
std::string_view LocalName(const char* qname) {
  const char* local = qname;
  const char* p = qname;
  for (; *p != '\0'; ++p)
    if (*p == ':') local = p + 1;
  return std::string_view(local, static_cast<std::size_t>(p - local));
}

const char* Attr(const char** attrs, std::string_view local) {
  for (int i = 0; attrs[i] != nullptr; i += 2)
    if (LocalName(attrs[i]) == local) return attrs[i + 1];
  return nullptr;
}

bool ParseXmlPart(ZipPackage& zip, const std::string& name, XmlHandler& h) {
  XML_Parser p = XML_ParserCreate(nullptr);
  if (p == nullptr) throw std::bad_alloc();
  struct Guard {
    XML_Parser p;
    ~Guard() { XML_ParserFree(p); }
  } guard{p};
  h.parser = p;
  h.error = nullptr;
  XML_SetUserData(p, &h);
  XML_SetElementHandler(
      p,
      [](void* u, const XML_Char* n, const XML_Char** a) {
        auto* x = static_cast<XmlHandler*>(u);
        try {
          x->Start(LocalName(n), a);
        } catch (...) {
          x->error = std::current_exception();
          XML_StopParser(x->parser, XML_FALSE);
        }
      },
      [](void* u, const XML_Char* n) {
        auto* x = static_cast<XmlHandler*>(u);
        try {
          x->End(LocalName(n));
        } catch (...) {
          x->error = std::current_exception();
          XML_StopParser(x->parser, XML_FALSE);
        }
      });
  XML_SetCharacterDataHandler(p, [](void* u, const XML_Char* s, int len) {
    auto* x = static_cast<XmlHandler*>(u);
    try {
      x->Text(std::string_view(s, static_cast<std::size_t>(len)));
    } catch (...) {
      x->error = std::current_exception();
      XML_StopParser(x->parser, XML_FALSE);
    }
  });
  auto fail = [&] {
    if (h.error) std::rethrow_exception(h.error);
    Damaged("XML error in " + name + " at line " + std::to_string(XML_GetCurrentLineNumber(p)) + ": " +
            XML_ErrorString(XML_GetErrorCode(p)));
  };
  if (!zip.Open(name)) return false;
  // Inflates straight into the parser's own buffer, in large pieces: no copy in between.
  constexpr std::size_t kPiece = std::size_t(1) << 18;
  for (;;) {
    void* buf = XML_GetBuffer(p, static_cast<int>(kPiece));
    if (buf == nullptr) throw std::bad_alloc();
    const std::size_t n = zip.ReadSome(static_cast<char*>(buf), kPiece);
    if (XML_ParseBuffer(p, static_cast<int>(n), n == 0) != XML_STATUS_OK) fail();
    if (n == 0) return true;
  }
}

// "_x000D_" escapes of characters that XML cannot carry.
std::string DecodeEscapes(std::string s) {
  if (s.find("_x") == std::string::npos) return s;
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '_' && i + 6 < s.size() && s[i + 1] == 'x' && s[i + 6] == '_') {
      std::uint32_t v = 0;
      const auto r = std::from_chars(s.data() + i + 2, s.data() + i + 6, v, 16);
      if (r.ec == std::errc() && r.ptr == s.data() + i + 6) {
        AppendUtf8(out, v);
        i += 6;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Parts.

struct Relationship {
  std::string type, target;
};

class RelsHandler : public XmlHandler {
 public:
  std::map<std::string, Relationship> by_id;
  void Start(std::string_view name, const char** a) override {
    if (name != "Relationship") return;
    const char* id = Attr(a, "Id");
    const char* type = Attr(a, "Type");
    const char* target = Attr(a, "Target");
    if (id && type && target) by_id[id] = Relationship{type, target};
  }
  void End(std::string_view) override {}
};

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Resolves a relationship target against the folder of the part that names it.
std::string ResolvePath(const std::string& base_part, const std::string& target) {
  std::string path = target.empty() || target[0] != '/'
                         ? base_part.substr(0, base_part.rfind('/') + 1) + target
                         : target.substr(1);
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::string seg = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

std::string RelsPathOf(const std::string& part) {
  const std::size_t slash = part.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : part.substr(0, slash + 1);
  const std::string file = slash == std::string::npos ? part : part.substr(slash + 1);
  return dir + "_rels/" + file + ".rels";
}

struct SheetRef {
  std::string name, rel_id;
};

class WorkbookHandler : public XmlHandler {
 public:
  bool date1904 = false;
  std::vector<SheetRef> sheets;
  void Start(std::string_view name, const char** a) override {
    if (name == "workbookPr") {
      const char* v = Attr(a, "date1904");
      date1904 = v && (std::strcmp(v, "1") == 0 || std::strcmp(v, "true") == 0);
    } else if (name == "sheet") {
      const char* n = Attr(a, "name");
      const char* id = Attr(a, "id");
      if (n && id) sheets.push_back(SheetRef{n, id});
    }
  }
  void End(std::string_view) override {}
};

// Reads "A1"-style references with upper-case letters and no marks, the way
// workbooks write them; false for anything else, which then takes the general parser.
bool ParsePlainCellRef(const char* s, std::uint32_t max_rows, std::uint32_t max_cols, std::uint32_t& row,
                       std::uint32_t& col) {
  std::uint32_t c = 0, r = 0;
  int letters = 0, digits = 0;
  for (; *s >= 'A' && *s <= 'Z'; ++s) {
    if (++letters > 3) return false;
    c = c * 26 + static_cast<std::uint32_t>(*s - 'A' + 1);
  }
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (++digits > 7) return false;
    r = r * 10 + static_cast<std::uint32_t>(*s - '0');
  }
  if (*s != '\0' || letters == 0 || digits == 0 || r == 0 || r > max_rows || c > max_cols) return false;
  row = r - 1;
  col = c - 1;
  return true;
}

// A short run of decimal digits and nothing else; false otherwise.
bool ParseSmallNumber(const char* s, long& out) {
  long v = 0;
  int digits = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (++digits > 9) return false;
    v = v * 10 + (*s - '0');
  }
  if (*s != '\0' || digits == 0) return false;
  out = v;
  return true;
}

class SharedStringsHandler : public XmlHandler {
 public:
  SharedStringsHandler(Workbook& wb, std::vector<std::uint32_t>& sst, std::uint64_t part_size)
      : wb_(wb), sst_(sst), max_strings_(part_size / 8) {}
  void Start(std::string_view name, const char** a) override {
    if (name == "sst") {
      // The stated count sizes the tables at once; no string takes under 8 bytes of the
      // part, and past kMaxReserved strings the tables grow as they fill (both the count
      // and the part's size come from the file and may be false).
      constexpr std::uint64_t kMaxReserved = std::uint64_t(1) << 20;
      const char* n = Attr(a, "uniqueCount");
      if (n == nullptr) n = Attr(a, "count");
      long count = 0;
      if (n != nullptr && ParseSmallNumber(n, count)) {
        const std::size_t want = static_cast<std::size_t>(
            std::min({std::uint64_t(count), max_strings_, kMaxReserved}));
        wb_.strings.reserve(wb_.strings.size() + want);
        sst_.reserve(want);
      }
    } else if (name == "si") {
      in_si_ = true;
      text_.clear();
    } else if (name == "rPh") {
      ++phonetic_;
    } else if (name == "t") {
      in_t_ = true;
    }
  }
  void End(std::string_view name) override {
    if (name == "si") {
      sst_.push_back(wb_.AddString(DecodeEscapes(std::move(text_))));
      text_.clear();
      in_si_ = false;
    } else if (name == "rPh") {
      --phonetic_;
    } else if (name == "t") {
      in_t_ = false;
    }
  }
  void Text(std::string_view s) override {
    if (in_si_ && in_t_ && phonetic_ == 0) {
      if (text_.size() + s.size() > (1u << 20)) Damaged("shared string too long");
      text_.append(s);
    }
  }

 private:
  Workbook& wb_;
  std::vector<std::uint32_t>& sst_;
  std::uint64_t max_strings_;
  std::string text_;
  bool in_si_ = false, in_t_ = false;
  int phonetic_ = 0;
};

class StylesHandler : public XmlHandler {
 public:
  std::map<int, std::string> codes;
  std::vector<int> xf_format_ids;
  void Start(std::string_view name, const char** a) override {
    if (name == "cellXfs") {
      in_cell_xfs_ = true;
    } else if (name == "numFmt") {
      const char* id = Attr(a, "numFmtId");
      const char* code = Attr(a, "formatCode");
      if (id && code) codes[std::atoi(id)] = code;
    } else if (name == "xf" && in_cell_xfs_) {
      const char* id = Attr(a, "numFmtId");
      xf_format_ids.push_back(id ? std::atoi(id) : 0);
    }
  }
  void End(std::string_view name) override {
    if (name == "cellXfs") in_cell_xfs_ = false;
  }

 private:
  bool in_cell_xfs_ = false;
};

// Day serial of an ISO 8601 text in one of the forms a date cell holds: a
// date ("2024-05-31"), a date and time ("2024-05-31T13:45:00", seconds
// optional, with a fraction, maybe a closing "Z"), or a time alone
// ("13:45:00"), which is a fraction of a day in either date system.
bool IsoToSerial(std::string_view s, bool date1904, double& serial) {
  std::size_t at = 0;
  auto num = [&](std::size_t len, int& out) {
    if (at + len > s.size()) return false;
    const auto r = std::from_chars(s.data() + at, s.data() + at + len, out);
    if (r.ec != std::errc() || r.ptr != s.data() + at + len || s[at] == '-' || s[at] == '+') return false;
    at += len;
    return true;
  };
  auto sep = [&](char c) {
    if (at >= s.size() || s[at] != c) return false;
    ++at;
    return true;
  };
  const bool has_date = s.size() >= 10 && s[4] == '-';
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double sec = 0;
  if (has_date) {
    if (!num(4, y) || !sep('-') || !num(2, mo) || !sep('-') || !num(2, d)) return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
    if (at == s.size()) {
      // a date alone
    } else if (!sep('T')) {
      return false;
    }
  }
  if (at < s.size()) {
    if (!num(2, h) || !sep(':') || !num(2, mi)) return false;
    if (sep(':')) {
      // Seconds may carry a fraction, written with "." whatever the process locale says.
      const std::size_t end = s.size() - (s.back() == 'Z' ? 1 : 0);
      if (at + 2 > end || s[at] < '0' || s[at] > '9') return false;
      const auto r = std::from_chars(s.data() + at, s.data() + end, sec, std::chars_format::fixed);
      if (r.ec != std::errc() || r.ptr != s.data() + end) return false;
      at = end;
    }
    sep('Z');
    if (at != s.size() || h > 24 || mi > 59 || !(sec < 61)) return false;
  }
  const double time = (h * 3600 + mi * 60 + sec) / 86400.0;
  if (!has_date) {
    serial = time;
    return true;
  }
  // Days since 1970-01-01 (proleptic Gregorian).
  const int yy = y - (mo <= 2);
  const int era = (yy >= 0 ? yy : yy - 399) / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long days = long(era) * 146097 + doe - 719468;
  double v = static_cast<double>(days + 25569) + time;
  if (!date1904 && v < 61) v -= 1;  // before the spreadsheet's 29 February 1900
  if (date1904) v -= 1462;
  serial = v;
  return true;
}

class SheetHandler : public XmlHandler {
 public:
  SheetHandler(Workbook& wb, std::uint32_t sheet, const std::vector<std::uint32_t>& sst,
               const std::vector<std::uint32_t>& xf_formats, std::uint64_t part_size)
      : wb_(wb), ws_(wb.sheets[sheet]), sheet_(sheet), sst_(sst), xf_formats_(xf_formats),
        max_cells_(std::min<std::uint64_t>(part_size / 20, kMaxReservedCells)) {
    ws_.Reserve(static_cast<std::size_t>(std::min(part_size / 64, max_cells_)));  // a cell takes 40 to 80 bytes
  }

  void Start(std::string_view name, const char** a) override {
    if (name == "c") {
      StartCell(a);
    } else if (name == "row") {
      const char* r = Attr(a, "r");
      row_ = r ? std::strtoll(r, nullptr, 10) - 1 : row_ + 1;
      if (row_ < -1 || row_ > kMaxRowNumber) row_ = kMaxRowNumber;  // off the grid: cells are skipped
      col_ = -1;
    } else if (!in_c_) {
      if (name == "dimension") ReserveForDimension(a);
    } else if (name == "v") {
      in_v_ = true;
      has_value_ = true;
    } else if (name == "f") {
      has_formula_ = true;
    } else if (name == "rPh") {
      ++phonetic_;
    } else if (name == "t") {
      in_t_ = true;
      has_value_ = true;
    }
  }

  void End(std::string_view name) override {
    if (name == "v") in_v_ = false;
    else if (name == "c") {
      if (in_c_) {
        in_c_ = false;
        StoreCell();
      }
    } else if (name == "t") in_t_ = false;
    else if (name == "rPh") --phonetic_;
  }

  void Text(std::string_view s) override {
    if (in_c_ && (in_v_ || (in_t_ && phonetic_ == 0))) {
      if (value_.size() + s.size() > (1u << 20)) Damaged("cell value too long");
      value_.append(s);
    }
  }

 private:
  enum class Type { Number, Shared, Inline, Boolean, Error, Date };

  static Type TypeOf(const char* t) {
    if (t == nullptr) return Type::Number;
    const std::string_view v(t);
    if (v == "s") return Type::Shared;
    if (v == "str" || v == "inlineStr") return Type::Inline;
    if (v == "b") return Type::Boolean;
    if (v == "e") return Type::Error;
    if (v == "d") return Type::Date;
    return Type::Number;  // "n" and anything unknown
  }

  // Reservations from the file's own statements stop here; past it the cells grow as they fill.
  static constexpr std::uint64_t kMaxReservedCells = std::uint64_t(1) << 24;

  void ReserveForDimension(const char** a) {
    // The used area; with the part's size (no cell takes under 20 bytes) it sizes the index.
    const char* ref = Attr(a, "ref");
    if (ref == nullptr) return;
    std::string_view text(ref);
    if (text.find(':') == std::string_view::npos) return;
    if (auto block = ParseCellAddress(text, wb_.max_rows, wb_.max_cols)) {
      const std::uint64_t cells = std::min<std::uint64_t>(block->CellCount(), max_cells_);
      const std::uint64_t rows = std::min<std::uint64_t>(block->last_row - block->first_row + 1, cells);
      ws_.Reserve(static_cast<std::size_t>(cells), static_cast<std::size_t>(rows));
    }
  }

  void StartCell(const char** a) {
    in_c_ = true;
    value_.clear();
    has_value_ = false;
    has_formula_ = false;
    const char *r = nullptr, *t = nullptr, *s = nullptr;
    for (int i = 0; a[i] != nullptr; i += 2) {  // one pass: this runs for every cell
      const char* attr = a[i];
      if (attr[0] != '\0' && attr[1] == '\0') {
        if (attr[0] == 'r') r = a[i + 1];
        else if (attr[0] == 't') t = a[i + 1];
        else if (attr[0] == 's') s = a[i + 1];
        continue;
      }
      const std::string_view local = LocalName(attr);
      if (local == "r") r = a[i + 1];
      else if (local == "t") t = a[i + 1];
      else if (local == "s") s = a[i + 1];
    }
    bad_ref_ = false;
    if (r != nullptr) {
      std::uint32_t row = 0, col = 0;
      if (!ParsePlainCellRef(r, wb_.max_rows, wb_.max_cols, row, col)) {
        auto block = ParseCellAddress(r, wb_.max_rows, wb_.max_cols);
        if (block) {
          row = block->first_row;
          col = block->first_col;
        } else {
          // Where the cell stands is unknown: it is left out, and later cells
          // without a reference follow the one before it.
          bad_ref_ = true;
          if (row_ >= 0 && row_ < wb_.max_rows)
            wb_.Warn(sheet_, static_cast<std::uint32_t>(row_), static_cast<std::uint32_t>(std::max(col_ + 1, 0LL)),
                     "unreadable cell reference \"" + Clip(r) + "\" (the cell is left out)");
          ++col_;
          return;
        }
      }
      row_ = row;
      col_ = col;
    } else {
      ++col_;
    }
    type_ = TypeOf(t);
    long xf = 0;
    if (s != nullptr && !ParseSmallNumber(s, xf)) xf = std::atol(s);
    format_ = xf >= 0 && static_cast<std::size_t>(xf) < xf_formats_.size() ? xf_formats_[static_cast<std::size_t>(xf)] : 0;
  }

  void StoreCell() {
    if (bad_ref_ || !has_value_ || row_ < 0 || col_ < 0 || row_ >= wb_.max_rows || col_ >= wb_.max_cols) return;
    // A formula that was never computed (scripts write them so) has no result to show.
    if (has_formula_ && value_.empty()) return;
    Cell c;
    c.format = format_;
    switch (type_) {
      case Type::Shared: {
        std::size_t idx = 0;
        const auto r = std::from_chars(value_.data(), value_.data() + value_.size(), idx);
        if (value_.empty()) return Unreadable("empty shared string index");
        if (r.ec != std::errc() || r.ptr != value_.data() + value_.size() || idx >= sst_.size())
          return Unreadable("shared string index \"" + Clip(value_) + "\" not in the string table");
        c.kind = CellKind::Text;
        c.text = sst_[idx];
        break;
      }
      case Type::Inline:
        if (value_.empty()) return;
        c.kind = CellKind::Text;
        c.text = wb_.AddString(DecodeEscapes(value_));
        break;
      case Type::Boolean:
        if (value_ == "1" || value_ == "true") c.number = 1;
        else if (value_ == "0" || value_ == "false") c.number = 0;
        else return Unreadable(value_.empty() ? "empty boolean value" : "boolean value \"" + Clip(value_) + "\"");
        c.kind = CellKind::Boolean;
        break;
      case Type::Error:
        if (value_.empty()) return Unreadable("empty error value");
        c.kind = CellKind::Error;
        c.text = ErrorString();
        break;
      case Type::Date:
        if (value_.empty()) return Unreadable("empty date value");
        if (!IsoToSerial(value_, wb_.date1904, c.number)) return Unreadable("date value \"" + Clip(value_) + "\"");
        c.kind = CellKind::Number;
        break;
      case Type::Number: {
        const char* b = value_.data();
        const char* e = b + value_.size();
        while (b < e && (*b == ' ' || *b == '\n' || *b == '\t' || *b == '\r')) ++b;
        while (e > b && (e[-1] == ' ' || e[-1] == '\n' || e[-1] == '\t' || e[-1] == '\r')) --e;
        if (b == e) return Unreadable("empty number value");
        if (*b == '+') ++b;
        const auto r = std::from_chars(b, e, c.number);
        if (r.ec != std::errc() || r.ptr != e) return Unreadable("number \"" + Clip(value_) + "\"");
        c.kind = CellKind::Number;
        break;
      }
    }
    ws_.Set(static_cast<std::uint32_t>(row_), static_cast<std::uint32_t>(col_), c);
  }

  // The cell stays empty; the caller learns which cell and why.
  void Unreadable(std::string what) {
    wb_.Warn(sheet_, static_cast<std::uint32_t>(row_), static_cast<std::uint32_t>(col_), std::move(what));
  }

  // A value quoted in a warning, cut to a readable length.
  static std::string Clip(std::string_view v) {
    if (v.size() <= 40) return std::string(v);
    std::size_t n = 40;
    while (n > 0 && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) --n;  // keep UTF-8 sequences whole
    return std::string(v.substr(0, n)) + "...";
  }

  // Error values repeat a handful of texts; each is stored once.
  std::uint32_t ErrorString() {
    for (const auto& [text, index] : errors_)
      if (text == value_) return index;
    const std::uint32_t index = wb_.AddString(value_);
    if (errors_.size() < 16) errors_.emplace_back(value_, index);
    return index;
  }

  Workbook& wb_;
  Worksheet& ws_;
  std::uint32_t sheet_;
  const std::vector<std::uint32_t>& sst_;
  const std::vector<std::uint32_t>& xf_formats_;
  long long row_ = -1, col_ = -1;
  bool in_c_ = false, in_v_ = false, in_t_ = false, has_value_ = false, has_formula_ = false, bad_ref_ = false;
  int phonetic_ = 0;
  Type type_ = Type::Number;
  std::string value_;
  std::uint32_t format_ = 0;
  std::uint64_t max_cells_;
  std::vector<std::pair<std::string, std::uint32_t>> errors_;
};

Workbook ReadPackage(ZipPackage& zip) {
  Workbook wb;
  wb.kind = WorkbookKind::Xlsx;
  wb.max_rows = 1048576;
  wb.max_cols = 16384;

  std::string workbook_part = "xl/workbook.xml";
  RelsHandler root;
  if (ParseXmlPart(zip, "_rels/.rels", root)) {
    for (const auto& [id, rel] : root.by_id)
      if (EndsWith(rel.type, "/officeDocument")) workbook_part = ResolvePath("", rel.target);
  }
  WorkbookHandler book;
  if (!ParseXmlPart(zip, workbook_part, book))
    throw WorkbookError("the file is not a workbook (a zip file without a workbook part)");
  wb.date1904 = book.date1904;

  RelsHandler rels;
  ParseXmlPart(zip, RelsPathOf(workbook_part), rels);
  std::string strings_part = "xl/sharedStrings.xml", styles_part = "xl/styles.xml";
  for (const auto& [id, rel] : rels.by_id) {
    if (EndsWith(rel.type, "/sharedStrings")) strings_part = ResolvePath(workbook_part, rel.target);
    if (EndsWith(rel.type, "/styles")) styles_part = ResolvePath(workbook_part, rel.target);
  }

  std::vector<std::uint32_t> sst;
  SharedStringsHandler strings(wb, sst, zip.SizeOf(strings_part));
  ParseXmlPart(zip, strings_part, strings);

  StylesHandler styles;
  ParseXmlPart(zip, styles_part, styles);
  std::map<int, std::uint32_t> format_of_id;
  std::vector<std::uint32_t> xf_formats;
  for (int id : styles.xf_format_ids) {
    auto it = format_of_id.find(id);
    if (it == format_of_id.end()) {
      const auto code = styles.codes.find(id);
      std::uint32_t index = 0;
      if (id == 14 || id == 22 || (code == styles.codes.end() && id != 0)) index = wb.AddFormat(NumberFormat{id, {}});
      else if (code != styles.codes.end()) index = wb.AddFormat(NumberFormat{-1, code->second});
      it = format_of_id.emplace(id, index).first;
    }
    xf_formats.push_back(it->second);
  }

  for (const SheetRef& ref : book.sheets) {
    const auto rel = rels.by_id.find(ref.rel_id);
    if (rel == rels.by_id.end()) Damaged("sheet \"" + ref.name + "\" has no part");
    if (!EndsWith(rel->second.type, "/worksheet")) continue;  // chart and dialog sheets hold no cells
    wb.sheets.emplace_back(ref.name);
    const std::string part = ResolvePath(workbook_part, rel->second.target);
    SheetHandler handler(wb, static_cast<std::uint32_t>(wb.sheets.size() - 1), sst, xf_formats, zip.SizeOf(part));
    if (!ParseXmlPart(zip, part, handler)) Damaged("part " + part + " is missing");
  }
  return wb;
}

}  // namespace

Workbook ParseXlsx(std::string_view bytes) {
  MemoryFile memory{bytes};
  ZipPackage zip(MemoryFunctions(&memory), bytes.size());
  return ReadPackage(zip);
}

Workbook ParseXlsxFile(std::FILE* file) {
  StdioFile source{file};
  std::uint64_t size = std::numeric_limits<std::uint64_t>::max();  // unknown: no entry's packed size is clamped
  if (::fseeko(file, 0, SEEK_END) == 0) {
    const off_t end = ::ftello(file);
    if (end >= 0) size = static_cast<std::uint64_t>(end);
  }
  try {
    ZipPackage zip(FileFunctions(&source), size);
    return ReadPackage(zip);
  } catch (const WorkbookError&) {
    // A failed read shows as a damaged package; say what really went wrong.
    if (source.error != 0) throw WorkbookError(std::string("the file cannot be read: ") + std::strerror(source.error));
    throw;
  }
}

}  // namespace dbu::sheet
