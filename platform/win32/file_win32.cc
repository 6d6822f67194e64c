// Files and directories through the W functions. Every handle is opened
// without inheritance (no SECURITY_ATTRIBUTES), so a child copier inherits
// only its output pipe, and shares read, write and delete with others, as a
// POSIX descriptor does not keep anyone from the file.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/buffer_copy.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ReadFile and WriteFile take 32-bit lengths.
constexpr size_t kMaxTransfer = 1u << 30;

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

namespace {

// What the open handle is; nullopt when the system cannot tell.
std::optional<PathInfo> InfoOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return std::nullopt;
  PathInfo result;
  result.is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  result.is_regular = !result.is_directory && ::GetFileType(handle) == FILE_TYPE_DISK;
  result.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  result.device = info.dwVolumeSerialNumber;
  result.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // 100 ns units since 1601; 11644473600 s lie between 1601 and 1970.
  int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime);
  result.modified_ns = (ticks - int64_t{116444736000000000}) * 100;
  return result;
}

}  // namespace

std::optional<PathInfo> StatPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  ScopedHandle file(OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES, false));
  if (!file.valid()) return std::nullopt;
  return InfoOfHandle(file.get());
}

Status StatPathError(const std::string& path) {
  if (path.empty()) return LastErrorStatus("cannot look up " + path, ERROR_PATH_NOT_FOUND);
  ScopedHandle file(OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES, false));
  if (!file.valid()) return LastErrorStatus("cannot look up " + path);
  return Status::Ok();
}

bool IsDanglingLink(const std::string& path) {
  if (!IsSymbolicLinkPath(path)) return false;
  ScopedHandle target(OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES, false));
  return !target.valid() && IsMissing(::GetLastError());
}

namespace {

// Lists with FindFirstFileExW / FindNextFileW. The attribute word is the
// system's own (hidden, system, read-only and the rest), so that a walk can
// tell a hidden system directory (0x16) apart. A symbolic link or junction is
// a name surrogate: listed with kAttributeSymbolicLink alone under
// kReportLinks; otherwise one to a directory keeps its directory and
// reparse-point bits (kAttributeDirectory | kAttributeSymbolicLink), one to a
// file is listed as a file.
class Win32DirectoryLister : public DirectoryLister {
 public:
  Win32DirectoryLister(HANDLE find, const WIN32_FIND_DATAW& first, std::string path,
                       bool report_links)
      : find_(find),
        pending_(first),
        has_pending_(find != INVALID_HANDLE_VALUE),
        path_(std::move(path)),
        report_links_(report_links) {}
  ~Win32DirectoryLister() override {
    if (find_ != INVALID_HANDLE_VALUE) ::FindClose(find_);
  }

  bool Next(DirectoryEntry* entry) override {
    WIN32_FIND_DATAW data;
    if (has_pending_) {
      data = pending_;
      has_pending_ = false;
    } else {
      if (find_ == INVALID_HANDLE_VALUE) return false;
      if (!::FindNextFileW(find_, &data)) {
        DWORD error = ::GetLastError();
        if (error != ERROR_NO_MORE_FILES) error_ = LastErrorStatus("cannot list " + path_, error);
        return false;
      }
    }
    entry->name = WideToNarrow(data.cFileName);
    DWORD attributes = data.dwFileAttributes;
    if (IsNameSurrogate(attributes, data.dwReserved0)) {
      if (report_links_) {
        entry->attributes = kAttributeSymbolicLink;
        return true;
      }
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        attributes |= kAttributeSymbolicLink;
      } else {
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
      }
    }
    entry->attributes = attributes;
    return true;
  }

  const Status& error() const override { return error_; }

 private:
  HANDLE find_;
  WIN32_FIND_DATAW pending_;
  bool has_pending_;
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
  std::wstring pattern = Utf16Path(path.empty() ? "." : path);
  if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW first = {};
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &first, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    // No entry at all (a drive's empty root has no "." either): an empty
    // listing, when the path is a directory.
    std::optional<PathInfo> info = StatPath(path.empty() ? "." : path);
    if (error != ERROR_FILE_NOT_FOUND || !info || !info->is_directory) {
      if (status) *status = LastErrorStatus("cannot list " + path, error);
      return nullptr;
    }
  }
  return std::make_unique<Win32DirectoryLister>(find, first, path, links == Links::kReportLinks);
}

