#include "platform/text.h"

namespace quorvalmist {

wchar_t LowerAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring LowerAscii(std::wstring_view text) {
  std::wstring lower(text);
  for (wchar_t& c : lower) c = LowerAscii(c);
  return lower;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::wstring_view TrimBlanks(std::wstring_view text, std::wstring_view blanks) {
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::wstring_view::npos) return {};
  size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

std::string HexDigits(const void* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[p[i] >> 4];
    hex += kDigits[p[i] & 0xF];
  }
  return hex;
}

std::string Hex64(uint64_t value) {
  unsigned char bytes[8];
  for (int i = 7; i >= 0; --i, value >>= 8) bytes[i] = static_cast<unsigned char>(value & 0xFF);
  return HexDigits(bytes, sizeof bytes);
}

uint64_t Fnv1a64(std::string_view bytes, uint64_t seed) {
  uint64_t h = seed;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

namespace {

template <typename Text>
size_t ComponentStart(Text path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return i;
  }
  return 0;
}

}  // namespace

size_t LastComponentStart(std::wstring_view path) { return ComponentStart(path); }
size_t LastComponentStart(std::string_view path) { return ComponentStart(path); }

}  // namespace quorvalmist
