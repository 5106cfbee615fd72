// Task 32, "Import Approval Flow from Excel file": writes the approval chain
// of every employee of each section listed in "approval_flow.xls" (beside the
// program) into the employee's approval record, and LocateEmployeeRecord,
// which finds the record in force today.
//
// The task owns nothing: it works through the window's SheetReader1, Code,
// MEDSCH and DbQuery1 and leaves them as the shared settings of a run say
// (reader connected, MEDSCH and the query open). Single-threaded.
#pragma once

#include <string>

#include "tasklist.h"

namespace dbu {

class TDbTable;

void InstallApprovalFlowImport(TTaskDispatcher& dispatcher);  // 32

// Opens table when needed (giving free tables the table password) and puts
// its cursor on empNo's record: for a table with EFFECTIVE_DATE, ordered by
// index "EMP_NO2", the first of the employee's records that is in force
// today; otherwise the record FindKey finds in the table's current order.
// When the employee has no such record the cursor rests on another record
// (or at Eof on the last one); callers compare employee numbers.
void LocateEmployeeRecord(TForm1Logic& form, TDbTable& table, const std::string& empNo);

}  // namespace dbu
