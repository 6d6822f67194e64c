#include "core/copy_scheduler.h"

#include <algorithm>
#include <condition_variable>
#include <cwctype>
#include <mutex>
#include <thread>

#include "common/config_store.h"
#include "common/run_control.h"
#include "common/temp_name.h"
#include "core/copier_timing.h"
#include "core/copy_driver.h"
#include "platform/thread.h"

namespace quorvalmist {

// Threads that settle copies (ItemCopy::Settle: the folder's sync, the MD5
// comparison), one item each at a time, and report each end as an event.
class HashPool {
 public:
  HashPool(size_t threads, RunEvents* events) : events_(events) {
    for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  }
  // Copies not begun are dropped; those under way end first (a stop ends
  // their comparison early).
  ~HashPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      waiting_.clear();
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  HashPool(const HashPool&) = delete;
  HashPool& operator=(const HashPool&) = delete;

  // `copy` must live until its kVerified event has been taken.
  void Submit(ItemCopy* copy, uint64_t serial) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.emplace_back(copy, serial);
    }
    ready_.notify_one();
  }

 private:
  void Work() {
    for (;;) {
      std::pair<ItemCopy*, uint64_t> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
        if (closing_) return;
        task = waiting_.front();
        waiting_.pop_front();
      }
      task.first->Settle();
      RunEvent event;
      event.kind = RunEvent::Kind::kVerified;
      event.serial = task.second;
      events_->Push(std::move(event));
    }
  }

  RunEvents* const events_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<ItemCopy*, uint64_t>> waiting_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

namespace {

// What two targets share when their copies could get in each other's way: the
// path in lower case (a file system that does not tell letter case apart gives
// both one name), without a temporary file's ending (a source called like the
// temporary file of another target).
std::wstring ClashKey(const std::wstring& target) {
  std::wstring key = target;
  const std::wstring suffix = kTempSuffix;
  if (key.size() > suffix.size() &&
      key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0) {
    key.erase(key.size() - suffix.size());
    size_t tilde = key.find_last_of(L'~');
    if (tilde != std::wstring::npos &&
        key.find_first_not_of(L"0123456789", tilde + 1) == std::wstring::npos) {
      key.erase(tilde);
    }
  }
  for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return key;
}

}  // namespace

CopyScheduler::CopyScheduler(RunContext* run) : run_(run) {
  if (OneAtATime()) return;
  const size_t jobs = static_cast<size_t>(std::max(run_->settings.jobs, 1));
  for (size_t i = 0; i < jobs; ++i) {
    copiers_.push_back(run_->settings.serving_copiers ? MakeServingCopier(&events_)
                                                      : MakeOneShotCopier(&events_));
  }
  copier_busy_.assign(jobs, false);
  // A thread for each copier: settling a copy mostly waits for the disk
  // (a folder's sync, the copy read back from the device).
  hashes_ = std::make_unique<HashPool>(jobs, &events_);
}

CopyScheduler::~CopyScheduler() {
  if (!in_flight_.empty()) {
    // Only when a database error ends the run part-way: the comparisons under
    // way end at once, and no copier is waited for.
    RaiseStop();
    for (auto& copier : copiers_) copier->Abandon();
  }
  hashes_.reset();
  copiers_.clear();
}

bool CopyScheduler::OneAtATime() const {
  return run_->settings.jobs <= 1 && !run_->settings.serving_copiers;
}

size_t CopyScheduler::Copying() const {
  return static_cast<size_t>(std::count(copier_busy_.begin(), copier_busy_.end(), true));
}

void CopyScheduler::WaitForPlace() {
  if (OneAtATime()) return;
  // A place among the copiers, and the comparisons not too far behind: an
  // item waiting for its MD5 holds its row "running" and its memory.
  while (Copying() >= copiers_.size() || in_flight_.size() >= 2 * copiers_.size()) Step();
}

void CopyScheduler::Add(ItemJob job) {
  if (OneAtATime()) {
    CopyItem(run_, job);
    return;
  }
  WaitForPlace();
  // Two items whose targets may end up as one name are copied one after the
  // other, as they would be one at a time: the second then finds the first's
  // file (or its temporary file) and is judged as it would be.
  std::wstring clash = ClashKey(job.target);
  while (clashes_.count(clash) > 0) Step();
  uint64_t serial = next_serial_++;
  InFlight& item = in_flight_[serial];
  item.clash = clashes_.insert(clash);
  item.copy = std::make_unique<ItemCopy>(run_, std::move(job), &folders_);
  Continue(serial, item.copy->Prepare());
}

