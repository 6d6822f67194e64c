// The profile functions over the shared INI text, not the system's
// GetPrivateProfileStringW: that one rewrites a file in place, so a reader in
// another process may see it half written, and two writers may lose each
// other's updates. Here a read takes the whole file at once and a write
// replaces the whole file, under a lock on "<path>.lock".
#include <algorithm>

#include "platform/profile_file.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

namespace {

// Reads the whole file; false when it cannot be opened or read. *error is the
// failure's GetLastError() value. Readers share the file fully, so that a
// writer may replace it while it is open here.
bool ReadWholeFile(const std::wstring& path, std::string* bytes, DWORD* error) {
  ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    *error = ::GetLastError();
    return false;
  }
  bytes->clear();
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
      *error = ::GetLastError();
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, n);
  }
  return true;
}

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Holds an exclusive lock on "<path>.lock" for its lifetime. The lock goes
// with the handle, also when the process ends without closing it.
class WriterLock {
 public:
  explicit WriterLock(const std::wstring& path)
      : file_(::CreateFileW((path + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file_.valid()) return;
    OVERLAPPED at = {};
    if (!::LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
      file_.reset();
    }
  }
  bool held() const { return file_.valid(); }

 private:
  ScopedHandle file_;
};

bool WriteAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(file, bytes.data() + done, want, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

// Replaces the file's content atomically: the new text goes to "<path>.new"
// in the same directory (a fixed name: writers hold the lock, and a leftover
// of a killed writer is simply emptied), which is then moved over the old
// file. A reader opens either the old or the new file, never a half-written
// one. A reader that has the old file open can make the move fail for a
// moment (sharing violation, or access denied while the old file is still
// open on older systems): the move is tried again a few times.
bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes) {
  std::wstring temp = path + L".new";
  {
    ScopedHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    bool ok = WriteAll(file.get(), bytes);
    if (!::CloseHandle(file.release())) ok = false;
    if (!ok) {
      ::DeleteFileW(temp.c_str());
      return false;
    }
  }
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(temp.c_str(), path.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    DWORD error = ::GetLastError();
    bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                error == ERROR_LOCK_VIOLATION;
    if (!busy || attempt >= 20) break;
    ::Sleep(attempt < 5 ? 1 : 10);
  }
  ::DeleteFileW(temp.c_str());
  return false;
}

}  // namespace

ProfileRead ReadProfileFile(const std::wstring& path, std::string* bytes) {
  DWORD error = 0;
  if (ReadWholeFile(path, bytes, &error)) return ProfileRead::kRead;
  return IsMissing(error) ? ProfileRead::kMissing : ProfileRead::kFailed;
}

bool EditProfileFile(const std::wstring& path, const std::function<bool(std::string*)>& edit) {
  // Wide paths go straight to the W functions: on Windows they are the
  // system's own spelling of the name.
  WriterLock lock(path);
  if (!lock.held()) return false;  // e.g. the directory is missing: the write is lost
  std::string bytes;
  DWORD error = 0;
  if (!ReadWholeFile(path, &bytes, &error)) {
    if (!IsMissing(error)) return false;  // there but unreadable: keep it
    bytes.clear();
  }
  if (!edit(&bytes)) return true;
  return ReplaceWholeFile(path, bytes);
}

}  // namespace quorvalmist
