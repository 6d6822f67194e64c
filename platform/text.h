// Conversion between the wide text used throughout the programs and the narrow
// text of the file system, the console and the configuration files.
#ifndef QUORVALMIST_PLATFORM_TEXT_H_
#define QUORVALMIST_PLATFORM_TEXT_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvalmist {

// The native path separator ('/' on POSIX, '\\' on Windows).
extern const wchar_t kPathSeparator;
// True for a character that separates path components: the native separator,
// and on Windows '/' as well, which its file functions take alike.
bool IsPathSeparator(wchar_t c);
inline bool IsPathSeparator(char c) { return IsPathSeparator(static_cast<wchar_t>(c)); }
// Where the last component of `path` starts: just after its last separator;
// 0 when it has none.
size_t LastComponentStart(std::wstring_view path);
size_t LastComponentStart(std::string_view path);

// Narrow (file-system encoding, UTF-8 here) to wide. Never fails: a byte that
// is not part of a valid UTF-8 sequence becomes U+DC80..U+DCFF ("surrogate
// escape"), so that NarrowToWide followed by WideToNarrow gives back the exact
// bytes of any file name.
std::wstring NarrowToWide(std::string_view narrow);

// Wide to narrow. U+DC80..U+DCFF turn back into the single bytes they stand
// for; other characters are encoded as UTF-8. A lone surrogate other than
// those, or a value beyond U+10FFFF, becomes '?'. On Windows, where wide text
// is UTF-16 and names are 16-bit units that need not pair up, every lone
// surrogate (U+DC80..U+DCFF included) is written in its three-byte form
// instead and NarrowToWide reads it back, so that WideToNarrow followed by
// NarrowToWide gives back any Windows name unit for unit.
std::string WideToNarrow(std::wstring_view wide);

// A path in the file system's narrow text as std::filesystem holds it, and
// back. Use these rather than the library's own conversions, which on Windows
// read and write narrow text in the ANSI code page, not UTF-8.
std::filesystem::path FileSystemPath(const std::string& text);
std::string PathText(const std::filesystem::path& path);

// ASCII-only case folding comparison, as the design compares "run", "dir" and
// "files" and as profile section and key names are matched.
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

// ASCII-only lower-casing, the folding EqualsIgnoringCase compares by.
wchar_t LowerAscii(wchar_t c);
std::wstring LowerAscii(std::wstring_view text);

// `text` without the blanks (`blanks`) at its start and end.
std::wstring_view TrimBlanks(std::wstring_view text, std::wstring_view blanks = L" \t\r\n");

// The bytes as lower-case hex digits, two a byte.
std::string HexDigits(const void* bytes, size_t size);
// The 16 hex digits of `value`, most significant first.
std::string Hex64(uint64_t value);

// The 64-bit FNV-1a hash of `bytes`, from `seed` (the standard offset basis
// by default): stable across runs, builds and machines, for names derived
// from other names. Not for security.
inline constexpr uint64_t kFnvOffsetBasis = 14695981039346656037ULL;
uint64_t Fnv1a64(std::string_view bytes, uint64_t seed = kFnvOffsetBasis);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_TEXT_H_
