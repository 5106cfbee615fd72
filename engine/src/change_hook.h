// The calling thread's change hook (EngSetChangeHook): told of each table
// the thread is about to change, before any byte of it changes, so that a
// caller can save the table first or refuse the change.
//
// The hook belongs to the thread that set it, so it sees exactly the
// changes that thread's calls make. Each setting has a generation of its
// own, process-wide unique: a table remembers the generation it was last
// announced under (SharedTable::AnnounceChange) and is announced again
// only under a new one. A hook that refuses makes Announce throw
// EngineError with its code and text.
#pragma once

#include <cstdint>
#include <string>

#include "engine.h"

namespace eng {

struct ChangeHook {
  EngChangeHook hook = nullptr;
  void* context = nullptr;
  uint64_t generation = 0;  // 0 while no hook is set
};

// The calling thread's hook.
const ChangeHook& ThreadChangeHook();
void SetThreadChangeHook(EngChangeHook hook, void* context);

// Keeps the thread's hook from being told while it lives: the engine's own
// scratch tables (ALTER TABLE's new image) are nobody's change.
class ChangeHookPause {
 public:
  ChangeHookPause();
  ~ChangeHookPause();
  ChangeHookPause(const ChangeHookPause&) = delete;
  ChangeHookPause& operator=(const ChangeHookPause&) = delete;

 private:
  ChangeHook saved_;
};

// Tells the thread's hook (when one is set) that path is about to change
// in the way kind says; throws when the hook refuses.
void AnnounceChange(uint16_t kind, const std::string& path);

}  // namespace eng
