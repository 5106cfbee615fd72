// The error of the safe-run machinery (backups, undo, history, previews):
// a message that names the run, table or file concerned and what to do.
#pragma once

#include "dberrors.h"

namespace dbu {

class ERunError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace dbu
