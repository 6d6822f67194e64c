#include "common/temp_name.h"

#include <cstdint>

#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// The last component of a path, as the tag holds it.
std::string NameOf(const std::wstring& target) {
  std::string path = WideToNarrow(target);
  return path.substr(LastComponentStart(path));
}

}  // namespace

std::wstring TempPathFor(const std::wstring& target) {
  std::string path = WideToNarrow(target);
  std::string suffix = WideToNarrow(kTempSuffix);
  size_t name_start = LastComponentStart(path);
  std::string name = path.substr(name_start);
  if (name.size() + suffix.size() <= kMaxNameBytes) return target + kTempSuffix;
  // The cut works on bytes: the name round-trips through the wide form byte
  // for byte, valid UTF-8 or not.
  std::string tag = "~" + Hex64(Fnv1a64(name));
  std::string shortened = name.substr(0, kMaxNameBytes - suffix.size() - tag.size()) + tag + suffix;
  return NarrowToWide(path.substr(0, name_start) + shortened);
}

std::wstring TempPathCandidate(const std::wstring& target, int i) {
  if (i == 0) return TempPathFor(target);
  return TempPathFor(target + L"~" + std::to_wstring(i));
}

Status TagTempFor(const std::string& temp, const std::wstring& target) {
  return SetFileTag(temp, kTempTag, NameOf(target));
}

Status UntagTemp(const std::string& temp) { return RemoveFileTag(temp, kTempTag); }

bool IsTempFor(const std::string& temp, const std::wstring& target) {
  std::optional<std::string> tag = ReadFileTag(temp, kTempTag);
  if (!tag || *tag != NameOf(target)) return false;
  std::optional<PathInfo> info = StatPath(temp);
  return info && info->is_regular;
}

TempFile FindTempFor(const std::wstring& target) {
  TempFile free_name;
  for (int i = 0; i < kTempNameCount; ++i) {
    std::wstring path = TempPathCandidate(target, i);
    std::string narrow = WideToNarrow(path);
    if (IsTempFor(narrow, target)) return TempFile{path, true};
    if (free_name.path.empty() && !StatPath(narrow) && !IsSymbolicLinkPath(narrow)) {
      free_name.path = path;
    }
  }
  return free_name;
}

}  // namespace quorvalmist
