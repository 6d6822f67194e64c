#include "frontend/durable_finish.h"

#include <filesystem>

#include "frontend/source_walk.h"
#include "frontend/workspace.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

Status KeepDirectoryAttributes(const std::string& source_root, const std::string& target_root,
                               bool follow_links, std::vector<std::string>* directories) {
  const bool keep_owner = CanKeepOwners();
  Status first = CopyPathAttributes(source_root, target_root, keep_owner);
  directories->push_back(target_root);
  WalkSourceTree(source_root, target_root, follow_links, [&](const SourceEntry& entry) {
    if (entry.kind != SourceEntry::Kind::kDirectory) return false;
    std::string made = JoinBelow(target_root, entry.relative);
    // A source directory the target lacks, or holds as something else, has
    // nothing below it in the target either.
    if (!IsOwnDirectory(made)) return false;
    Status s = CopyPathAttributes(entry.path, made, keep_owner);
    directories->push_back(made);
    if (first.ok() && !s.ok()) first = s;
    return true;
  });
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
