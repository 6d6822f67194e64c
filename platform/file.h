// Files and directories: status, enumeration, creation, length setting,
// no-replace rename and positioned reads and writes on an owned handle.
// Paths are narrow (file-system encoding); callers convert with platform/text.h.
#ifndef QUORVALMIST_PLATFORM_FILE_H_
#define QUORVALMIST_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/status.h"

namespace quorvalmist {

// Attribute bit of a directory entry, as the directory walk tests it.
inline constexpr uint32_t kAttributeDirectory = 0x10;
// Attribute bit of an entry that is a symbolic link (the reparse-point bit):
// alone for every link under kReportLinks; otherwise beside
// kAttributeDirectory for a link to a directory (see DirectoryLister).
inline constexpr uint32_t kAttributeSymbolicLink = 0x400;

struct PathInfo {
  bool is_directory = false;
  bool is_regular = false;  // a regular file (not a FIFO, socket, device or directory)
  uint64_t size = 0;
  // Identity of what the path leads to: two paths name the same file or
  // directory exactly when both numbers agree, however they are spelled.
  uint64_t device = 0;
  uint64_t inode = 0;
  // Last modification, nanoseconds since 1970 (as fine as the file system
  // keeps it). Unlike the inode number, which some file systems (FAT, exFAT,
  // many FUSE mounts) make up anew at every mount, it is kept on the disk.
  int64_t modified_ns = 0;
};

// Status of the path with symbolic links followed. nullopt when nothing is
// there (or it cannot be reached), so a missing file is told apart from an
// empty one.
std::optional<PathInfo> StatPath(const std::string& path);

// Why StatPath(path) finds nothing, as a status: kNotFound when the path (or a
// folder on its way) is not there, kAccessDenied when a folder on its way may
// not be searched, and so on. Ok when the path can be looked up.
Status StatPathError(const std::string& path);

// True when `path` itself is a symbolic link whose target does not exist (a
// dangling link); false for anything else, a missing path included.
bool IsDanglingLink(const std::string& path);

struct DirectoryEntry {
  std::string name;         // the entry's name, no directory part
  uint32_t attributes = 0;  // kAttributeDirectory for a directory, else 0
};

// Lists one directory. Entries come in the order the system returns them;
// "." and ".." are included. A symbolic link is listed as what it leads to: a
// link to a file (or to nothing) as a file, a link to a directory with the
// attributes kAttributeDirectory | kAttributeSymbolicLink. A walk that enters
// such a link must keep from running round a cycle of links: the walks of
// this system do not enter a directory that is, by identity (PathInfo's
// device and inode), one of the directories on their way down from the root,
// and name it as a cycle instead.
class DirectoryLister {
 public:
  virtual ~DirectoryLister() = default;
  // Opens the directory; nullptr (and *status set) when it cannot be listed.
  static std::unique_ptr<DirectoryLister> Open(const std::string& path, Status* status);
  // How links are listed: as above, or (kReportLinks) every symbolic link,
  // a link to a directory included, with the attributes kAttributeSymbolicLink
  // alone (never kAttributeDirectory, so a walk that keeps links as links does
  // not enter it).
  enum class Links { kAsAbove, kReportLinks };
  static std::unique_ptr<DirectoryLister> Open(const std::string& path, Status* status,
                                               Links links);
  // The next entry, or false at the end or on a read error; error() tells the
  // two apart.
  virtual bool Next(DirectoryEntry* entry) = 0;
  // Why the listing ended early: not ok when the last Next failed with a read
  // error (the entries seen so far are then not the whole directory); ok at
  // the true end.
  virtual const Status& error() const = 0;
};

// Creates one directory (mode 0777 less the umask). Fails if it exists.
Status MakeDirectory(const std::string& path);

// Sets the length of an existing file by path, cutting it back or extending it.
Status SetPathLength(const std::string& path, uint64_t length);

// Renames `from` to `to`, never replacing an existing `to`: fails with the
// kind kExists then. Atomic where the file system offers a rename that never
// replaces; elsewhere a new name and the removal of the old one, which never
// replace anything either. On a file system with neither (exFAT, FAT, some
// network shares), the best that is possible there: `to` is looked up just
// before a plain rename, and the rename is made only when nothing is there. A
// file that appears at `to` in the moment between the two would be replaced;
// nothing on those file systems can close that window.
Status RenameNoReplace(const std::string& from, const std::string& to);

// Removes a file (not a directory).
Status RemoveFileAt(const std::string& path);

// Makes the entries of the directory `path` durable (written to the device):
// a file created, renamed or removed in it survives a power cut once this
// returns.
Status SyncDirectory(const std::string& path);

// Makes the file at `path` durable, its data and metadata. A missing
// file is not an error when `may_be_missing`.
Status SyncFilePath(const std::string& path, bool may_be_missing);

// Gives the existing `target` (a directory or file, links not followed) the
// permission bits and access and modification times, to the nanosecond, of
// `source` (links followed). When `keep_owner`, also its owner and group; the
// set-user-id and set-group-id bits are kept only when the owner could be set,
// and dropped otherwise, so a copy never becomes set-id for another user.
Status CopyPathAttributes(const std::string& source, const std::string& target, bool keep_owner);

// Adds write permission for the owner to `path` (links followed), so a file
// given a read-only source's mode can still be written again by its owner.
Status AllowOwnerWrite(const std::string& path);

// The text of the symbolic link at `path`, exactly as written.
Status ReadSymbolicLink(const std::string& path, std::string* text);

// Makes a symbolic link at `path` holding `text`. Fails (kExists) when
// anything is at `path`, and (kUnsupported) on a file system without links.
Status MakeSymbolicLink(const std::string& text, const std::string& path);

// True when `path` itself (not what it names) is a symbolic link.
bool IsSymbolicLinkPath(const std::string& path);

// Gives the symbolic link `target` the access and modification times of the
// link `source` (neither followed), and as root (`keep_owner`) its owner.
Status CopyLinkAttributes(const std::string& source, const std::string& target, bool keep_owner);

// True when this process may give files away to other owners (root).
bool CanKeepOwners();

// Tags: named values stored with a regular file (extended attributes in the
// user's namespace), which stay with it through renames. A final symbolic
// link is never followed.
// Sets the tag `name` of the file at `path` to `value`. Fails with
// TagsUnsupported when the file system keeps no tags.
Status SetFileTag(const std::string& path, const std::string& name, const std::string& value);
// The value of the tag; nullopt when the file, the tag or tags are missing.
std::optional<std::string> ReadFileTag(const std::string& path, const std::string& name);
// Removes the tag; a tag that is not there is no error.
Status RemoveFileTag(const std::string& path, const std::string& name);
// True when `status` says that the file system keeps no tags.
bool TagsUnsupported(const Status& status);

// An open file, owned; its handle is not inherited by child processes and is
// closed on destruction. Move-only.
class File {
 public:
  enum class Mode {
    kRead,            // existing file, read only
    kReadRegular,     // existing regular file, read only; anything else (FIFO,
                      // device, directory) is refused without blocking or reading
    kReadWrite,       // existing file, read and write, content kept
    kCreateTruncate,  // created or emptied, read and write
    kCreateNew        // created, read and write; fails (kExists) when
                      // anything is at the path (never opens what is there)
  };

  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  static Status Open(const std::string& path, Mode mode, File* file);
  // Takes an exclusive lock on the directory `path` itself, waiting while
  // another process holds one; nothing is created. The lock goes when `holder`
  // is closed. Only processes that ask for the same lock are kept out.
  static Status LockDirectory(const std::string& path, File* holder);

