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

// Whether the run goes briskly ("pacing" = "brisk" in core.cnf, in any letter
// case), read once when the run starts: no pauses between the entries of a
// walk or the rows of a files run, and the wait for a copier ends as soon as
// it prints or ends (still at most one poll period). Otherwise the run paces
// itself: a 10 ms pause before each entry and each copy, and a full poll
// period of sleep whenever the copier's pipe is quiet.
bool& BriskPacing();

// Whether a copy resumes inside a temporary file an earlier run left
// ("resumeinside" = 1 in core.cnf), read once when the run starts; otherwise
// every copy starts at 0.
bool& ResumeInsideFiles();

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_CORE_STATE_H_
