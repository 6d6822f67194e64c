// UTF-8 with surrogate escape. Written by hand: neither iconv nor the C++
// library offers a decoder that maps invalid bytes to U+DC80..U+DCFF and back,
// which is what makes every Linux file name round-trip byte for byte.
#include <cstdint>

#include "platform/text.h"

namespace quorvalmist {

const wchar_t kPathSeparator = L'/';

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

// Paths are bytes here, as the narrow text is.
std::filesystem::path FileSystemPath(const std::string& text) { return text; }
std::string PathText(const std::filesystem::path& path) { return path.native(); }

namespace {

constexpr char32_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when the bytes there
// do not start one (overlong forms, surrogates and values above U+10FFFF are
// invalid, as in a strict decoder).
size_t ValidSequenceLength(const unsigned char* p, size_t left, char32_t* out) {
  unsigned char b0 = p[0];
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  size_t len;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
  if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  *out = cp;
  return len;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::wstring NarrowToWide(std::string_view narrow) {
  std::wstring wide;
  wide.reserve(narrow.size());
  const auto* p = reinterpret_cast<const unsigned char*>(narrow.data());
  size_t left = narrow.size();
  while (left > 0) {
    char32_t cp = 0;
    size_t len = ValidSequenceLength(p, left, &cp);
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
