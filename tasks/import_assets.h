// Task 34, "Asset Import from Marlix.xls file": rebuilds the asset register
// "ASSET" and the table "FAACCDEP" from the workbook "marlix.xls" in the
// program's folder, cell by cell as the company's mapping table "MARLIX"
// directs, adding missing codes to "CODE.ADT" and "GRPCODE.ADT" on the way.
//
// The task works only through the window's shared objects: MEDSCH (the
// mapping), DbTable1 (the target), DbQuery1 (pay-group periods), Code and
// groupCode (code tables) and SheetReader1; it owns nothing. A target table
// is emptied only when the sheet has an asset row, and a pass that imports
// no record puts the table's previous records back. Single-threaded, on the
// window's thread.
#pragma once

#include <string>

#include "dbdataset.h"

namespace dbu {

class TForm1Logic;
class TTaskDispatcher;

// Installs task 34 (called by InstallImportTasks).
void InstallAssetImportTask(TTaskDispatcher& dispatcher);

// The letters of spreadsheet column number (1 is A, 26 is Z, 27 is AA);
// "?" for a number below 1, which names no column.
std::string ColumnLetters(int number);

// The error raised when reading column A of sheet row fails: the reading's
// error text, " FIELD NO : ", the letters of the current mapping row's
// FIELD_NO and the row number.
std::string ColumnAReadErrorText(const std::string& errorText, int fieldNo, int row);

// Adds a group code (category "GRP", blanks around it ignored) to groupCode
// or a code of category to Code when it is not there yet; an existing entry
// keeps its description. Opens both cursors where they are closed.
void EnsureCodeEntry(TForm1Logic& form, const std::string& category, const std::string& codeValue,
                     const std::string& description);

// The financial period (year digits and two month digits) in which the date
// of kind ("STD": PURCHASE_DATE, "REV": STD_REVALUE_DATE, "ADJ": REV_DATE) of
// source's current record falls, after the first pay-group period of the
// open DbQuery1 that ends in the date's month; the date's own year and month
// when none does.
std::string PeriodForDate(TForm1Logic& form, const std::string& kind, const TDbDataSet& source);

}  // namespace dbu
