#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/profile_file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// Reads the whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
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

// Replaces the file's content atomically: the new text goes to "<path>.new" in
// the same directory (a fixed name: writers hold the lock, and a leftover of a
// killed writer is simply emptied), which then trades names with the old file
// (RENAME_EXCHANGE) before the old content is unlinked. A reader opens either
// the old or the new file, never a half-written one. The exchange is used
// rather than a rename over the old file because ext4 flushes a file's data to
// disk on every rename over an existing name, which made each "position"
// report cost milliseconds; an exchange does not. Where the file system lacks
// the exchange, or the file does not exist yet, a plain rename serves.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".new";
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes);
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    ::unlink(temp.c_str());  // now the old content
    return true;
  }
  if (::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
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
