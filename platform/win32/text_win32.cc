// UTF-8 on the narrow side, UTF-16 on the wide side, written by hand so that
// every Windows name round-trips. NTFS names are sequences of 16-bit units
// that need not be valid UTF-16: a lone surrogate is written in its three-byte
// form (as WTF-8 does) and read back as the same unit. Bytes that are not
// valid UTF-8 still read as U+DC80..U+DCFF, as on POSIX, so no input is
// refused; but a lone U+DC80..U+DCFF from a Windows name is written in its
// three-byte form too, since a single byte there could join its neighbours
// into a valid character and come back as another name.
#include <cstdint>

#include "platform/text.h"
#include "platform/utf8.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

const wchar_t kPathSeparator = L'\\';

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Paths are UTF-16 here: through the wide form, so no character is lost to
// the ANSI code page.
std::filesystem::path FileSystemPath(const std::string& text) { return NarrowToWide(text); }
std::string PathText(const std::filesystem::path& path) { return WideToNarrow(path.native()); }

namespace {

constexpr char32_t kEscapeBase = 0xDC00;

bool IsHighSurrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool IsLowSurrogate(char32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

}  // namespace

std::wstring NarrowToWide(std::string_view narrow) {
  std::wstring wide;
  wide.reserve(narrow.size());
  const auto* p = reinterpret_cast<const unsigned char*>(narrow.data());
  size_t left = narrow.size();
  while (left > 0) {
    char32_t cp = 0;
    size_t len = DecodeUtf8(p, left, true, &cp);
    if (len == 3 && IsHighSurrogate(cp)) {
      // A pair written as two three-byte forms is no name's spelling (a pair
      // is written in four bytes): its bytes read as invalid ones.
      char32_t next = 0;
      if (DecodeUtf8(p + 3, left - 3, true, &next) == 3 && IsLowSurrogate(next)) len = 0;
    }
    if (len == 0) {
      wide.push_back(static_cast<wchar_t>(kEscapeBase + p[0]));
      len = 1;
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
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
  for (size_t i = 0; i < wide.size(); ++i) {
    auto cp = static_cast<char32_t>(static_cast<uint16_t>(wide[i]));
    if (IsHighSurrogate(cp) && i + 1 < wide.size()) {
      auto low = static_cast<char32_t>(static_cast<uint16_t>(wide[i + 1]));
      if (IsLowSurrogate(low)) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    AppendUtf8(cp, &narrow);  // a lone surrogate in its three-byte form
  }
  return narrow;
}

std::wstring Utf16Path(const std::string& path) { return NarrowToWide(path); }

std::optional<std::wstring> EnvironmentValue(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();  // set and empty
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n is the room needed, its terminating null included
  }
}

}  // namespace quorvalmist
