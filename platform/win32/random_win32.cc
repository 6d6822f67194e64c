// <bcrypt.h> needs the types of <windows.h>, which win32_util.h includes.
// clang-format off
#include "platform/win32/win32_util.h"
#include <bcrypt.h>
// clang-format on

#include <algorithm>

#include "platform/random.h"

namespace quorvalmist {

bool FillRandom(unsigned char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    // BCryptGenRandom takes a 32-bit length.
    auto n = static_cast<ULONG>(std::min<size_t>(length - done, 1u << 30));
    if (!BCRYPT_SUCCESS(
            ::BCryptGenRandom(nullptr, buffer + done, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace quorvalmist
