// Bulk writes of a mapped file go through the file descriptor; the mapping
// must see them, and a copy from another file must bring its every byte.
#include "mapped_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "error.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 31 + i / 4093);
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(MappedFileTest, CopyFromGrowsTheFileAndTheMappingSeesEveryByte) {
  engtest::TempDir dir;
  const std::string target = dir.path() + "/t.bin", source = dir.path() + "/s.bin";
  WriteFile(target, Pattern(100, 7));
  // Larger than one piece of the hand copy and not a multiple of a page.
  const std::vector<uint8_t> big = Pattern(3 * (1u << 20) + 123, 1);
  WriteFile(source, big);
  eng::MappedFile file;
  file.Open(target, false);
  ASSERT_EQ(file.CopyFrom(source), big.size());
  ASSERT_GE(file.size(), big.size());
  EXPECT_EQ(0, std::memcmp(file.data(), big.data(), big.size()));

  // A shorter file overwrites the start and leaves the rest for the caller
  // to cut.
  const std::vector<uint8_t> small = Pattern(5000, 9);
  WriteFile(source, small);
  ASSERT_EQ(file.CopyFrom(source), small.size());
  EXPECT_EQ(0, std::memcmp(file.data(), small.data(), small.size()));
  EXPECT_EQ(0, std::memcmp(file.data() + small.size(), big.data() + small.size(), 10000));
  file.Truncate(small.size());
  EXPECT_EQ(file.FileLength(), small.size());
}

TEST(MappedFileTest, WriteAtIsSeenThroughTheMappingAndFailuresNameTheFile) {
  engtest::TempDir dir;
  const std::string target = dir.path() + "/t.bin";
  WriteFile(target, Pattern(1 << 16, 3));
  eng::MappedFile file;
  file.Open(target, false);
  const std::vector<uint8_t> piece = Pattern(9000, 42);
  file.WriteAt(1000, piece.data(), piece.size());
  EXPECT_EQ(0, std::memcmp(file.data() + 1000, piece.data(), piece.size()));
  try {
    file.CopyFrom(dir.path() + "/missing.bin");
    FAIL() << "copying from a missing file succeeded";
  } catch (const eng::EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.bin"), std::string::npos) << e.what();
  }
  // The failed copy left the file as it was.
  EXPECT_EQ(0, std::memcmp(file.data() + 1000, piece.data(), piece.size()));
}

}  // namespace
