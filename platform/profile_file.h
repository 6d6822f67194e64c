// What each platform gives the profile functions of platform/profile.h, which
// are written once (platform/profile.cc) on top of these two.
#ifndef QUORVALMIST_PLATFORM_PROFILE_FILE_H_
#define QUORVALMIST_PLATFORM_PROFILE_FILE_H_

#include <functional>
#include <string>

namespace quorvalmist {

enum class ProfileRead {
  kRead,     // the file's bytes were read whole
  kMissing,  // no file there (or a directory of its path is missing)
  kFailed,   // the file is there, or may be, and could not be read
};

// Reads the whole file, taking no lock: a writer replaces the file in one
// step, so a reader sees the old or the new text.
ProfileRead ReadProfileFile(const std::wstring& path, std::string* bytes);

// Under the writers' lock on "<path>.lock": reads the file (a missing one
// reads as empty), lets `edit` change its bytes, and when `edit` says it
// changed them, replaces the file with them in one step. False when the write
// was lost (no lock, a file there that cannot be read, a failed replace).
bool EditProfileFile(const std::wstring& path, const std::function<bool(std::string*)>& edit);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_PROFILE_FILE_H_