Status MakeDirectory(const std::string& path) {
  if (!::CreateDirectoryW(Utf16Path(path).c_str(), nullptr)) {
    return LastErrorStatus("cannot create directory " + path);
  }
  return Status::Ok();
}

Status SetPathLength(const std::string& path, uint64_t length) {
  File file;
  Status s = File::Open(path, File::Mode::kReadWrite, &file);
  if (!s.ok())
    return Status::Error(s.kind(), s.code(), s.reason(),
                         "cannot set the length of " + path + ": " + s.reason());
  s = file.Truncate(length);
  if (!s.ok()) return s;
  return file.Close();
}

Status RenameNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses an existing target
  // (ERROR_ALREADY_EXISTS), atomically, within one volume.
  if (!::MoveFileExW(Utf16Path(from).c_str(), Utf16Path(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return LastErrorStatus("cannot rename " + from + " to " + to);
  }
  return Status::Ok();
}

Status RemoveFileAt(const std::string& path) {
  std::wstring wide = Utf16Path(path);
  if (::DeleteFileW(wide.c_str())) return Status::Ok();
  DWORD error = ::GetLastError();
  // A read-only file refuses removal here, where POSIX would remove it (the
  // directory's permissions decide there): clear the attribute and retry.
  DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
      ::SetFileAttributesW(wide.c_str(),
                           attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    if (::DeleteFileW(wide.c_str())) return Status::Ok();
    error = ::GetLastError();
    ::SetFileAttributesW(wide.c_str(), attributes);
  }
  return LastErrorStatus("cannot remove " + path, error);
}

File::File(File&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
  other.handle_ = kNoHandle;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != kNoHandle) ::CloseHandle(AsHandle(handle_));
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = kNoHandle;
  }
  return *this;
}

File::~File() {
  if (handle_ != kNoHandle) ::CloseHandle(AsHandle(handle_));
}

Status File::Open(const std::string& path, Mode mode, File* file) {
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case Mode::kRead:
    case Mode::kReadRegular:
      break;
    case Mode::kReadWrite:
      access |= GENERIC_WRITE;
      break;
    case Mode::kCreateTruncate:
      // OPEN_ALWAYS and then a length of 0 rather than CREATE_ALWAYS, which
      // would also reset the attributes and refuse a hidden file.
      access |= GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
      break;
    case Mode::kCreateNew:
      access |= GENERIC_WRITE;
      disposition = CREATE_NEW;  // fails with ERROR_FILE_EXISTS for anything there
      break;
  }
  // A directory opens only with FILE_FLAG_BACKUP_SEMANTICS: given for
  // kReadRegular, so that one is refused below as not a regular file.
  DWORD flags = mode == Mode::kReadRegular ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL;
  ScopedHandle handle(::CreateFileW(Utf16Path(path).c_str(), access, kShareAll, nullptr,
                                    disposition, flags, nullptr));
  if (!handle.valid()) return LastErrorStatus("cannot open " + path);
  if (mode == Mode::kReadRegular) {
    // A directory, pipe, console or other device: refused before any read
    // could wait.
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status::Error(ErrorKind::kOther, ERROR_INVALID_FUNCTION, "not a regular file",
                           "cannot open " + path + ": not a regular file");
    }
  }
  if (mode == Mode::kCreateTruncate && !::SetEndOfFile(handle.get())) {
    return LastErrorStatus("cannot empty " + path);
  }
  *file = File();
  file->handle_ = reinterpret_cast<std::intptr_t>(handle.release());
  file->path_ = path;
  return Status::Ok();
}

