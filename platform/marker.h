// Named markers of live processes (the named mutexes of the design).
//
// A marker exists while at least one process holds it, and vanishes when the
// last holder ends, however it ends (a kill included). Where markers are
// files (POSIX), they live in a private per-user directory:
// $QUORVALMIST_MARKER_DIR when set (inherited by child processes, so tests get
// namespaces of their own), otherwise $XDG_RUNTIME_DIR/quorvalmist-markers,
// otherwise /dev/shm/quorvalmist-markers-UID where /dev/shm exists, otherwise
// /tmp/quorvalmist-markers-UID. The directory is made open to its owner alone
// and refused when it is a link, is not owned by this user, or can be reached
// by other users. On Windows markers are named mutexes in the session's
// namespace; $QUORVALMIST_MARKER_DIR, when set, still gives them a namespace
// of their own, and MarkerDirectory and CheckPrivateDirectory fail with
// kUnsupported there.
#ifndef QUORVALMIST_PLATFORM_MARKER_H_
#define QUORVALMIST_PLATFORM_MARKER_H_

#include <string>

#include "platform/status.h"

namespace quorvalmist {

enum class ClaimResult {
  kClaimed,         // this process created the marker and holds it
  kAlreadyClaimed,  // some live process held it already
  kFailed,          // the marker directory or file could not be used
};

// Claims `name` atomically: of two processes claiming one name at once,
// exactly one gets kClaimed. A claimed marker is held until ReleaseMarker or
// the end of the process. Does not block. On kFailed, *status (if given) says why.
ClaimResult ClaimMarker(const std::wstring& name, Status* status = nullptr);

// Lets go of a marker this process claimed and removes its file. Every claim
// still held is released so when the process exits normally; a process that
// is killed leaves the file, which a later claim of the name reuses. Nothing
// happens for a name this process did not claim.
void ReleaseMarker(const std::wstring& name);

// Holds `name` alongside any other holders (as every front end holds its
// marker); held until the process ends. Waits only while another process is in
// the middle of claiming the same name.
Status HoldMarker(const std::wstring& name);

// True when no live process holds `name`. Creates nothing, takes no lock, and
// so never makes a concurrent claim fail.
bool IsMarkerAbsent(const std::wstring& name);

// The marker directory in use (created and checked on first use).
Status MarkerDirectory(std::string* path);

// The file name that stands for `name` inside the marker directory: a
// reversible escape of its UTF-8 bytes, or for long names a bounded prefix and
// a hash of the whole.
std::string MarkerFileName(const std::wstring& name);

// Checks that `path` is a directory owned by this user, not a link and closed
// to others. Exposed for tests.
Status CheckPrivateDirectory(const std::string& path);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_MARKER_H_
