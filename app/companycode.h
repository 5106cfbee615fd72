// Company codes as paths. A company code names one company database: the
// folder BaseDir + "company/" + code, or the data dictionary code + ".add"
// inside it when that file exists. A code is used as typed (blanks around
// it included) when it names one folder directly under company/; anything
// else is refused before a path is built from it, so that no task reaches
// or empties tables outside company/:
//   - an empty or blank code (it names no company),
//   - "/" or "\" (a path, absolute or relative), "." or any "..",
//   - a control character (NUL included).
// Names are found on disk without regard to case, as the databases were
// made on a system that ignores case. A company folder that is a symbolic
// link is followed: the code only chooses a name under company/, and a
// link there was put in place by whoever administers the base directory.
// Stateless; reads the file system only to find the spelling of names.
#pragma once

#include <string>

#include "dberrors.h"

namespace dbu {

// A company code that names no single folder under company/.
class ECompanyCodeError : public Exception {
 public:
  using Exception::Exception;
};

// Throws ECompanyCodeError when code is no valid company code; what names
// the code in the message ("Company code", "Destination company code").
void CheckCompanyCode(const std::string& code, const std::string& what);

// Where the company database of code lies under baseDir (which ends with
// a separator): company/<code>/<code>.add when that file exists, else the
// folder company/<code> (which need not exist), spelled as on disk. The
// code is checked first.
std::string CompanyDatabasePath(const std::string& baseDir, const std::string& code, const std::string& what);

}  // namespace dbu
