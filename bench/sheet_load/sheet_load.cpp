// sheet_load_bench [--mb N] [--keep] [FILE.xlsx]
//
// Writes an .xlsx workbook of about N MB (default 10) the way spreadsheet
// applications lay them out: shared strings (one unique per row plus
// repeated names and departments), dates, amounts, percentages, booleans,
// formulas with cached results. Then loads it through the reader (best of
// three) and prints load MB/s and ms per 10 MB of file, the cost of one
// cell lookup, and the cost of one address-and-read step as the import
// tasks do it. A FILE argument loads that workbook instead of a generated one.
#include <zip.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "sheet_reader.h"
#include "workbook.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Processor time of this process: on a shared machine it varies less than the wall clock.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "sheet_load_bench: %s\n", what.c_str());
  std::exit(1);
}

// Deterministic pseudo-random numbers, so that every run writes the same file.
struct Rng {
  std::uint64_t s = 0x9E3779B97F4A7C15ULL;
  std::uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<std::uint32_t>(s >> 11);
  }
};

constexpr int kColumns = 10;
constexpr int kNames = 2000;
constexpr int kDepartments = 20;
const char* const kHeaders[kColumns] = {"EMP_NO", "NAME", "DEPT", "JOINED", "SALARY",
                                        "HOURS", "RATE", "ACTIVE", "TOTAL", "STAMP"};

std::string ColumnName(int col) { return std::string(1, static_cast<char>('A' + col)); }

void AppendNumber(std::string& out, double v) {
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendInt(std::string& out, long long v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

std::string EmployeeNo(int row) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "E%07d", row - 1);
  return buf;
}

std::string NameOf(int i) {
  static const char* const first[] = {"Aisha", "Ben", "Chen", "Dara", "Elif", "Farid", "Gita", "Hugo", "Ines", "Jon"};
  static const char* const last[] = {"Tan", "Lim", "Ng", "Wong", "Kumar", "Osei", "Silva", "Novak", "Haddad", "Berg"};
  return std::string(last[i % 10]) + " " + first[(i / 10) % 10] + " " + std::to_string(i / 100);
}

// Values of row 2, kept to check what the reader shows for them.
struct FirstRow {
  int name = 0, dept = 0, hours = 0;
  long long cents = 0;
  bool active = false;
};

class XlsxWriter {
 public:
  explicit XlsxWriter(const std::string& path) {
    zip_ = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
    if (zip_ == nullptr) Fail("cannot create " + path);
  }
  ~XlsxWriter() {
    if (zip_ != nullptr) zipClose(zip_, nullptr);
  }
  void Begin(const char* name) {
    if (zipOpenNewFileInZip(zip_, name, nullptr, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION) !=
        ZIP_OK)
      Fail(std::string("cannot add ") + name);
  }
  void Write(const std::string& s) {
    if (!s.empty() && zipWriteInFileInZip(zip_, s.data(), static_cast<unsigned>(s.size())) != ZIP_OK)
      Fail("cannot write the workbook");
    xml_bytes_ += s.size();
  }
  void End() { zipCloseFileInZip(zip_); }
  void Entry(const char* name, const std::string& s) {
    Begin(name);
    Write(s);
    End();
  }
  std::uint64_t xml_bytes() const { return xml_bytes_; }

 private:
  zipFile zip_ = nullptr;
  std::uint64_t xml_bytes_ = 0;
};

const char kXmlDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

