// The two ways a task is run: a directory tree walked depth first, each new
// file recorded and copied at once; or the ready rows of a files task.
#ifndef QUORVALMIST_CORE_RUNS_H_
#define QUORVALMIST_CORE_RUNS_H_

#include <string>

#include "core/item_copy.h"

namespace quorvalmist {

// Walks `directory` (the source root at the top) depth first. Skips a
// directory recorded as searched for the task, and every file whose item row
// ended ("finish", "success", "error", "skipped"); a row that never completed
// ("stop", or "ready" or "running" as a killed run left it) is taken again
// under its id, and every other file gets a "ready" row; each is copied at
// as the run's settings say (CopyScheduler). When links are followed (KeepLinks false), a link to a
// directory is entered like a directory, its files copied below the link's
// own name. Records `directory` as searched only when its whole subtree was
// walked without a stop and every directory in it could be listed completely;
// a directory that could not be (no permission, a read error, also part-way
// through) is recorded as a walk problem with the reason, and neither it nor
// any directory above it is recorded, so a later run lists it again. So is a
// cycle: a directory entry (a link) that leads, by identity, to a directory
// on the walk's path from the source root is recorded as a problem and not
// entered. A directory whose path is too long for the system is recorded as a
// problem and counts as done, since no later run can list it either; one that
// vanished since it was listed counts as done. A problem is forgotten once its
// directory is done, or its parent is done and it was not met again. Returns
// true when `directory` is done in that sense. Returns early when StopFlag is
// raised. Never enters the target root (compared by identity), so a target
// inside the source is not copied into itself. A directory is recorded as
// searched only once every file below it has its verdict. Returns once every
// item started has its verdict. Throws DbError when a database operation fails.
bool RunDirectoryMode(const std::wstring& directory, const std::wstring& source_root,
                      const std::wstring& target_root, RunContext* run);

// Copies the task's "ready" rows, listed once at the start, in that order (as
// many at once as the run's settings say), until done or StopFlag is raised.
// Throws DbError when a change fails.
void RunFilesMode(RunContext* run);

// The entry of the core program: argument check, task marker, database,
// monitor, dispatch on copytype. Returns the exit code.
int CoreMain(int argc, wchar_t** argv);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_RUNS_H_
