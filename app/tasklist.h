// The fixed list of 38 maintenance tasks and the dispatcher that carries out
// the body of the task a run selects.
//
// A task is identified by its 0-based index in the task list. The
// dispatcher holds one slot per index; an empty slot means the task has no
// body, and a run of it goes straight to its normal end. The task families
// fill their slots through InstallTaskBodies. Not thread-safe (one per
// window, used on the window's thread).
#pragma once

#include <array>
#include <functional>
#include <string>

namespace dbu {

class TForm1Logic;

constexpr int kTaskCount = 38;

// The caption of task index, as the task list shows it; "" out of range.
const std::string& TaskCaption(int index);

// How a task body ended when it raised no error.
enum class TTaskEnd {
  Normal,   // the run goes on to "Done!"
  Stopped,  // a confirmation was not answered "Yes", or the task's own early stop
};

using TTaskBody = std::function<TTaskEnd(TForm1Logic&)>;

class TTaskDispatcher {
 public:
  // Index 0 to 37; a null body empties the slot.
  void SetBody(int index, TTaskBody body);
  bool HasBody(int index) const;
  // Runs the body of index (any index, -1 included); a task without a body
  // ends normally at once.
  TTaskEnd Run(int index, TForm1Logic& form) const;

 private:
  std::array<TTaskBody, kTaskCount> bodies_;
};

// Fills the dispatcher with the task bodies this build carries.
void InstallTaskBodies(TTaskDispatcher& dispatcher);

}  // namespace dbu
