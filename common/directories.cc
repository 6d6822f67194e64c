#include "common/directories.h"

#include "common/file_info.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

bool IsDirectory(const std::wstring& path) {
  auto info = StatPath(WideToNarrow(path));
  return info && info->is_directory;
}

Status CreateDirectoryTree(std::wstring path) {
  if (!path.empty() && IsPathSeparator(path.back())) path.pop_back();
  if (path.empty()) return Status::Ok();
  std::string narrow = WideToNarrow(path);
  if (StatPath(narrow)) return Status::Ok();
  Status parent = CreateDirectoryTree(ParentDirectory(path));
  if (!parent.ok()) return parent;
  Status made = MakeDirectory(narrow);
  if (!made.ok() && IsDirectory(path)) return Status::Ok();
  return made;
}

std::wstring NearestExistingAncestor(std::wstring directory) {
  while (!directory.empty() && !StatPath(WideToNarrow(directory))) {
    std::wstring parent = ParentDirectory(directory);
    if (parent == directory) break;
    directory = parent;
  }
  return directory;
}

Status SyncCreatedDirectories(const std::wstring& directory, const std::wstring& existing) {
  std::wstring made = directory;
  while (!made.empty() && made != existing) {
    std::wstring parent = ParentDirectory(made);
    Status s = SyncDirectory(WideToNarrow(DirectoryHolding(made)));
    if (!s.ok()) return s;
    if (parent == made) break;
    made = parent;
  }
  return Status::Ok();
}

}  // namespace quorvalmist
