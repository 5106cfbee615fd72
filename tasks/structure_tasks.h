// The table structure routine behind tasks 25, 26, 27, 31, 33 and 36:
// widens, narrows, adds or retypes one column through an ALTER TABLE
// statement of DbQuery1, working on DbTable1; an encrypted free table is
// altered and packed sealed, with its password, and is never readable
// without it. Window thread only.
#pragma once

#include <string>

namespace dbu {

class TForm1Logic;

// Nothing happens when the table file is missing. A failure to open the
// table is shown in a message box and raised again; every later failure is
// shown in a message box (with the statement) and not raised, and the result
// is then false, so that a caller runs no step that needs the change. An
// encrypted table is never decrypted, not even for a moment.
bool AlterTableColumn(TForm1Logic& form, const std::string& tableName, const std::string& fieldName,
                      const std::string& typeCode, const std::string& length, bool encrypted);

}  // namespace dbu
