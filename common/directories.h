// Directories of a target path: made with their ancestors, and made durable.
// The copier makes the folders of a file it copies; the core makes those of a
// symbolic link it copies.
#ifndef QUORVALMIST_COMMON_DIRECTORIES_H_
#define QUORVALMIST_COMMON_DIRECTORIES_H_

#include <string>

#include "platform/status.h"

namespace quorvalmist {

// True when `path` (links followed) names a directory.
bool IsDirectory(const std::wstring& path);

// Creates the directory `path` and every missing ancestor, parents first.
// One trailing separator is ignored. Returns at once when anything (file or
// directory) exists under `path`; the ascent ends at the empty text (the
// root or the current directory). Reports the first creation that fails,
// unless the directory appeared meanwhile (another process made it).
Status CreateDirectoryTree(std::wstring path);

// Makes the directories that CreateDirectoryTree made for `directory` durable:
// the parent of each one created since `existing` (its nearest ancestor that
// existed before) is synced, deepest first.
Status SyncCreatedDirectories(const std::wstring& directory, const std::wstring& existing);

// The nearest of `directory` and its ancestors that exists ("" when none).
std::wstring NearestExistingAncestor(std::wstring directory);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_DIRECTORIES_H_