// A byte-range lock cannot be taken on a directory, and a companion lock
// file would create something. The lock is a named mutex in this session's
// namespace, named by the directory's identity (volume serial number and
// file index, so every spelling of the path meets the same lock), and held
// by existing: created while no other process has it, refused
// (ERROR_ALREADY_EXISTS) while one does, when the waiter looks again a little
// later. Mutex ownership is not used, because it belongs to a thread and
// would outlive a holder closed on another thread. The mutex goes with the
// holder's handle, or with the process however it ends.
Status File::LockDirectory(const std::string& path, File* holder) {
  ScopedHandle directory(
      OpenForAttributes(Utf16Path(path.empty() ? "." : path), FILE_READ_ATTRIBUTES, false));
  if (!directory.valid()) return LastErrorStatus("cannot open " + path);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(directory.get(), &info)) {
    return LastErrorStatus("cannot read " + path);
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return Status::Error(ErrorKind::kOther, ERROR_DIRECTORY, "not a directory",
                         "cannot lock " + path + ": not a directory");
  }
  uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  wchar_t name[80];
  std::swprintf(name, sizeof name / sizeof name[0], L"Local\\quorvalmist-directory-%08lx-%016llx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long long>(index));
  for (DWORD pause = 1;; pause = std::min<DWORD>(pause * 2, 50)) {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) return LastErrorStatus("cannot lock " + path);
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      *holder = File();
      holder->handle_ = reinterpret_cast<std::intptr_t>(mutex);
      holder->path_ = path;
      return Status::Ok();
    }
    ::CloseHandle(mutex);
    ::Sleep(pause);
  }
}

Status File::ReadAt(uint64_t offset, char* buffer, size_t length, size_t* read) {
  size_t done = 0;
  while (done < length) {
    // A positioned read on a synchronous handle: it also moves the file
    // pointer, which only Read uses.
    OVERLAPPED at = At(offset + done);
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(length - done, kMaxTransfer));
    if (!::ReadFile(AsHandle(handle_), buffer + done, want, &n, &at)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) break;  // the offset is at or past the end
      *read = done;
      return LastErrorStatus("cannot read " + path_, error);
    }
    if (n == 0) break;
    done += n;
  }
  *read = done;
  return Status::Ok();
}

Status File::Read(char* buffer, size_t length, size_t* read) {
  size_t done = 0;
  while (done < length) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(length - done, kMaxTransfer));
    if (!::ReadFile(AsHandle(handle_), buffer + done, want, &n, nullptr)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
      *read = done;
      return LastErrorStatus("cannot read " + path_, error);
    }
    if (n == 0) break;
    done += n;
  }
  *read = done;
  return Status::Ok();
}

Status File::WriteAt(uint64_t offset, const char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    OVERLAPPED at = At(offset + done);
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min(length - done, kMaxTransfer));
    if (!::WriteFile(AsHandle(handle_), buffer + done, want, &n, &at)) {
      return LastErrorStatus("cannot write " + path_);
    }
    if (n == 0) return LastErrorStatus("cannot write " + path_, ERROR_WRITE_FAULT);
    done += n;
  }
  return Status::Ok();
}

// Windows has no copy of a range between two open files inside the kernel
// (CopyFileExW copies whole files by name): through a buffer.
Status File::CopyRangeFrom(File& source, uint64_t offset, uint64_t length, uint64_t* copied) {
  return CopyRangeThroughBuffer(source, *this, offset, length, copied);
}

std::optional<PathInfo> File::Stat() const { return InfoOfHandle(AsHandle(handle_)); }

Status File::Truncate(uint64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFilePointerEx(AsHandle(handle_), position, nullptr, FILE_BEGIN) ||
      !::SetEndOfFile(AsHandle(handle_))) {
    return LastErrorStatus("cannot set the length of " + path_);
  }
  return Status::Ok();
}

// The access pattern is a flag of CreateFileW (FILE_FLAG_SEQUENTIAL_SCAN) and
// cannot be given to an open handle; the cache manager's read-ahead detects a
// sequential reader by itself.
void File::AdviseSequential() {}

// No call asks the cache to read a file range ahead (PrefetchVirtualMemory
// is for mapped views); the read-ahead of sequential reads does the work.
void File::AdviseWillNeed(uint64_t, uint64_t) {}

Status File::Close() {
  if (handle_ == kNoHandle) return Status::Ok();
  HANDLE handle = AsHandle(handle_);
  handle_ = kNoHandle;
  if (!::CloseHandle(handle)) return LastErrorStatus("cannot close " + path_);
  return Status::Ok();
}

}  // namespace quorvalmist
