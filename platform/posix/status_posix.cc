#include <cerrno>
#include <cstring>

#include "platform/posix/errno_status.h"
#include "platform/status.h"

namespace quorvalmist {

namespace {

ErrorKind KindOf(int error_number) {
  switch (error_number) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case EEXIST:
    case ENOTEMPTY:
      return ErrorKind::kExists;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorKind::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return ErrorKind::kNoSpace;
    case EFBIG:
      return ErrorKind::kTooLarge;
    case ENAMETOOLONG:
      return ErrorKind::kTooLong;
    case ENOTSUP:
      return ErrorKind::kUnsupported;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

Status ErrnoStatus(const std::string& context, int error_number) {
  std::string reason = std::strerror(error_number);
  return Status::Error(KindOf(error_number), error_number == 0 ? -1 : error_number, reason,
                       context + ": " + reason);
}

}  // namespace quorvalmist
