#include "common/file_info.h"

#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

std::optional<uint64_t> QueryFileSize(const std::wstring& path) {
  auto info = StatPath(WideToNarrow(path));
  if (!info || !info->is_regular) return std::nullopt;
  return info->size;
}

bool SamePlace(const std::wstring& a, const std::wstring& b) {
  std::optional<PathInfo> x = StatPath(WideToNarrow(a));
  if (!x) return false;
  std::optional<PathInfo> y = StatPath(WideToNarrow(b));
  return y && x->device == y->device && x->inode == y->inode;
}

std::wstring ParentDirectory(const std::wstring& path) {
  size_t start = LastComponentStart(path);
  return start == 0 ? std::wstring() : path.substr(0, start - 1);
}

std::wstring DirectoryHolding(const std::wstring& path) {
  std::wstring parent = ParentDirectory(path);
  if (!parent.empty()) return parent;
  if (!path.empty() && IsPathSeparator(path[0])) return path.substr(0, 1);
  return L".";
}

}  // namespace quorvalmist
