/*
 * Reader of compound documents (the container of ".xls" files): finds a
 * stream by name and returns its bytes. Every sector number, chain and size
 * read from the file is checked against the file's own size, so a damaged
 * file gives a WorkbookError, never a read outside the buffer or an endless
 * chain. Works on a caller-owned buffer that must outlive the object.
 */
#ifndef DBU_SHEET_COMPOUND_FILE_H
#define DBU_SHEET_COMPOUND_FILE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dbu::sheet {

class CompoundFile {
 public:
  explicit CompoundFile(std::string_view bytes);  // throws WorkbookError

  // The stream's contents, or nothing when no stream has that name (names
  // compare without regard to ASCII case).
  std::optional<std::string> ReadStream(std::string_view name) const;

 private:
  struct Entry {
    std::string name;  // UTF-8 (ASCII names only matter here)
    std::uint8_t type = 0;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
  };
  std::string_view SectorAt(std::uint32_t sector) const;
  std::string ReadChain(std::uint32_t start, std::uint64_t size) const;
  std::string ReadMiniChain(std::uint32_t start, std::uint64_t size) const;

  std::string_view bytes_;
  std::uint32_t sector_size_ = 512;
  std::uint32_t mini_sector_size_ = 64;
  std::uint32_t mini_cutoff_ = 4096;
  std::vector<std::uint32_t> fat_;
  std::vector<std::uint32_t> mini_fat_;
  std::vector<Entry> entries_;
  std::string mini_stream_;
};

}  // namespace dbu::sheet

#endif
