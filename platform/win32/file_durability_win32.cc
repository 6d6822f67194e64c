// Durability, cache control, attributes, links and tags of files: the parts
// of platform/file.h that keep a copy faithful to its source and to the disk.
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

namespace {

// The attribute a copy takes from its source: read-only, which stands for
// the permission bits POSIX copies. Hidden and system describe where a file
// sits, not what it holds, and stay as the target has them.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY;

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Sets the access and write times (when given) and the attribute word (when
// not 0) of an open file; anything not given stays.
bool SetBasicInfo(HANDLE file, const FILETIME* access, const FILETIME* write, DWORD attributes) {
  FILE_BASIC_INFO info = {};
  if (access)
    info.LastAccessTime.QuadPart =
        (static_cast<LONGLONG>(access->dwHighDateTime) << 32) | access->dwLowDateTime;
  if (write)
    info.LastWriteTime.QuadPart =
        (static_cast<LONGLONG>(write->dwHighDateTime) << 32) | write->dwLowDateTime;
  info.FileAttributes = attributes;
  return ::SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != 0;
}

// The target's attribute word with the source's copied attributes; 0 (keep
// as is) for a directory, whose read-only bit means something else.
DWORD CopiedAttributes(DWORD source, DWORD target) {
  if ((target & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
  DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                   FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;
  DWORD result = ((target & ~kCopiedAttributes) | (source & kCopiedAttributes)) & settable;
  return result == 0 ? FILE_ATTRIBUTE_NORMAL : result;
}

// The times and attributes of `path`, links followed or not.
Status ReadInfo(const std::string& path, bool open_link, BY_HANDLE_FILE_INFORMATION* info) {
  ScopedHandle file(OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES, open_link));
  if (!file.valid() || !::GetFileInformationByHandle(file.get(), info)) {
    return LastErrorStatus("cannot read " + path);
  }
  return Status::Ok();
}

// Gives the open `target` the times of `source` and, when `attributes`, its
// read-only attribute.
Status TakeInfo(HANDLE target, const std::string& target_path,
                const BY_HANDLE_FILE_INFORMATION& source, bool attributes) {
  DWORD word = 0;
  if (attributes) {
    BY_HANDLE_FILE_INFORMATION now;
    if (!::GetFileInformationByHandle(target, &now)) {
      return LastErrorStatus("cannot read " + target_path);
    }
    word = CopiedAttributes(source.dwFileAttributes, now.dwFileAttributes);
  }
  if (!SetBasicInfo(target, &source.ftLastAccessTime, &source.ftLastWriteTime, word)) {
    return LastErrorStatus("cannot set the times of " + target_path);
  }
  return Status::Ok();
}

// Flushes what `path` names: FlushFileBuffers needs a handle with write
// access, a directory's as well.
Status FlushPath(const std::string& path, DWORD flags, bool* opened) {
  ScopedHandle file(::CreateFileW(Utf16Path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr));
  *opened = file.valid();
  if (!file.valid()) return LastErrorStatus("cannot open " + path);
  if (!::FlushFileBuffers(file.get()))
    return LastErrorStatus("cannot write " + path + " to the disk");
  return Status::Ok();
}

// The stream "<path>:<name>" that holds a tag, or empty for a name that
// cannot be a stream's.
std::wstring TagStream(const std::string& path, const std::string& name) {
  if (name.empty() || name.find_first_of(":\\/") != std::string::npos) return std::wstring();
  return Utf16Path(path) + L":" + Utf16Path(name);
}

Status BadTagName(const std::string& path, const std::string& name) {
  return Status::Error(ErrorKind::kOther, ERROR_INVALID_NAME, "not a tag name",
                       "cannot tag " + path + ": \"" + name + "\" is not a tag name");
}

// Tags are alternate data streams, which travel with the file through
// renames. A file system without named streams (FAT, and Wine's view of a
// Unix file system) would take "<path>:<name>" for another file's name, or
// refuse it: ask the volume first.
Status CheckStreams(const std::string& path) {
  ScopedHandle file(OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES, true));
  if (!file.valid()) return LastErrorStatus("cannot tag " + path);
  DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW(file.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr,
                                       0)) {
    return LastErrorStatus("cannot tag " + path);
  }
  if ((flags & FILE_NAMED_STREAMS) == 0) {
    return Status::Error(ErrorKind::kUnsupported, ERROR_NOT_SUPPORTED,
                         "the file system keeps no named streams",
                         "cannot tag " + path + ": the file system keeps no named streams");
  }
  return Status::Ok();
}

// The reparse data of a symbolic link or junction, as FSCTL_GET_REPARSE_POINT
// gives it (REPARSE_DATA_BUFFER of the driver kit, which MinGW's user-mode
// headers do not declare in full).
struct LinkReparseHeader {
  ULONG tag;
  USHORT data_length;
  USHORT reserved;
  USHORT substitute_offset;
  USHORT substitute_length;
  USHORT print_offset;
  USHORT print_length;
};
constexpr ULONG kSymlinkRelative = 1;  // SYMLINK_FLAG_RELATIVE

}  // namespace

