#include "frontend/durable_finish.h"

#include <filesystem>

#include "frontend/task_store.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

Status KeepDirectoryAttributes(const std::string& source_root, const std::string& target_root) {
  namespace fs = std::filesystem;
  const bool keep_owner = CanKeepOwners();
  Status first = CopyPathAttributes(source_root, target_root, keep_owner);
  fs::path source = source_root;
  fs::path target = target_root;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           source, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    fs::path made = target / it->path().lexically_relative(source);
    std::error_code exists;
    if (!fs::is_directory(fs::symlink_status(made, exists))) continue;
    Status s = CopyPathAttributes(it->path().string(), made.string(), keep_owner);
    if (first.ok() && !s.ok()) first = s;
  }
  return first;
}

Status MakeRunDurable(const TaskInfo& task) {
  Status s = SyncFileSystem(".");
  if (!s.ok()) return s;
  if (!task.is_dir()) return Status::Ok();  // the copier made each file and folder durable
  std::string target = WideToNarrow(task.targetdir);
  if (!StatPath(target)) return Status::Ok();
  return SyncFileSystem(target);
}

}  // namespace quorvalmist
