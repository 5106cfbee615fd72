#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "_4passtr.h"
#include "_4pchar.h"

namespace dbu {
namespace {

// A writable NUL-ended copy of a text, with a guard character after the NUL
// so a routine that writes past the text's end shows up.
class Buffer {
 public:
  explicit Buffer(const std::string& text) : bytes_(text.begin(), text.end()) {
    bytes_.push_back('\0');
    bytes_.push_back('#');
  }
  char* data() { return bytes_.data(); }
  std::size_t offset(const char* p) const { return static_cast<std::size_t>(p - bytes_.data()); }
  std::string text() const { return std::string(bytes_.data()); }
  char guard() const { return bytes_.back(); }

 private:
  std::vector<char> bytes_;
};

TEST(BufferRoutinesTest, SkipLeadingSpaces) {
  Buffer b("  a b ");
  EXPECT_EQ(b.offset(SkipLeadingSpaces(b.data())), 2u);
  EXPECT_EQ(b.text(), "  a b ");  // not changed
  Buffer spaces("   ");
  EXPECT_EQ(spaces.offset(SkipLeadingSpaces(spaces.data())), 3u);  // the ending NUL
  Buffer empty("");
  EXPECT_EQ(empty.offset(SkipLeadingSpaces(empty.data())), 0u);
  Buffer tab("\t a");
  EXPECT_EQ(tab.offset(SkipLeadingSpaces(tab.data())), 0u);
}

TEST(BufferRoutinesTest, CutTrailingSpacesKeepsTheFirstCharacter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ab  ", "ab"}, {"   ", " "}, {" ", " "}, {"a", "a"}, {"", ""}, {" a ", " a"},
      {"a\t ", "a\t"}, {"a\n", "a\n"}, {"a \xA0", "a \xA0"}, {"a b", "a b"}};
  for (const auto& [input, expected] : cases) {
    Buffer b(input);
    EXPECT_EQ(CutTrailingSpaces(b.data()), b.data());
    EXPECT_EQ(b.text(), expected) << '"' << input << '"';
    EXPECT_EQ(b.guard(), '#');
  }
}

TEST(BufferRoutinesTest, CutAtLength) {
  Buffer b("abcdef");
  EXPECT_EQ(CutAtLength(b.data(), 3), b.data());
  EXPECT_EQ(b.text(), "abc");
  Buffer exact("abcdef");
  CutAtLength(exact.data(), 6);
  EXPECT_EQ(exact.text(), "abcdef");
  EXPECT_EQ(exact.guard(), '#');
  Buffer longer("abc");
  CutAtLength(longer.data(), 65535);
  EXPECT_EQ(longer.text(), "abc");
  EXPECT_EQ(longer.guard(), '#');
  Buffer zero("abc");
  CutAtLength(zero.data(), 0);
  EXPECT_EQ(zero.text(), "");
}

TEST(BufferRoutinesTest, RightmostPart) {
  Buffer b("abcdef");
  EXPECT_EQ(b.offset(RightmostPart(b.data(), 2)), 4u);
  EXPECT_EQ(b.offset(RightmostPart(b.data(), 5)), 1u);
  EXPECT_EQ(b.offset(RightmostPart(b.data(), 6)), 0u);
  EXPECT_EQ(b.offset(RightmostPart(b.data(), 100)), 0u);
  EXPECT_EQ(b.offset(RightmostPart(b.data(), 0)), 6u);  // the ending NUL: the empty text
  EXPECT_EQ(b.text(), "abcdef");
  Buffer empty("");
  EXPECT_EQ(empty.offset(RightmostPart(empty.data(), 0)), 0u);
}

TEST(BufferRoutinesTest, MiddlePart) {
  struct Case {
    std::uint16_t start, count;
    const char* result;
  };
  for (const Case& c : {Case{5, 2, "08"}, Case{0, 4, "2005"}, Case{1, 4, "2005"}, Case{6, 2, "8"},
                        Case{7, 2, ""}, Case{1, 0, ""}, Case{3, 65535, "0508"}, Case{65535, 1, ""}}) {
    Buffer b("200508");
    EXPECT_STREQ(MiddlePart(b.data(), c.start, c.count), c.result) << c.start << "," << c.count;
    EXPECT_EQ(b.guard(), '#');
  }
  Buffer beyond("200508");
  EXPECT_EQ(MiddlePart(beyond.data(), 7, 2), beyond.data());
  EXPECT_EQ(beyond.text(), "");  // a start past the end empties the buffer
}

// Positions past 65535 characters must not wrap around 16 bits.
TEST(BufferRoutinesTest, BuffersLongerThanSixteenBits) {
  std::string text(70000, 'x');
  text.replace(69997, 3, "END");
  text.replace(65534, 3, "MID");
  Buffer b(text);
  EXPECT_STREQ(RightmostPart(b.data(), 3), "END");
  Buffer mid(text);
  EXPECT_STREQ(MiddlePart(mid.data(), 65535, 3), "MID");
  Buffer cut(text);
  CutAtLength(cut.data(), 65535);
  EXPECT_EQ(cut.text().size(), 65535u);
  Buffer trailing(text + std::string(10, ' '));
  CutTrailingSpaces(trailing.data());
  EXPECT_EQ(trailing.text(), text);
}

TEST(TextRoutinesTest, Trimming) {
  EXPECT_EQ(TrimSpaces(""), "");
  EXPECT_EQ(TrimSpaces("     "), "");
  EXPECT_EQ(TrimSpaces(" "), "");
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("\tab "), "\tab");
  EXPECT_EQ(TrimSpaces(" ab\n"), "ab\n");
  EXPECT_EQ(TrimSpaces("\xA0" "a\xA0"), "\xA0" "a\xA0");
  EXPECT_EQ(TrimTrailingSpaces("   "), " ");
  EXPECT_EQ(TrimTrailingSpaces(" a  "), " a");
  EXPECT_EQ(TrimLeadingSpaces("   "), "");
  EXPECT_EQ(TrimLeadingSpaces("  a  "), "a  ");
  EXPECT_EQ(TrimLeadingSpaces(""), "");
}

