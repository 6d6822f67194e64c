#include <cstring>

#include "platform/status.h"

namespace quorvalmist {

Status ErrnoStatus(const std::string& context, int error_number) {
  return Status::Error(error_number == 0 ? -1 : error_number,
                       context + ": " + std::strerror(error_number));
}

}  // namespace quorvalmist
