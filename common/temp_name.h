// The name of the temporary file a copy is written to before it is renamed to
// its target. The copier writes it; the front end finds and removes leftovers.
#ifndef QUORVALMIST_COMMON_TEMP_NAME_H_
#define QUORVALMIST_COMMON_TEMP_NAME_H_

#include <cstddef>
#include <string>

namespace quorvalmist {

// Appended to the target's name to name the temporary file.
inline constexpr wchar_t kTempSuffix[] = L"_quorvalmist_temp";

// The longest name (one path component, in bytes) the usual Linux file systems
// hold.
inline constexpr size_t kMaxNameBytes = 255;

// The temporary path of `target`, derived from the target path alone, so that
// a resumed copy finds it again: the target path followed by kTempSuffix. When
// that name would pass kMaxNameBytes, the name is cut short and followed by
// "~", 16 hex digits of a hash of the whole name, and kTempSuffix, which fits;
// two long names that share their start still get different temporary names.
std::wstring TempPathFor(const std::wstring& target);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_TEMP_NAME_H_
