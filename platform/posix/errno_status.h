// The POSIX layer's one converter of error numbers into statuses.
#ifndef QUORVALMIST_PLATFORM_POSIX_ERRNO_STATUS_H_
#define QUORVALMIST_PLATFORM_POSIX_ERRNO_STATUS_H_

#include <string>

#include "platform/status.h"

namespace quorvalmist {

// A failed status from a POSIX error number: "<context>: <strerror>", its kind
// converted from the number.
Status ErrnoStatus(const std::string& context, int error_number);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_POSIX_ERRNO_STATUS_H_
