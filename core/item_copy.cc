#include "core/item_copy.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/config_store.h"
#include "common/file_info.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/resume_position.h"
#include "common/run_control.h"
#include "common/temp_name.h"
#include "core/case_twin.h"
#include "core/core_state.h"
#include "db/item_table.h"
#include "db/schema.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

Verdict JudgeCopy(std::optional<uint64_t> source_size, std::optional<uint64_t> target_size,
                  int check_mode, const FilesMatchFunction& files_match, const std::wstring& source,
                  const std::wstring& target) {
  if (!source_size || !target_size || *source_size != *target_size) return Verdict::kStop;
  if (check_mode == 2 || (check_mode == 0 && *source_size > LargeFileThreshold)) {
    return Verdict::kFinish;
  }
  return files_match(source, target) ? Verdict::kSuccess : Verdict::kError;
}

namespace {

// The reason the core knows better than the copier, when it does: a copier
// that could not start or was ended by a signal. Empty otherwise.
std::string CopierFailure(const InnerOutcome& outcome) {
  if (outcome.end == InnerOutcome::End::kNotStarted) {
    return "the copier could not be started: " + outcome.why;
  }
  if (outcome.end == InnerOutcome::End::kExited && outcome.ended.signal != 0) {
    return "the copier was ended by signal " + std::to_string(outcome.ended.signal);
  }
  return "";
}

}  // namespace

void ItemCopy::MirrorPosition() const {
  std::wstring position = ReadItemPosition(job_.id);
  if (!position.empty()) SetItemPosition(job_.id, position);
}

ItemCopy::ItemCopy(RunContext* run, ItemJob job, FolderSyncs* folders)
    : run_(run),
      job_(std::move(job)),
      folders_(folders),
      target_narrow_(WideToNarrow(job_.target)) {}

ItemCopy::Next ItemCopy::Prepare() {
  const std::wstring& id = job_.id;
  std::optional<PathInfo> found = StatPath(target_narrow_);
  if (found && IsAnyTempFile(target_narrow_)) {
    // The name is held by the temporary file of another target's unfinished
    // copy (the source is called like one): that file is not the user's, nor
    // this item's, and is left for its own copy to finish.
    WriteItemReason(id,
                    L"the target's name is held by the temporary file of another file's "
                    L"unfinished copy; a resume copies this file once that copy is done");
    RecordVerdict(Verdict::kStop);
    return Next::kDone;
  }
  // A link that leads nowhere reads as nothing there, but holds the name just
  // as well: a copy could never be placed.
  if (!found && IsDanglingLink(target_narrow_)) {
    WriteItemReason(id, NarrowToWide(kDanglingTargetReason));
    RecordVerdict(Verdict::kStop);
    return Next::kDone;
  }
  std::optional<uint64_t> size = QueryFileSize(job_.source);
  // An existing target is never replaced, so the copier is not started for
  // one that is there already: its copy could never be placed and would only
  // be left behind as a temporary file. It is judged by MD5 in every check
  // mode, since equal sizes alone would pass a different file off as the copy.
  if (size && found) {
    if (std::optional<std::string> twin = CaseTwinAt(target_narrow_)) {
      WriteItemReason(
          id, NarrowToWide("another file whose name differs only in letter case ('" + *twin +
                           "') is already at the target, and the target's file "
                           "system does not tell such names apart; not copied"));
      RecordVerdict(Verdict::kStop);
      return Next::kDone;
    }
    found_ = true;
    source_size_ = size;
    compare_ = true;
    return Next::kVerify;
  }
  if (run_->settings.resume_inside && size) {
    TempFile temp = FindTempFor(job_.target);
    if (temp.exists) start_ = ResumeStartPosition(QueryFileSize(temp.path), *size);
  }
  return Next::kCopy;
}

CopierItem ItemCopy::Command() const {
  CopierItem item;
  item.source = job_.source;
  item.target = job_.target;
  item.start = static_cast<int64_t>(start_);
  item.task_id = run_->task_id;
  item.item_id = job_.id;
  return item;
}

