#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/buffer_copy.h"
#include "platform/file.h"
#include "platform/posix/errno_status.h"

namespace quorvalmist {

namespace {

PathInfo InfoOf(const struct stat& st) {
  PathInfo info;
  info.is_directory = S_ISDIR(st.st_mode);
  info.is_regular = S_ISREG(st.st_mode);
  info.size = static_cast<uint64_t>(st.st_size);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
  info.modified_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  return info;
}

// The failure to make a new name at `path`. Creating in a directory that is
// there fails with EINVAL (or, on some FUSE file systems, ENOENT) when the
// file system does not allow the name: its characters, or a reserved name.
Status CreateStatus(const std::string& context, const std::string& path, int e) {
  if (e == EINVAL || e == ENOENT) {
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st;
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::string reason = "the target's file system does not allow this name";
      return Status::Error(ErrorKind::kNameRefused, e, reason, context + ": " + reason);
    }
  }
  return ErrnoStatus(context, e);
}

}  // namespace

std::optional<PathInfo> StatPath(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return InfoOf(st);
}

Status StatPathError(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return Status::Ok();
  return ErrnoStatus("cannot look up " + path, errno);
}

bool IsDanglingLink(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
  return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

namespace {

class PosixDirectoryLister : public DirectoryLister {
 public:
  PosixDirectoryLister(DIR* dir, std::string path, bool report_links)
      : dir_(dir), path_(std::move(path)), report_links_(report_links) {}
  ~PosixDirectoryLister() override { ::closedir(dir_); }

  bool Next(DirectoryEntry* entry) override {
    for (;;) {
      errno = 0;
      struct dirent* d = ::readdir(dir_);
      if (d == nullptr) {
        if (errno != 0) error_ = ErrnoStatus("cannot list " + path_, errno);
        return false;
      }
      entry->name = d->d_name;
      entry->attributes = 0;
      unsigned char type = d->d_type;
      if (type == DT_DIR) {
        entry->attributes = kAttributeDirectory;
        return true;
      }
      if (type == DT_LNK || type == DT_UNKNOWN) {
        // Follow the entry to learn what it names; a link to a directory
        // carries the link bit beside the directory bit, so that a walk
        // entering it can watch for cycles.
        struct stat st;
        struct stat lst;
        bool is_link = type == DT_LNK ||
                       (::fstatat(::dirfd(dir_), d->d_name, &lst, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(lst.st_mode));
        if (is_link && report_links_) {
          entry->attributes = kAttributeSymbolicLink;
          return true;
        }
        if (::fstatat(::dirfd(dir_), d->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
          entry->attributes = kAttributeDirectory | (is_link ? kAttributeSymbolicLink : 0);
        }
      }
      return true;
    }
  }

  const Status& error() const override { return error_; }

 private:
  DIR* dir_;
  std::string path_;
  bool report_links_;
  Status error_;
};

}  // namespace

std::unique_ptr<DirectoryLister> DirectoryLister::Open(const std::string& path, Status* status) {
  return Open(path, status, Links::kAsAbove);
}

std::unique_ptr<DirectoryLister> DirectoryLister::Open(const std::string& path, Status* status,
                                                       Links links) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (status) *status = ErrnoStatus("cannot list " + path, errno);
    return nullptr;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    int e = errno;
    ::close(fd);
    if (status) *status = ErrnoStatus("cannot list " + path, e);
    return nullptr;
  }
  return std::make_unique<PosixDirectoryLister>(dir, path, links == Links::kReportLinks);
}

Status MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0)
    return ErrnoStatus("cannot create directory " + path, errno);
  return Status::Ok();
}

Status SetPathLength(const std::string& path, uint64_t length) {
  if (::truncate(path.c_str(), static_cast<off_t>(length)) != 0) {
    return ErrnoStatus("cannot set the length of " + path, errno);
  }
  return Status::Ok();
}

Status RenameNoReplace(const std::string& from, const std::string& to) {
  const std::string context = "cannot rename " + from + " to " + to;
  // A name the file system refuses fails as EINVAL or ENOENT; ENOENT is that
  // only while `from` is still there.
  auto failed = [&](int e) {
    struct stat st;
    if (e == ENOENT && ::lstat(from.c_str(), &st) != 0) return ErrnoStatus(context, e);
    return CreateStatus(context, to, e);
  };
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return Status::Ok();
  }
  int e = errno;
  if (e != EINVAL && e != ENOSYS) return failed(e);
  // The file system lacks the flag: link() refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) != 0) return ErrnoStatus("cannot remove " + from, errno);
    return Status::Ok();
  }
  e = errno;
  if (e != EPERM && e != EOPNOTSUPP && e != ENOSYS && e != EMLINK) return failed(e);
  // No hard links either (exFAT, FAT, many shares): look, then rename. The
  // window between the two is the one such a file system leaves open.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return ErrnoStatus(context, EEXIST);
  if (::rename(from.c_str(), to.c_str()) != 0) return failed(errno);
  return Status::Ok();
}

