// The display of a run in progress: two redrawn lines on a terminal, a line
// every few seconds elsewhere.
#ifndef QUORVALMIST_FRONTEND_DISPLAY_H_
#define QUORVALMIST_FRONTEND_DISPLAY_H_

#include <chrono>
#include <string>

#include "frontend/progress.h"

namespace quorvalmist {

class Display {
 public:
  explicit Display(bool live) : live_(live) {}

  void Show(const ProgressSnapshot& snapshot);

  // A line of its own, above the display.
  void Message(const std::string& text);

  // Leaves the display: the redrawn lines go, since the summary that follows
  // gives the final figures (a last frame left on screen would show a stale
  // file and percent).
  void End();

 private:
  void Clear();

  bool live_;
  bool printed_ = false;
  std::chrono::steady_clock::time_point last_plain_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_DISPLAY_H_
