// Durability, cache control, holes and attributes of files: the parts of
// platform/file.h that keep a copy faithful to its source and to the disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/file.h"
#include "platform/posix/errno_status.h"

namespace quorvalmist {

namespace {

// An open descriptor for fsync or syncfs, closed on destruction.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int OpenForSync(const std::string& path, int extra_flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Permission bits to give a copy: set-id bits only together with the owner.
mode_t CopiedMode(const struct stat& st, bool owner_kept) {
  mode_t mode = st.st_mode & 07777;
  if (!owner_kept) mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
  return mode;
}

}  // namespace

Status SyncDirectory(const std::string& path) {
  ScopedFd fd(OpenForSync(path.empty() ? "." : path, O_DIRECTORY));
  if (fd.get() < 0) return ErrnoStatus("cannot open directory " + path, errno);
  if (::fsync(fd.get()) != 0) return ErrnoStatus("cannot sync directory " + path, errno);
  return Status::Ok();
}

Status SyncFilePath(const std::string& path, bool may_be_missing) {
  ScopedFd fd(OpenForSync(path, 0));
  if (fd.get() < 0) {
    if (may_be_missing && errno == ENOENT) return Status::Ok();
    return ErrnoStatus("cannot open " + path, errno);
  }
  if (::fsync(fd.get()) != 0) return ErrnoStatus("cannot write " + path + " to the disk", errno);
  return Status::Ok();
}

bool CanKeepOwners() { return ::geteuid() == 0; }

Status AllowOwnerWrite(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ErrnoStatus("cannot read " + path, errno);
  if ((st.st_mode & S_IWUSR) != 0) return Status::Ok();
  if (::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
    return ErrnoStatus("cannot set the mode of " + path, errno);
  }
  return Status::Ok();
}

namespace {

// True when a failed chmod (errno `e`) of the file described by `own` is the
// file system's refusal to keep permission bits at all (FAT, exFAT, some
// shares): no such call there, or EPERM for a file this process owns (which
// may otherwise always change its mode).
bool KeepsNoModes(int e, const struct stat* own) {
  if (e == ENOSYS || e == ENOTSUP || e == EOPNOTSUPP) return true;
  return e == EPERM && own != nullptr && own->st_uid == ::geteuid();
}

}  // namespace

Status CopyPathAttributes(const std::string& source, const std::string& target, bool keep_owner) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) return ErrnoStatus("cannot read " + source, errno);
  bool owner_kept = keep_owner && ::lchown(target.c_str(), st.st_uid, st.st_gid) == 0;
  if (::chmod(target.c_str(), CopiedMode(st, owner_kept)) != 0) {
    int e = errno;
    struct stat own;
    if (!KeepsNoModes(e, ::lstat(target.c_str(), &own) == 0 ? &own : nullptr)) {
      return ErrnoStatus("cannot set the mode of " + target, e);
    }
  }
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    return ErrnoStatus("cannot set the times of " + target, errno);
  }
  return Status::Ok();
}

Status SetFileTag(const std::string& path, const std::string& name, const std::string& value) {
  if (::lsetxattr(path.c_str(), ("user." + name).c_str(), value.data(), value.size(), 0) != 0) {
    return ErrnoStatus("cannot tag " + path, errno);
  }
  return Status::Ok();
}

std::optional<std::string> ReadFileTag(const std::string& path, const std::string& name) {
  std::string key = "user." + name;
  char buffer[1024];
  ssize_t n = ::lgetxattr(path.c_str(), key.c_str(), buffer, sizeof buffer);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

Status RemoveFileTag(const std::string& path, const std::string& name) {
  if (::lremovexattr(path.c_str(), ("user." + name).c_str()) != 0 && errno != ENODATA) {
    return ErrnoStatus("cannot untag " + path, errno);
  }
  return Status::Ok();
}

bool TagsUnsupported(const Status& status) { return status.kind() == ErrorKind::kUnsupported; }

Status ReadSymbolicLink(const std::string& path, std::string* text) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return ErrnoStatus("cannot read the link " + path, errno);
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      *text = std::move(buffer);
      return Status::Ok();
    }
    buffer.resize(buffer.size() * 2);  // possibly cut: read again with more room
  }
}

