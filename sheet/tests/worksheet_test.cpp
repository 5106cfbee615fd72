// The worksheet cell index against a plain map, through growth and removals.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "workbook.h"

namespace dbu::sheet {
namespace {

TEST(WorksheetTest, MatchesAMapThroughInsertsRemovalsAndGrowth) {
  Worksheet ws("S");
  std::map<std::pair<std::uint32_t, std::uint32_t>, double> expected;
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t row = rng() % 3000, col = rng() % 40;
    if (rng() % 4 == 0) {
      ws.Clear(row, col);
      expected.erase({row, col});
    } else {
      Cell c;
      c.kind = CellKind::Number;
      c.number = i;
      ws.Set(row, col, c);
      expected[{row, col}] = i;
    }
  }
  ASSERT_EQ(ws.cell_count(), expected.size());
  for (std::uint32_t row = 0; row < 3000; ++row) {
    for (std::uint32_t col = 0; col < 40; ++col) {
      const Cell* c = ws.Find(row, col);
      const auto it = expected.find({row, col});
      ASSERT_EQ(c != nullptr, it != expected.end()) << row << "," << col;
      if (c) {
        ASSERT_EQ(c->number, it->second);
      }
    }
  }
  std::size_t visited = 0;
  ws.ForEach([&](std::uint32_t r, std::uint32_t c, const Cell& cell) {
    ++visited;
    EXPECT_EQ(cell.number, expected.at({r, c}));
  });
  EXPECT_EQ(visited, expected.size());
}

// Loaders append row by row; other orders go through the side table and its merges.
TEST(WorksheetTest, EveryInsertionOrderGivesTheSameCells) {
  const std::uint32_t rows = 300, cols = 20;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> row_major, reversed, column_major, gappy;
  for (std::uint32_t r = 0; r < rows; ++r)
    for (std::uint32_t c = 0; c < cols; ++c) row_major.emplace_back(r, c);
  reversed.assign(row_major.rbegin(), row_major.rend());
  for (std::uint32_t c = 0; c < cols; ++c)
    for (std::uint32_t r = 0; r < rows; ++r) column_major.emplace_back(r, c);
  for (std::uint32_t r = 0; r < rows; ++r)  // rows with gaps, odd columns filled in afterwards
    for (std::uint32_t c = 0; c < cols; c += 2) gappy.emplace_back(r * 7, c);
  for (std::uint32_t r = 0; r < rows; ++r)
    for (std::uint32_t c = 1; c < cols; c += 2) gappy.emplace_back(r * 7, c);
  for (const auto* order : {&row_major, &reversed, &column_major, &gappy}) {
    Worksheet ws;
    for (const auto& [r, c] : *order) {
      Cell cell;
      cell.kind = CellKind::Number;
      cell.number = r * 1000.0 + c;
      ws.Set(r, c, cell);
    }
    ASSERT_EQ(ws.cell_count(), order->size());
    for (const auto& [r, c] : *order) {
      const Cell* cell = ws.Find(r, c);
      ASSERT_NE(cell, nullptr) << r << "," << c;
      EXPECT_EQ(cell->number, r * 1000.0 + c);
    }
    EXPECT_EQ(ws.Find(rows * 7, 0), nullptr);
    EXPECT_EQ(ws.Find(0, cols), nullptr);
    // Clearing half of them, then setting them again, keeps the count right.
    for (std::size_t i = 0; i < order->size(); i += 2) ws.Clear((*order)[i].first, (*order)[i].second);
    EXPECT_EQ(ws.cell_count(), order->size() / 2);
    EXPECT_EQ(ws.Find((*order)[0].first, (*order)[0].second), nullptr);
    Cell t;
    t.kind = CellKind::Text;
    t.text = 3;
    for (std::size_t i = 0; i < order->size(); i += 2) ws.Set((*order)[i].first, (*order)[i].second, t);
    std::size_t texts = 0;
    ws.ForEach([&](std::uint32_t, std::uint32_t, const Cell& cell) { texts += cell.kind == CellKind::Text; });
    EXPECT_EQ(texts, (order->size() + 1) / 2);
    EXPECT_EQ(ws.cell_count(), order->size());
  }
}

TEST(WorksheetTest, ExtremeCoordinatesAndReserve) {
  Worksheet ws;
  Cell c;
  c.kind = CellKind::Boolean;
  ws.Reserve(10);
  ws.Set(0xFFFFFFFFu, 0xFFFFFFFFu, c);
  ws.Set(0, 0, c);
  EXPECT_NE(ws.Find(0xFFFFFFFFu, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(ws.Find(0xFFFFFFFFu, 0), nullptr);
  ws.Reserve(100000, 50000);  // rebuilding the index keeps what is stored
  EXPECT_NE(ws.Find(0, 0), nullptr);
  EXPECT_EQ(ws.cell_count(), 2u);
  ws.Clear(0, 0);
  ws.Clear(0, 0);
  EXPECT_EQ(ws.cell_count(), 1u);
  EXPECT_EQ(Worksheet().Find(1, 1), nullptr);
}

TEST(WorkbookParseTest, RecognisesContentNotName) {
  EXPECT_THROW(ParseWorkbook(""), WorkbookError);
  EXPECT_THROW(ParseWorkbook("PK\x03\x04 not really a zip"), WorkbookError);
  EXPECT_THROW(ParseWorkbook(std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(600, '\0')),
               WorkbookError);
  try {
    ParseWorkbook("Section,Sup1\n");
    FAIL();
  } catch (const WorkbookError& e) {
    EXPECT_NE(std::string(e.what()).find("not a workbook"), std::string::npos);
  }
}

// A bare BIFF3 stream: records of id, length and data, little-endian.
std::string Record(std::uint16_t id, const std::string& data) {
  std::string r;
  r += static_cast<char>(id & 0xFF);
  r += static_cast<char>(id >> 8);
  r += static_cast<char>(data.size() & 0xFF);
  r += static_cast<char>(data.size() >> 8);
  return r + data;
}

std::string Cell3(std::uint16_t row, std::uint16_t col, const std::string& value) {
  return std::string{static_cast<char>(row), 0, static_cast<char>(col), 0, 0, 0} + value;  // XF 0
}

// Cell records that cannot be read lose only their own cell, in either kind of
// record set; the stream's own structure is still checked as a whole.
TEST(WorkbookParseTest, AnUnreadableCellRecordLeavesOnlyThatCellEmpty) {
  const std::string bof = Record(0x0209, std::string("\x00\x03\x10\x00\x00\x00", 6));
  const std::string label_ok = Record(0x0204, Cell3(0, 0, std::string("\x02\x00ok", 4)));
  const std::string label_long = Record(0x0204, Cell3(1, 0, std::string("\x50\x00" "ab", 4)));  // 80 characters claimed
  const std::string number_short = Record(0x0203, Cell3(2, 0, "\x01\x02"));               // 2 of 8 bytes
  const std::string bool_ok = Record(0x0205, Cell3(3, 0, std::string("\x01\x00", 2)));
  const std::string eof = Record(0x000A, "");
  const Workbook wb = ParseWorkbook(bof + label_ok + label_long + number_short + bool_ok + eof);
  ASSERT_EQ(wb.sheets.size(), 1u);
  EXPECT_EQ(wb.kind, WorkbookKind::Biff4);
  EXPECT_NE(wb.sheets[0].Find(0, 0), nullptr);
  EXPECT_EQ(wb.sheets[0].Find(1, 0), nullptr);
  EXPECT_EQ(wb.sheets[0].Find(2, 0), nullptr);
  EXPECT_NE(wb.sheets[0].Find(3, 0), nullptr);
  ASSERT_EQ(wb.warning_count, 2u);
  EXPECT_EQ(wb.warnings[0].row, 1u);
  EXPECT_EQ(wb.warnings[1].row, 2u);
  // A record that runs past the end of the stream is damage of the file, not of a cell.
  EXPECT_THROW(ParseWorkbook(bof + label_ok + Record(0x0203, Cell3(2, 0, std::string(8, '\0'))).substr(0, 10)),
               WorkbookError);
}

}  // namespace
}  // namespace dbu::sheet
