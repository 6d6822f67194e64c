// UTF-8 with surrogate escape. Written by hand: neither iconv nor the C++
// library offers a decoder that maps invalid bytes to U+DC80..U+DCFF and back,
// which is what makes every Linux file name round-trip byte for byte.
#include <cstdint>

#include "platform/text.h"
#include "platform/utf8.h"

namespace quorvalmist {

const wchar_t kPathSeparator = L'/';

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

// Paths are bytes here, as the narrow text is.
std::filesystem::path FileSystemPath(const std::string& text) { return text; }
std::string PathText(const std::filesystem::path& path) { return path.native(); }

namespace {

constexpr char32_t kEscapeBase = 0xDC00;

}  // namespace

std::wstring NarrowToWide(std::string_view narrow) {
  std::wstring wide;
  wide.reserve(narrow.size());
  const auto* p = reinterpret_cast<const unsigned char*>(narrow.data());
  size_t left = narrow.size();
  while (left > 0) {
    char32_t cp = 0;
    size_t len = DecodeUtf8(p, left, false, &cp);
    if (len == 0) {
      wide.push_back(static_cast<wchar_t>(kEscapeBase + p[0]));
      len = 1;
    } else {
      wide.push_back(static_cast<wchar_t>(cp));
    }
    p += len;
    left -= len;
  }
  return wide;
}

std::string WideToNarrow(std::wstring_view wide) {
  std::string narrow;
  narrow.reserve(wide.size());
  for (wchar_t wc : wide) {
    auto cp = static_cast<char32_t>(static_cast<uint32_t>(wc));
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      narrow.push_back(static_cast<char>(cp - kEscapeBase));
    } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      narrow.push_back('?');
    } else {
      AppendUtf8(cp, &narrow);
    }
  }
  return narrow;
}

}  // namespace quorvalmist
