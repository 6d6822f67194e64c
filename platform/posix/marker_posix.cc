// Markers are lock files in a private directory, locked with open-file-
// description locks. Claim takes an exclusive lock without waiting (a failure
// means someone holds the marker) and then turns it into a shared one; a hold
// is a shared lock; the absence test asks F_OFD_GETLK whether any lock is held,
// which takes none. OFD locks go with the open file, so they vanish when the
// process ends, however it ends. Lock files are never removed: removing one
// would let a later claimer lock a new file while an old holder still holds the
// removed one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/marker.h"
#include "platform/no_destructor.h"
#include "platform/posix/errno_status.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

struct flock WholeFileLock(short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;
  return lock;
}

Status EnsureDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return ErrnoStatus("cannot create marker directory " + path, errno);
  }
  return CheckPrivateDirectory(path);
}

// True when `fd` is the file at `path` now.
bool IsFileAtPath(int fd, const std::string& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Opens the marker file at `path` (made when missing) and locks it with
// `type`, waiting for the lock when `wait`. Starts over while the file it
// locked is no longer the one at the path (its holder removed it meanwhile).
// The descriptor, or -1 with errno set (EAGAIN or EACCES: another holds it).
int OpenAndLock(const std::string& path, short type, bool wait) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    struct flock lock = WholeFileLock(type);
    int rc;
    do {
      rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
    if (IsFileAtPath(fd, path)) return fd;
    ::close(fd);
  }
}

// The markers this process claimed, released (their files removed) by
// ReleaseMarker or when the process exits normally. Never destroyed: exit
// handlers use it after static objects may be gone.
struct Claimed {
  std::string path;
  int fd;
};
std::mutex& ClaimedLock() {
  static NoDestructor<std::mutex> lock;
  return *lock;
}
std::vector<Claimed>& ClaimedMarkers() {
  static NoDestructor<std::vector<Claimed>> claimed;
  return *claimed;
}
pid_t& ClaimingProcess() {
  static pid_t pid = 0;
  return pid;
}

// Removes the file while holding it exclusively (not while any other process
// holds or is claiming it), then lets go.
void Release(const Claimed& marker) {
  struct flock lock = WholeFileLock(F_WRLCK);
  if (::fcntl(marker.fd, F_OFD_SETLK, &lock) == 0 && IsFileAtPath(marker.fd, marker.path)) {
    ::unlink(marker.path.c_str());
  }
  ::close(marker.fd);
}

extern "C" void ReleaseClaimedMarkersAtExit() {
  std::lock_guard<std::mutex> guard(ClaimedLock());
  // A forked child shares the descriptors, not the claims.
  if (ClaimingProcess() != ::getpid()) return;
  for (const Claimed& marker : ClaimedMarkers()) Release(marker);
  ClaimedMarkers().clear();
}

std::string MarkerPath(const std::wstring& name, Status* status) {
  std::string dir;
  Status s = MarkerDirectory(&dir);
  if (!s.ok()) {
    if (status) *status = s;
    return std::string();
  }
  return dir + "/" + MarkerFileName(name);
}

}  // namespace

Status CheckPrivateDirectory(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0)
    return ErrnoStatus("cannot use marker directory " + path, errno);
  if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
    return Status::Error(ENOTDIR, "marker directory " + path + " is not a plain directory");
  }
  if (st.st_uid != ::geteuid()) {
    return Status::Error(ErrorKind::kAccessDenied, EPERM, "belongs to another user",
                         "marker directory " + path + " belongs to another user");
  }
  if ((st.st_mode & 077) != 0) {
    return Status::Error(ErrorKind::kAccessDenied, EPERM, "open to other users",
                         "marker directory " + path + " is open to other users");
  }
  return Status::Ok();
}

Status MarkerDirectory(std::string* path) {
  // Read at every use (a getenv is cheap next to the file calls), so that a
  // test can give each case a namespace of its own before it starts threads.
  if (const char* env = std::getenv("QUORVALMIST_MARKER_DIR"); env != nullptr && *env) {
    *path = env;
  } else if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run != nullptr && *run) {
    *path = std::string(run) + "/quorvalmist-markers";
  } else if (struct stat shm; ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) {
    // In memory, like the runtime directory: markers come and go with every
    // copied file, which costs a disk file system inode work each time.
    *path = "/dev/shm/quorvalmist-markers-" + std::to_string(::geteuid());
  } else {
    *path = "/tmp/quorvalmist-markers-" + std::to_string(::geteuid());
  }
  return EnsureDirectory(*path);
}

ClaimResult ClaimMarker(const std::wstring& name, Status* status) {
  std::string path = MarkerPath(name, status);
  if (path.empty()) return ClaimResult::kFailed;
  int fd = OpenAndLock(path, F_WRLCK, false);
  if (fd < 0) {
    int e = errno;
    if (e == EAGAIN || e == EACCES) return ClaimResult::kAlreadyClaimed;
    if (status) *status = ErrnoStatus("cannot claim marker " + path, e);
    return ClaimResult::kFailed;
  }
  // Downgrade so that the absence test and other holders see a shared lock.
  struct flock lock = WholeFileLock(F_RDLCK);
  ::fcntl(fd, F_OFD_SETLK, &lock);
  std::lock_guard<std::mutex> guard(ClaimedLock());
  if (ClaimingProcess() != ::getpid()) {
    ClaimedMarkers().clear();  // a forked child's copy of its parent's claims
    ClaimingProcess() = ::getpid();
    static bool registered = std::atexit(ReleaseClaimedMarkersAtExit) == 0;
    (void)registered;
  }
  ClaimedMarkers().push_back({path, fd});
  return ClaimResult::kClaimed;
}

void ReleaseMarker(const std::wstring& name) {
  std::string path = MarkerPath(name, nullptr);
  std::lock_guard<std::mutex> guard(ClaimedLock());
  if (path.empty() || ClaimingProcess() != ::getpid()) return;
  std::vector<Claimed>& claimed = ClaimedMarkers();
  for (size_t i = 0; i < claimed.size(); ++i) {
    if (claimed[i].path != path) continue;
    Release(claimed[i]);
    claimed.erase(claimed.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

Status HoldMarker(const std::wstring& name) {
  Status status;
  std::string path = MarkerPath(name, &status);
  if (path.empty()) return status;
  if (OpenAndLock(path, F_RDLCK, true) < 0) {
    return ErrnoStatus("cannot hold marker " + path, errno);
  }
  return Status::Ok();  // held until the process ends
}

bool IsMarkerAbsent(const std::wstring& name) {
  std::string path = MarkerPath(name, nullptr);
  if (path.empty()) return true;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return true;
  struct flock lock = WholeFileLock(F_WRLCK);
  bool absent = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_UNLCK;
  ::close(fd);
  return absent;
}

}  // namespace quorvalmist