Status RemoveFileAt(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return ErrnoStatus("cannot remove " + path, errno);
  return Status::Ok();
}

File::File(File&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
  other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(handle_);
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = -1;
  }
  return *this;
}

File::~File() {
  if (handle_ >= 0) ::close(handle_);
}

Status File::Open(const std::string& path, Mode mode, File* file) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kReadRegular:
      // Non-blocking, so that opening a FIFO with no writer cannot wait.
      flags |= O_RDONLY | O_NONBLOCK;
      break;
    case Mode::kReadWrite:
      flags |= O_RDWR;
      break;
    case Mode::kCreateTruncate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case Mode::kCreateNew:
      flags |= O_RDWR | O_CREAT | O_EXCL;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = errno;
    if (flags & O_CREAT) return CreateStatus("cannot open " + path, path, e);
    return ErrnoStatus("cannot open " + path, e);
  }
  if (mode == Mode::kReadRegular) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      ::close(fd);
      return Status::Error(ErrorKind::kOther, e, "not a regular file",
                           "cannot open " + path + ": not a regular file");
    }
    // Reads of a regular file then block as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  *file = File();
  file->handle_ = fd;
  file->path_ = path;
  return Status::Ok();
}

Status File::LockDirectory(const std::string& path, File* holder) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoStatus("cannot open " + path, errno);
  *holder = File();
  holder->handle_ = fd;
  holder->path_ = path;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ErrnoStatus("cannot lock " + path, errno);
  return Status::Ok();
}

Status File::ReadAt(uint64_t offset, char* buffer, size_t length, size_t* read) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(handle_, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *read = done;
      return ErrnoStatus("cannot read " + path_, errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *read = done;
  return Status::Ok();
}

Status File::Read(char* buffer, size_t length, size_t* read) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::read(handle_, buffer + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *read = done;
      return ErrnoStatus("cannot read " + path_, errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *read = done;
  return Status::Ok();
}

Status File::WriteAt(uint64_t offset, const char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(handle_, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("cannot write " + path_, errno);
    }
    if (n == 0) return ErrnoStatus("cannot write " + path_, EIO);
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status File::CopyRangeFrom(File& source, uint64_t offset, uint64_t length, uint64_t* copied) {
  uint64_t done = 0;
  bool kernel_copy = true;
  while (done < length && kernel_copy) {
    loff_t in_off = static_cast<loff_t>(offset + done);
    loff_t out_off = in_off;
    ssize_t n = ::copy_file_range(source.handle_, &in_off, handle_, &out_off, length - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
          errno == EBADF) {
        kernel_copy = false;  // not offered here: copy through a buffer instead
        break;
      }
      *copied = done;
      return ErrnoStatus("cannot copy " + source.path_ + " to " + path_, errno);
    }
    if (n == 0) {
      *copied = done;
      return Status::Ok();  // end of the source
    }
    done += static_cast<uint64_t>(n);
  }
  uint64_t rest = 0;
  Status s = done < length
                 ? CopyRangeThroughBuffer(source, *this, offset + done, length - done, &rest)
                 : Status::Ok();
  *copied = done + rest;
  return s;
}

Status File::Truncate(uint64_t length) {
  if (::ftruncate(handle_, static_cast<off_t>(length)) != 0) {
    return ErrnoStatus("cannot set the length of " + path_, errno);
  }
  return Status::Ok();
}

std::optional<PathInfo> File::Stat() const {
  struct stat st;
  if (::fstat(static_cast<int>(handle_), &st) != 0) return std::nullopt;
  return InfoOf(st);
}

void File::AdviseSequential() { ::posix_fadvise(handle_, 0, 0, POSIX_FADV_SEQUENTIAL); }

void File::AdviseWillNeed(uint64_t offset, uint64_t length) {
  ::posix_fadvise(handle_, static_cast<off_t>(offset), static_cast<off_t>(length),
                  POSIX_FADV_WILLNEED);
}

Status File::Close() {
  if (handle_ < 0) return Status::Ok();
  int fd = handle_;
  handle_ = -1;
  if (::close(fd) != 0 && errno != EINTR) return ErrnoStatus("cannot close " + path_, errno);
  return Status::Ok();
}

}  // namespace quorvalmist
