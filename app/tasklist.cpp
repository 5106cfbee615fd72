// Task captions and the dispatcher.
#include "tasklist.h"

#include <stdexcept>

namespace dbu {

namespace {

const std::array<std::string, kTaskCount> kCaptions = {
    "Clean not used claim setup data",
    "Copy HRLEVEL to SUPERVISOR_CODE2",
    "Update allowance code & transfer period of claim - Year 2006",
    "Swap the value from date of expense field to claim date for existing application",
    "Clean invalid supervisor setup record",
    "Print Invalid Leave Transaction( Year & Month )",
    "Correct the approval flow for Ombrel [ Employee.adt ]",
    "Restore the link for LIEU",
    "Set database version",
    "Import email",
    "Import 2 chars country code",
    "Remove invalid leave detail",
    "Update Effective end date for employee 1146 & 6623",
    "Remove the duplicate leave ( CHILDCARE on 24/05/2005 ) for employee S0319",
    "Rectify invalid Year entry in leave detail",
    "Update Nature Code to G&A for Asset A2005050039",
    "Update OT claim template with Start & End working time",
    "Add PayPeriod field to the claim templates",
    "Release the account locked for an employee",
    "Set 200508 to transfer period for claim records verified by 17/08/2005",
    "Restore Asset No 0002244F",
    "Configure Asset E2005090188 back to category C1000",
    "Clear the cancellation indicator for 5416 leave application",
    "Delete the invalid claim record for K1208734P on 20/04/2005 for Transport",
    "Remove Asset No A2005100071 from Transfer table",
    "Enlarge the Batch No field to 15 length",
    "Enlarge the Entry Group field to 30 length",
    "Add the new field called TPAYSLIP for customise mail payslip.",
    "Correct the leave taken for employee 5311",
    "Correct the leave taken for year 2004 onwards",
    "Correct the leave taken for year 2006 in year 2005.",
    "Enlarge the Reason per month field to 100 length",
    "Import Approval Flow from Excel file",
    "Update Database Structure for Torvel Ver 8.0.58",
    "Asset Import from Marlix.xls file",
    "Link Movement Record back to Active Asset F001745E",
    "Add new field called BA_Amended_Period",
    "Copy Code table to a new company database",
};

bool InRange(int index) { return index >= 0 && index < kTaskCount; }

}  // namespace

const std::string& TaskCaption(int index) {
  static const std::string kNone;
  return InRange(index) ? kCaptions[static_cast<size_t>(index)] : kNone;
}

void TTaskDispatcher::SetBody(int index, TTaskBody body) {
  if (!InRange(index)) throw std::out_of_range("Task index " + std::to_string(index) + " is not 0 to 37");
  bodies_[static_cast<size_t>(index)] = std::move(body);
}

bool TTaskDispatcher::HasBody(int index) const {
  return InRange(index) && static_cast<bool>(bodies_[static_cast<size_t>(index)]);
}

TTaskEnd TTaskDispatcher::Run(int index, TForm1Logic& form) const {
  if (!HasBody(index)) return TTaskEnd::Normal;
  return bodies_[static_cast<size_t>(index)](form);
}

}  // namespace dbu
