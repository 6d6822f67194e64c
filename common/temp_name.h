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

// The tag on this system's temporary files; its value is the target's name
// (the last component of the target path).
inline constexpr char kTempTag[] = "quorvalmist.temp";

// Tags the file at `temp` as the temporary file of `target`, or removes the
// tag (before the file becomes the target).
Status TagTempFor(const std::string& temp, const std::wstring& target);
Status UntagTemp(const std::string& temp);

// True when the regular file at `temp` carries the tag for `target`.
bool IsTempFor(const std::string& temp, const std::wstring& target);

// Where a copy of `target` is written: the existing temporary file tagged for
// it (`exists`), else the first name with nothing there. An empty path when
// every name is taken by something else.
struct TempFile {
  std::wstring path;
  bool exists = false;
};
TempFile FindTempFor(const std::wstring& target);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_TEMP_NAME_H_