void WritePackageParts(XlsxWriter& w) {
  w.Entry("[Content_Types].xml",
          std::string(kXmlDecl) +
              "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
              "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
              "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
              "<Override PartName=\"/xl/workbook.xml\" "
              "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
              "<Override PartName=\"/xl/worksheets/sheet1.xml\" "
              "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
              "<Override PartName=\"/xl/styles.xml\" "
              "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
              "<Override PartName=\"/xl/sharedStrings.xml\" "
              "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
              "</Types>");
  w.Entry("_rels/.rels",
          std::string(kXmlDecl) +
              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
              "<Relationship Id=\"rId1\" "
              "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
              "Target=\"xl/workbook.xml\"/></Relationships>");
  w.Entry("xl/workbook.xml",
          std::string(kXmlDecl) +
              "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
              "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
              "<workbookPr/><sheets><sheet name=\"Staff\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
  w.Entry("xl/_rels/workbook.xml.rels",
          std::string(kXmlDecl) +
              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
              "<Relationship Id=\"rId1\" "
              "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
              "Target=\"worksheets/sheet1.xml\"/>"
              "<Relationship Id=\"rId2\" "
              "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" Target=\"styles.xml\"/>"
              "<Relationship Id=\"rId3\" "
              "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
              "Target=\"sharedStrings.xml\"/></Relationships>");
  // Styles: 0 General, 1 short date, 2 "#,##0.00", 3 "0.00%", 4 a custom date-time.
  w.Entry("xl/styles.xml",
          std::string(kXmlDecl) +
              "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
              "<numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"yyyy\\-mm\\-dd\\ hh:mm\"/></numFmts>"
              "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/></font></fonts>"
              "<fills count=\"1\"><fill><patternFill patternType=\"none\"/></fill></fills>"
              "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
              "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
              "<cellXfs count=\"5\">"
              "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
              "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
              "<xf numFmtId=\"4\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
              "<xf numFmtId=\"10\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
              "<xf numFmtId=\"164\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
              "</cellXfs></styleSheet>");
}

// Shared string order: headers, departments, names, then one employee number per data row.
constexpr int kDeptBase = kColumns;
constexpr int kNameBase = kDeptBase + kDepartments;
constexpr int kIdBase = kNameBase + kNames;

void WriteSharedStrings(XlsxWriter& w, int rows) {
  const int count = kIdBase + (rows - 1);
  w.Begin("xl/sharedStrings.xml");
  std::string s = kXmlDecl;
  s += "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"";
  AppendInt(s, count);
  s += "\" uniqueCount=\"";
  AppendInt(s, count);
  s += "\">";
  auto add = [&](const std::string& t) {
    s += "<si><t>";
    s += t;
    s += "</t></si>";
    if (s.size() > (1 << 20)) {
      w.Write(s);
      s.clear();
    }
  };
  for (const char* h : kHeaders) add(h);
  for (int d = 0; d < kDepartments; ++d) add("Department " + std::to_string(d + 1));
  for (int n = 0; n < kNames; ++n) add(NameOf(n));
  for (int r = 2; r <= rows; ++r) add(EmployeeNo(r));
  s += "</sst>";
  w.Write(s);
  w.End();
}

FirstRow WriteSheet(XlsxWriter& w, int rows) {
  Rng rng;
  FirstRow first;
  w.Begin("xl/worksheets/sheet1.xml");
  std::string s = kXmlDecl;
  s += "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
       "<dimension ref=\"A1:J";
  AppendInt(s, rows);
  s += "\"/><sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>"
       "<sheetFormatPr defaultRowHeight=\"15\"/><sheetData>";
  for (int r = 1; r <= rows; ++r) {
    s += "<row r=\"";
    AppendInt(s, r);
    s += "\" spans=\"1:10\">";
    auto cell = [&](int col, const char* type, int style) {
      s += "<c r=\"";
      s += ColumnName(col);
      AppendInt(s, r);
      s += '"';
      if (style != 0) {
        s += " s=\"";
        AppendInt(s, style);
        s += '"';
      }
      if (type != nullptr) {
        s += " t=\"";
        s += type;
        s += '"';
      }
      s += '>';
    };
    if (r == 1) {
      for (int c = 0; c < kColumns; ++c) {
        cell(c, "s", 0);
        s += "<v>";
        AppendInt(s, c);
        s += "</v></c>";
      }
    } else {
      const int name = static_cast<int>(rng.Next() % kNames);
      const int dept = static_cast<int>(rng.Next() % kDepartments);
      const long long cents = 150000 + rng.Next() % 2000000;
      const int hours = static_cast<int>(rng.Next() % 200);
      const bool active = rng.Next() % 4 != 0;
      if (r == 2) first = FirstRow{name, dept, hours, cents, active};
      cell(0, "s", 0);
      s += "<v>";
      AppendInt(s, kIdBase + r - 2);
      s += "</v></c>";
      cell(1, "s", 0);
      s += "<v>";
      AppendInt(s, kNameBase + name);
      s += "</v></c>";
      cell(2, "s", 0);
      s += "<v>";
      AppendInt(s, kDeptBase + dept);
      s += "</v></c>";
      cell(3, nullptr, 1);
      s += "<v>";
      AppendInt(s, 36000 + rng.Next() % 9000);
      s += "</v></c>";
      cell(4, nullptr, 2);
      s += "<v>";
      AppendNumber(s, static_cast<double>(cents) / 100.0);
      s += "</v></c>";
      cell(5, nullptr, 0);
      s += "<v>";
      AppendInt(s, hours);
      s += "</v></c>";
      cell(6, nullptr, 3);
      s += "<v>";
      AppendNumber(s, (rng.Next() % 10000) / 10000.0 * 0.37);
      s += "</v></c>";
      cell(7, "b", 0);
      s += active ? "<v>1</v></c>" : "<v>0</v></c>";
      cell(8, nullptr, 2);
      s += "<f>E";
      AppendInt(s, r);
      s += "*F";
      AppendInt(s, r);
      s += "</f><v>";
      AppendNumber(s, static_cast<double>(cents) / 100.0 * hours);
      s += "</v></c>";
      cell(9, nullptr, 4);
      s += "<v>";
      AppendNumber(s, 44000 + (rng.Next() % 2000000) / 1000.0);
      s += "</v></c>";
    }
    s += "</row>";
    if (s.size() > (1 << 20)) {
      w.Write(s);
      s.clear();
    }
  }
  s += "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
       "footer=\"0.3\"/></worksheet>";
  w.Write(s);
  w.End();
  return first;
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) Fail("cannot stat " + path);
  return static_cast<std::uint64_t>(st.st_size);
}

