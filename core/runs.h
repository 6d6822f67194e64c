// The two ways a task is run: a directory tree walked depth first, each new
// file recorded and copied at once; or the ready rows of a files task.
#ifndef QUORVALMIST_CORE_RUNS_H_
#define QUORVALMIST_CORE_RUNS_H_

#include <string>

namespace quorvalmist {

// Walks `directory` (the source root at the top) depth first. Skips a
// directory recorded as searched for the task, and every file that already has
// an item row; inserts a "ready" row for each other file and copies it at once
// (CopyItem). Records `directory` as searched when its whole subtree was walked
// without a stop. Returns early when StopFlag is raised or the directory
// cannot be listed. Never enters the target root itself, so a target inside
// the source is not copied into itself. Throws DbError when a change fails.
void RunDirectoryMode(const std::wstring& directory, const std::wstring& source_root,
                      const std::wstring& target_root, const std::wstring& task_id);

// Copies the task's "ready" rows, listed once at the start, one after the
// other, until done or StopFlag is raised. Throws DbError when a change fails.
void RunFilesMode(const std::wstring& task_id);

// The entry of the core program: argument check, task marker, database,
// monitor, dispatch on copytype. Returns the exit code.
int CoreMain(int argc, wchar_t** argv);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_RUNS_H_
