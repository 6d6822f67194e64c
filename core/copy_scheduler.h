// The items of a run, copied one at a time or several at once. With one item
// at a time and a copier process per item (the default), each item is copied
// to its verdict before Add returns. Otherwise up to `jobs` items are copying
// at once, each with its own copier; a copy that the copier ended is compared
// with its source by MD5 on a small pool of threads while other items copy;
// and every row is written by the thread that calls Add and Finish, for each
// item in the order ItemCopy writes it.
#ifndef QUORVALMIST_CORE_COPY_SCHEDULER_H_
#define QUORVALMIST_CORE_COPY_SCHEDULER_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/copiers.h"
#include "core/item_copy.h"

namespace quorvalmist {

class HashPool;

class CopyScheduler {
 public:
  explicit CopyScheduler(RunContext* run);
  // Waits for nothing: items still in flight (when a DbError ends the run)
  // are abandoned as a stop abandons them.
  ~CopyScheduler();
  CopyScheduler(const CopyScheduler&) = delete;
  CopyScheduler& operator=(const CopyScheduler&) = delete;

  // Waits until another item can be added at once, handling the events of
  // the items in flight meanwhile; so an item not yet started is left as it
  // was when a stop comes first. Throws DbError when a row update fails.
  void WaitForPlace();

  // Copies the item of `job`, whose row says "running" and whose "runstatus"
  // says "run". Returns once it has its verdict (one at a time) or once it is
  // on its way (several at once, after WaitForPlace). Throws DbError when a
  // row update fails.
  void Add(ItemJob job);

  // Runs `done` on this thread once every item added so far has its verdict,
  // unless the run was stopped by then (then never): a directory counts as
  // searched only once every file in it is judged.
  void AfterItemsSoFar(std::function<void()> done);

  // Waits until every item added has its verdict. After a stop, items in
  // flight end as stopped copies do. Throws DbError when a row update fails.
  void Finish();

 private:
  struct InFlight {
    std::unique_ptr<ItemCopy> copy;
    size_t place = 0;  // the copier it uses, while it copies
    bool copying = false;
    std::chrono::steady_clock::time_point next_mirror;
    std::optional<std::chrono::steady_clock::time_point> give_up;
    // A paced run's copy whose copier has ended, judged at its next poll.
    std::optional<InnerOutcome> ended;
    uint64_t published = 0;  // MD5 progress last published
    std::multiset<std::wstring>::iterator clash;
  };

  bool OneAtATime() const;
  void Handle(RunEvent event);
  void EndCopy(uint64_t serial, const InnerOutcome& outcome);
  void Continue(uint64_t serial, ItemCopy::Next next);
  void Done(uint64_t serial);
  void Step();
  void ActOnStop(std::chrono::steady_clock::time_point now);
  void Mirror(std::chrono::steady_clock::time_point now);
  void RunCallbacks();
  size_t Copying() const;

  RunContext* const run_;
  RunEvents events_;
  std::vector<std::unique_ptr<Copier>> copiers_;
  std::vector<bool> copier_busy_;
  FolderSyncs folders_;
  std::unique_ptr<HashPool> hashes_;
  std::map<uint64_t, InFlight> in_flight_;
  // The clash keys of the items in flight (see Add).
  std::multiset<std::wstring> clashes_;
  uint64_t next_serial_ = 1;
  bool stop_seen_ = false;
  // Callbacks waiting for every item up to a serial to have its verdict.
  std::deque<std::pair<uint64_t, std::function<void()>>> callbacks_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_COPY_SCHEDULER_H_
