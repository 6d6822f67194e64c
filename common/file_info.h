// File size and path helpers shared by both programs.
#ifndef QUORVALMIST_COMMON_FILE_INFO_H_
#define QUORVALMIST_COMMON_FILE_INFO_H_

#include <cstdint>
#include <optional>
#include <string>

namespace quorvalmist {

// The size of the regular file at `path` (links followed), without opening
// it; nullopt when the path names nothing or something that is not a regular
// file (a directory, FIFO, socket or device), so that neither ever compares
// equal to a file, empty or not, and nothing goes on to read it.
std::optional<uint64_t> QueryFileSize(const std::wstring& path);

// True when both paths exist and lead (links followed) to the same file or
// directory: compared by identity, not by spelling, so "a/./b", "a//b", a
// relative spelling and a path through a link all count as "a/b".
bool SamePlace(const std::wstring& a, const std::wstring& b);

// The text before the last separator, without it; empty when there is none.
std::wstring ParentDirectory(const std::wstring& path);

// The directory whose entry `path` is, to be synced after the entry changed:
// its parent; the root for a name just below it; "." for a bare name.
std::wstring DirectoryHolding(const std::wstring& path);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_FILE_INFO_H_
