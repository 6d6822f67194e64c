// Fuzz target: the wide/narrow conversion must give back any byte string
// exactly, and any wide text made of valid characters exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::wstring wide = quorvalmist::NarrowToWide(bytes);
  if (quorvalmist::WideToNarrow(wide) != bytes) std::abort();
  // Read the same bytes as wide characters: valid ones must round-trip.
  std::wstring chars;
  for (size_t i = 0; i + 4 <= size; i += 4) {
    uint32_t v = static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
                 static_cast<uint32_t>(data[i + 2]) << 16;
    v %= 0x110000;
    if (v >= 0xD800 && v <= 0xDFFF) continue;
    chars.push_back(static_cast<wchar_t>(v));
  }
  if (quorvalmist::NarrowToWide(quorvalmist::WideToNarrow(chars)) != chars) std::abort();
  return 0;
}
