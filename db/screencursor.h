// The application-wide mouse pointer, as the data access layer sees it.
//
// The layer shows the hourglass while it connects (and a query shows its
// wait pointer while it executes). It has no user interface of its own: the
// application installs a hook that changes the pointer and returns the shape
// it replaced. The default hook does nothing. Install the hook before
// connections are used; it is read without a lock.
#pragma once

#include <functional>

namespace dbu {

using TCursorShape = int;
constexpr TCursorShape crDefault = 0;
constexpr TCursorShape crHourGlass = -11;

// Shows newShape and returns the shape shown before.
using ScreenCursorHook = std::function<TCursorShape(TCursorShape newShape)>;

void SetScreenCursorHook(ScreenCursorHook hook);
TCursorShape SetScreenCursor(TCursorShape shape);

// Shows a shape for its lifetime and puts the previous one back, also when
// the guarded work fails.
class TScreenCursorGuard {
 public:
  explicit TScreenCursorGuard(TCursorShape shape) : previous_(SetScreenCursor(shape)) {}
  ~TScreenCursorGuard() { SetScreenCursor(previous_); }
  TScreenCursorGuard(const TScreenCursorGuard&) = delete;
  TScreenCursorGuard& operator=(const TScreenCursorGuard&) = delete;

 private:
  TCursorShape previous_;
};

}  // namespace dbu
