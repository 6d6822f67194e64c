// Helpers shared by the Win32 files of the platform layer: the one place where
// narrow paths become the UTF-16 the W functions take, and the one converter
// from GetLastError() values to Status. Internal: only platform/win32/ includes
// this header, so <windows.h> stays out of every other file.
#ifndef QUORVALMIST_PLATFORM_WIN32_WIN32_UTIL_H_
#define QUORVALMIST_PLATFORM_WIN32_WIN32_UTIL_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
// windows.h names a function of its own so; this project's (platform/profile.h)
// must keep its name in the files that include both.
#undef WriteProfileString

#include <cstdint>
#include <optional>
#include <string>

#include "platform/status.h"

namespace quorvalmist {

// A narrow (UTF-8) path as the UTF-16 the W functions take.
std::wstring Utf16Path(const std::string& path);

// Builds a failed status from a GetLastError() value: "<context>: <system's
// words>", its kind converted from the value.
Status LastErrorStatus(const std::string& context, DWORD error);
inline Status LastErrorStatus(const std::string& context) {
  return LastErrorStatus(context, ::GetLastError());
}

// The value of an environment variable of this process (the system's block,
// which children inherit), or nullopt when it is not set.
std::optional<std::wstring> EnvironmentValue(const wchar_t* name);

// Appends `argument` to a command line so that the C run-time's argument
// parser (and CommandLineToArgvW) reads it back exactly.
void AppendQuotedArgument(const std::wstring& argument, std::wstring* line);

// A kernel handle, closed on destruction. Move-only.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  // CreateFileW fails with INVALID_HANDLE_VALUE, CreateMutexW with null.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }
  void reset(HANDLE handle = nullptr) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The HANDLE behind File's opaque handle value (INVALID_HANDLE_VALUE is -1,
// File's "no file").
inline HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// True for the reparse points that name another path (symbolic links,
// directory junctions and the other name surrogates): the ones a walk must
// treat as links, not follow. Others (cloud placeholders, deduplicated files)
// are followed as the files they stand for. No real reparse point has the tag
// 0, but Wine lists a Unix symbolic link as a reparse point with that tag.
inline bool IsNameSurrogate(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (IsReparseTagNameSurrogate(reparse_tag) || reparse_tag == 0);
}

// Opens `path` for its attributes only (no data access, so no sharing
// conflict), a directory as well as a file; links followed unless
// `open_link`. Not inheritable, like every handle of this layer.
inline HANDLE OpenForAttributes(const std::wstring& path, DWORD access, bool open_link) {
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (open_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                       nullptr);
}

// The directory entry of `path` itself (links not followed), with the
// reparse tag of a reparse point in dwReserved0.
inline bool FindEntry(const std::wstring& path, WIN32_FIND_DATAW* data) {
  HANDLE find =
      ::FindFirstFileExW(path.c_str(), FindExInfoBasic, data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return false;
  ::FindClose(find);
  return true;
}

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_WIN32_WIN32_UTIL_H_
