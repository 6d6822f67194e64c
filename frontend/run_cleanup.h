// The clean-up after and during a run: inner.cnf kept small, redundant
// temporary files removed, and the tree's empty folders made.
#ifndef QUORVALMIST_FRONTEND_RUN_CLEANUP_H_
#define QUORVALMIST_FRONTEND_RUN_CLEANUP_H_

#include <chrono>
#include <string>

#include "db/task_rows.h"

namespace quorvalmist {

// Removes the inner.cnf sections of items that ended (at the end of the run,
// also of the task's other items whose copier is gone). It starts from the
// sections inner.cnf holds, so its cost follows the size of that file, which
// it keeps small, and not the size of the task.
class InnerConfigCleaner {
 public:
  explicit InnerConfigCleaner(std::wstring task_id);

  // Removes the ended items' sections when the period has passed or the file
  // holds many; `all` at the end of the run.
  void RemoveEnded(bool all);

 private:
  std::wstring task_id_;
  std::chrono::steady_clock::time_point next_;
};

// Removes the temporary files left beside targets that ended complete. One is
// left when a copier that a stop left behind renamed its copy after the core
// had judged the item: the next copy of that item then finds the target in
// place, writes a fresh temporary file it cannot rename, and the verdict is
// taken on the target. The target is whole by then (equal size, and verified
// where the mode asks), so the temporary file is redundant. Only a file tagged
// as the target's temporary file is removed, never a user's called like one.
void RemoveRedundantTempFiles(const std::wstring& task_id);

// Makes the directories of the source tree that the copy did not make, the
// target root included: the copier makes a file's directories when it copies
// the file, so folders with no file anywhere below them would otherwise be
// missing from the copy. The source is walked as the core walks it
// (WalkSourceTree): a link to a directory is entered (and made below its own
// name) only when `follow_links`, and not when it leads back up the tree; the
// target root is never entered from the source side, so a target inside the
// source is not copied into itself. Nothing is made through a link or a file
// found in the target (which could lead anywhere, the source included).
void RecreateEmptyDirectories(const TaskInfo& task, bool follow_links);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_RUN_CLEANUP_H_
