// Format-specific workbook parsers behind ParseWorkbook; each throws
// WorkbookError with the reason when the bytes are not a readable workbook.
#ifndef DBU_SHEET_WORKBOOK_PARSERS_H
#define DBU_SHEET_WORKBOOK_PARSERS_H

#include <string>

#include "workbook.h"

namespace dbu::sheet {

Workbook ParseXls(const std::string& bytes);   // compound document with a BIFF8 or BIFF5 stream
Workbook ParseXlsx(const std::string& bytes);  // zip package with SpreadsheetML parts

}  // namespace dbu::sheet

#endif
