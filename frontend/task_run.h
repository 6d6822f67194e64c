// Running a task: the front end's side of a core run, from the run status and
// the marker to the summary.
#ifndef QUORVALMIST_FRONTEND_TASK_RUN_H_
#define QUORVALMIST_FRONTEND_TASK_RUN_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "db/searched_dirs.h"
#include "frontend/task_store.h"

namespace quorvalmist {

struct RunOptions {
  // Redraw a live display (a terminal) rather than print a line every few
  // seconds (a log, a pipe, CI).
  bool live = false;
  // How the user names this workspace on the command line ("" for the current
  // directory, else "-C DIR "), for the resume hint.
  std::string workspace_option;
  // Bytes of earlier runs' partial copies that this run resumes from, by
  // source path; they are not counted as copied by this run, in its rate or
  // its summary.
  std::map<std::wstring, uint64_t> kept_bytes;
  // No display while the run goes on, and the summary as one JSON line.
  bool json = false;
};

// Runs the task in the workspace that is the current directory: holds the
// front end's marker (for the rest of the process), writes "runstatus" = "run",
// starts the core found beside this program, follows it until it ends, removes
// the sections of the task's ended items from config/inner.cnf and prints a
// summary. Ctrl-C (or SIGTERM) asks the core to stop and waits for it; a second
// one gives up waiting. Returns kFrontEndExitOk when every file of the task ended
// copied ("success" or "finish") and, for a directory task, the whole tree was
// walked with no problem (a directory that could not be listed, a path too
// long); kFrontEndExitIncomplete otherwise; kFrontEndExitFailure when the core failed. Throws
// CommandError when the task is already running or the core cannot be
// started.
int RunTask(const TaskInfo& task, const RunOptions& options);

// Why a file did not end copied, in words for the summary, from its row and
// the files on disk.
std::string ExplainUnfinished(const ItemInfo& item, bool stop_requested);

// Prints one line per problem of the walk: the path as DisplayName shows it
// and the reason, each line after `indent`.
void PrintWalkProblems(const TaskInfo& task, const std::vector<WalkProblem>& problems,
                       const char* indent);

// Throws CommandError (bad input) when a core runs `task` now.
void RefuseWhileRunning(const TaskInfo& task);

// A source path as the display shows it: relative to the task's source root
// for a directory task, the whole path for a files task.
std::string DisplayName(const TaskInfo& task, const std::wstring& source_file);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_TASK_RUN_H_
