// What the front end, the core and the copier agree on beyond the command
// line: the workspace's files and the exit codes of all three. (Temporary file names
// are in common/temp_name.h, the database's names and status words in
// db/schema.h.)
#ifndef QUORVALMIST_COMMON_PROTOCOL_H_
#define QUORVALMIST_COMMON_PROTOCOL_H_

#include <cstddef>

namespace quorvalmist {

// The workspace's files. Every program runs with the workspace as its current
// directory, so these are relative to it. The core opens the database by its
// connection string, which names the same file.
inline constexpr wchar_t kDatabaseFile[] = L"fm2.qz";
inline constexpr wchar_t kConfigDirectory[] = L"./config";
inline constexpr wchar_t kGlobalConfigFile[] = L"./config.cnf";
inline constexpr wchar_t kCoreConfigFile[] = L"./config/core.cnf";
inline constexpr wchar_t kInnerConfigFile[] = L"./config/inner.cnf";
// The workspace's record of the temporary files it made on file systems that
// keep no tags (common/temp_name.h).
inline constexpr wchar_t kTempRecordFile[] = L"./config/tempfiles.cnf";

// The line the copier prints, after its progress lines, once it has renamed
// its temporary file to the target: the prefix, then the device and inode
// numbers of the file it put there, in decimal. The core takes only a file
// with that identity for its own copy.
inline constexpr char kPlacedLinePrefix[] = "placed ";

// The reason of a copy whose target is a symbolic link that leads nowhere:
// the copy could never take the name (nothing is replaced), so neither the core
// nor the copier makes a temporary file for it.
inline constexpr char kDanglingTargetReason[] =
    "a symbolic link that leads nowhere is at the target; it was not replaced (remove it, then "
    "resume)";

// Capacity of the copier's narrow path buffers, terminator included: the
// longest path the system accepts (PATH_MAX on Linux), so any path the system
// could open fits and a longer one is refused before anything is touched. The
// front end refuses a longer path before it makes a task.
inline constexpr size_t kAnsiPathCapacity = 4096;

// How the core's run ended, as its exit code.
inline constexpr int kCoreExitDone = 0;
// An operation on the task database failed; the run ended there.
inline constexpr int kCoreExitDatabaseFailure = 2;
// The task's target directory is its source directory; nothing was copied.
inline constexpr int kCoreExitSameRoots = 3;
// Another process holds the task's marker (the run returns -1).
inline constexpr int kCoreExitAlreadyRunning = 255;

// How a copier's copy of one item ended, as its exit code (a serving copier
// prints the same codes in its end lines). A copy that completed, was stopped,
// or found nothing to copy (the source gone, a start beyond its size) ends
// with kCopierExitDone; the row is judged from the files either way.
inline constexpr int kCopierExitDone = 0;
// A file could not be opened, read, written or finished; the reason is in the
// item's section of inner.cnf.
inline constexpr int kCopierExitFailed = 1;
// Another copier holds the item's marker: nothing was touched. A process
// returns -1, which the system reports as 255.
inline constexpr int kCopierExitItemClaimed = -1;

// How a command of the front end ended, as its exit code, for the scripts that
// run it. Every file copied, or the command did what it was asked:
inline constexpr int kFrontEndExitOk = 0;
// A copy or resume ended with files that are not copied (stopped, failed or
// left over); the summary lists them.
inline constexpr int kFrontEndExitIncomplete = 1;
// Bad input: usage, a path that cannot be copied, no workspace, unknown task.
// Nothing was created or changed.
inline constexpr int kFrontEndExitBadInput = 2;
// The programs, the database or the file system failed underneath.
inline constexpr int kFrontEndExitFailure = 3;

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_PROTOCOL_H_
