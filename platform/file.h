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

struct PathInfo {
  bool is_directory = false;
  bool is_regular = false;  // a regular file (not a FIFO, socket, device or directory)
  uint64_t size = 0;
  // Identity of what the path leads to: two paths name the same file or
  // directory exactly when both numbers agree, however they are spelled.
  uint64_t device = 0;
  uint64_t inode = 0;
};

// Status of the path with symbolic links followed. nullopt when nothing is
// there (or it cannot be reached), so a missing file is told apart from an
// empty one.
std::optional<PathInfo> StatPath(const std::string& path);

// True when `path` itself is a symbolic link whose target does not exist (a
// dangling link); false for anything else, a missing path included.
bool IsDanglingLink(const std::string& path);

struct DirectoryEntry {
  std::string name;         // the entry's name, no directory part
  uint32_t attributes = 0;  // kAttributeDirectory for a directory, else 0
};

// Lists one directory. Entries come in the order the system returns them;
// "." and ".." are included. A symbolic link to a directory is not listed at
// all (so no walk can run round a link cycle); a link to a file is listed as a
// file.
class DirectoryLister {
 public:
  virtual ~DirectoryLister() = default;
  // Opens the directory; nullptr (and *status set) when it cannot be listed.
  static std::unique_ptr<DirectoryLister> Open(const std::string& path, Status* status);
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

// Renames `from` to `to`, never replacing an existing `to`: fails with EEXIST
// then. Uses renameat2(RENAME_NOREPLACE), falling back to link + unlink on
// file systems that lack it.
Status RenameNoReplace(const std::string& from, const std::string& to);

// Removes a file (not a directory).
Status RemoveFileAt(const std::string& path);

// An open file, owned; the descriptor is close-on-exec and closed on
// destruction. Move-only.
class File {
 public:
  enum class Mode {
    kRead,           // existing file, read only
    kReadRegular,    // existing regular file, read only; anything else (FIFO,
                     // device, directory) is refused without blocking or reading
    kReadWrite,      // existing file, read and write, content kept
    kCreateTruncate  // created or emptied, read and write
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

  bool is_open() const { return fd_ >= 0; }
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
  // Sets the length of the open file.
  Status Truncate(uint64_t length);
  // Hints that the file will be read once from start to end.
  void AdviseSequential();
  // Closes now; reports a failure of close (for writable files).
  Status Close();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_FILE_H_
