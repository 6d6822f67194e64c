#include "core/link_copy.h"

#include "common/config_store.h"
#include "common/directories.h"
#include "common/file_info.h"
#include "common/target_path.h"
#include "common/temp_name.h"
#include "core/core_state.h"
#include "db/item_table.h"
#include "db/schema.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// True when `path` is a link whose text is `text`.
bool SameLinkThere(const std::string& path, const std::string& text) {
  std::string there;
  return IsSymbolicLinkPath(path) && ReadSymbolicLink(path, &there).ok() && there == text;
}

}  // namespace

Status CopySymbolicLink(const std::string& source, const std::string& target, bool durable) {
  std::string text;
  Status s = ReadSymbolicLink(source, &text);
  if (!s.ok()) return s;
  if (SameLinkThere(target, text)) return Status::Ok();

  std::wstring directory = ParentDirectory(NarrowToWide(target));
  if (!IsDirectory(directory)) {
    std::wstring existing = NearestExistingAncestor(directory);
    s = CreateDirectoryTree(directory);
    if (!s.ok()) return s;
    if (durable && !(s = SyncCreatedDirectories(directory, existing)).ok()) return s;
  }
  // The link is made under the first temporary name with nothing there and
  // renamed into place; what is at a taken name is never touched (it may be a
  // user's file or link called like one).
  std::string temp;
  for (int i = 0; i < kTempNameCount && temp.empty(); ++i) {
    std::string name = WideToNarrow(TempPathCandidate(NarrowToWide(target), i));
    if (!StatPath(name) && !IsSymbolicLinkPath(name)) temp = name;
  }
  if (temp.empty()) {
    return Status::Error(-1, "every temporary name beside " + target + " is taken by other files");
  }
  s = MakeSymbolicLink(text, temp);
  if (!s.ok()) return s;  // nothing of ours was made
  s = CopyLinkAttributes(source, temp, CanKeepOwners());
  if (s.ok()) s = RenameNoReplace(temp, target);
  if (!s.ok()) {
    RemoveFileAt(temp);
    if (s.kind() == ErrorKind::kExists && SameLinkThere(target, text)) {
      return Status::Ok();
    }
    return s;
  }
  if (durable) {
    return SyncDirectory(WideToNarrow(DirectoryHolding(NarrowToWide(target))));
  }
  return Status::Ok();
}

void CopyLinkEntry(const std::wstring& path, const std::wstring& source_root,
                   const std::wstring& target_root, const std::wstring& task_id) {
  // A row that never completed is taken again, as the walk takes a file's.
  ColumnMap row = FindItemForSource(task_id, path);
  if (!row.empty() && !IsUnfinishedItemStatus(ColumnValue(row, kCopyStatusColumn))) return;
  std::wstring target = MakeTargetPath(path, source_root, target_root);
  std::wstring id = ColumnValue(row, kIdColumn);
  if (id.empty()) {
    std::string text;
    ReadSymbolicLink(WideToNarrow(path), &text);
    id = InsertItem(L"", task_id, path, target, L"", std::to_wstring(text.size()), kStatusReady);
  }
  SetItemCopyStatus(id, kStatusRunning);
  Status s = CopySymbolicLink(WideToNarrow(path), WideToNarrow(target), SyncEnabled());
  if (!s.ok()) {
    std::wstring reason = NarrowToWide(s.message());
    if (s.kind() == ErrorKind::kUnsupported) {
      reason =
          L"the target's file system holds no symbolic links; the link was not made "
          L"(copy with '--links follow' to copy what it points to)";
    }
    WriteItemReason(id, reason);
    SetItemCopyStatus(id, kStatusStop);
    SetItemMd5Status(id, kMd5Uncheck);
    return;
  }
  SetItemCopyStatus(id, kStatusFinish);
  SetItemPositionToTotal(id);
  SetItemMd5Status(id, kMd5Uncheck);
}

}  // namespace quorvalmist
