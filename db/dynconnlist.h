// TDynamicConnList: engine connections opened implicitly by path, for
// cursors that have no connection object. One process-wide list, guarded by
// its own lock for the length of one search or change. The application
// calls DisconnectAll when it ends, while the engine is still whole (an
// exit handler could run after the engine's own statics are gone).
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
  // Disconnects every recorded connection and empties the list.
  static void DisconnectAll();
};

}  // namespace dbu
