// Process-wide state of the core: the task being run (never destroyed, because
// the monitor thread may still read it while the process exits) and the
// settings read once when the run starts. The item being copied is passed to
// whatever works on it.
#ifndef QUORVALMIST_CORE_CORE_STATE_H_
#define QUORVALMIST_CORE_CORE_STATE_H_

#include <string>

#include "common/run_control.h"

namespace quorvalmist {

// The task id from the command line; set once before the monitor starts.
std::wstring& CurrentTaskId();

// What the core's monitor watches (the task's run status, the front end's
// markers); filled in once before the monitor starts.
MonitorTarget& CoreMonitorTarget();

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_CORE_STATE_H_
