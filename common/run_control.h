// Run control: the process-wide stop flag, the markers that keep a task or an
// item from running twice, and the monitor thread that raises the flag once a
// second when the run status or a watched marker says stop.
#ifndef QUORVALMIST_COMMON_RUN_CONTROL_H_
#define QUORVALMIST_COMMON_RUN_CONTROL_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace quorvalmist {

// False at start; raised only by RaiseStop. Cleared only by WatchedItem::Watch
// as a copier that serves many items begins the next: otherwise it stays
// raised for the rest of the process.
extern std::atomic<bool> StopFlag;

// The marker that every front end holds while runs may go on.
extern const wchar_t* const FrontEndMutexName;  // "quorvalmist-plinter"

// The marker that one front end alone holds while it lives, named by its
// process id, so that its own runs stop when it is gone even while other front
// ends hold FrontEndMutexName.
std::wstring FrontEndOwnMarkerName(const std::wstring& front_end_id);

// Claims the marker `name` for the rest of the process's life. False if and
// only if a live process already held it; true in every other case, also when
// the marker could not be made at all (then a warning line says why).
bool ClaimRunMutex(const std::wstring& name);

// True when no live process holds the marker `name`. Takes no lock.
bool IsMutexAbsent(const std::wstring& name);

// Sets StopFlag.
void RaiseStop();

// Clears StopFlag. Used only between the items of a copier that serves many
// (through WatchedItem::Watch), so that the stop of one item is not taken for
// a stop of the next.
void ClearStop();

// What a monitor watches. The strings must live until the process has ended
// (the monitor is never joined and still runs during exit).
struct MonitorTarget {
  enum class Kind {
    kTask,  // the core: "runstatus" of section *section in core.cnf
    kItem,  // the copier: "runstatus" of section *section in inner.cnf
  };
  Kind kind = Kind::kTask;
  const std::wstring* section = nullptr;
  // The copier's core marker; not consulted when null or empty.
  const std::wstring* watched_marker = nullptr;
  // The core's front end's own marker (FrontEndOwnMarkerName); not consulted
  // when null or empty.
  const std::wstring* owner_marker = nullptr;
};

// One pass of the checks, all of them, in order: the run status (anything but
// "run" in any letter case says stop), the front end's marker, the watched
// marker, the owner's marker. True when any says stop.
bool MonitorSaysStop(const MonitorTarget& target);

// What says stop, by the checks of MonitorSaysStop, taken in the same order
// (the first that says stop names it), so that a row a stop cut short can say
// why: the run status (someone asked for the stop), or a marker whose process
// is gone (the front end, or the copier's core, was killed or ended).
enum class StopCause { kNone, kRunStatus, kFrontEndGone, kWatchedGone };
StopCause WhyStop(const MonitorTarget& target);

// The monitor's period: 1,000 ms. The environment variable
// QUORVALMIST_MONITOR_PERIOD_MS (10 to 1,000) shortens it; the test suite sets
// it so that stops are noticed sooner. Read once, at the first call.
unsigned MonitorPeriodMilliseconds();

// The passes the monitor of this process has completed, so that a test can
// tell a monitor that ran and saw nothing from one that never ran.
uint64_t MonitorPassCount();

// The monitor's procedure: sleep one period, check, RaiseStop when told to;
// forever. Never returns.
[[noreturn]] void RunMonitor(const MonitorTarget& target);

// Starts RunMonitor on a detached thread. `target` must outlive the process.
void StartMonitor(const MonitorTarget& target);

// The item a copier's monitor watches (a kItem target), for a copier that
// copies one item after another in one process: one monitor thread runs for
// the whole process, and the item it watches changes between items. A stop
// stays the item's own: each Watch clears StopFlag and begins a new
// generation, and a pass that began on an earlier generation (its checks take
// time and run outside the lock) raises no stop. The object must outlive the
// process, as the monitor is never joined. Thread-safe.
class WatchedItem {
 public:
  // Watches the item `section` (its "runstatus" in inner.cnf) and the core's
  // marker `watched_marker` (not consulted when empty) from now on, and clears
  // StopFlag. Starts the monitor at the first call; its first pass comes one
  // period later.
  void Watch(const std::wstring& section, const std::wstring& watched_marker);

  // Watches nothing until the next Watch: no pass raises a stop meanwhile.
  void Unwatch();

  // One pass of the monitor: the checks of MonitorSaysStop on the item watched
  // as it begins, then RaiseStop if they say stop and that item is still the
  // one watched. Nothing when no item is watched.
  void CheckOnce();

 private:
  std::mutex mutex_;
  uint64_t generation_ = 0;  // counts the calls of Watch
  bool active_ = false;
  bool monitor_started_ = false;
  std::wstring section_;
  std::wstring watched_marker_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_RUN_CONTROL_H_
