// The front end's look-ups of tasks by the id a user typed, and new task ids;
// the rows themselves are read and written through db/task_rows.h.
#ifndef QUORVALMIST_FRONTEND_TASK_STORE_H_
#define QUORVALMIST_FRONTEND_TASK_STORE_H_

#include <string>

#include "db/task_rows.h"

namespace quorvalmist {

// The task `id`, or the only task whose id begins with `id`. Throws
// CommandError for no such task or an ambiguous prefix.
TaskInfo FindTask(const std::wstring& id);

// A new task id, unique here and (being partly random) across workspaces,
// since task ids also name the markers of running cores: the creation time
// and six random hex digits, e.g. "20240607-153012-3fa9c1". No blanks, as the
// core passes it unquoted to the copier.
std::wstring NewTaskId();

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_TASK_STORE_H_
