// INI profile files, with the behaviour the configuration store relies on.
//
// Section and key names are matched ignoring (ASCII) case, the first match
// wins. Files are UTF-8 on disk; lines that a write does not touch stay as they
// were. A reader sees a key's old or new value, never a half-written file: a
// write goes to a temporary file in the same directory and is renamed over the
// old one. Writers hold an exclusive lock on the companion file "<path>.lock"
// for the whole read-modify-write, so two writers never lose each other's
// updates. A write into a missing directory is silently lost.
#ifndef QUORVALMIST_PLATFORM_PROFILE_H_
#define QUORVALMIST_PLATFORM_PROFILE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorvalmist {

// Returns the value of `key` in `section` of the file at `path`, or
// `default_value` when the file, the section or the key is missing. A key
// present with an empty value yields the empty text. The result holds at most
// `capacity` - 1 characters, as a read into a buffer of `capacity` characters.
std::wstring ReadProfileString(const std::wstring& section, const std::wstring& key,
                               const std::wstring& default_value, size_t capacity,
                               const std::wstring& path);

// As ReadProfileString, but a file that is there and cannot be read (no
// permission, a read error, a directory in its place) gives nullopt rather
// than the default; only a missing file, section or key gives the default.
std::optional<std::wstring> TryReadProfileString(const std::wstring& section,
                                                 const std::wstring& key,
                                                 const std::wstring& default_value, size_t capacity,
                                                 const std::wstring& path);

// Sets `key` in `section`, creating the key, the section or the file (in an
// existing directory) as needed. Returns false when the write was lost;
// callers of the design ignore the result.
bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path);

// The names of the file's sections, in order; empty when it cannot be read.
// Takes no lock, like the reads.
std::vector<std::wstring> ReadProfileSectionNames(const std::wstring& path);

// Removes whole sections from the file (the front end's clean-up of finished
// items); true when the file was rewritten or had none of them.
bool RemoveProfileSections(const std::wstring& path, const std::wstring* sections, size_t count);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_PROFILE_H_
