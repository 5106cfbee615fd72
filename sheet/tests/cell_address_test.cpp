// A1-style addresses.
#include <gtest/gtest.h>

#include "cell_address.h"

namespace dbu::sheet {
namespace {

constexpr std::uint32_t kXlsRows = 65536, kXlsCols = 256;

TEST(CellAddressTest, CellsAndBlocks) {
  auto a = ParseCellAddress("C15", kXlsRows, kXlsCols);
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, (CellBlock{14, 2, 14, 2}));
  EXPECT_EQ(*ParseCellAddress("$c$15", kXlsRows, kXlsCols), *a);
  auto b = ParseCellAddress("B3:A2", kXlsRows, kXlsCols);
  ASSERT_TRUE(b);
  EXPECT_EQ(*b, (CellBlock{1, 0, 2, 1}));
  EXPECT_EQ(FormatCellAddress(*b), "A2:B3");
  EXPECT_EQ(FormatCellAddress(*ParseCellAddress("A2:A2", kXlsRows, kXlsCols)), "A2");
  EXPECT_EQ(FormatCellAddress(*ParseCellAddress("IV65536", kXlsRows, kXlsCols)), "IV65536");
  EXPECT_EQ(FormatCellAddress(*ParseCellAddress("XFD1048576", 1048576, 16384)), "XFD1048576");
}

TEST(CellAddressTest, RejectsWhatTheGridCannotHave) {
  for (const char* bad : {"", "A0", "A", "1", "IW1", "A65537", "A1:", ":A1", "A1:B", "A 1", " A1", "A1 ", "A1B2",
                          "$$A1", "A$$1", "A-1", "Sheet1!A1", "A1,B2", "A:A", "AAAAAAAAAAAAAAAAAAAAA1",
                          "A99999999999999999999", "r1c1", "\xC3\xA9" "1"}) {
    EXPECT_FALSE(ParseCellAddress(bad, kXlsRows, kXlsCols)) << bad;
  }
  EXPECT_FALSE(ParseCellAddress("XFE1", 1048576, 16384));
  EXPECT_FALSE(ParseCellAddress("A1048577", 1048576, 16384));
}

TEST(CellAddressTest, ColumnLetters) {
  EXPECT_EQ(ColumnLetters(0), "A");
  EXPECT_EQ(ColumnLetters(25), "Z");
  EXPECT_EQ(ColumnLetters(26), "AA");
  EXPECT_EQ(ColumnLetters(701), "ZZ");
  EXPECT_EQ(ColumnLetters(702), "AAA");
  EXPECT_EQ(ColumnLetters(16383), "XFD");
}

}  // namespace
}  // namespace dbu::sheet
