#include <optional>
#include <set>
#include <vector>

#include "common/config_store.h"
#include "common/file_info.h"
#include "common/run_control.h"
#include "common/target_path.h"
#include "core/copy_scheduler.h"
#include "core/core_state.h"
#include "core/link_copy.h"
#include "core/runs.h"
#include "db/item_table.h"
#include "db/schema.h"
#include "db/searched_dirs.h"
#include "platform/file.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

namespace {

constexpr unsigned kEntryPauseMilliseconds = 10;
// How long the walk waits between looks at the marker of a copier that an
// earlier run left behind.
constexpr unsigned kLeftCopierPollMilliseconds = 100;
// Directory, hidden and system and nothing else: such a directory is skipped.
constexpr uint32_t kHiddenSystemDirectory = 0x16;

bool Stopped() { return StopFlag.load(std::memory_order_relaxed); }

// The pause before each entry and each copy, unless the run goes briskly.
void Pause(const RunSettings& settings) {
  if (!settings.brisk) SleepMilliseconds(kEntryPauseMilliseconds);
}

// Marks the item's row as being copied and hands it to the scheduler.
void StartItem(CopyScheduler* scheduler, ItemJob job) {
  SetItemCopyStatus(job.id, kStatusRunning);
  WriteItemRunStatus(job.id, kRunStatusRun);
  scheduler->Add(std::move(job));
}

bool SameIdentity(const PathInfo& a, const PathInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}

std::wstring ErrorText(const Status& status) { return NarrowToWide(status.reason()); }

bool IsPathTooLong(const Status& status) { return status.kind() == ErrorKind::kTooLong; }

bool IsGone(const Status& status) { return status.kind() == ErrorKind::kNotFound; }

// The paths whose problems this process recorded; a directory's clean-up
// keeps them. Never destroyed, like the rest of the process-wide state.
std::set<std::wstring>& ProblemsOfThisRun() {
  static NoDestructor<std::set<std::wstring>> paths;
  return *paths;
}

void ReportProblem(const std::wstring& task_id, const std::wstring& path,
                   const std::wstring& reason) {
  ProblemsOfThisRun().insert(path);
  RecordWalkProblem(task_id, path, reason);
}

// One run's walk of a directory task's source tree, depth first. It keeps the
// identities of the directories from the source root down to the one being
// listed: a directory entry that leads to one of them (a link back up the
// tree) would make the walk endless, so it is named as a problem instead of
// being entered.
class DirectoryWalk {
 public:
  DirectoryWalk(const std::wstring& source_root, const std::wstring& target_root, RunContext* run,
                CopyScheduler* scheduler)
      : source_root_(source_root),
        target_root_(target_root),
        task_id_(run->task_id),
        settings_(run->settings),
        keep_links_(run->settings.keep_links),
        scheduler_(scheduler) {}

  // Walks `directory`, which is `info` (when it could be looked up).
  bool Walk(const std::wstring& directory, const std::optional<PathInfo>& info);

 private:
  bool EnterDirectory(const std::wstring& path, bool is_link);
  bool IsTargetRoot(const PathInfo& info) const;
  bool IsOnWalkPath(const PathInfo& info) const;
  void CopyFileEntry(const std::wstring& path);

