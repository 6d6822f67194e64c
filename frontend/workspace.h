// The workspace: a directory holding the task database "fm2.qz", the folder
// "config" with "core.cnf" and "inner.cnf", and "config.cnf". The programs
// run with it as their current directory, so every path here is relative to
// the current directory; the front end changes into the workspace first.
#ifndef QUORVALMIST_FRONTEND_WORKSPACE_H_
#define QUORVALMIST_FRONTEND_WORKSPACE_H_

#include <cstdint>
#include <string>

#include "common/protocol.h"
#include "platform/file.h"

namespace quorvalmist {

// The chunk size a new workspace gets: large chunks copy fast. (The copier's
// own default, for a workspace without the setting, stays 1024.)
inline constexpr uint32_t kWorkspaceChunkSize = 1048576;
// The largest chunk the copier takes (its setting is a 32-bit signed number).
inline constexpr uint64_t kMaxChunkSize = 2147483647;

// Verification modes, as the core reads "checkfileflag".
enum class VerifyMode { kAuto = 0, kAlways = 1, kNever = 2 };

enum class WorkspaceState {
  kNone,        // none of the workspace's files is there
  kComplete,    // the database, the config folder and config.cnf are there
  kIncomplete,  // some are there and some are not: not a workspace
};

// What the current directory holds. When incomplete, *detail names what is
// there and what is missing.
WorkspaceState InspectWorkspace(std::string* detail);

// How many files a new workspace's tasks copy at once ("jobs"), on a machine
// with `hardware_threads` threads (0 when unknown): two a thread, 2 to 8.
int DefaultJobs(unsigned hardware_threads);

// Makes a workspace in the current directory: the database with its tables,
// indexes and password, config/core.cnf ("checkfileflag" 1, brisk pacing,
// resuming inside temporary files, serving copiers, DefaultJobs jobs), an
// empty config/inner.cnf and config.cnf ("buffersize" kWorkspaceChunkSize);
// its tasks keep symbolic links as links ("links" = "keep" in core.cnf). Throws
// CommandError, and touches nothing, when any of its files is already there;
// throws CommandError (kFrontEndExitFailure) when a file cannot be made, after removing
// what it made.
void CreateWorkspace();

// Opens the database of the workspace in the current directory as the
// process-wide connection. Throws CommandError when the directory is not a
// complete workspace or the database cannot be opened ("not a workspace").
// Changes nothing.
void OpenWorkspace();

// Holds a lock on the current directory while it lives, so that two commands
// that may make a workspace here at once do it one after the other: the
// second then finds the first one's workspace.
class WorkspaceCreationLock {
 public:
  WorkspaceCreationLock();

 private:
  File lock_;
};

// The settings of a task, kept in its section of config/core.cnf: given on
// the command line of its copy or resume, else taken from the workspace's
// defaults ([defaults] of core.cnf) when the task first runs. Throw
// CommandError (kFrontEndExitFailure) when the file cannot be written.
void SetVerifyMode(const std::wstring& task_id, VerifyMode mode);
void SetChunkSize(const std::wstring& task_id, uint64_t bytes);
// "pacing": "brisk" or "paced".
void SetPacing(const std::wstring& task_id, bool brisk);
// "jobs": how many of the task's files are copied at once, 1 to kMostJobs
// (else CommandError, bad input, and nothing written). The core reads it from
// the task's section before the workspace's, so a task without it follows
// the workspace.
void SetJobs(const std::wstring& task_id, int jobs);
// "sync": whether each copy, and the run's end, is made durable.
void SetSync(const std::wstring& task_id, bool durable);
// "verifyfrom": whether a verified target is read from its device ("disk") or
// from the page cache ("cache").
void SetVerifyFromDisk(const std::wstring& task_id, bool from_disk);
// Before a run of the task: fills in the settings the task does not have yet
// from the workspace's defaults (kept in [defaults] from the [system] values
// the first time), and writes the task's settings into the [system] sections
// where the core and the copier read them.
void SettleTaskSettings(const std::wstring& task_id);
// The verification in effect ("checkfileflag" of [system] in core.cnf).
VerifyMode ReadVerifyMode();
// "links" of the task's section in core.cnf: "keep" (links made as links) or
// "follow" (the core's own way). A new workspace keeps links for every task.
void SetTaskLinks(const std::wstring& task_id, bool keep);

// "runstatus" of the task in config/core.cnf: "run" lets the core go on, any
// other value stops it within about a second.
void SetTaskRunStatus(const std::wstring& task_id, const std::wstring& value);
// Writes "frontend" for a task into config/core.cnf: the id of the front end
// whose own marker the task's core watches.
void SetTaskFrontEnd(const std::wstring& task_id, const std::wstring& front_end_id);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_WORKSPACE_H_
