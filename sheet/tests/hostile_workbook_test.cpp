// Hostile workbooks: small files that claim or unpack to far more than they
// hold must be refused with a clear error, without the reader's memory
// growing with the claim. Each load runs in a child process, so that its peak
// memory is measured alone.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "workbook.h"

namespace dbu::testing {
namespace {

struct ChildLoad {
  std::string error;          // the WorkbookError's text, or "(loaded)"
  long peak_growth_mb = -1;   // the child's peak resident memory above its start
};

long ResidentKb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Runs load() in a child process and reports its error and peak memory growth.
template <class Load>
ChildLoad LoadInChild(Load load) {
  int fds[2];
  if (::pipe(fds) != 0) return {"(no pipe)", -1};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const long before = ResidentKb();
    std::string error = "(loaded)";
    try {
      load();
    } catch (const sheet::WorkbookError& e) {
      error = e.what();
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const std::string report = std::to_string((usage.ru_maxrss - before) / 1024) + "\n" + error;
    const bool written = ::write(fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  std::string report;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::size_t newline = report.find('\n');
  if (!WIFEXITED(status) || newline == std::string::npos) return {"(the child failed: " + report + ")", -1};
  return {report.substr(newline + 1), std::stol(report.substr(0, newline))};
}

// A part of a package: head, then piece repeated, then tail (bombs are long repeats).
struct Part {
  Part(std::string n, std::string text) : name(std::move(n)), head(std::move(text)) {}
  Part(std::string n, std::string h, std::string p, std::size_t r, std::string t)
      : name(std::move(n)), head(std::move(h)), piece(std::move(p)), repeats(r), tail(std::move(t)) {}
  std::string name, head, piece;
  std::size_t repeats = 0;
  std::string tail;
};

// Raw deflate of text ended by a full flush (or, when last, by the final
// block): it leans on no earlier bytes, so such segments join into one stream.
std::string DeflateSegment(const std::string& text, bool last) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (rc != (last ? Z_STREAM_END : Z_OK) || z.avail_in != 0) ADD_FAILURE() << "deflate failed: " << rc;
  return out;
}

// Writes the parts deflated. A long repeat costs one block's deflating: the
// block's segment is repeated, so a bomb is written in milliseconds.
void WritePackage(const std::string& path, const std::vector<Part>& parts) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr) << path;
  for (const Part& p : parts) {
    // About 1 MB of pieces, deflated once; its checksum joins in without reading it again.
    const std::size_t per_block = std::max<std::size_t>(1, (std::size_t(1) << 20) / (p.piece.size() + 1));
    std::string block;
    for (std::size_t i = 0; i < per_block && i < p.repeats; ++i) block += p.piece;
    const std::string block_segment = DeflateSegment(block, false);
    const uLong block_crc = crc32(0, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
    std::string packed = DeflateSegment(p.head, false);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(p.head.data()), static_cast<uInt>(p.head.size()));
    std::size_t done = 0;
    for (; done + per_block <= p.repeats; done += per_block) {
      packed += block_segment;
      crc = crc32_combine(crc, block_crc, static_cast<z_off_t>(block.size()));
    }
    std::string rest;
    for (; done < p.repeats; ++done) rest += p.piece;
    rest += p.tail;
    packed += DeflateSegment(rest, true);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(rest.data()), static_cast<uInt>(rest.size()));
    const std::uint64_t size = p.head.size() + p.repeats * p.piece.size() + p.tail.size();
    ASSERT_EQ(zipOpenNewFileInZip2_64(zip, p.name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                      Z_BEST_COMPRESSION, 1, 1),
              ZIP_OK);
    ASSERT_EQ(zipWriteInFileInZip(zip, packed.data(), static_cast<unsigned>(packed.size())), ZIP_OK);
    ASSERT_EQ(zipCloseFileInZipRaw64(zip, size, crc), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

const char kMain[] = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// A one-sheet package whose shared strings part is head + piece * repeats + "</sst>".
std::vector<Part> WithSharedStrings(const std::string& head, const std::string& piece, std::size_t repeats) {
  return {
      {"xl/workbook.xml",
       std::string("<workbook xmlns=\"") + kMain +
           "\" xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
      {"xl/_rels/workbook.xml.rels",
       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
       "Target=\"worksheets/sheet1.xml\"/></Relationships>"},
      {"xl/worksheets/sheet1.xml",
       std::string("<worksheet xmlns=\"") + kMain +
           "\"><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row></sheetData></worksheet>"},
      {"xl/sharedStrings.xml", std::string("<sst xmlns=\"") + kMain + "\">" + head, piece, repeats, "</sst>"},
  };
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 96 MB of shared strings (4 KB each) packed into about 130 KB: past the
// 16 MB any part may unpack to whatever its ratio. Refused as it inflates,
// naming the part and the limit, with memory far below the 96 MB.
TEST(HostileWorkbookTest, DecompressionBombIsRefusedWhileInflating) {
  const std::string path = ::testing::TempDir() + "bomb.xlsx";
  const std::string piece = "<si><t>" + std::string(4000, 'x') + "</t></si>";
  ASSERT_NO_FATAL_FAILURE(WritePackage(path, WithSharedStrings("", piece, (std::size_t(96) << 20) / piece.size())));
  const ChildLoad load = LoadInChild([&] { sheet::LoadWorkbook(path); });
  EXPECT_TRUE(Contains(load.error, "too large to load") && Contains(load.error, "xl/sharedStrings.xml") &&
              Contains(load.error, "16 MB"))
      << load.error;
  EXPECT_LT(load.peak_growth_mb, 64) << load.error;
  std::remove(path.c_str());
}

// One shared string of 2 MB in a small part: no cell can show it, and the
// reader does not hold it (cells' own values stop at 1 MB alike).
TEST(HostileWorkbookTest, OverlongSharedStringIsDamage) {
  const std::string path = ::testing::TempDir() + "long_string.xlsx";
  std::vector<Part> parts = WithSharedStrings("<si><t>", "y", std::size_t(2) << 20);
  parts.back().tail = "</t></si></sst>";
  ASSERT_NO_FATAL_FAILURE(WritePackage(path, parts));
  const ChildLoad load = LoadInChild([&] { sheet::LoadWorkbook(path); });
  EXPECT_TRUE(Contains(load.error, "shared string too long")) << load.error;
  std::remove(path.c_str());
}

void PutU16(std::string& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void PutU32(std::string& b, std::size_t at, std::uint32_t v) {
  PutU16(b, at, static_cast<std::uint16_t>(v & 0xFFFF));
  PutU16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// A 444 KB compound document (4096-byte sectors) that lists its one allocation
// table sector 109 times and whose directory chain leads back to itself: the
// chain may not be followed further than the file has sectors.
TEST(HostileWorkbookTest, CompoundFileSectorLoopIsRefused) {
  const std::uint32_t kEnd = 0xFFFFFFFE;
  std::string file(111 * 4096, '\0');  // 109 sectors more, so that the repeated listing is allowed
  file.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  PutU16(file, 24, 0x3E);
  PutU16(file, 26, 4);  // version 4: 4096-byte sectors
  PutU16(file, 28, 0xFFFE);
  PutU16(file, 30, 12);
  PutU16(file, 32, 6);
  PutU32(file, 44, 109);
  PutU32(file, 48, 1);  // directory: sector 1
  PutU32(file, 56, 4096);
  PutU32(file, 60, kEnd);
  PutU32(file, 68, kEnd);
  for (int i = 0; i < 109; ++i) PutU32(file, 76 + 4 * i, 0);  // sector 0, again and again
  const std::size_t fat = 4096, dir = 2 * 4096;
  for (std::size_t i = 0; i < 1024; ++i) PutU32(file, fat + 4 * i, 0xFFFFFFFF);
  PutU32(file, fat, 0xFFFFFFFD);
  PutU32(file, fat + 4, 1);  // sector 1 follows itself
  const std::string root = "Root Entry";
  for (std::size_t i = 0; i < root.size(); ++i) PutU16(file, dir + 2 * i, static_cast<std::uint16_t>(root[i]));
  PutU16(file, dir + 64, static_cast<std::uint16_t>(2 * root.size() + 2));
  file[dir + 66] = 5;
  PutU32(file, dir + 116, kEnd);

  const ChildLoad load = LoadInChild([&] { sheet::ParseWorkbook(file); });
  EXPECT_TRUE(Contains(load.error, "damaged") && Contains(load.error, "loop")) << load.error;
  EXPECT_LT(load.peak_growth_mb, 32) << load.error;
}

}  // namespace
}  // namespace dbu::testing
