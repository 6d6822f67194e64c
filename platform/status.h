// The one shape in which failures of the platform layer reach their callers.
#ifndef QUORVALMIST_PLATFORM_STATUS_H_
#define QUORVALMIST_PLATFORM_STATUS_H_

#include <string>

namespace quorvalmist {

// What kind of failure a status is, the same on every platform, for callers
// that act on the kind (an existing target, a missing path, a name too long).
enum class ErrorKind {
  kNone,          // success
  kNotFound,      // the path or one of its directories is not there
  kExists,        // something is already at the path
  kAccessDenied,  // permissions refuse it
  kNoSpace,       // the disk or a quota is full
  kTooLarge,      // the file would pass the largest size the file system holds
  kTooLong,       // a name or the path is longer than the system takes
  kNameRefused,   // the file system does not allow the name (its characters, a reserved name)
  kUnsupported,   // the file system does not offer it
  kOther,
};

// Success, or a failure with its kind, the system's own error number, the
// system's words for it and a message that names the operation and the path
// involved. Each platform converts its native error (errno, GetLastError)
// into this type in exactly one function.
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  // A failure of this program's own (no system error behind it): kind kOther.
  static Status Error(int code, std::string message) {
    return Status(ErrorKind::kOther, code, message, message);
  }
  static Status Error(ErrorKind kind, int code, std::string reason, std::string message) {
    return Status(kind, code, std::move(reason), std::move(message));
  }

  bool ok() const { return kind_ == ErrorKind::kNone; }
  ErrorKind kind() const { return kind_; }
  int code() const { return code_; }
  // The system's words for the failure, without the operation and path.
  const std::string& reason() const { return reason_; }
  const std::string& message() const { return message_; }

 private:
  Status(ErrorKind kind, int code, std::string reason, std::string message)
      : kind_(kind), code_(code), reason_(std::move(reason)), message_(std::move(message)) {}
  ErrorKind kind_ = ErrorKind::kNone;
  int code_ = 0;
  std::string reason_;
  std::string message_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_STATUS_H_
