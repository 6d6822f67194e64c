// Copiers that copy items while the core goes on: each Copier copies one item
// at a time and reports the item's end as an event, from a thread of its own
// that reads the copier's output. A one-shot copier is a process per item; a
// serving copier is a process that takes one item after another on its
// standard input (common/copier_command.h) and is started again when it dies.
#ifndef QUORVALMIST_CORE_COPIERS_H_
#define QUORVALMIST_CORE_COPIERS_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "common/copier_command.h"
#include "core/item_copy.h"

namespace quorvalmist {

// What the items in flight report to the thread that records verdicts.
struct RunEvent {
  enum class Kind {
    kCopied,    // the copier ended the item: `outcome` says how
    kVerified,  // the item's MD5 comparison is done
  };
  Kind kind = Kind::kCopied;
  // Which item: the number the scheduler gave it.
  uint64_t serial = 0;
  InnerOutcome outcome;
};

// Events from any thread to the one that records: Push never blocks for long;
// WaitUntil returns when events are waiting or at `deadline`.
class RunEvents {
 public:
  void Push(RunEvent event);
  // Takes every waiting event, waiting until there is one or `deadline`.
  std::deque<RunEvent> WaitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<RunEvent> events_;
};

class Copier {
 public:
  virtual ~Copier() = default;
  // Starts the copy of `item`, numbered `serial`: exactly one kCopied event
  // with that serial follows (at once when no copier could be started), unless
  // the copier is abandoned first. Only when the last item's event came.
  virtual void Begin(const CopierItem& item, uint64_t serial) = 0;
  // Stops watching: no further event comes. A copier process that still runs
  // is left to end on its own (its monitor stops it). Returns at once.
  virtual void Abandon() = 0;
};

// A copier process per item (the program beside the core's own).
std::unique_ptr<Copier> MakeOneShotCopier(RunEvents* events);

// A serving copier process, started at the first item and again after it
// died; ended, when this object goes, by the end of its input.
std::unique_ptr<Copier> MakeServingCopier(RunEvents* events);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_COPIERS_H_
