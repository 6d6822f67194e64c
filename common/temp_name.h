// The temporary file a copy is written to before it is renamed to its target:
// its names, and the tag that tells this system's temporary files from a
// user's files that have the same kind of name. The copier writes it, the core
// resumes into it, the front end counts it and removes leftovers; each touches
// only a file tagged for that target.
#ifndef QUORVALMIST_COMMON_TEMP_NAME_H_
#define QUORVALMIST_COMMON_TEMP_NAME_H_

#include <cstddef>
#include <string>

#include "platform/status.h"

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

// How many temporary names a target has. When a name is taken by a file that
// is not this target's temporary file (a user's file called like one), the
// next is used.
inline constexpr int kTempNameCount = 10;

// The i-th temporary path of `target`, 0 <= i < kTempNameCount: TempPathFor
// for 0, and for the others TempPathFor of the target with "~i" after its
// name ("f~1_quorvalmist_temp").
std::wstring TempPathCandidate(const std::wstring& target, int i);

// The tag on this system's temporary files. Its value is the target's name
// (the last component of the target path), "/" and a mark of the workspace
// that made the file (a hash of its full path): two copies into one target
// from two workspaces never take each other's temporary file for their own.
// A value of the name alone (made before workspaces were marked) is taken by
// any workspace.
inline constexpr char kTempTag[] = "quorvalmist.temp";

// Tags the file at `temp` as the temporary file of `target`, or removes the
// tag (before the file becomes the target).
Status TagTempFor(const std::string& temp, const std::wstring& target);
Status UntagTemp(const std::string& temp);

// Where the file system keeps no tags (exFAT, FAT, ramfs, many network
// shares), the workspace records its temporary files instead, in
// kTempRecordFile: a section per file, named by a hash of its path, whose key
// "file" holds "DEVICE INODE SIZE MODIFIED_NS" as the file was when recorded.
// A file is the recorded one when it is a regular file (not a link) at that
// path with the same device and inode numbers, or, since such file systems
// number their files anew at every mount, with the same size and modification
// time to the nanosecond (recorded whenever the copier leaves the file).
//
// RecordTemp records (or records again) the file at `temp` as it is now;
// false when the record could not be written (no workspace here). ForgetTemp
// removes the record; a missing one is no error.
bool RecordTemp(const std::string& temp);
void ForgetTemp(const std::string& temp);

// True when the regular file at `temp` (not a link) is the temporary file of
// `target`: it carries the tag for `target`, or, untagged, the workspace
// recorded it.
bool IsTempFor(const std::string& temp, const std::wstring& target);

// True when the file at `path` is a temporary file of this system for any
// target: it carries the tag, or the workspace recorded it.
bool IsAnyTempFile(const std::string& path);

// Where a copy of `target` is written: the existing temporary file of it
// (`exists`; `recorded` when it is known by the workspace's record rather than
// by its tag), else the first name with nothing there. An empty path when
// every name is taken by something else.
struct TempFile {
  std::wstring path;
  bool exists = false;
  bool recorded = false;
};
TempFile FindTempFor(const std::wstring& target);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_TEMP_NAME_H_