Status MakeSymbolicLink(const std::string& text, const std::string& path) {
  if (::symlink(text.c_str(), path.c_str()) != 0) {
    int e = errno;
    // EPERM from symlink() is the file system's own refusal (exFAT, FAT).
    if (e == EPERM || e == ENOTSUP || e == ENOSYS) {
      std::string reason = "the file system holds no symbolic links";
      return Status::Error(ErrorKind::kUnsupported, e, reason,
                           "cannot make the link " + path + ": " + reason);
    }
    return ErrnoStatus("cannot make the link " + path, e);
  }
  return Status::Ok();
}

bool IsSymbolicLinkPath(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

Status CopyLinkAttributes(const std::string& source, const std::string& target, bool keep_owner) {
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0) return ErrnoStatus("cannot read " + source, errno);
  if (keep_owner) ::lchown(target.c_str(), st.st_uid, st.st_gid);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    return ErrnoStatus("cannot set the times of " + target, errno);
  }
  return Status::Ok();
}

Status File::CopyDataRangeFrom(File& source, uint64_t offset, uint64_t length, bool punch_holes,
                               uint64_t* copied) {
  *copied = 0;
  const uint64_t end = offset + length;
  uint64_t pos = offset;
  while (pos < end) {
    off_t data = ::lseek(source.handle_, static_cast<off_t>(pos), SEEK_DATA);
    uint64_t hole_end;
    bool data_follows = data >= 0;
    if (data_follows) {
      hole_end = std::min(static_cast<uint64_t>(data), end);
    } else if (errno == ENXIO) {
      // No data from here on: a hole up to the source's end, if any.
      struct stat st;
      if (::fstat(source.handle_, &st) != 0)
        return ErrnoStatus("cannot read " + source.path_, errno);
      hole_end = std::clamp(static_cast<uint64_t>(st.st_size), pos, end);
    } else {
      // Holes cannot be told here: copy the rest as data.
      uint64_t n = 0;
      Status s = CopyRangeFrom(source, pos, end - pos, &n);
      *copied += n;
      return s;
    }
    if (hole_end > pos) {
      uint64_t hole = hole_end - pos;
      if (punch_holes && ::fallocate(handle_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                     static_cast<off_t>(pos), static_cast<off_t>(hole)) != 0) {
        uint64_t n = 0;  // cannot punch: the hole reads as zeros, written as such
        Status s = CopyRangeFrom(source, pos, hole, &n);
        if (!s.ok() || n < hole) {
          *copied += n;
          return s;
        }
      }
      *copied += hole;
      pos = hole_end;
    }
    if (!data_follows) return Status::Ok();  // the source ends here
    if (pos >= end) break;
    off_t hole_start = ::lseek(source.handle_, static_cast<off_t>(pos), SEEK_HOLE);
    uint64_t data_end = hole_start < 0 ? end : std::min(static_cast<uint64_t>(hole_start), end);
    if (data_end <= pos) data_end = end;
    uint64_t n = 0;
    Status s = CopyRangeFrom(source, pos, data_end - pos, &n);
    *copied += n;
    if (!s.ok() || n < data_end - pos) return s;  // failed, or the source ended
    pos = data_end;
  }
  return Status::Ok();
}

Status File::SyncData() {
  if (::fdatasync(handle_) != 0)
    return ErrnoStatus("cannot write " + path_ + " to the disk", errno);
  return Status::Ok();
}

void File::StartWriteBack(uint64_t offset, uint64_t length) {
  ::sync_file_range(handle_, static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

void File::DropCachedPages() { ::posix_fadvise(handle_, 0, 0, POSIX_FADV_DONTNEED); }

Status File::TakeAttributesOf(const std::string& source, bool keep_owner, AttributesKept* kept) {
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) return ErrnoStatus("cannot read " + source, errno);
  bool owner_kept = keep_owner && ::fchown(handle_, st.st_uid, st.st_gid) == 0;
  AttributesKept here;
  here.owner = owner_kept || !keep_owner;
  // After fchown, which clears the set-id bits. This process made the file,
  // so a refusal (EPERM, or no such call at all) is the file system's: it
  // keeps no permission bits.
  if (::fchmod(handle_, CopiedMode(st, owner_kept)) != 0) {
    int e = errno;
    struct stat own;
    if (!KeepsNoModes(e, ::fstat(handle_, &own) == 0 ? &own : nullptr)) {
      return ErrnoStatus("cannot set the mode of " + path_, e);
    }
    here.mode = false;
  }
  if (kept != nullptr) *kept = here;
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(handle_, times) != 0)
    return ErrnoStatus("cannot set the times of " + path_, errno);
  return Status::Ok();
}

}  // namespace quorvalmist
