#include "common/config_store.h"
#include "common/file_info.h"
#include "common/run_control.h"
#include "core/copy_driver.h"
#include "core/core_state.h"
#include "core/db/item_table.h"
#include "core/db/schema.h"
#include "core/db/searched_dirs.h"
#include "core/link_copy.h"
#include "core/runs.h"
#include "core/target_path.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

namespace {

constexpr unsigned kEntryPauseMilliseconds = 10;
// Directory, hidden and system and nothing else: such a directory is skipped.
constexpr uint32_t kHiddenSystemDirectory = 0x16;

bool Stopped() { return StopFlag.load(std::memory_order_relaxed); }

// True when `path` names the target root, however the root is spelled.
bool IsTargetRoot(const std::wstring& path, const std::wstring& target_root) {
  return NormalizeDirPath(path) == NormalizeDirPath(target_root);
}

}  // namespace

void RunDirectoryMode(const std::wstring& directory, const std::wstring& source_root,
                      const std::wstring& target_root, const std::wstring& task_id) {
  if (IsDirectorySearched(directory, task_id)) return;

  // The search pattern of the design; the lister here lists every entry.
  std::wstring file_spec = JoinEntryPath(directory, L"*.*");
  (void)file_spec;
  Status status;
  // Links are listed as links only when they are to be kept as links.
  const bool keep_links = KeepLinks(task_id);
  std::unique_ptr<DirectoryLister> lister = DirectoryLister::Open(
      WideToNarrow(directory), &status,
      keep_links ? DirectoryLister::Links::kReportLinks : DirectoryLister::Links::kAsAbove);
  if (!lister) return;  // not recorded: a later run tries again

  DirectoryEntry entry;
  while (lister->Next(&entry)) {
    if (Stopped()) break;
    SleepMilliseconds(kEntryPauseMilliseconds);
    std::wstring name = NarrowToWide(entry.name);
    std::wstring path = JoinEntryPath(directory, name);
    if (entry.attributes & kAttributeDirectory) {
      if (name != L"." && name != L".." && entry.attributes != kHiddenSystemDirectory &&
          !IsTargetRoot(path, target_root)) {
        RunDirectoryMode(path, source_root, target_root, task_id);
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
    SleepMilliseconds(kEntryPauseMilliseconds);
    SetItemCopyStatus(id, kStatusRunning);
    WriteItemRunStatus(id, L"run");
    CurrentItemId() = id;
    CopyItem(path, target, task_id, id);
  }
  lister.reset();
  if (!Stopped()) MarkDirectorySearched(directory, task_id);
}

void RunFilesMode(const std::wstring& task_id) {
  std::vector<std::wstring> ids = ListReadyItemIds(task_id);
  for (const std::wstring& id : ids) {
    if (Stopped()) break;
    ColumnMap row = LoadItem(id);
    std::wstring source = ColumnValue(row, kSourceFileColumn);
    std::wstring target = ColumnValue(row, kTargetFileColumn);
    SleepMilliseconds(kEntryPauseMilliseconds);
    SetItemCopyStatus(id, kStatusRunning);
    WriteItemRunStatus(id, L"run");
    CurrentItemId() = id;
    CopyItem(source, target, task_id, id);
  }
}

}  // namespace quorvalmist
