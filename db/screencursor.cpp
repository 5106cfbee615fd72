#include "screencursor.h"

#include <utility>

namespace dbu {
namespace {
ScreenCursorHook& Hook() {
  static ScreenCursorHook hook;
  return hook;
}
}  // namespace

void SetScreenCursorHook(ScreenCursorHook hook) { Hook() = std::move(hook); }

TCursorShape SetScreenCursor(TCursorShape shape) {
  const ScreenCursorHook& hook = Hook();
  return hook ? hook(shape) : crDefault;
}

}  // namespace dbu
