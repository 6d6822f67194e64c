#include "frontend/source_walk.h"

#include <memory>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace quorvalmist {

namespace {

// Directory, hidden and system and nothing else: the core's walk skips such a
// directory (only Windows gives it).
constexpr uint32_t kHiddenSystemDirectory = 0x16;

bool SameIdentity(const PathInfo& a, const PathInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}

// A directory waiting to be listed: where it is, and how deep below the root.
struct PendingDirectory {
  std::string path;
  std::string relative;
  size_t depth = 0;
  std::optional<PathInfo> info;
};

// The walk of one tree. The identities of the directories from the root down
// to the one being listed are kept by depth. The pending directories form a
// stack, so when one at depth d is taken from it, the identities kept at
// depths 0 to d - 1 are still those of its own ancestors, and those at d and
// deeper belong to directories whose walk is over.
class SourceWalk {
 public:
  SourceWalk(const std::string& target_root, bool follow_links, const SourceVisitor& visit)
      : target_root_(target_root), follow_links_(follow_links), visit_(visit) {}

  void Run(const std::string& root, const std::atomic<bool>* cancel) {
    // An explicit stack: deep trees must not exhaust the thread's stack.
    pending_.push_back({root, "", 0, StatPath(root)});
    while (!pending_.empty()) {
      if (cancel && cancel->load(std::memory_order_relaxed)) return;
      PendingDirectory directory = std::move(pending_.back());
      pending_.pop_back();
      walk_path_.resize(directory.depth);
      walk_path_.push_back(directory.info);
      List(directory);
    }
  }

 private:
  void List(const PendingDirectory& directory) {
    Status status;
    std::unique_ptr<DirectoryLister> lister =
        DirectoryLister::Open(directory.path, &status, DirectoryLister::Links::kReportLinks);
    if (!lister) return;
    DirectoryEntry listed;
    while (lister->Next(&listed)) {
      if (listed.name == "." || listed.name == ".." ||
          listed.attributes == kHiddenSystemDirectory) {
        continue;
      }
      SourceEntry entry;
      entry.path = JoinBelow(directory.path, listed.name);
      entry.relative =
          directory.relative.empty() ? listed.name : JoinBelow(directory.relative, listed.name);
      entry.is_link = (listed.attributes & kAttributeSymbolicLink) != 0;
      bool is_directory = (listed.attributes & kAttributeDirectory) != 0;
      if (is_directory || entry.is_link) {
        entry.info = StatPath(entry.path);
        is_directory = entry.info && entry.info->is_directory;
      }
      if (is_directory) {
        if (entry.info && IsTargetRoot(*entry.info)) continue;
        if (entry.is_link && !follow_links_) {
          entry.kind = SourceEntry::Kind::kLinkToDirectory;
        } else if (entry.info && IsOnWalkPath(*entry.info)) {
          entry.kind = SourceEntry::Kind::kCycle;
        } else {
          entry.kind = SourceEntry::Kind::kDirectory;
        }
      }
      if (visit_(entry) && entry.kind == SourceEntry::Kind::kDirectory) {
        pending_.push_back({entry.path, entry.relative, directory.depth + 1, entry.info});
      }
    }
  }

  // Looked up each time: the copy may make the target root while this runs.
  bool IsTargetRoot(const PathInfo& info) const {
    std::optional<PathInfo> target = StatPath(target_root_);
    return target && SameIdentity(info, *target);
  }

  bool IsOnWalkPath(const PathInfo& info) const {
    for (const std::optional<PathInfo>& above : walk_path_) {
      if (above && SameIdentity(info, *above)) return true;
    }
    return false;
  }

  const std::string& target_root_;
  const bool follow_links_;
  const SourceVisitor& visit_;
  std::vector<PendingDirectory> pending_;
  std::vector<std::optional<PathInfo>> walk_path_;
};

}  // namespace

void WalkSourceTree(const std::string& root, const std::string& target_root, bool follow_links,
                    const SourceVisitor& visit, const std::atomic<bool>* cancel) {
  SourceWalk(target_root, follow_links, visit).Run(root, cancel);
}

std::string JoinBelow(const std::string& directory, const std::string& relative) {
  if (!directory.empty() && IsPathSeparator(directory.back())) return directory + relative;
  return directory + WideToNarrow(std::wstring(1, kPathSeparator)) + relative;
}

bool IsOwnDirectory(const std::string& path) {
  if (IsSymbolicLinkPath(path)) return false;
  std::optional<PathInfo> info = StatPath(path);
  return info && info->is_directory;
}

}  // namespace quorvalmist
