// The summary a run ends with, and its exit code, from what the run left.
#ifndef QUORVALMIST_FRONTEND_RUN_SUMMARY_H_
#define QUORVALMIST_FRONTEND_RUN_SUMMARY_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/searched_dirs.h"
#include "frontend/task_store.h"
#include "frontend/tree_count.h"
#include "frontend/workspace.h"
#include "platform/file.h"
#include "platform/process.h"

namespace quorvalmist {

// What a run left, as the summary tells it.
struct RunOutcome {
  ChildEnd core;
  // The core ran to its end (kCoreExitDone, no signal).
  bool core_done() const { return core.signal == 0 && core.exit_code == 0; }
  bool stop_requested = false;
  // Every file copied, the whole tree walked without a problem, and the
  // directories finished and made durable.
  bool complete = false;
  // Finishing the directories and making the run durable; not ok is a failure.
  Status finished = Status::Ok();
  TaskTally tally;
  bool walked = true;
  std::vector<WalkProblem> problems;
  std::vector<ItemInfo> unfinished;
  std::vector<std::pair<ItemInfo, std::string>> skipped;  // with the reason
  // The count of the tree, when it ended (a directory task).
  std::optional<TreeCount> count;
  uint64_t copied_bytes = 0;  // by this run
  double elapsed = 0;         // seconds
  VerifyMode verify_mode = VerifyMode::kAlways;
  bool keep_links = true;
  // What the target's file system did not keep of the copied files' attributes
  // ("mode", "owner", both with a blank); empty when it kept all.
  std::string attributes_not_kept;
  std::string resume_hint;  // the command that resumes the task
};

// Prints the summary: the figures, the problems, what was skipped and what is
// left, and how to resume. `workspace_option` is how the user names the
// workspace on the command line ("" or "-C DIR ").
void PrintRunSummary(const TaskInfo& task, const RunOutcome& outcome,
                     const std::string& workspace_option);

// The same figures and lists as PrintRunSummary (the lists whole), as one JSON
// object on one line: task, complete, exit_code, files, bytes, seconds,
// verify_mode, verified, not_verified, links, attributes_not_kept, problems,
// walk_complete, not_copied_paths, skipped, not_done, and resume while the task
// is not complete.
void PrintRunSummaryJson(const TaskInfo& task, const RunOutcome& outcome);

// kFrontEndExitOk for a complete run; kFrontEndExitFailure when finishing failed or the core
// failed (a database error, or ended by a signal); kFrontEndExitIncomplete when files
// are left to copy (a stop, a refused start).
int RunExitCode(const RunOutcome& outcome);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_RUN_SUMMARY_H_