ItemCopy::Next ItemCopy::AfterCopier(const InnerOutcome& outcome) {
  outcome_ = outcome;
  std::optional<PathInfo> there = StatPath(target_narrow_);
  if (!there) {
    owner_ = Owner::kNone;
  } else if (outcome.end == InnerOutcome::End::kLeft) {
    owner_ = Owner::kUnknown;
  } else if (outcome.placed && outcome.placed->device == there->device &&
             outcome.placed->inode == there->inode) {
    owner_ = Owner::kOwn;
  } else {
    owner_ = Owner::kOther;
  }
  if (owner_ == Owner::kOther) {
    RecordForeignTarget(QueryFileSize(job_.source).has_value());
    return Next::kDone;
  }
  // A serving copier leaves the sync of the folder after its rename to the
  // core: the copy counts only once that is done.
  sync_folder_ = owner_ == Owner::kOwn && run_->settings.serving_copiers &&
                 run_->settings.durable && folders_ != nullptr;
  source_size_ = QueryFileSize(job_.source);
  // The target as looked up just now: one look serves its owner and its size.
  if (there && there->is_regular) target_size_ = there->size;
  // The check mode is read only when the sizes agree, anew for every item.
  if (source_size_ && target_size_ && *source_size_ == *target_size_) {
    check_mode_ = WideToInt(ReadCheckFileFlag());
    // Bytes from two runs are verified whatever the mode asks.
    if (start_ > 0) check_mode_ = 1;
    // JudgeCopy compares by MD5 in every mode but these.
    const bool size_alone =
        check_mode_ == 2 || (check_mode_ == 0 && *source_size_ > LargeFileThreshold);
    compare_ = !size_alone;
  }
  return compare_ || sync_folder_ ? Next::kVerify : Next::kRecord;
}

void ItemCopy::Settle() {
  if (sync_folder_) {
    Status synced = folders_->Sync(WideToNarrow(ParentDirectory(job_.target)));
    if (!synced.ok()) folder_error_ = synced.message();
  }
  if (compare_ && folder_error_.empty()) Verify();
}

void ItemCopy::Verify() {
  MatchOptions options;
  options.target_from_disk = run_->settings.verify_from_disk;
  options.stop = &StopFlag;
  options.hashed = &hashed_;
  match_ = FilesMatch(job_.source, job_.target, options);
}

void ItemCopy::Record() {
  if (found_) {
    RecordFound();
  } else {
    RecordCopied();
  }
}

void ItemCopy::RecordFound() {
  Verdict verdict = UnlessStopped(match_.value_or(false) ? Verdict::kSuccess : Verdict::kError);
  if (verdict == Verdict::kSuccess) {
    // Counted for the run's figures: found in place, not copied.
    run_->found_bytes += source_size_.value_or(0);
    WriteTaskFoundBytes(run_->task_id, run_->found_bytes);
  }
  RecordVerdict(verdict);
}

void ItemCopy::RecordCopied() {
  if (!folder_error_.empty()) {
    // The copy is in place but its name may not be on the disk yet: it does
    // not count, and the next run verifies the file it finds.
    RecordReach();
    RecordVerdict(Verdict::kStop);
    WriteItemReason(job_.id, NarrowToWide("the copy was placed, but its folder could not be "
                                          "synced to the disk (" +
                                          folder_error_ + "); a resume verifies it"));
    return;
  }
  const bool matched = match_.value_or(false);
  Verdict judged = JudgeCopy(
      source_size_, target_size_, check_mode_,
      [matched](const std::wstring&, const std::wstring&) { return matched; }, job_.source,
      job_.target);
  Verdict verdict = UnlessStopped(judged);
  if ((verdict == Verdict::kSuccess || verdict == Verdict::kFinish) &&
      job_.total != *source_size_) {
    // The source changed size since its row was made: the row's total says
    // what was copied, since it becomes the position.
    UpdateItemFields(job_.id, {{kTotalNumColumn, std::to_wstring(*source_size_)}});
  }
  // A copy that did not complete keeps in its row how far it got, for the
  // figures of the run.
  if (verdict == Verdict::kStop) RecordReach();
  RecordVerdict(verdict);
  // A stopped verification leaves the copy as it is: it is judged again.
  if (judged == Verdict::kStop || verdict == Verdict::kError) ExplainFailedCopy(verdict);
  if (verdict == Verdict::kStop) ExplainStoppedCopy();
}

// Writes the verdict to the row: copystatus, then positionnum := totalnum
// (finish and success only), then md5status, each an update of its own.
void ItemCopy::RecordVerdict(Verdict verdict) {
  const std::wstring& id = job_.id;
  switch (verdict) {
    case Verdict::kStop:
      SetItemCopyStatus(id, kStatusStop);
      SetItemMd5Status(id, kMd5Uncheck);
      break;
    case Verdict::kFinish:
      SetItemCopyStatus(id, kStatusFinish);
      SetItemPositionToTotal(id);
      SetItemMd5Status(id, kMd5Uncheck);
      break;
    case Verdict::kSuccess:
      SetItemCopyStatus(id, kStatusSuccess);
      SetItemPositionToTotal(id);
      SetItemMd5Status(id, kMd5Ok);
      break;
    case Verdict::kError:
      SetItemCopyStatus(id, kStatusError);
      SetItemMd5Status(id, kMd5Error);
      break;
  }
}

