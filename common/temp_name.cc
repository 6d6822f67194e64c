#include "common/temp_name.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>

#include "common/protocol.h"
#include "platform/file.h"
#include "platform/profile.h"
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

namespace {

// The mark of the workspace that is the current directory.
std::string WorkspaceMark() {
  std::error_code ec;
  std::filesystem::path here = std::filesystem::current_path(ec);
  return Hex64(Fnv1a64(ec ? std::string() : PathText(here)));
}

std::string TagValueFor(const std::string& name) { return name + "/" + WorkspaceMark(); }

}  // namespace

Status TagTempFor(const std::string& temp, const std::wstring& target) {
  return SetFileTag(temp, kTempTag, TagValueFor(NameOf(target)));
}

Status UntagTemp(const std::string& temp) { return RemoveFileTag(temp, kTempTag); }

namespace {

constexpr wchar_t kRecordKey[] = L"file";
// Four decimal numbers of up to 20 digits and their blanks.
constexpr size_t kRecordCapacity = 100;

std::wstring RecordSection(const std::string& temp) { return NarrowToWide(Hex64(Fnv1a64(temp))); }

// The path names a regular file itself, not through a link.
std::optional<PathInfo> PlainFileAt(const std::string& path) {
  if (IsSymbolicLinkPath(path)) return std::nullopt;
  std::optional<PathInfo> info = StatPath(path);
  if (!info || !info->is_regular) return std::nullopt;
  return info;
}

bool MatchesRecord(const std::string& temp, const PathInfo& info) {
  std::wstring text =
      ReadProfileString(RecordSection(temp), kRecordKey, L"", kRecordCapacity, kTempRecordFile);
  if (text.empty()) return false;
  std::istringstream in(WideToNarrow(text));
  uint64_t device = 0, inode = 0, size = 0;
  int64_t modified_ns = 0;
  if (!(in >> device >> inode >> size >> modified_ns)) return false;
  if (device == info.device && inode == info.inode) return true;
  return modified_ns != 0 && size == info.size && modified_ns == info.modified_ns;
}

// A file at `temp` that is this system's: its tag, when it has one, must name
// `name` (any name when `name` is null); untagged, the record decides.
bool IsOurs(const std::string& temp, const PathInfo& info, const std::string* name) {
  if (std::optional<std::string> tag = ReadFileTag(temp, kTempTag)) {
    return name == nullptr || *tag == TagValueFor(*name) || *tag == *name;
  }
  return MatchesRecord(temp, info);
}

}  // namespace

bool RecordTemp(const std::string& temp) {
  std::optional<PathInfo> info = PlainFileAt(temp);
  if (!info) return false;
  std::string text = std::to_string(info->device) + " " + std::to_string(info->inode) + " " +
                     std::to_string(info->size) + " " + std::to_string(info->modified_ns);
  return WriteProfileString(RecordSection(temp), kRecordKey, NarrowToWide(text), kTempRecordFile);
}

void ForgetTemp(const std::string& temp) {
  std::wstring section = RecordSection(temp);
  RemoveProfileSections(kTempRecordFile, &section, 1);
}

bool IsTempFor(const std::string& temp, const std::wstring& target) {
  std::optional<PathInfo> info = PlainFileAt(temp);
  if (!info) return false;
  std::string name = NameOf(target);
  return IsOurs(temp, *info, &name);
}

bool IsAnyTempFile(const std::string& path) {
  std::optional<PathInfo> info = PlainFileAt(path);
  return info && IsOurs(path, *info, nullptr);
}

TempFile FindTempFor(const std::wstring& target) {
  TempFile free_name;
  const std::string name = NameOf(target);
  for (int i = 0; i < kTempNameCount; ++i) {
    std::wstring path = TempPathCandidate(target, i);
    std::string narrow = WideToNarrow(path);
    const bool link = IsSymbolicLinkPath(narrow);
    std::optional<PathInfo> info = link ? std::nullopt : StatPath(narrow);
    if (info && info->is_regular && IsOurs(narrow, *info, &name)) {
      return TempFile{path, true, !ReadFileTag(narrow, kTempTag).has_value()};
    }
    if (free_name.path.empty() && !link && !info) free_name.path = path;
  }
  return free_name;
}

}  // namespace quorvalmist
