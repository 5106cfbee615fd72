#include "change_hook.h"

#include <atomic>

#include "error.h"

namespace eng {

namespace {
thread_local ChangeHook t_hook;
std::atomic<uint64_t> g_next_generation{0};
}  // namespace

const ChangeHook& ThreadChangeHook() { return t_hook; }

void SetThreadChangeHook(EngChangeHook hook, void* context) {
  t_hook.hook = hook;
  t_hook.context = hook ? context : nullptr;
  t_hook.generation = hook ? g_next_generation.fetch_add(1, std::memory_order_relaxed) + 1 : 0;
}

ChangeHookPause::ChangeHookPause() : saved_(t_hook) { t_hook = ChangeHook(); }
ChangeHookPause::~ChangeHookPause() { t_hook = saved_; }

void AnnounceChange(uint16_t kind, const std::string& path) {
  if (!t_hook.hook) return;
  char message[1024] = {0};
  ENGRESULT rc = t_hook.hook(t_hook.context, kind, path.c_str(), message, sizeof message);
  if (rc == ENG_OK) return;
  message[sizeof message - 1] = 0;
  std::string text = message;
  if (text.empty()) text = "The change of " + path + " was refused";
  Fail(rc, text);
}

}  // namespace eng
