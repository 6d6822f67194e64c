#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace quorvalmist {

bool FillRandom(unsigned char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = getrandom(buffer + done, length - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace quorvalmist