void CopyScheduler::Continue(uint64_t serial, ItemCopy::Next next) {
  InFlight& item = in_flight_.at(serial);
  auto now = std::chrono::steady_clock::now();
  switch (next) {
    case ItemCopy::Next::kCopy: {
      size_t place = static_cast<size_t>(
          std::find(copier_busy_.begin(), copier_busy_.end(), false) - copier_busy_.begin());
      copier_busy_[place] = true;
      item.place = place;
      item.copying = true;
      item.next_mirror = now + kCopierPollPeriod;
      copiers_[place]->Begin(item.copy->Command(), serial);
      // Started after the stop was seen: told to stop at once, as the rest.
      if (stop_seen_) {
        WriteItemRunStatus(item.copy->job().id, kRunStatusStop);
        item.give_up = now + kStoppedCopierGrace;
      }
      break;
    }
    case ItemCopy::Next::kVerify:
      item.next_mirror = now + kCopierPollPeriod;
      hashes_->Submit(item.copy.get(), serial);
      break;
    case ItemCopy::Next::kRecord:
      item.copy->Record();
      Done(serial);
      break;
    case ItemCopy::Next::kDone:
      Done(serial);
      break;
  }
}

void CopyScheduler::Handle(RunEvent event) {
  auto found = in_flight_.find(event.serial);
  if (found == in_flight_.end()) return;
  InFlight& item = found->second;
  if (event.kind == RunEvent::Kind::kVerified) {
    item.copy->Record();
    Done(event.serial);
    return;
  }
  if (!item.copying) return;  // given up on after a stop
  // Paced, a copy is judged at a poll, as one at a time it is after a full
  // poll period of sleep: every file lasts at least a period.
  if (!run_->settings.brisk) {
    item.ended = event.outcome;
    return;
  }
  EndCopy(event.serial, event.outcome);
}

void CopyScheduler::EndCopy(uint64_t serial, const InnerOutcome& outcome) {
  InFlight& item = in_flight_.at(serial);
  item.copying = false;
  copier_busy_[item.place] = false;
  Continue(serial, item.copy->AfterCopier(outcome));
}

void CopyScheduler::Done(uint64_t serial) {
  auto found = in_flight_.find(serial);
  clashes_.erase(found->second.clash);
  in_flight_.erase(found);
}

// After a stop every copier is told to stop its item, through the item's
// "runstatus" as one copier is, and waited for a few seconds; an item whose
// copier has not ended by then is judged from the files as they are.
void CopyScheduler::ActOnStop(std::chrono::steady_clock::time_point now) {
  if (!stop_seen_ && StopFlag.load(std::memory_order_relaxed)) {
    stop_seen_ = true;
    for (auto& [serial, item] : in_flight_) {
      if (!item.copying) continue;
      WriteItemRunStatus(item.copy->job().id, kRunStatusStop);
      item.give_up = now + kStoppedCopierGrace;
    }
  }
  if (!stop_seen_) return;
  std::vector<uint64_t> left;
  for (auto& [serial, item] : in_flight_) {
    if (item.copying && !item.ended && item.give_up && now >= *item.give_up) {
      left.push_back(serial);
    }
  }
  for (uint64_t serial : left) {
    copiers_[in_flight_.at(serial).place]->Abandon();
    EndCopy(serial, InnerOutcome{});
  }
}

// The position of each copying item goes into its row, and the progress of
// each comparison into the item's section, at most once a poll period.
void CopyScheduler::Mirror(std::chrono::steady_clock::time_point now) {
  std::vector<uint64_t> ended;
  for (auto& [serial, item] : in_flight_) {
    if (now < item.next_mirror) continue;
    item.next_mirror = now + kCopierPollPeriod;
    if (item.copying) {
      item.copy->MirrorPosition();
      if (item.ended) ended.push_back(serial);
      continue;
    }
    uint64_t total = item.copy->BytesToVerify();
    uint64_t hashed = std::min(item.copy->hashed().load(std::memory_order_relaxed), total);
    if (hashed == item.published) continue;
    item.published = hashed;
    WriteItemVerification(item.copy->job().id, total, hashed);
  }
  for (uint64_t serial : ended) EndCopy(serial, *in_flight_.at(serial).ended);
}

void CopyScheduler::Step() {
  auto now = std::chrono::steady_clock::now();
  ActOnStop(now);
  auto deadline = now + kCopierPollPeriod;
  for (auto& [serial, item] : in_flight_) {
    deadline = std::min(deadline, item.next_mirror);
    if (item.give_up) deadline = std::min(deadline, *item.give_up);
  }
  for (RunEvent& event : events_.WaitUntil(deadline)) Handle(std::move(event));
  Mirror(std::chrono::steady_clock::now());
  RunCallbacks();
}

void CopyScheduler::AfterItemsSoFar(std::function<void()> done) {
  if (OneAtATime()) {
    if (!StopFlag.load(std::memory_order_relaxed)) done();
    return;
  }
  callbacks_.emplace_back(next_serial_ - 1, std::move(done));
  RunCallbacks();
}

void CopyScheduler::RunCallbacks() {
  uint64_t lowest = in_flight_.empty() ? next_serial_ : in_flight_.begin()->first;
  while (!callbacks_.empty() && callbacks_.front().first < lowest) {
    if (StopFlag.load(std::memory_order_relaxed)) {
      callbacks_.clear();
      return;
    }
    std::function<void()> done = std::move(callbacks_.front().second);
    callbacks_.pop_front();
    done();
  }
}

void CopyScheduler::Finish() {
  if (OneAtATime()) return;
  while (!in_flight_.empty()) Step();
  RunCallbacks();
}

}  // namespace quorvalmist
