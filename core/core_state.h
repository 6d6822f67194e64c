// Process-wide state of the core: the task being run and the item being
// copied. Both are never destroyed, because the monitor thread may still read
// the task id while the process exits.
#ifndef QUORVALMIST_CORE_CORE_STATE_H_
#define QUORVALMIST_CORE_CORE_STATE_H_

#include <string>

namespace quorvalmist {

// The task id from the command line; set once before the monitor starts.
std::wstring& CurrentTaskId();

// The id of the item row being copied; set by the runs before each copy. The
// copy driver writes every status of the item to this row.
std::wstring& CurrentItemId();

// Whether a copy resumes inside a temporary file an earlier run left
// ("resumeinside" = 1 in core.cnf), read once when the run starts; otherwise
// every copy starts at 0.
bool& ResumeInsideFiles();

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_CORE_STATE_H_