  const std::wstring& source_root_;
  const std::wstring& target_root_;
  const std::wstring& task_id_;
  const RunSettings& settings_;
  // Links are listed as links only when they are to be kept as links;
  // otherwise a link to a directory is entered like a directory.
  const bool keep_links_;
  CopyScheduler* const scheduler_;
  std::vector<PathInfo> walk_path_;
};

bool DirectoryWalk::Walk(const std::wstring& directory, const std::optional<PathInfo>& info) {
  if (IsDirectorySearched(directory, task_id_)) return true;

  // The search pattern of the design; the lister here lists every entry.
  std::wstring file_spec = JoinEntryPath(directory, L"*.*");
  (void)file_spec;
  Status status;
  std::unique_ptr<DirectoryLister> lister = DirectoryLister::Open(
      WideToNarrow(directory), &status,
      keep_links_ ? DirectoryLister::Links::kReportLinks : DirectoryLister::Links::kAsAbove);
  if (!lister) {
    // A directory that vanished since it was listed holds nothing to copy. A
    // path beyond the system's limit can never be listed: the reason is
    // recorded and the walk goes on as if the directory were done, so that it
    // can finish. Any other failure (permission, I/O) may pass: the directory
    // and every directory above it stay unrecorded, so a later run lists it
    // again.
    if (IsGone(status)) return true;
    if (IsPathTooLong(status)) {
      ReportProblem(task_id_, directory, L"path too long for the system; not copied");
      return true;
    }
    ReportProblem(task_id_, directory, L"cannot be listed: " + ErrorText(status));
    return false;
  }

  if (info) walk_path_.push_back(*info);
  bool complete = true;
  DirectoryEntry entry;
  while (lister->Next(&entry)) {
    if (Stopped()) break;
    Pause(settings_);
    std::wstring name = NarrowToWide(entry.name);
    std::wstring path = JoinEntryPath(directory, name);
    if (entry.attributes & kAttributeDirectory) {
      if (name != L"." && name != L".." && entry.attributes != kHiddenSystemDirectory &&
          !EnterDirectory(path, (entry.attributes & kAttributeSymbolicLink) != 0)) {
        complete = false;
      }
      continue;
    }
    if (entry.attributes & kAttributeSymbolicLink) {
      CopyLinkEntry(path, source_root_, target_root_, task_id_);
      continue;
    }
    CopyFileEntry(path);
  }
  if (info) walk_path_.pop_back();
  if (!lister->error().ok() && !Stopped()) {
    // The entries seen are not the whole directory.
    ReportProblem(task_id_, directory, L"listing failed part-way: " + ErrorText(lister->error()));
    complete = false;
  }
  lister.reset();
  if (Stopped() || !complete) return false;
  // Recorded once every file below it has its verdict, so that a run killed
  // with copies in flight lists the directory again.
  scheduler_->AfterItemsSoFar([this, directory] {
    ClearWalkProblems(task_id_, directory, ProblemsOfThisRun());
    MarkDirectorySearched(directory, task_id_);
  });
  return true;
}

// The target root is never entered, so that a target inside the source is
// never copied into itself. A directory that leads back to one on the walk's
// path is a cycle: it is named and not entered, and the directory holding it
// does not count as done, so a later run looks again (and the problem goes
// once the cycle has).
bool DirectoryWalk::EnterDirectory(const std::wstring& path, bool is_link) {
  std::optional<PathInfo> info = StatPath(WideToNarrow(path));
  if (info && IsTargetRoot(*info)) return true;
  if (info && IsOnWalkPath(*info)) {
    ReportProblem(task_id_, path,
                  is_link ? L"a link to a folder above it (a cycle of links); not followed"
                          : L"the same folder as one above it (a cycle); not entered");
    return false;
  }
  // Without `info` the directory could not be looked up: its listing fails
  // and says why.
  return Walk(path, info);
}

// The target root is looked up each time: the copy itself may make it.
bool DirectoryWalk::IsTargetRoot(const PathInfo& info) const {
  std::optional<PathInfo> target = StatPath(WideToNarrow(target_root_));
  return target && SameIdentity(info, *target);
}

bool DirectoryWalk::IsOnWalkPath(const PathInfo& info) const {
  for (const PathInfo& above : walk_path_) {
    if (SameIdentity(info, above)) return true;
  }
  return false;
}

// A file the task has no row for gets one and is copied. A file whose row
// never completed ("stop", or "ready" or "running" as a killed run left it)
// is taken again under the same row, so that the next run also finishes (or
// verifies) a copy a stop cut short; a row that ended otherwise is done.
void DirectoryWalk::CopyFileEntry(const std::wstring& path) {
  scheduler_->WaitForPlace();
  if (Stopped()) return;
  ColumnMap row = FindItemForSource(task_id_, path);
  std::wstring id;
  std::wstring target;
  uint64_t total = 0;
  if (row.empty()) {
    target = MakeTargetPath(path, source_root_, target_root_);
    // A file that vanished since it was listed is recorded with size "0"; its
    // copy then ends as "stop".
    total = QueryFileSize(path).value_or(0);
    id = InsertItem(L"", task_id_, path, target, L"", std::to_wstring(total), kStatusReady);
  } else {
    if (!IsUnfinishedItemStatus(ColumnValue(row, kCopyStatusColumn))) return;
    id = ColumnValue(row, kIdColumn);
    target = ColumnValue(row, kTargetFileColumn);
    total = static_cast<uint64_t>(WideToInt64(ColumnValue(row, kTotalNumColumn)));
    // A copier that a killed run left behind may still be at work on this
    // row; a second one could not claim the item and would fail at once.
    while (!IsMutexAbsent(id)) {
      if (Stopped()) return;
      SleepMilliseconds(kLeftCopierPollMilliseconds);
    }
    // The last run's reason no longer holds.
    WriteItemReason(id, L"");
  }
  Pause(settings_);
  StartItem(scheduler_, ItemJob{id, path, target, total});
}

}  // namespace

bool RunDirectoryMode(const std::wstring& directory, const std::wstring& source_root,
                      const std::wstring& target_root, RunContext* run) {
  CopyScheduler scheduler(run);
  DirectoryWalk walk(source_root, target_root, run, &scheduler);
  bool done = walk.Walk(directory, StatPath(WideToNarrow(directory)));
  scheduler.Finish();
  return done;
}

void RunFilesMode(RunContext* run) {
  CopyScheduler scheduler(run);
  std::vector<std::wstring> ids = ListReadyItemIds(run->task_id);
  for (const std::wstring& id : ids) {
    scheduler.WaitForPlace();
    if (Stopped()) break;
    ColumnMap row = LoadItem(id);
    ItemJob job{id, ColumnValue(row, kSourceFileColumn), ColumnValue(row, kTargetFileColumn),
                static_cast<uint64_t>(WideToInt64(ColumnValue(row, kTotalNumColumn)))};
    Pause(run->settings);
    StartItem(&scheduler, std::move(job));
  }
  scheduler.Finish();
}

}  // namespace quorvalmist