struct Generated {
  std::uint64_t xml_bytes = 0;
  FirstRow first;
};

Generated Generate(const std::string& path, int rows) {
  XlsxWriter w(path);
  WritePackageParts(w);
  WriteSharedStrings(w, rows);
  Generated g;
  g.first = WriteSheet(w, rows);
  g.xml_bytes = w.xml_bytes();
  return g;
}

std::string WithThousands(long long cents) {
  std::string whole = std::to_string(cents / 100);
  for (int i = static_cast<int>(whole.size()) - 3; i > 0; i -= 3) whole.insert(static_cast<std::size_t>(i), ",");
  char frac[4];
  std::snprintf(frac, sizeof frac, "%02lld", cents % 100);
  return whole + "." + frac;
}

// Checks a few displayed texts of row 2, so that a fast but wrong load cannot pass.
void CheckFirstRow(dbu::TSheetRange& range, const FirstRow& f) {
  const std::pair<std::string, std::string> expected[] = {
      {"A1", "EMP_NO"},
      {"A2", EmployeeNo(2)},
      {"B2", NameOf(f.name)},
      {"C2", "Department " + std::to_string(f.dept + 1)},
      {"E2", WithThousands(f.cents)},
      {"F2", std::to_string(f.hours)},
      {"H2", f.active ? "TRUE" : "FALSE"},
      {"I2", WithThousands(f.cents * f.hours)},
      {"K2", ""},
  };
  for (const auto& [address, text] : expected) {
    range.SetAddress(address);
    if (range.SimpleText() != text) Fail(address + " shows \"" + range.SimpleText() + "\", expected \"" + text + "\"");
  }
}

}  // namespace

