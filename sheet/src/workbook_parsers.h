// Format-specific workbook parsers behind ParseWorkbook; each throws
// WorkbookError with the reason when the bytes are not a readable workbook.
#ifndef DBU_SHEET_WORKBOOK_PARSERS_H
#define DBU_SHEET_WORKBOOK_PARSERS_H

#include <cstdio>
#include <string>
#include <string_view>

#include "workbook.h"

namespace dbu::sheet {

// A compound document with a BIFF8 or BIFF5 stream, or a bare BIFF2-4 stream.
Workbook ParseXls(std::string_view bytes);
// The bytes begin with the beginning-of-file record of a BIFF2, BIFF3 or BIFF4 file.
bool IsOldBiffStream(std::string_view bytes);
Workbook ParseXlsx(std::string_view bytes);  // zip package with SpreadsheetML parts
// The same from an open file, read in place (the caller keeps and closes it).
Workbook ParseXlsxFile(std::FILE* file);

}  // namespace dbu::sheet

#endif
