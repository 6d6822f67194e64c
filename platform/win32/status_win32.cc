// The one converter from GetLastError() values to Status.
#include "platform/status.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

namespace {

ErrorKind KindOfLastError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ErrorKind::kNotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
      return ErrorKind::kExists;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return ErrorKind::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorKind::kNoSpace;
    case ERROR_FILE_TOO_LARGE:
      return ErrorKind::kTooLarge;
    case ERROR_INVALID_NAME:
      return ErrorKind::kNameRefused;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return ErrorKind::kTooLong;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return ErrorKind::kUnsupported;
    default:
      return ErrorKind::kOther;
  }
}

// The system's words for `error`, without the line break FormatMessageW ends
// them with; the number when the system has no words for it.
std::string LastErrorReason(DWORD error) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string reason;
  if (n > 0 && buffer != nullptr) {
    reason = WideToNarrow(TrimBlanks(std::wstring_view(buffer, n), L" \t\r\n."));
  }
  if (buffer != nullptr) ::LocalFree(buffer);
  if (reason.empty()) reason = "system error " + std::to_string(error);
  return reason;
}

}  // namespace

Status LastErrorStatus(const std::string& context, DWORD error) {
  std::string reason = LastErrorReason(error);
  // The code keeps the system's value; 0 (no error recorded) still fails.
  int code = error == 0 ? -1 : static_cast<int>(error);
  return Status::Error(KindOfLastError(error), code, reason, context + ": " + reason);
}

}  // namespace quorvalmist
