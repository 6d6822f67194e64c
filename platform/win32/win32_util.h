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

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_WIN32_WIN32_UTIL_H_
