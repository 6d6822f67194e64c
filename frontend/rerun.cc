#include "frontend/rerun.h"

#include <set>
#include <thread>

#include "common/config_store.h"
#include "common/file_info.h"
#include "common/protocol.h"
#include "common/resume_position.h"
#include "common/target_path.h"
#include "common/temp_name.h"
#include "db/schema.h"
#include "platform/marker.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist {

std::vector<std::wstring> DirectoriesOnPath(const std::wstring& source_root,
                                            const std::wstring& source_file) {
  std::vector<std::wstring> dirs;
  if (source_root.empty() || source_file.size() <= source_root.size() ||
      source_file.compare(0, source_root.size(), source_root) != 0) {
    return dirs;
  }
  std::wstring rest = source_file.substr(source_root.size());
  if (source_root.back() != kPathSeparator) {
    if (rest[0] != kPathSeparator) return dirs;  // "/src2/x" is not below "/src"
    rest.erase(0, 1);
  }
  std::wstring dir = source_root;
  dirs.push_back(dir);
  size_t start = 0;
  for (size_t slash; (slash = rest.find(kPathSeparator, start)) != std::wstring::npos;
       start = slash + 1) {
    dir = JoinEntryPath(dir, rest.substr(start, slash - start));
    dirs.push_back(dir);
  }
  return dirs;
}

std::vector<std::wstring> RetriedStatuses(const TaskInfo& task) {
  std::vector<std::wstring> words = {kStatusStop, kStatusError, kStatusRunning};
  if (task.is_dir()) words.push_back(kStatusReady);
  return words;
}

std::vector<ItemInfo> DoneRowsWithLostTargets(const TaskInfo& task) {
  std::vector<ItemInfo> lost;
  ForEachItem(task.id, {kStatusSuccess, kStatusFinish}, [&](const ItemInfo& item) {
    std::optional<uint64_t> source = QueryFileSize(item.sourcefile);
    if (!source) return;
    std::optional<uint64_t> target = QueryFileSize(item.targetfile);
    if (!target || *target != *source) lost.push_back(item);
  });
  return lost;
}

bool WaitForCopiersToEnd(const std::vector<ItemInfo>& items, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (const ItemInfo& item : items) {
    while (!IsMarkerAbsent(item.id)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return true;
}

std::map<std::wstring, uint64_t> BytesKeptForResume(const std::vector<ItemInfo>& retried) {
  std::map<std::wstring, uint64_t> kept;
  if (WideToInt(ReadResumeInsideFlag()) != 1) return kept;
  for (const ItemInfo& item : retried) {
    std::optional<uint64_t> size = QueryFileSize(item.sourcefile);
    TempFile temp = FindTempFor(item.targetfile);
    if (!size || !temp.exists) continue;
    uint64_t start = ResumeStartPosition(QueryFileSize(temp.path), *size);
    if (start > 0) kept[item.sourcefile] = start;
  }
  return kept;
}

size_t PrepareRerun(const TaskInfo& task, const std::vector<ItemInfo>& retried) {
  // What the last run left of these items in inner.cnf (a reason, a position)
  // no longer holds.
  std::vector<std::wstring> ids;
  for (const ItemInfo& item : retried) ids.push_back(item.id);
  if (!ids.empty()) RemoveProfileSections(kInnerConfigFile, ids.data(), ids.size());
  if (!task.is_dir()) {
    for (const ItemInfo& item : retried) ResetItem(item.id);
    return retried.size();
  }
  std::set<std::wstring> forgotten;
  for (const ItemInfo& item : retried) {
    // The searched records go first: a failure between the two steps then
    // leaves a row the walk will still find and skip, not a file it never
    // visits again.
    for (const std::wstring& dir : DirectoriesOnPath(task.sourcedir, item.sourcefile)) {
      if (forgotten.insert(dir).second) ForgetSearchedDirectory(task.id, dir);
    }
    DeleteItem(item.id);
  }
  return retried.size();
}

}  // namespace quorvalmist