// Some file systems (and Wine) refuse to open or flush a directory: the
// entries are then as durable as the file system makes them, and there is
// nothing more a program can ask for. NTFS journals its directory changes.
Status SyncDirectory(const std::string& path) {
  bool opened = false;
  Status s = FlushPath(path.empty() ? "." : path, FILE_FLAG_BACKUP_SEMANTICS, &opened);
  if (s.ok()) return s;
  if (s.kind() == ErrorKind::kAccessDenied || s.kind() == ErrorKind::kUnsupported ||
      s.code() == ERROR_INVALID_PARAMETER) {
    return Status::Ok();
  }
  return s;
}

Status SyncFilePath(const std::string& path, bool may_be_missing) {
  bool opened = false;
  Status s = FlushPath(path, FILE_ATTRIBUTE_NORMAL, &opened);
  if (!s.ok() && !opened && may_be_missing && s.kind() == ErrorKind::kNotFound) return Status::Ok();
  return s;
}

// Giving a file away needs SeRestorePrivilege and the owner's SID, which a
// copy by name does not have: owners are never kept.
bool CanKeepOwners() { return false; }

Status AllowOwnerWrite(const std::string& path) {
  ScopedHandle file(
      OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, false));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info)) {
    return LastErrorStatus("cannot read " + path);
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return Status::Ok();
  DWORD word = info.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (!SetBasicInfo(file.get(), nullptr, nullptr, word == 0 ? FILE_ATTRIBUTE_NORMAL : word)) {
    return LastErrorStatus("cannot clear the read-only attribute of " + path);
  }
  return Status::Ok();
}

Status CopyPathAttributes(const std::string& source, const std::string& target, bool) {
  BY_HANDLE_FILE_INFORMATION info;
  Status s = ReadInfo(source, false, &info);
  if (!s.ok()) return s;
  ScopedHandle file(
      OpenForAttributes(Utf16Path(target), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, true));
  if (!file.valid()) return LastErrorStatus("cannot open " + target);
  return TakeInfo(file.get(), target, info, true);
}

Status SetFileTag(const std::string& path, const std::string& name, const std::string& value) {
  std::wstring stream = TagStream(path, name);
  if (stream.empty()) return BadTagName(path, name);
  Status s = CheckStreams(path);
  if (!s.ok()) return s;
  ScopedHandle file(::CreateFileW(stream.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return LastErrorStatus("cannot tag " + path);
  DWORD n = 0;
  if (!::WriteFile(file.get(), value.data(), static_cast<DWORD>(value.size()), &n, nullptr) ||
      n != value.size()) {
    return LastErrorStatus("cannot tag " + path);
  }
  return Status::Ok();
}

std::optional<std::string> ReadFileTag(const std::string& path, const std::string& name) {
  std::wstring stream = TagStream(path, name);
  if (stream.empty() || !CheckStreams(path).ok()) return std::nullopt;
  ScopedHandle file(::CreateFileW(stream.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return std::nullopt;
  char buffer[1024];  // a tag holds at most this much, as the POSIX side reads
  DWORD n = 0;
  if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) return std::nullopt;
  return std::string(buffer, n);
}

Status RemoveFileTag(const std::string& path, const std::string& name) {
  std::wstring stream = TagStream(path, name);
  if (stream.empty()) return BadTagName(path, name);
  if (!::DeleteFileW(stream.c_str())) {
    DWORD error = ::GetLastError();
    if (IsMissing(error)) return Status::Ok();
    Status s = CheckStreams(path);
    if (!s.ok()) return s;
    return LastErrorStatus("cannot untag " + path, error);
  }
  return Status::Ok();
}

bool TagsUnsupported(const Status& status) { return status.kind() == ErrorKind::kUnsupported; }

Status ReadSymbolicLink(const std::string& path, std::string* text) {
  ScopedHandle link(OpenForAttributes(Utf16Path(path), FILE_READ_ATTRIBUTES, true));
  if (!link.valid()) return LastErrorStatus("cannot read the link " + path);
  std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD n = 0;
  if (!::DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &n, nullptr)) {
    return LastErrorStatus("cannot read the link " + path);
  }
  LinkReparseHeader header;
  if (n < sizeof header) return LastErrorStatus("cannot read the link " + path, ERROR_INVALID_DATA);
  std::memcpy(&header, buffer.data(), sizeof header);
  size_t names = sizeof header;  // a junction's names follow the header
  ULONG flags = 0;
  if (header.tag == IO_REPARSE_TAG_SYMLINK) {
    std::memcpy(&flags, buffer.data() + sizeof header, sizeof flags);
    names += sizeof flags;
  } else if (header.tag != IO_REPARSE_TAG_MOUNT_POINT) {
    return LastErrorStatus("cannot read the link " + path, ERROR_NOT_A_REPARSE_POINT);
  }
  // The print name is the text as written; the substitute name, which
  // carries the "\??\" prefix of an absolute target, serves when it is empty.
  bool use_print = header.print_length > 0;
  size_t offset = names + (use_print ? header.print_offset : header.substitute_offset);
  size_t length = use_print ? header.print_length : header.substitute_length;
  if (offset + length > n)
    return LastErrorStatus("cannot read the link " + path, ERROR_INVALID_DATA);
  std::wstring target(length / sizeof(wchar_t), L'\0');
  std::memcpy(target.data(), buffer.data() + offset, length);
  if (!use_print && (flags & kSymlinkRelative) == 0 && target.rfind(L"\\??\\", 0) == 0) {
    target.erase(0, 4);
  }
  *text = WideToNarrow(target);
  return Status::Ok();
}

Status MakeSymbolicLink(const std::string& text, const std::string& path) {
  // Windows resolves link text with backslashes only.
  std::wstring target = Utf16Path(text);
  for (wchar_t& c : target) {
    if (c == L'/') c = L'\\';
  }
  // A link to a directory is made as one: the system follows it as such.
  std::wstring link = Utf16Path(path);
  bool absolute = (target.size() >= 2 && target[1] == L':') || target.rfind(L"\\", 0) == 0;
  std::wstring resolved = target;
  if (!absolute) {
    size_t slash = link.find_last_of(L"\\/");
    resolved = (slash == std::wstring::npos ? std::wstring() : link.substr(0, slash + 1)) + target;
  }
  DWORD attributes = ::GetFileAttributesW(resolved.c_str());
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  }
  bool made = ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags);
  DWORD error = made ? ERROR_SUCCESS : ::GetLastError();
  // Systems before developer mode existed refuse the unprivileged flag.
  if (!made && error == ERROR_INVALID_PARAMETER) {
    made = ::CreateSymbolicLinkW(
        link.c_str(), target.c_str(),
        flags & ~static_cast<DWORD>(SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE));
    if (!made) error = ::GetLastError();
  }
  if (!made) return LastErrorStatus("cannot make the link " + path, error);
  // Some implementations (Wine's, for one) report success and make nothing:
  // a link that is not there was not made.
  if (!IsSymbolicLinkPath(path)) {
    return Status::Error(ErrorKind::kUnsupported, ERROR_NOT_SUPPORTED,
                         "the system made no symbolic link",
                         "cannot make the link " + path + ": the system made no symbolic link");
  }
  return Status::Ok();
}

