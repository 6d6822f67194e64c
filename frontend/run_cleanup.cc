#include "frontend/run_cleanup.h"

#include <vector>

#include "common/directories.h"
#include "common/protocol.h"
#include "common/run_control.h"
#include "common/temp_name.h"
#include "db/schema.h"
#include "frontend/source_walk.h"
#include "platform/file.h"
#include "platform/marker.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// How often the sections of ended items are cleared from inner.cnf during a
// run, so that the file every program rereads and rewrites stays small; and
// sooner when it holds this many sections (a fast run of small files adds
// hundreds a second).
constexpr std::chrono::milliseconds kCleanupPeriod{2000};
constexpr size_t kCleanupSections = 128;

}  // namespace

InnerConfigCleaner::InnerConfigCleaner(std::wstring task_id)
    : task_id_(std::move(task_id)), next_(std::chrono::steady_clock::now() + kCleanupPeriod) {}

void InnerConfigCleaner::RemoveEnded(bool all) {
  auto now = std::chrono::steady_clock::now();
  std::vector<std::wstring> sections = ReadProfileSectionNames(kInnerConfigFile);
  if (!all && now < next_ && sections.size() < kCleanupSections) return;
  next_ = now + kCleanupPeriod;
  if (sections.empty()) return;
  // The sections of items that ended "stop" or "error" stay: they hold the
  // reason that the summary and status show, until a resume takes the item
  // up again.
  std::vector<std::wstring> ids =
      FilterItemIds(sections, {kStatusSuccess, kStatusFinish, kStatusSkipped});
  if (all) {
    for (std::wstring& id : ListItemIds(task_id_, {kStatusRunning, kStatusReady})) {
      // A copier that still runs may write its position again; its
      // section stays.
      if (IsMarkerAbsent(id)) ids.push_back(std::move(id));
    }
  }
  if (!ids.empty()) RemoveProfileSections(kInnerConfigFile, ids.data(), ids.size());
}

void RemoveRedundantTempFiles(const std::wstring& task_id) {
  ForEachItem(task_id, {kStatusSuccess, kStatusFinish}, [](const ItemInfo& item) {
    TempFile temp = FindTempFor(item.targetfile);
    if (!temp.exists || !IsMarkerAbsent(item.id)) return;
    std::string path = WideToNarrow(temp.path);
    if (RemoveFileAt(path).ok() && temp.recorded) ForgetTemp(path);
  });
}

void RecreateEmptyDirectories(const TaskInfo& task, bool follow_links) {
  std::string target = WideToNarrow(task.targetdir);
  // The target root too: a source with no file at all leaves it unmade.
  if (!CreateDirectoryTree(task.targetdir).ok()) return;
  WalkSourceTree(WideToNarrow(task.sourcedir), target, follow_links,
                 [&target](const SourceEntry& entry) {
                   if (entry.kind != SourceEntry::Kind::kDirectory) return false;
                   std::string made = JoinBelow(target, entry.relative);
                   MakeDirectory(made);  // one that is there already stays as it is
                   return IsOwnDirectory(made);
                 });
}

}  // namespace quorvalmist
