#include "common/run_control.h"

#include <cstdlib>

#include "common/config_store.h"
#include "platform/console.h"
#include "platform/marker.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

std::atomic<bool> StopFlag{false};

const wchar_t* const FrontEndMutexName = L"quorvalmist-plinter";

std::wstring FrontEndOwnMarkerName(const std::wstring& front_end_id) {
  return std::wstring(FrontEndMutexName) + L"-" + front_end_id;
}

bool ClaimRunMutex(const std::wstring& name) {
  Status status;
  switch (ClaimMarker(name, &status)) {
    case ClaimResult::kClaimed:
      return true;
    case ClaimResult::kAlreadyClaimed:
      return false;
    case ClaimResult::kFailed:
      ShowWarning(L"warning", NarrowToWide(status.message()));
      return true;
  }
  return true;
}

bool IsMutexAbsent(const std::wstring& name) { return IsMarkerAbsent(name); }

void RaiseStop() { StopFlag.store(true, std::memory_order_relaxed); }

void ClearStop() { StopFlag.store(false, std::memory_order_relaxed); }

StopCause WhyStop(const MonitorTarget& target) {
  const std::wstring& section = *target.section;
  std::wstring status = target.kind == MonitorTarget::Kind::kTask ? ReadTaskRunStatus(section)
                                                                  : ReadItemRunStatus(section);
  if (!EqualsIgnoringCase(status, kRunStatusRun)) return StopCause::kRunStatus;
  if (IsMutexAbsent(FrontEndMutexName)) return StopCause::kFrontEndGone;
  if (target.watched_marker != nullptr && !target.watched_marker->empty() &&
      IsMutexAbsent(*target.watched_marker)) {
    return StopCause::kWatchedGone;
  }
  if (target.owner_marker != nullptr && !target.owner_marker->empty() &&
      IsMutexAbsent(*target.owner_marker)) {
    return StopCause::kFrontEndGone;
  }
  return StopCause::kNone;
}

bool MonitorSaysStop(const MonitorTarget& target) {
  bool stop = false;
  const std::wstring& section = *target.section;
  std::wstring status = target.kind == MonitorTarget::Kind::kTask ? ReadTaskRunStatus(section)
                                                                  : ReadItemRunStatus(section);
  if (!EqualsIgnoringCase(status, kRunStatusRun)) stop = true;
  if (IsMutexAbsent(FrontEndMutexName)) stop = true;
  if (target.watched_marker != nullptr && !target.watched_marker->empty() &&
      IsMutexAbsent(*target.watched_marker)) {
    stop = true;
  }
  if (target.owner_marker != nullptr && !target.owner_marker->empty() &&
      IsMutexAbsent(*target.owner_marker)) {
    stop = true;
  }
  return stop;
}

namespace {

constexpr unsigned kMonitorPeriodMilliseconds = 1000;
constexpr unsigned kShortestMonitorPeriodMilliseconds = 10;

std::atomic<uint64_t> monitor_passes{0};

}  // namespace

unsigned MonitorPeriodMilliseconds() {
  static const unsigned period = [] {
    const char* text = std::getenv("QUORVALMIST_MONITOR_PERIOD_MS");
    if (text == nullptr) return kMonitorPeriodMilliseconds;
    long long value = std::strtoll(text, nullptr, 10);
    if (value < kShortestMonitorPeriodMilliseconds || value > kMonitorPeriodMilliseconds) {
      return kMonitorPeriodMilliseconds;
    }
    return static_cast<unsigned>(value);
  }();
  return period;
}

uint64_t MonitorPassCount() { return monitor_passes.load(std::memory_order_relaxed); }

void RunMonitor(const MonitorTarget& target) {
  const unsigned period = MonitorPeriodMilliseconds();
  for (;;) {
    SleepMilliseconds(period);
    if (MonitorSaysStop(target)) RaiseStop();
    monitor_passes.fetch_add(1, std::memory_order_relaxed);
  }
}

void StartMonitor(const MonitorTarget& target) {
  const MonitorTarget* t = &target;
  StartDetachedThread([t] { RunMonitor(*t); });
}

void WatchedItem::Watch(const std::wstring& section, const std::wstring& watched_marker) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  active_ = true;
  section_ = section;
  watched_marker_ = watched_marker;
  // Under the lock: a pass that began on the item before raises nothing once
  // the generation has changed, so nothing sets the flag again behind this.
  ClearStop();
  if (monitor_started_) return;
  monitor_started_ = true;
  StartDetachedThread([this] {
    const unsigned period = MonitorPeriodMilliseconds();
    for (;;) {
      SleepMilliseconds(period);
      CheckOnce();
      monitor_passes.fetch_add(1, std::memory_order_relaxed);
    }
  });
}

void WatchedItem::Unwatch() {
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = false;
}

void WatchedItem::CheckOnce() {
  uint64_t generation = 0;
  std::wstring section;
  std::wstring watched_marker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_) return;
    generation = generation_;
    section = section_;
    watched_marker = watched_marker_;
  }
  // Reading inner.cnf and the markers takes a while: not under the lock, so
  // that the copier's switch to the next item never waits for it.
  MonitorTarget target{MonitorTarget::Kind::kItem, &section, &watched_marker};
  if (!MonitorSaysStop(target)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (active_ && generation == generation_) RaiseStop();
}

}  // namespace quorvalmist
