// The end of a run as the user may trust it: the copied tree's directories
// carry their sources' modes and times, and what the run wrote is on the disk
// before the front end says "done".
#ifndef QUORVALMIST_FRONTEND_DURABLE_FINISH_H_
#define QUORVALMIST_FRONTEND_DURABLE_FINISH_H_

#include <string>

#include "platform/status.h"

namespace quorvalmist {

struct TaskInfo;

// Gives every directory of the target tree the permission bits and access and
// modification times of its source directory (and, as root, its owner and
// group), the root included. Directories of the source that the target lacks,
// and links to directories (not entered by the walk), are left out. Runs once
// the whole tree is copied, since copying into a directory changes its times.
// Returns the first failure; the rest are still tried.
Status KeepDirectoryAttributes(const std::string& source_root, const std::string& target_root);

// Makes the task database (the workspace, the current directory) and, for a
// directory task, the target tree's file system durable (syncfs), so that
// every row and directory the run left survives a power cut.
Status MakeRunDurable(const TaskInfo& task);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_DURABLE_FINISH_H_
