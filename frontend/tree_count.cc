#include "frontend/tree_count.h"

#include "frontend/source_walk.h"
#include "platform/file.h"

namespace quorvalmist {

namespace {

// The bytes a link kept as a link counts for: its text's length, as the
// core records in the link's row.
uint64_t LinkTextSize(const std::string& path) {
  std::string text;
  return ReadSymbolicLink(path, &text).ok() ? text.size() : 0;
}

}  // namespace

TreeCount CountTree(const std::string& root, const std::string& target_root, bool follow_links,
                    const std::atomic<bool>* cancel) {
  TreeCount count;
  auto add = [&count, follow_links](const SourceEntry& entry) {
    switch (entry.kind) {
      case SourceEntry::Kind::kDirectory:
        if (entry.is_link) ++count.links_to_directories;
        return true;
      case SourceEntry::Kind::kLinkToDirectory:
        // Kept as a link, it gets a row of its own like any other link.
        ++count.links_to_directories;
        ++count.files;
        count.bytes += LinkTextSize(entry.path);
        return false;
      case SourceEntry::Kind::kCycle:
        if (entry.is_link) {
          ++count.links_to_directories;
          ++count.cycles;
        }
        return false;
      case SourceEntry::Kind::kFile:
        break;
    }
    ++count.files;
    if (entry.is_link) {
      ++count.links_to_files;
      if (!follow_links) {
        count.bytes += LinkTextSize(entry.path);
        return true;
      }
    }
    std::optional<PathInfo> info = entry.is_link ? entry.info : StatPath(entry.path);
    if (info) count.bytes += info->size;
    return true;
  };
  WalkSourceTree(root, target_root, follow_links, add, cancel);
  return count;
}

BackgroundTreeCount::BackgroundTreeCount(std::string root, std::string target_root,
                                         bool follow_links)
    : thread_([this, root = std::move(root), target_root = std::move(target_root), follow_links] {
        result_ = CountTree(root, target_root, follow_links, &cancel_);
        done_.store(true, std::memory_order_release);
      }) {}

BackgroundTreeCount::~BackgroundTreeCount() {
  cancel_.store(true, std::memory_order_relaxed);
  thread_.join();
}

}  // namespace quorvalmist