// A comparison that found no match while the stop flag was raised was cut
// short: it proves nothing, so the row says "stop" and the next run judges
// the file again.
Verdict ItemCopy::UnlessStopped(Verdict verdict) {
  if (verdict == Verdict::kError && StopFlag.load(std::memory_order_relaxed)) {
    WriteItemReason(job_.id,
                    L"stopped while the copy was verified by MD5; a resume verifies it again");
    return Verdict::kStop;
  }
  return verdict;
}

// A file that this copy did not put there stands at the target's name: it
// is never judged as this item's copy, nor removed. The row says "stop" with
// the reason: the copier's own when it gave one (it lost the name while
// renaming), else the core's.
void ItemCopy::RecordForeignTarget(bool source_there) {
  const std::wstring& id = job_.id;
  MirrorPosition();
  RecordVerdict(Verdict::kStop);
  std::string reason = CopierFailure(outcome_);
  if (reason.empty()) {
    // A copier that failed, or found no source to copy, leaves the reason to
    // its own words or to the front end's look at the files.
    if (outcome_.ended.exit_code != kCopierExitDone || !source_there ||
        !ReadItemReason(id).empty()) {
      return;
    }
    reason =
        "not replaced: another file took the target's name while this one was copied (move it "
        "away, then resume)";
  }
  WriteItemReason(id, NarrowToWide(reason));
}

// Records in the row how far a copy that did not complete got: the length
// of its temporary file (what a resume takes over), or the copier's last
// report when that is further (holes at the end are not written yet) or the
// temporary file is gone; never more than the file's size.
void ItemCopy::RecordReach() {
  const std::wstring& id = job_.id;
  uint64_t reach = static_cast<uint64_t>(std::max<int64_t>(WideToInt64(ReadItemPosition(id)), 0));
  TempFile temp = FindTempFor(job_.target);
  if (temp.exists) reach = std::max(reach, QueryFileSize(temp.path).value_or(0));
  SetItemPosition(id, std::to_wstring(std::min(reach, job_.total)));
}

// Leaves the reason of a copy that did not complete where the front end reads
// it, where the core knows it better than the copier: a copier that could not
// start or was ended by a signal, and a copy the copier completed that is not
// the source's. Such a copy, proven this run's own by its identity, is
// removed: the next run then copies the file again instead of finding a
// different file in the way. A copier that failed gave its own reason.
void ItemCopy::ExplainFailedCopy(Verdict verdict) {
  std::string reason = CopierFailure(outcome_);
  if (reason.empty()) {
    if (outcome_.end != InnerOutcome::End::kExited || outcome_.ended.exit_code != kCopierExitDone) {
      return;
    }
    if (owner_ != Owner::kOwn || !RemoveFileAt(target_narrow_).ok()) return;
    if (verdict == Verdict::kError) {
      reason =
          "the copy differed from the source by MD5 (did the source change while it was "
          "copied?); the copy was removed, and a resume copies the file again";
    } else {
      reason = "the source changed size while it was copied" +
               (source_size_ ? " (it has " + std::to_string(*source_size_) + " bytes now)"
                             : std::string(" (it is gone now)")) +
               "; the copy was removed, and a resume copies the file again";
    }
  }
  WriteItemReason(job_.id, NarrowToWide(reason));
}

// A copy that a stop of the run cut short, and that no one gave a reason for,
// says what stopped it: a stop someone asked for, or the end of the front end
// that started the run (the copier, stopped the same way, gives no reason of
// its own). Otherwise the front end would be left to guess from the files.
void ItemCopy::ExplainStoppedCopy() {
  const std::wstring& id = job_.id;
  const MonitorTarget& monitor = CoreMonitorTarget();
  if (monitor.section == nullptr || !ReadItemReason(id).empty()) return;
  switch (WhyStop(monitor)) {
    case StopCause::kRunStatus:
      WriteItemReason(id, L"stopped before the copy was complete; a resume copies it");
      break;
    case StopCause::kFrontEndGone:
    case StopCause::kWatchedGone:
      WriteItemReason(id,
                      L"interrupted: the run was ended before this copy completed (the front "
                      L"end or the core was killed); a resume copies it");
      break;
    case StopCause::kNone:
      break;
  }
}

}  // namespace quorvalmist
