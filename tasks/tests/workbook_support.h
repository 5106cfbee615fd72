// Workbooks for the import task tests, made per case by Debian's
// python3-xlwt (the script beside this file), so that the tasks read real
// .xls files through the spreadsheet component.
//
// A TWorkbookCells collects cells by spreadsheet address ("C15"); Write()
// saves them as a workbook file. Single-threaded test helper.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef DBU_WRITE_WORKBOOK_SCRIPT
#error "DBU_WRITE_WORKBOOK_SCRIPT must name tasks/tests/write_workbook.py"
#endif

namespace dbu {

class TWorkbookCells {
 public:
  // Cells of the first worksheet ("Sheet1") unless a sheet is named.
  TWorkbookCells& Text(const std::string& address, const std::string& text, const std::string& sheet = "Sheet1") {
    return Cell(sheet, address, "t", text, "");
  }
  TWorkbookCells& Number(const std::string& address, double value, const std::string& format = "General",
                        const std::string& sheet = "Sheet1") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return Cell(sheet, address, "n", buf, format);
  }
  // A date cell: isoDate is "yyyy-mm-dd", shown through format.
  TWorkbookCells& Date(const std::string& address, const std::string& isoDate,
                      const std::string& format = "dd/mm/yyyy", const std::string& sheet = "Sheet1") {
    return Cell(sheet, address, "d", isoDate, format);
  }
  // Adds an empty sheet so that "Sheet1" is not the only one (or the first).
  TWorkbookCells& Sheet(const std::string& sheet) { return Cell(sheet, "A1", "t", "", ""); }

  // Writes the workbook; fails the current test when the script fails.
  void Write(const std::string& path) const {
    const std::string input = path + ".cells";
    if (std::FILE* f = std::fopen(input.c_str(), "wb")) {
      std::fwrite(lines_.data(), 1, lines_.size(), f);
      std::fclose(f);
    }
    const std::string command = "/usr/bin/python3 '" DBU_WRITE_WORKBOOK_SCRIPT "' '" + path + "' < '" + input + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::remove(input.c_str());
  }

 private:
  TWorkbookCells& Cell(const std::string& sheet, const std::string& address, const char* kind,
                      const std::string& value, const std::string& format) {
    std::size_t i = 0;
    int col = 0, row = 0;
    while (i < address.size() && address[i] >= 'A' && address[i] <= 'Z') col = col * 26 + (address[i++] - 'A' + 1);
    while (i < address.size() && address[i] >= '0' && address[i] <= '9') row = row * 10 + (address[i++] - '0');
    EXPECT_TRUE(col > 0 && row > 0 && i == address.size()) << "bad test cell address " << address;
    lines_ += sheet + "\t" + std::to_string(row - 1) + "\t" + std::to_string(col - 1) + "\t" + kind + "\t" + value +
              "\t" + format + "\n";
    return *this;
  }
  std::string lines_;
};

}  // namespace dbu
