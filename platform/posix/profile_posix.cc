#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/profile_file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

enum class Lock { kHeld, kBusy, kUnsupported };

// Takes a lock on the open file without waiting (kind: LOCK_SH or LOCK_EX).
Lock TryLock(int fd, int kind) {
  int rc;
  do {
    rc = ::flock(fd, kind | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return Lock::kHeld;
  return errno == EWOULDBLOCK ? Lock::kBusy : Lock::kUnsupported;
}

// Reads the whole of an open file from where it stands.
bool ReadAll(int fd, std::string* bytes) {
  bytes->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

// Reads the whole file; false when it cannot be opened or read. Takes the
// text of a file that was in place at `path` when its reading ended, read
// under a shared lock on that file. A writer fills only the spare (see
// ReplaceFile), under an exclusive lock, and the spare takes the place only
// once it is complete; so a file found locked, or no longer in place after
// its reading (which may be a spare a writer gave up on part-way), is left
// and `path` opened again. Neither waits for a writer.
bool ReadWholeFile(const std::string& path, std::string* bytes) {
  constexpr int kAttempts = 1000;
  for (int attempt = 1;; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Where the file system keeps no locks, the check of the place serves.
    bool locked = TryLock(fd, LOCK_SH) != Lock::kBusy;
    bool read = locked && ReadAll(fd, bytes);
    struct stat held, placed;
    bool in_place = read && ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &placed) == 0 &&
                    held.st_ino == placed.st_ino && held.st_dev == placed.st_dev;
    ::close(fd);
    if (in_place) return true;
    if ((locked && !read) || attempt == kAttempts) return false;
  }
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Holds an exclusive lock on "<path>.lock" for its lifetime.
class WriterLock {
 public:
  explicit WriterLock(const std::string& path) {
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    int rc;
    do {
      rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Replaces the file's content atomically, without making a new file each
// time: the new text goes into the spare "<path>.new" in the same directory (a
// fixed name: writers hold the writers' lock), which then trades names with
// the file in place (RENAME_EXCHANGE). The old text stays in the spare, which
// the next write fills again. A reader opens either the old or the new file,
// never a half-written one: the spare is filled under an exclusive lock on it,
// taken only when no reader is still on it from when it was in place (else a
// new spare is made), and a reader reads under a shared lock (see
// ReadWholeFile). Nobody waits for anybody's lock.
//
// Keeping the spare, instead of unlinking the old file and creating a new one
// at every write, matters on a file system that passes over recently freed
// inodes when it makes a file (ext4 without a journal does, for minutes after
// a delete while the inode table is unwritten): a file's "run" status written
// per copied file freed an inode per file, and every later file created in
// the run grew slower. The exchange is used rather than a rename over the old
// file because ext4 also flushes a file's data to disk on every rename over an
// existing name, which made each "position" report cost milliseconds. Where
// the file system lacks the exchange, or the file does not exist yet, a plain
// rename serves.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string spare = path + ".new";
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  int fd = ::open(spare.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0 && TryLock(fd, LOCK_EX) != Lock::kHeld) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    // No spare yet, or one that cannot be used: a reader is still on it (it
    // opened it while it was in place), the file system keeps no locks, or it
    // cannot be opened (its mode, a link). The old one keeps its text for
    // whoever reads it, and a new one is made, which nobody has open.
    ::unlink(spare.c_str());
    fd = ::open(spare.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return false;
  }
  // The new text is written over the old from the start and the rest cut
  // off, rather than the file emptied first: ext4 takes a file emptied and
  // written again for a replaced file and starts writing it to the disk when
  // it is closed, which cost more than the write itself.
  struct stat held;
  bool ok = ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
            ((held.st_mode & 07777) == mode || ::fchmod(fd, mode) == 0) && WriteAll(fd, bytes) &&
            (static_cast<uint64_t>(held.st_size) <= bytes.size() ||
             ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0);
  // Closing releases the lock: the spare is complete before it takes the place.
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(spare.c_str());
    return false;
  }
  if (::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    return true;  // the spare holds the old text now
  }
  if (::rename(spare.c_str(), path.c_str()) == 0) return true;
  ::unlink(spare.c_str());
  return false;
}

}  // namespace

ProfileRead ReadProfileFile(const std::wstring& wide_path, std::string* bytes) {
  std::string path = WideToNarrow(wide_path);
  if (ReadWholeFile(path, bytes)) return ProfileRead::kRead;
  // Missing (or reached through a missing directory): the default. Anything
  // else is a read that failed.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 || errno != ENOENT) return ProfileRead::kFailed;
  return ProfileRead::kMissing;
}

bool EditProfileFile(const std::wstring& wide_path, const std::function<bool(std::string*)>& edit) {
  std::string path = WideToNarrow(wide_path);
  WriterLock lock(path);
  if (!lock.held()) return false;  // e.g. the directory is missing: the write is lost
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return false;  // there but unreadable: keep it
    bytes.clear();
  }
  if (!edit(&bytes)) return true;
  return ReplaceFile(path, bytes);
}

}  // namespace quorvalmist