TEST(TextRoutinesTest, MidTextOfAPeriod) {
  EXPECT_EQ(MidText("200508", 5, 2), "08");
  EXPECT_EQ(MidText("200508", 0, 4), "2005");
  EXPECT_EQ(MidText("200508", 6, 2), "8");
  EXPECT_EQ(MidText("200508", 7, 2), "");
  EXPECT_EQ(MidText("200508", 1, 0), "");
  EXPECT_EQ(MidText("", 1, 5), "");
}

TEST(TextRoutinesTest, MidTextTakesOnlyEightBitValues) {
  const std::string text(300, 'a');
  EXPECT_EQ(MidText(text, 1, 255).size(), 255u);
  EXPECT_EQ(MidText(text, 255, 255).size(), 46u);
  for (auto [start, count] : {std::pair{1, 256}, std::pair{256, 1}, std::pair{-1, 2}, std::pair{1, -1},
                              std::pair{1, 300}}) {
    EXPECT_THROW(MidText(text, start, count), std::out_of_range) << start << "," << count;
  }
  try {
    MidText("200508", 1, 300);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "MidText: count 300 is outside 0 to 255");
  }
}

TEST(TextRoutinesTest, ANulCharacterEndsTheText) {
  const std::string withNul("ab\0 cd ", 7);
  EXPECT_EQ(TrimSpaces(withNul), "ab");
  EXPECT_EQ(TrimLeadingSpaces(std::string("  a\0b", 5)), "a");
  EXPECT_EQ(TrimTrailingSpaces(std::string("a \0b ", 5)), "a");
  EXPECT_EQ(MidText(std::string("20\0" "0508", 6), 1, 6), "20");
  EXPECT_EQ(MidText(std::string("20\0" "0508", 6), 4, 2), "");
  EXPECT_EQ(TrimSpaces(std::string("\0abc", 4)), "");
}

}  // namespace
}  // namespace dbu
