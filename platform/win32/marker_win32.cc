// Markers are named mutexes, used only for their existence: a mutex object
// lives while any process has a handle to it, and the system closes a
// process's handles however it ends. Claim creates the mutex and reads "it
// existed already" as already claimed; a hold creates or opens it and keeps
// the handle; the absence test opens it, which never creates one.
//
// Names live in this session's namespace ("Local\"), as the system keeps
// them per session, so another user's session can neither take nor block
// them. A name is used as given, except that '%' and '\' are written as
// "%25" and "%5C" (a backslash would name a namespace; escaping '%' too keeps
// distinct names distinct), and a name too long for a kernel object is cut to
// a prefix followed by a hash of the whole. When $QUORVALMIST_MARKER_DIR is
// set (tests give each case its own, inherited by child processes), the
// markers take a namespace of their own from a hash of its value.
#include <mutex>
#include <optional>
#include <vector>

#include "platform/marker.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

namespace {

// Kernel object names are at most MAX_PATH characters, "Local\" included.
constexpr size_t kMaxPlainName = 200;

std::wstring MutexName(const std::wstring& name) {
  std::wstring escaped;
  escaped.reserve(name.size());
  for (wchar_t c : name) {
    if (c == L'%') {
      escaped += L"%25";
    } else if (c == L'\\') {
      escaped += L"%5C";
    } else {
      escaped.push_back(c);
    }
  }
  if (escaped.size() > kMaxPlainName) {
    // '~' ends every cut name and a hash of 128 bits keeps it distinct.
    std::string bytes = WideToNarrow(name);
    escaped = escaped.substr(0, 150) + L"~" + NarrowToWide(Hex64(Fnv1a64(bytes))) +
              NarrowToWide(Hex64(Fnv1a64(bytes, 0x9E3779B97F4A7C15ULL)));
  }
  std::wstring prefix = L"Local\\";
  // Read at every use, so that a test can set it before it starts anything.
  if (std::optional<std::wstring> env = EnvironmentValue(L"QUORVALMIST_MARKER_DIR");
      env && !env->empty()) {
    prefix += L"qv-" + NarrowToWide(Hex64(Fnv1a64(WideToNarrow(*env)))) + L"-";
  }
  return prefix + escaped;
}

// The markers this process claimed, with their handles, until released.
// Never destroyed: a claim may be released while the process exits.
struct Claimed {
  std::wstring name;
  HANDLE mutex;
};
std::mutex& ClaimedLock() {
  static NoDestructor<std::mutex> lock;
  return *lock;
}
std::vector<Claimed>& ClaimedMarkers() {
  static NoDestructor<std::vector<Claimed>> claimed;
  return *claimed;
}

Status Unsupported(const std::string& what) {
  return Status::Error(ErrorKind::kUnsupported, ERROR_NOT_SUPPORTED, "not used on Windows",
                       what + ": markers are named mutexes here, not files in a directory");
}

}  // namespace

Status CheckPrivateDirectory(const std::string& path) {
  return Unsupported("marker directory " + path);
}

Status MarkerDirectory(std::string* path) {
  path->clear();
  return Unsupported("marker directory");
}

ClaimResult ClaimMarker(const std::wstring& name, Status* status) {
  std::wstring mutex_name = MutexName(name);
  HANDLE mutex = nullptr;
  // The absence test opens the mutex for an instant, which keeps it alive
  // for that instant after its last holder let go: a claim that meets it
  // then looks again shortly, rather than report a holder that has gone.
  // A live holder is still there at the last look.
  for (int attempt = 0;; ++attempt) {
    mutex = ::CreateMutexW(nullptr, FALSE, mutex_name.c_str());
    DWORD error = ::GetLastError();
    if (mutex == nullptr) {
      // The name exists with a security descriptor that refuses us: some
      // live process holds it.
      if (error == ERROR_ACCESS_DENIED) return ClaimResult::kAlreadyClaimed;
      if (status) *status = LastErrorStatus("cannot claim marker " + WideToNarrow(name), error);
      return ClaimResult::kFailed;
    }
    if (error != ERROR_ALREADY_EXISTS) break;
    ::CloseHandle(mutex);
    if (attempt == 2) return ClaimResult::kAlreadyClaimed;
    ::Sleep(1);
  }
  std::lock_guard<std::mutex> guard(ClaimedLock());
  ClaimedMarkers().push_back({mutex_name, mutex});
  return ClaimResult::kClaimed;
}

void ReleaseMarker(const std::wstring& name) {
  std::wstring mutex_name = MutexName(name);
  std::lock_guard<std::mutex> guard(ClaimedLock());
  std::vector<Claimed>& claimed = ClaimedMarkers();
  for (size_t i = 0; i < claimed.size(); ++i) {
    if (claimed[i].name != mutex_name) continue;
    ::CloseHandle(claimed[i].mutex);
    claimed.erase(claimed.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

Status HoldMarker(const std::wstring& name) {
  // The handle is never closed: the marker is held until the process ends.
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, MutexName(name).c_str());
  if (mutex == nullptr) return LastErrorStatus("cannot hold marker " + WideToNarrow(name));
  return Status::Ok();
}

bool IsMarkerAbsent(const std::wstring& name) {
  HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, MutexName(name).c_str());
  if (mutex != nullptr) {
    ::CloseHandle(mutex);
    return false;
  }
  // Any other failure (access denied above all) means the name is there.
  return ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace quorvalmist
