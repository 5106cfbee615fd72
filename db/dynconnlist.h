// TDynamicConnList: engine connections opened implicitly by path, for
// cursors that have no connection object. One process-wide list, guarded by
// its own lock for the length of one search or change; every connection in
// it is disconnected when the program ends.
#pragma once

#include <string>

#include "engine.h"

namespace dbu {

struct TDynamicConn {
  ENGHANDLE Handle = 0;
  std::string DatabasePath;
};

class TDynamicConnList {
 public:
  // The connection recorded for path (case-insensitive), or 0.
  static ENGHANDLE Find(const std::string& path);
  // The recorded connection for path, or a new one made with EngConnect and
  // recorded; a failed connect goes through EngineCheck without a dataset.
  // Returns 0 when no connection results.
  static ENGHANDLE Obtain(const std::string& path);
  static size_t Count();
};

}  // namespace dbu
