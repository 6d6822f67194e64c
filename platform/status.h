// The one shape in which failures of the platform layer reach their callers.
#ifndef QUORVALMIST_PLATFORM_STATUS_H_
#define QUORVALMIST_PLATFORM_STATUS_H_

#include <string>

namespace quorvalmist {

// Success, or a failure with the system's error number and a message that names
// the operation and the path involved. Each platform converts its native error
// (errno, GetLastError) into this type in exactly one function.
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(int code, std::string message) { return Status(code, std::move(message)); }

  bool ok() const { return code_ == 0 && message_.empty(); }
  int code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(int code, std::string message) : code_(code), message_(std::move(message)) {}
  int code_ = 0;
  std::string message_;
};

// Builds a failed status from a POSIX error number: "<context>: <strerror>".
// Defined by the platform implementation.
Status ErrnoStatus(const std::string& context, int error_number);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_STATUS_H_
