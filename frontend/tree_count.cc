#include "frontend/tree_count.h"

#include <vector>

#include "common/target_path.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

TreeCount CountTree(const std::string& root, const std::string& target_root,
                    const std::atomic<bool>* cancel) {
  TreeCount count;
  std::wstring target = NormalizeDirPath(NarrowToWide(target_root));
  // An explicit stack: deep trees must not exhaust the thread's stack.
  std::vector<std::string> pending = {root};
  while (!pending.empty()) {
    if (cancel && cancel->load(std::memory_order_relaxed)) break;
    std::string dir = pending.back();
    pending.pop_back();
    Status status;
    std::unique_ptr<DirectoryLister> lister =
        DirectoryLister::Open(dir, &status, DirectoryLister::Links::kReportLinks);
    if (!lister) continue;
    std::string prefix = dir.empty() || !IsPathSeparator(dir.back())
                             ? dir + WideToNarrow(std::wstring(1, kPathSeparator))
                             : dir;
    DirectoryEntry entry;
    while (lister->Next(&entry)) {
      if (entry.name == "." || entry.name == "..") continue;
      std::string path = prefix + entry.name;
      if (entry.attributes & kAttributeDirectory) {
        if (NormalizeDirPath(NarrowToWide(path)) != target) pending.push_back(path);
        continue;
      }
      std::optional<PathInfo> info = StatPath(path);
      if (entry.attributes & kAttributeSymbolicLink) {
        if (info && info->is_directory) {
          ++count.links_to_directories;
          continue;
        }
        ++count.links_to_files;
      }
      ++count.files;
      if (info) count.bytes += info->size;
    }
  }
  return count;
}

BackgroundTreeCount::BackgroundTreeCount(std::string root, std::string target_root)
    : thread_([this, root = std::move(root), target_root = std::move(target_root)] {
        result_ = CountTree(root, target_root, &cancel_);
        done_.store(true, std::memory_order_release);
      }) {}

BackgroundTreeCount::~BackgroundTreeCount() {
  cancel_.store(true, std::memory_order_relaxed);
  thread_.join();
}

}  // namespace quorvalmist
