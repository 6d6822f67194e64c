#include <set>

#include "common/config_store.h"
#include "common/file_info.h"
#include "common/run_control.h"
#include "common/target_path.h"
#include "core/copy_driver.h"
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
// Directory, hidden and system and nothing else: such a directory is skipped.
constexpr uint32_t kHiddenSystemDirectory = 0x16;

bool Stopped() { return StopFlag.load(std::memory_order_relaxed); }

// The pause before each entry and each copy, unless the run goes briskly.
void Pause() {
  if (!BriskPacing()) SleepMilliseconds(kEntryPauseMilliseconds);
}

// True when `path` is the target root (compared by identity, however either
// is spelled), so that a target inside the source is never copied into itself.
// The target root is looked up each time: the copy itself may make it.
bool IsTargetRoot(const std::wstring& path, const std::wstring& target_root) {
  return SamePlace(path, target_root);
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

}  // namespace

bool RunDirectoryMode(const std::wstring& directory, const std::wstring& source_root,
                      const std::wstring& target_root, const std::wstring& task_id) {
  if (IsDirectorySearched(directory, task_id)) return true;

  // The search pattern of the design; the lister here lists every entry.
  std::wstring file_spec = JoinEntryPath(directory, L"*.*");
  (void)file_spec;
  Status status;
  // Links are listed as links only when they are to be kept as links.
  const bool keep_links = KeepLinks(task_id);
  std::unique_ptr<DirectoryLister> lister = DirectoryLister::Open(
      WideToNarrow(directory), &status,
      keep_links ? DirectoryLister::Links::kReportLinks : DirectoryLister::Links::kAsAbove);
  if (!lister) {
    // A directory that vanished since it was listed holds nothing to copy. A
    // path beyond the system's limit can never be listed: the reason is
    // recorded and the walk goes on as if the directory were done, so that it
    // can finish. Any other failure (permission, I/O) may pass: the directory
    // and every directory above it stay unrecorded, so a later run lists it
    // again.
    if (IsGone(status)) return true;
    if (IsPathTooLong(status)) {
      ReportProblem(task_id, directory, L"path too long for the system; not copied");
      return true;
    }
    ReportProblem(task_id, directory, L"cannot be listed: " + ErrorText(status));
    return false;
  }

  bool complete = true;
  DirectoryEntry entry;
  while (lister->Next(&entry)) {
    if (Stopped()) break;
    Pause();
    std::wstring name = NarrowToWide(entry.name);
    std::wstring path = JoinEntryPath(directory, name);
    if (entry.attributes & kAttributeDirectory) {
      if (name != L"." && name != L".." && entry.attributes != kHiddenSystemDirectory &&
          !IsTargetRoot(path, target_root)) {
        if (!RunDirectoryMode(path, source_root, target_root, task_id)) complete = false;
      }
      continue;
    }
    if (entry.attributes & kAttributeSymbolicLink) {
      CopyLinkEntry(path, source_root, target_root, task_id);
      continue;
    }
    if (ItemExistsForSource(task_id, path)) continue;
    std::wstring target = MakeTargetPath(path, source_root, target_root);
    // A file that vanished since it was listed is recorded with size "0"; its
    // copy then ends as "stop".
    std::optional<uint64_t> size = QueryFileSize(path);
    std::wstring size_text = std::to_wstring(size.value_or(0));
    std::wstring id = InsertItem(L"", task_id, path, target, L"", size_text, kStatusReady);
    Pause();
    SetItemCopyStatus(id, kStatusRunning);
    WriteItemRunStatus(id, L"run");
    CopyItem(path, target, task_id, id, size.value_or(0));
  }
  if (!lister->error().ok() && !Stopped()) {
    // The entries seen are not the whole directory.
    ReportProblem(task_id, directory, L"listing failed part-way: " + ErrorText(lister->error()));
    complete = false;
  }
  lister.reset();
  if (Stopped() || !complete) return false;
  ClearWalkProblems(task_id, directory, ProblemsOfThisRun());
  MarkDirectorySearched(directory, task_id);
  return true;
}

void RunFilesMode(const std::wstring& task_id) {
  std::vector<std::wstring> ids = ListReadyItemIds(task_id);
  for (const std::wstring& id : ids) {
    if (Stopped()) break;
    ColumnMap row = LoadItem(id);
    std::wstring source = ColumnValue(row, kSourceFileColumn);
    std::wstring target = ColumnValue(row, kTargetFileColumn);
    Pause();
    SetItemCopyStatus(id, kStatusRunning);
    WriteItemRunStatus(id, L"run");
    CopyItem(source, target, task_id, id,
             static_cast<uint64_t>(WideToInt64(ColumnValue(row, kTotalNumColumn))));
  }
}

}  // namespace quorvalmist
