// Conversions of the text encodings found in workbook files to UTF-8.
#ifndef DBU_SHEET_TEXT_ENCODING_H
#define DBU_SHEET_TEXT_ENCODING_H

#include <cstdint>
#include <string>
#include <string_view>

namespace dbu::sheet {

void AppendUtf8(std::string& out, std::uint32_t code_point);
// Little-endian UTF-16 code units; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes);
// Single-byte text in the given Windows code page (1252 and Latin-1 are known;
// any other page is read as Latin-1).
std::string SingleByteToUtf8(std::string_view bytes, int code_page);

}  // namespace dbu::sheet

#endif
