/*
 * Displayed text of a cell value through a spreadsheet number format code:
 * the General format, built-in formats 0..49, and custom codes with up to four
 * sections (positive; negative; zero; text), conditions, literal text,
 * thousands separators and scaling, percent, scientific, fractions, dates and
 * times (1900 and 1904 date systems) and the text placeholder "@". Colours and
 * column widths play no part: fill characters are dropped and "_x" gives one
 * space. A FormatCode is immutable after parsing and safe to share.
 */
#ifndef DBU_SHEET_NUMBER_FORMAT_H
#define DBU_SHEET_NUMBER_FORMAT_H

#include <memory>
#include <string>
#include <string_view>

#include "workbook.h"

namespace dbu::sheet {

// The system's short date settings that the built-in short date format
// (id 14, and id 22 with a time) follows. The pattern is in the process's
// date pattern letters (d, M, y; "/" stands for the separator).
struct DateSettings {
  std::string short_date_format = "dd/MM/yyyy";
  std::string date_separator = "/";
};

// How the General format shows a number: at most 11 characters besides the
// sign, scientific notation when the number does not fit ("1.23457E+11").
std::string FormatGeneral(double value);

// The code of a built-in format id (0..49); "General" for ids without one.
std::string BuiltinFormatCode(int id, const DateSettings& dates);

class FormatCode {
 public:
  static FormatCode Parse(std::string_view code);
  FormatCode(FormatCode&&) noexcept;
  FormatCode& operator=(FormatCode&&) noexcept;
  ~FormatCode();

  // value is the stored number; date1904 tells how a date serial counts.
  std::string FormatNumber(double value, bool date1904) const;
  std::string FormatText(std::string_view text) const;

  struct Impl;

 private:
  explicit FormatCode(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dbu::sheet

#endif