int main(int argc, char** argv) {
  double target_mb = 10;
  bool keep = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mb") == 0 && i + 1 < argc) target_mb = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--keep") == 0) keep = true;
    else path = argv[i];
  }
  const bool generated = path.empty();
  Generated gen;
  if (generated) {
    path = "/tmp/sheet_load_bench_" + std::to_string(::getpid()) + ".xlsx";
    // A small pilot run gives the bytes per row; the real file is then sized to the target.
    const int pilot_rows = 20000;
    Generate(path, pilot_rows);
    const double per_row = static_cast<double>(FileSize(path)) / pilot_rows;
    const int rows = std::max(2, static_cast<int>(target_mb * 1e6 / per_row));
    const auto t0 = Clock::now();
    gen = Generate(path, rows);
    std::printf("generated %s: %d rows x %d columns in %.2f s\n", path.c_str(), rows, kColumns, Seconds(t0));
  }
  const double file_mb = static_cast<double>(FileSize(path)) / 1e6;

  double best = 1e9, best_cpu = 1e9;
  std::size_t cells = 0;
  dbu::sheet::Workbook wb;
  for (int run = 0; run < 3; ++run) {
    wb = dbu::sheet::Workbook{};
    const auto t0 = Clock::now();
    const double c0 = CpuSeconds();
    wb = dbu::sheet::LoadWorkbook(path);
    best = std::min(best, Seconds(t0));
    best_cpu = std::min(best_cpu, CpuSeconds() - c0);
    cells = 0;
    for (const auto& ws : wb.sheets) cells += ws.cell_count();
  }
  if (wb.sheets.empty()) Fail("the workbook has no worksheet");
  std::printf("file %.2f MB", file_mb);
  if (generated) std::printf(" (%.1f MB of XML)", static_cast<double>(gen.xml_bytes) / 1e6);
  std::printf(", %zu cells\n", cells);
  std::printf("load (best of 3): %.0f ms, %.1f MB/s, %.0f ms per 10 MB, %.0f ns per cell\n", best * 1e3,
              file_mb / best, best / file_mb * 10 * 1e3, best * 1e9 / static_cast<double>(cells));
  std::printf("load processor time (best of 3): %.0f ms, %.1f MB/s, %.0f ms per 10 MB\n", best_cpu * 1e3,
              file_mb / best_cpu, best_cpu / file_mb * 10 * 1e3);

  // The import tasks' way: connect, one range, then address and read cell by cell.
  dbu::TSheetReader reader;
  dbu::SetUpSheetReader1(reader);
  reader.Workbooks()[0].SetFilename(path);
  auto t0 = Clock::now();
  reader.SetConnected(true);
  const double connect = Seconds(t0);
  dbu::TSheetRange& range = reader.Workbooks()[0].Worksheets()[0].Ranges().Add();
  range.SetName("r");
  if (generated) CheckFirstRow(range, gen.first);

  const dbu::sheet::Worksheet& ws = wb.sheets[0];
  std::vector<std::pair<std::uint32_t, std::uint32_t>> keys;
  keys.reserve(ws.cell_count());
  ws.ForEach([&](std::uint32_t r, std::uint32_t c, const dbu::sheet::Cell&) { keys.emplace_back(r, c); });
  Rng rng;
  for (std::size_t i = keys.size(); i > 1; --i) std::swap(keys[i - 1], keys[rng.Next() % i]);
  t0 = Clock::now();
  std::size_t found = 0;
  for (const auto& [r, c] : keys) found += ws.Find(r, c) != nullptr;
  const double lookup = Seconds(t0);
  if (found != keys.size()) Fail("a stored cell was not found again");

  const int reads = static_cast<int>(std::min<std::size_t>(200000, keys.size()));
  t0 = Clock::now();
  std::size_t text_bytes = 0;
  for (int i = 0; i < reads; ++i) {
    const auto [r, c] = keys[static_cast<std::size_t>(i)];
    range.SetAddress(dbu::sheet::FormatCellAddress(dbu::sheet::CellBlock{r, c, r, c}));
    text_bytes += range.SimpleText().size();
  }
  const double read = Seconds(t0);
  std::printf("connect: %.0f ms; cell lookup: %.0f ns (random order, %zu cells); address + SimpleText: %.2f us "
              "(%d reads, %zu bytes)\n",
              connect * 1e3, lookup * 1e9 / static_cast<double>(std::max<std::size_t>(keys.size(), 1)), keys.size(),
              read * 1e6 / std::max(reads, 1), reads, text_bytes);
  if (generated && !keep) std::remove(path.c_str());
  return 0;
}
