// Compound document reading: header, sector allocation tables, directory, streams.
#include "compound_file.h"

#include <algorithm>
#include <cstring>

#include "workbook.h"

namespace dbu::sheet {
namespace {

constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFree = 0xFFFFFFFF;

std::uint16_t U16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}
std::uint32_t U32(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}

[[noreturn]] void Damaged(const std::string& what) {
  throw WorkbookError("the workbook is damaged (" + what + ")");
}

bool SameNameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

CompoundFile::CompoundFile(std::string_view bytes) : bytes_(bytes) {
  if (bytes.size() < 512) Damaged("compound document header is cut short");
  const std::uint16_t shift = U16(bytes, 30);
  if (shift != 9 && shift != 12) Damaged("unknown sector size");
  sector_size_ = 1u << shift;
  const std::uint16_t mini_shift = U16(bytes, 32);
  if (mini_shift != 6) Damaged("unknown mini sector size");
  mini_sector_size_ = 1u << mini_shift;
  mini_cutoff_ = U32(bytes, 56);
  if (bytes.size() < sector_size_) Damaged("compound document header is cut short");

  const std::uint64_t sector_count = (bytes.size() - sector_size_ + sector_size_ - 1) / sector_size_;
  const std::uint32_t per_sector = sector_size_ / 4;

  // Sector allocation table: its sectors are listed in the header and in the DIFAT chain.
  std::vector<std::uint32_t> fat_sectors;
  for (std::uint32_t i = 0; i < 109; ++i) {
    const std::uint32_t s = U32(bytes, 76 + 4 * i);
    if (s < sector_count) fat_sectors.push_back(s);
  }
  std::uint32_t difat = U32(bytes, 68);
  for (std::uint64_t steps = 0; difat < sector_count; ++steps) {
    if (steps > sector_count) Damaged("endless sector table chain");
    const std::string_view sec = SectorAt(difat);
    if (sec.size() < sector_size_) Damaged("sector table cut short");
    for (std::uint32_t i = 0; i + 1 < per_sector; ++i) {
      const std::uint32_t s = U32(sec, 4 * i);
      if (s < sector_count) fat_sectors.push_back(s);
    }
    difat = U32(sec, sector_size_ - 4);
  }
  if (fat_sectors.size() > sector_count) Damaged("too many sector table sectors");
  // Entries past the file's last sector could only name sectors that are not there.
  fat_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(fat_sectors.size() * per_sector, sector_count)));
  for (std::uint32_t s : fat_sectors) {
    const std::string_view sec = SectorAt(s);
    for (std::uint32_t i = 0; i < per_sector && fat_.size() < sector_count; ++i)
      fat_.push_back(4 * i + 4 <= sec.size() ? U32(sec, 4 * i) : kFree);
  }

  const std::string dir = ReadChain(U32(bytes, 48), UINT64_MAX);
  for (std::size_t at = 0; at + 128 <= dir.size(); at += 128) {
    Entry e;
    const std::uint16_t name_len = std::min<std::uint16_t>(U16(dir, at + 64), 64);
    for (std::size_t i = 0; i + 1 < name_len; i += 2) {
      const std::uint16_t ch = U16(dir, at + i);
      if (ch == 0) break;
      e.name += ch < 0x80 ? static_cast<char>(ch) : '?';
    }
    e.type = static_cast<std::uint8_t>(dir[at + 66]);
    e.start = U32(dir, at + 116);
    e.size = U32(dir, at + 120);
    if (U16(bytes, 26) == 4) e.size |= static_cast<std::uint64_t>(U32(dir, at + 124)) << 32;
    entries_.push_back(std::move(e));
  }
  if (entries_.empty() || entries_[0].type != 5) Damaged("no root directory entry");

  // The mini stream lives in the root entry's chain; its table in its own chain.
  const std::uint32_t mini_fat_start = U32(bytes, 60);
  if (mini_fat_start < sector_count) {
    const std::string mf = ReadChain(mini_fat_start, UINT64_MAX);
    for (std::size_t at = 0; at + 4 <= mf.size(); at += 4) mini_fat_.push_back(U32(mf, at));
  }
  if (entries_[0].start < sector_count && entries_[0].size > 0) {
    mini_stream_ = ReadChain(entries_[0].start, entries_[0].size);
  }
}

std::string_view CompoundFile::SectorAt(std::uint32_t sector) const {
  const std::uint64_t offset = (std::uint64_t(sector) + 1) * sector_size_;
  if (offset >= bytes_.size()) Damaged("sector number beyond the end of the file");
  return bytes_.substr(static_cast<std::size_t>(offset),
                       std::min<std::uint64_t>(sector_size_, bytes_.size() - offset));
}

std::string CompoundFile::ReadChain(std::uint32_t start, std::uint64_t size) const {
  std::string out;
  std::uint32_t s = start;
  // A chain visits each sector at most once, so it never holds more bytes than
  // the file: a loop is caught after as many steps as the file has sectors,
  // whatever the table or the recorded size claim.
  for (std::uint64_t steps = 0; s != kEndOfChain && out.size() < size; ++steps) {
    if (s >= fat_.size()) {
      if (size == UINT64_MAX && s == kFree) break;
      Damaged("broken sector chain");
    }
    if (steps >= fat_.size()) Damaged("sector chain runs in a loop");
    const std::string_view sec = SectorAt(s);
    out.append(sec.data(), sec.size());
    s = fat_[s];
  }
  if (size != UINT64_MAX) {
    if (out.size() < size) Damaged("stream shorter than its recorded size");
    out.resize(static_cast<std::size_t>(size));
  }
  return out;
}

std::string CompoundFile::ReadMiniChain(std::uint32_t start, std::uint64_t size) const {
  std::string out;
  std::uint32_t s = start;
  for (std::uint64_t steps = 0; s != kEndOfChain && out.size() < size; ++steps) {
    if (steps >= mini_fat_.size() || s >= mini_fat_.size()) Damaged("broken mini sector chain");
    const std::uint64_t offset = std::uint64_t(s) * mini_sector_size_;
    if (offset >= mini_stream_.size()) Damaged("mini sector beyond the mini stream");
    out.append(mini_stream_, static_cast<std::size_t>(offset),
               static_cast<std::size_t>(std::min<std::uint64_t>(mini_sector_size_, mini_stream_.size() - offset)));
    s = mini_fat_[s];
  }
  if (out.size() < size) Damaged("stream shorter than its recorded size");
  out.resize(static_cast<std::size_t>(size));
  return out;
}

std::optional<std::string> CompoundFile::ReadStream(std::string_view name) const {
  for (const Entry& e : entries_) {
    if (e.type != 2 || !SameNameNoCase(e.name, name)) continue;
    if (e.size > bytes_.size() * 2 + 65536) Damaged("stream size larger than the file");
    if (e.size < mini_cutoff_) return ReadMiniChain(e.start, e.size);
    return ReadChain(e.start, e.size);
  }
  return std::nullopt;
}

}  // namespace dbu::sheet
