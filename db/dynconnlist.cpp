#include "dynconnlist.h"

#include <mutex>
#include <vector>

#include "dberrors.h"
#include "strutil.h"

namespace dbu {
namespace {

struct DynamicConnections {
  std::mutex lock;
  std::vector<TDynamicConn> list;
};

// Never destroyed, so that cursors in static storage may still look it up
// while the program ends.
DynamicConnections& Connections() {
  static DynamicConnections* connections = new DynamicConnections;
  return *connections;
}

}  // namespace

ENGHANDLE TDynamicConnList::Find(const std::string& path) {
  DynamicConnections& c = Connections();
  std::lock_guard<std::mutex> guard(c.lock);
  for (const TDynamicConn& conn : c.list)
    if (SameText(conn.DatabasePath, path)) return conn.Handle;
  return 0;
}

ENGHANDLE TDynamicConnList::Obtain(const std::string& path) {
  if (ENGHANDLE found = Find(path)) return found;
  ENGHANDLE handle = 0;
  ENGRESULT result = EngConnect(path.c_str(), &handle);
  if (result != ENG_OK) {
    EngineCheck(result);
    return 0;
  }
  DynamicConnections& c = Connections();
  try {
    std::lock_guard<std::mutex> guard(c.lock);
    // Another thread may have connected the same path meanwhile: keep one.
    for (const TDynamicConn& conn : c.list) {
      if (SameText(conn.DatabasePath, path)) {
        EngDisconnect(handle);
        return conn.Handle;
      }
    }
    c.list.push_back(TDynamicConn{handle, path});
  } catch (...) {
    EngDisconnect(handle);
    return 0;
  }
  return handle;
}

void TDynamicConnList::DisconnectAll() {
  std::vector<TDynamicConn> connections;
  {
    DynamicConnections& c = Connections();
    std::lock_guard<std::mutex> guard(c.lock);
    connections.swap(c.list);
  }
  for (const TDynamicConn& conn : connections) EngDisconnect(conn.Handle);
}

size_t TDynamicConnList::Count() {
  DynamicConnections& c = Connections();
  std::lock_guard<std::mutex> guard(c.lock);
  return c.list.size();
}

}  // namespace dbu
