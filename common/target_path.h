// Path arithmetic of the directory run. Pure string functions.
#ifndef QUORVALMIST_COMMON_TARGET_PATH_H_
#define QUORVALMIST_COMMON_TARGET_PATH_H_

#include <string>

namespace quorvalmist {

// Removes trailing backslashes, then trailing slashes, then both again, and
// appends one native separator. Leading separators are left alone.
std::wstring NormalizeDirPath(const std::wstring& path);

// The target path of `file_path`: NormalizeDirPath(target_root) followed by
// `file_path` less its first length(NormalizeDirPath(source_root)) characters.
// `file_path` must have been built from `source_root` (it is not checked).
std::wstring MakeTargetPath(const std::wstring& file_path, const std::wstring& source_root,
                            const std::wstring& target_root);

// `directory`, a native separator unless it already ends with one, and `name`.
std::wstring JoinEntryPath(const std::wstring& directory, const std::wstring& name);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_TARGET_PATH_H_