  bool is_open() const { return handle_ != kNoHandle; }
  const std::string& path() const { return path_; }

  // Reads up to `length` bytes at `offset`, retrying short reads until the
  // length is reached or the end of the file; *read is what was read.
  Status ReadAt(uint64_t offset, char* buffer, size_t length, size_t* read);
  // Reads from the current position (sequential streams).
  Status Read(char* buffer, size_t length, size_t* read);
  // Writes all of `length` bytes at `offset`.
  Status WriteAt(uint64_t offset, const char* buffer, size_t length);
  // Copies up to `length` bytes from `source` at `offset` to this file at the
  // same offset, inside the kernel where it can (copy_file_range), else through
  // a buffer. Stops early only at the end of the source; *copied is the count.
  Status CopyRangeFrom(File& source, uint64_t offset, uint64_t length, uint64_t* copied);
  // Like CopyRangeFrom, but ranges that are holes in the source are neither
  // read nor written, so they stay holes in the target. When `punch_holes`, the
  // target's range is made a hole there (for a target that may hold older
  // data); where the file system cannot punch, zeros are written instead.
  // Hole bytes up to the source's end count in *copied.
  Status CopyDataRangeFrom(File& source, uint64_t offset, uint64_t length, bool punch_holes,
                           uint64_t* copied);
  // Sets the length of the open file.
  Status Truncate(uint64_t length);
  // What the open file is (links were followed when it was opened); nullopt
  // when the system cannot tell.
  std::optional<PathInfo> Stat() const;
  // Makes the file's data (and the metadata needed to read it, such as its
  // length) durable: written to the device before this returns.
  Status SyncData();
  // Starts writing the range's data to the device without waiting for it
  // (sync_file_range), so a later SyncData has little left to wait for. Only a
  // hint: it makes nothing durable by itself.
  void StartWriteBack(uint64_t offset, uint64_t length);
  // Drops the file's clean pages from the system's cache, so the next read
  // comes from the device. Pages not yet written back stay.
  void DropCachedPages();
  // Gives this file the permission bits and access and modification times
  // (nanoseconds) of the file at `source` (links followed); when `keep_owner`
  // also its owner and group, and then its set-user-id and set-group-id bits,
  // which are dropped otherwise. The times are set last, after every write.
  // A file system that keeps no permission bits or owners (FAT, exFAT, many
  // shares) is no failure: *kept (when given) says what it did not keep.
  struct AttributesKept {
    bool mode = true;
    bool owner = true;
  };
  Status TakeAttributesOf(const std::string& source, bool keep_owner,
                          AttributesKept* kept = nullptr);
  // Hints that the file will be read once from start to end.
  void AdviseSequential();
  // Hints that `length` bytes from `offset` will be read soon: the system may
  // start reading them from the device now, in large requests.
  void AdviseWillNeed(uint64_t offset, uint64_t length);
  // Closes now; reports a failure of close (for writable files).
  Status Close();

 private:
  // The system's handle of the open file, opaque here: each platform's files
  // give it its meaning (a descriptor, a HANDLE). -1 is no file on both.
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
  std::string path_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_FILE_H_
