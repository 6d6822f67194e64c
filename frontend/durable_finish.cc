#include "frontend/durable_finish.h"

#include <filesystem>

#include "frontend/workspace.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

Status KeepDirectoryAttributes(const std::string& source_root, const std::string& target_root,
                               std::vector<std::string>* directories) {
  namespace fs = std::filesystem;
  const bool keep_owner = CanKeepOwners();
  Status first = CopyPathAttributes(source_root, target_root, keep_owner);
  directories->push_back(target_root);
  fs::path source = FileSystemPath(source_root);
  fs::path target = FileSystemPath(target_root);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           source, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    fs::path made = target / it->path().lexically_relative(source);
    std::error_code exists;
    if (!fs::is_directory(fs::symlink_status(made, exists))) continue;
    Status s = CopyPathAttributes(PathText(it->path()), PathText(made), keep_owner);
    directories->push_back(PathText(made));
    if (first.ok() && !s.ok()) first = s;
  }
  return first;
}

Status MakeRunDurable(const std::vector<std::string>& directories) {
  for (const std::string& name :
       {WideToNarrow(kDatabaseFile), WideToNarrow(kDatabaseFile) + "-wal"}) {
    Status s = SyncFilePath(name, true);
    if (!s.ok()) return s;
  }
  Status s = SyncDirectory(".");
  if (!s.ok() || directories.empty()) return s;
  std::string parent = PathText(FileSystemPath(directories.front()).parent_path());
  s = SyncDirectory(parent.empty() ? "." : parent);
  for (size_t i = 0; s.ok() && i < directories.size(); ++i) s = SyncDirectory(directories[i]);
  return s;
}

}  // namespace quorvalmist
