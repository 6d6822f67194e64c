// The marker name logic every platform shares: how a marker's name becomes
// a name the system takes.
#include <cstdint>
#include <string>

#include "platform/marker.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// The longest escaped name used as it is.
constexpr size_t kMaxPlainName = 200;

}  // namespace

std::string MarkerFileName(const std::wstring& name) {
  std::string bytes = WideToNarrow(name);
  std::string escaped = "m-";
  static const char kDigits[] = "0123456789ABCDEF";
  for (unsigned char c : bytes) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.';
    if (plain) {
      escaped.push_back(static_cast<char>(c));
    } else {
      escaped.push_back('%');
      escaped.push_back(kDigits[c >> 4]);
      escaped.push_back(kDigits[c & 0xF]);
    }
  }
  if (escaped.size() <= kMaxPlainName) return escaped;
  // Too long for a file name: a prefix for the eye and 128 bits of hash for
  // distinctness. '~' never appears in an escaped name, so no plain name can
  // equal a hashed one.
  return escaped.substr(0, 150) + "~" + Hex64(Fnv1a64(bytes)) +
         Hex64(Fnv1a64(bytes, 0x9E3779B97F4A7C15ULL));
}

}  // namespace quorvalmist
