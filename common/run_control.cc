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

}  // namespace quorvalmist