bool IsSymbolicLinkPath(const std::string& path) {
  WIN32_FIND_DATAW data;
  return FindEntry(Utf16Path(path), &data) &&
         IsNameSurrogate(data.dwFileAttributes, data.dwReserved0);
}

Status CopyLinkAttributes(const std::string& source, const std::string& target, bool) {
  BY_HANDLE_FILE_INFORMATION info;
  Status s = ReadInfo(source, true, &info);
  if (!s.ok()) return s;
  ScopedHandle link(
      OpenForAttributes(Utf16Path(target), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, true));
  if (!link.valid()) return LastErrorStatus("cannot open " + target);
  return TakeInfo(link.get(), target, info, false);
}

// Holes are not looked for (FSCTL_QUERY_ALLOCATED_RANGES would find them on
// NTFS, but a sparse target needs FSCTL_SET_SPARSE first): every byte is
// copied, a source's holes as the zeros they read as, which is what the
// contract asks where holes cannot be made.
Status File::CopyDataRangeFrom(File& source, uint64_t offset, uint64_t length, bool,
                               uint64_t* copied) {
  return CopyRangeFrom(source, offset, length, copied);
}

Status File::SyncData() {
  if (::FlushFileBuffers(AsHandle(handle_))) return Status::Ok();
  DWORD error = ::GetLastError();
  // Windows flushes only through a handle that may write; a file opened to be
  // read (as before a read-back from the device) is flushed by its path.
  if (error == ERROR_ACCESS_DENIED) return SyncFilePath(path_, false);
  return LastErrorStatus("cannot write " + path_ + " to the disk", error);
}

// Windows offers no call that starts writing a range back without waiting
// for it; the lazy writer starts soon by itself, and SyncData waits.
void File::StartWriteBack(uint64_t, uint64_t) {}

// Windows drops a file's cached pages only when the last handle that uses
// the cache is closed and memory is wanted, or for a handle opened with
// FILE_FLAG_NO_BUFFERING: there is no call for an open file. Nothing to do.
void File::DropCachedPages() {}

Status File::TakeAttributesOf(const std::string& source, bool, AttributesKept* kept) {
  if (kept != nullptr) *kept = AttributesKept();
  BY_HANDLE_FILE_INFORMATION info;
  Status s = ReadInfo(source, false, &info);
  if (!s.ok()) return s;
  return TakeInfo(AsHandle(handle_), path_, info, true);
}

}  // namespace quorvalmist
