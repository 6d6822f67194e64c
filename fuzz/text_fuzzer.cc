// Fuzz target: the wide/narrow conversion must round-trip the names of the
// file system it serves. Where names are bytes (wide text is UTF-32), any
// byte string comes back exactly, and any wide text of valid characters.
// Where names are UTF-16 (Windows), any sequence of 16-bit units comes back
// exactly, lone surrogates included, and narrow text is never made of bytes
// that are not UTF-8 by the file system.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::wstring wide = quorvalmist::NarrowToWide(bytes);
  std::wstring chars;
  if constexpr (sizeof(wchar_t) == 2) {
    if (quorvalmist::NarrowToWide(quorvalmist::WideToNarrow(wide)) != wide) std::abort();
    for (size_t i = 0; i + 2 <= size; i += 2) {
      chars.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
    }
  } else {
    if (quorvalmist::WideToNarrow(wide) != bytes) std::abort();
    // Read the same bytes as wide characters: valid ones must round-trip.
    for (size_t i = 0; i + 4 <= size; i += 4) {
      uint32_t v = static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
                   static_cast<uint32_t>(data[i + 2]) << 16;
      v %= 0x110000;
      if (v >= 0xD800 && v <= 0xDFFF) continue;
      chars.push_back(static_cast<wchar_t>(v));
    }
  }
  if (quorvalmist::NarrowToWide(quorvalmist::WideToNarrow(chars)) != chars) std::abort();
  return 0;
}
