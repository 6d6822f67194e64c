#include "core/copy_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
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
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

const wchar_t* const kInnerProgramName = L"Skiffwright";

namespace {

constexpr unsigned kPollMilliseconds = 256;
constexpr size_t kReceiveBufferSize = 5000;
constexpr size_t kReadSize = 1024;
// Enough of the copier's output to hold its last progress lines and the
// placed line.
constexpr size_t kTailBytes = 256;
// How long the core waits after a stop for its copier to end. The copier
// notices the item's "runstatus" within its monitor's period; a copy that is
// being made durable or placed may take a few seconds more.
constexpr std::chrono::seconds kStoppedCopierGrace{3};

// Publishes the progress of an MD5 comparison in the item's section of
// inner.cnf, where the front end shows it, from a thread of its own while the
// comparison runs on the calling thread: at most once a poll period, and only
// once some bytes were read.
class VerificationReport {
 public:
  VerificationReport(const std::wstring& item_id, uint64_t total)
      : item_id_(item_id), total_(total), thread_([this] { Run(); }) {}
  ~VerificationReport() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  VerificationReport(const VerificationReport&) = delete;
  VerificationReport& operator=(const VerificationReport&) = delete;

  std::atomic<uint64_t>* hashed() { return &hashed_; }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t published = 0;
    while (!wake_.wait_for(lock, std::chrono::milliseconds(kPollMilliseconds),
                           [this] { return done_; })) {
      uint64_t now = std::min(hashed_.load(std::memory_order_relaxed), total_);
      if (now == published) continue;
      published = now;
      WriteItemVerification(item_id_, total_, now);
    }
  }

  const std::wstring item_id_;
  const uint64_t total_;
  std::atomic<uint64_t> hashed_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

// The MD5 comparison of item `id`'s copy, with the target read from its
// device unless "verifyfrom" in core.cnf asks for the cached read; its
// progress is published as it goes. A stop ends it part-way, as a difference
// would; UnlessStopped tells the two apart.
bool VerifyCopy(const std::wstring& id, const std::wstring& source, const std::wstring& target) {
  MatchOptions options;
  options.target_from_disk = VerifyFromDisk();
  options.stop = &StopFlag;
  VerificationReport report(id, 2 * QueryFileSize(source).value_or(0));
  options.hashed = report.hashed();
  return FilesMatch(source, target, options);
}

// A comparison that found no match while the stop flag was raised was cut
// short: it proves nothing, so the row says "stop" and the next run judges
// the file again.
Verdict UnlessStopped(Verdict verdict, const std::wstring& id) {
  if (verdict == Verdict::kError && StopFlag.load(std::memory_order_relaxed)) {
    WriteItemReason(id, L"stopped while the copy was verified by MD5; a resume verifies it again");
    return Verdict::kStop;
  }
  return verdict;
}

// Copies the position the copier last reported into the item's row.
void MirrorPosition(const std::wstring& id) {
  std::wstring position = ReadItemPosition(id);
  if (!position.empty()) SetItemPosition(id, position);
}

// Records in the row how far a copy that did not complete got: the length
// of its temporary file (what a resume takes over), or the copier's last
// report when that is further (holes at the end are not written yet) or the
// temporary file is gone; never more than the file's size.
void RecordReach(const std::wstring& id, const std::wstring& target, uint64_t total) {
  uint64_t reach = static_cast<uint64_t>(std::max<int64_t>(WideToInt64(ReadItemPosition(id)), 0));
  TempFile temp = FindTempFor(target);
  if (temp.exists) reach = std::max(reach, QueryFileSize(temp.path).value_or(0));
  SetItemPosition(id, std::to_wstring(std::min(reach, total)));
}

}  // namespace

std::optional<InnerOutcome::Placed> ParsePlacedLine(const std::string& tail) {
  size_t at = tail.rfind(kPlacedLinePrefix);
  if (at == std::string::npos || (at > 0 && tail[at - 1] != '\n')) return std::nullopt;
  size_t end = tail.find('\n', at);
  if (end == std::string::npos) return std::nullopt;
  std::istringstream in(tail.substr(at + std::strlen(kPlacedLinePrefix), end - at));
  InnerOutcome::Placed placed;
  if (!(in >> placed.device >> placed.inode)) return std::nullopt;
  return placed;
}

InnerCommand BuildInnerCommand(const std::wstring& source, const std::wstring& target,
                               const std::wstring& task_id, const std::wstring& item_id,
                               uint64_t start_position) {
  std::wstring start = std::to_wstring(start_position);
  InnerCommand command;
  command.line = std::wstring(kInnerProgramName) + L" \"" + source + L"\"  \"" + target + L"\" " +
                 start + L" 1024 " + task_id + L" " + item_id;
  command.arguments = {source, target, start, L"1024", task_id, item_id};
  return command;
}

InnerOutcome RunInnerProcess(const InnerCommand& command) {
  InnerOutcome outcome;
  std::string program = FindProgram(WideToNarrow(kInnerProgramName));
  if (program.empty()) {
    // Judged from the files: normally "stop".
    outcome.end = InnerOutcome::End::kNotStarted;
    outcome.why = "the copier (" + WideToNarrow(kInnerProgramName) + ") was not found";
    return outcome;
  }
  std::vector<std::string> arguments;
  for (const auto& a : command.arguments) arguments.push_back(WideToNarrow(a));
  Status status;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(program, arguments, &status);
  if (!child) {
    outcome.end = InnerOutcome::End::kNotStarted;
    outcome.why = status.message();
    return outcome;
  }

  // The same steps either way: stop flag, drain the output, end of the
  // child, wait, mirror the position. Paced, the wait is a full period of
  // sleep and the position is mirrored after each. Brisk, the wait ends as
  // soon as the copier prints or ends, and the position is mirrored once a
  // period has passed since the last time, so still at most once a period.
  const bool brisk = BriskPacing();
  const auto period = std::chrono::milliseconds(kPollMilliseconds);
  auto next_mirror = std::chrono::steady_clock::now() + period;
  char receive[kReceiveBufferSize];
  // The last bytes of the output: the placed line is the copier's last.
  std::string tail;
  // After a stop the copier is told to stop too and waited for, so that what
  // it did last (the chunks it wrote, a file it placed) is what the row says.
  std::optional<std::chrono::steady_clock::time_point> give_up;
  for (;;) {
    if (StopFlag.load(std::memory_order_relaxed)) {
      auto now = std::chrono::steady_clock::now();
      if (!give_up) {
        WriteItemRunStatus(command.arguments.back(), L"stop");
        give_up = now + kStoppedCopierGrace;
      } else if (now >= *give_up) {
        break;
      }
    }
    size_t waiting = 0;
    if (!child->PeekOutput(&waiting)) break;
    if (waiting > 0) {
      size_t read = 0;
      if (!child->ReadOutput(receive, kReadSize, &read)) break;
      receive[read] = '\0';
      tail.append(receive, read);
      if (tail.size() > kTailBytes) tail.erase(0, tail.size() - kTailBytes);
      if (!brisk) continue;
    } else if (child->HasEnded()) {
      outcome.end = InnerOutcome::End::kExited;
      outcome.ended = child->Wait();
      outcome.placed = ParsePlacedLine(tail);
      break;
    } else if (brisk) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          next_mirror - std::chrono::steady_clock::now());
      child->WaitForOutputOrEnd(static_cast<unsigned>(std::max<int64_t>(left.count(), 0)));
    } else {
      SleepMilliseconds(kPollMilliseconds);
    }
    if (brisk) {
      auto now = std::chrono::steady_clock::now();
      if (now < next_mirror) continue;
      next_mirror = now + period;
    }
    MirrorPosition(command.arguments.back());  // the item id
  }
  return outcome;
}

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

// Writes the verdict to the row: copystatus, then positionnum := totalnum
// (finish and success only), then md5status, each an update of its own.
void RecordVerdict(const std::wstring& id, Verdict verdict) {
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

// Whose file stands at the target's name once the copier has ended.
enum class TargetOwner {
  kNone,     // nothing is there
  kOwn,      // the file the copier said it put there (its placed line)
  kOther,    // a file this copy did not put there
  kUnknown,  // the core stopped watching the copier, so it cannot tell
};

TargetOwner OwnerOfTarget(const InnerOutcome& outcome, const std::optional<PathInfo>& there) {
  if (!there) return TargetOwner::kNone;
  if (outcome.end == InnerOutcome::End::kLeft) return TargetOwner::kUnknown;
  if (outcome.placed && outcome.placed->device == there->device &&
      outcome.placed->inode == there->inode) {
    return TargetOwner::kOwn;
  }
  return TargetOwner::kOther;
}

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

// A file that this copy did not put there stands at the target's name: it
// is never judged as this item's copy, nor removed. The row says "stop" with
// the reason: the copier's own when it gave one (it lost the name while
// renaming), else the core's.
void RecordForeignTarget(const std::wstring& id, const InnerOutcome& outcome, bool source_there) {
  MirrorPosition(id);
  RecordVerdict(id, Verdict::kStop);
  std::string reason = CopierFailure(outcome);
  if (reason.empty()) {
    // A copier that failed, or found no source to copy, leaves the reason to
    // its own words or to the front end's look at the files.
    if (outcome.ended.exit_code != 0 || !source_there || !ReadItemReason(id).empty()) return;
    reason =
        "not replaced: another file took the target's name while this one was copied (move it "
        "away, then resume)";
  }
  WriteItemReason(id, NarrowToWide(reason));
}

// Leaves the reason of a copy that did not complete where the front end reads
// it, where the core knows it better than the copier: a copier that could not
// start or was ended by a signal, and a copy the copier completed that is not
// the source's. Such a copy, proven this run's own by its identity, is
// removed: the next run then copies the file again instead of finding a
// different file in the way. A copier that failed gave its own reason.
void ExplainFailedCopy(const std::wstring& id, const InnerOutcome& outcome, Verdict verdict,
                       std::optional<uint64_t> source_size, const std::wstring& target,
                       TargetOwner owner) {
  std::string reason = CopierFailure(outcome);
  if (reason.empty()) {
    if (outcome.end != InnerOutcome::End::kExited || outcome.ended.exit_code != 0) return;
    if (owner != TargetOwner::kOwn || !RemoveFileAt(WideToNarrow(target)).ok()) return;
    if (verdict == Verdict::kError) {
      reason =
          "the copy differed from the source by MD5 (did the source change while it was "
          "copied?); the copy was removed, and a resume copies the file again";
    } else {
      reason = "the source changed size while it was copied" +
               (source_size ? " (it has " + std::to_string(*source_size) + " bytes now)"
                            : std::string(" (it is gone now)")) +
               "; the copy was removed, and a resume copies the file again";
    }
  }
  WriteItemReason(id, NarrowToWide(reason));
}

// A copy that a stop of the run cut short, and that no one gave a reason for,
// says what stopped it: a stop someone asked for, or the end of the front end
// that started the run (the copier, stopped the same way, gives no reason of
// its own). Otherwise the front end would be left to guess from the files.
void ExplainStoppedCopy(const std::wstring& id) {
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

// Judges a target that was there before the copy, which is never replaced:
// by MD5 in every check mode, since equal sizes alone would pass a different
// file off as the copy.
void JudgeTargetFound(const std::wstring& task_id, const std::wstring& id,
                      const std::wstring& source, const std::wstring& target, uint64_t size) {
  if (std::optional<std::string> twin = CaseTwinAt(WideToNarrow(target))) {
    WriteItemReason(id,
                    NarrowToWide("another file whose name differs only in letter case ('" + *twin +
                                 "') is already at the target, and the target's file system "
                                 "does not tell such names apart; not copied"));
    RecordVerdict(id, Verdict::kStop);
    return;
  }
  Verdict verdict =
      UnlessStopped(VerifyCopy(id, source, target) ? Verdict::kSuccess : Verdict::kError, id);
  if (verdict == Verdict::kSuccess) {
    // Counted for the run's figures: found in place, not copied.
    static uint64_t found_bytes = 0;
    found_bytes += size;
    WriteTaskFoundBytes(task_id, found_bytes);
  }
  RecordVerdict(id, verdict);
}

}  // namespace

void CopyItem(const std::wstring& source, const std::wstring& target, const std::wstring& task_id,
              const std::wstring& item_id, uint64_t total) {
  const std::wstring& id = item_id;
  std::string target_narrow = WideToNarrow(target);
  std::optional<PathInfo> found = StatPath(target_narrow);
  if (found && IsAnyTempFile(target_narrow)) {
    // The name is held by the temporary file of another target's unfinished
    // copy (the source is called like one): that file is not the user's, nor
    // this item's, and is left for its own copy to finish.
    WriteItemReason(id,
                    L"the target's name is held by the temporary file of another file's "
                    L"unfinished copy; a resume copies this file once that copy is done");
    RecordVerdict(id, Verdict::kStop);
    return;
  }
  // A link that leads nowhere reads as nothing there, but holds the name just
  // as well: a copy could never be placed.
  if (!found && IsDanglingLink(target_narrow)) {
    WriteItemReason(id, NarrowToWide(kDanglingTargetReason));
    RecordVerdict(id, Verdict::kStop);
    return;
  }
  // An existing target is never replaced, so the copier is not started for
  // one that is there already: its copy could never be placed and would only
  // be left behind as a temporary file.
  if (std::optional<uint64_t> size = QueryFileSize(source); size && found) {
    JudgeTargetFound(task_id, id, source, target, *size);
    return;
  }

  uint64_t start = 0;
  if (ResumeInsideFiles()) {
    std::optional<uint64_t> size = QueryFileSize(source);
    TempFile temp = FindTempFor(target);
    if (size && temp.exists) start = ResumeStartPosition(QueryFileSize(temp.path), *size);
  }
  InnerOutcome outcome =
      RunInnerProcess(BuildInnerCommand(source, target, task_id, item_id, start));

  std::optional<PathInfo> there = StatPath(target_narrow);
  TargetOwner owner = OwnerOfTarget(outcome, there);
  if (owner == TargetOwner::kOther) {
    RecordForeignTarget(id, outcome, QueryFileSize(source).has_value());
    return;
  }
  std::optional<uint64_t> source_size = QueryFileSize(source);
  std::optional<uint64_t> target_size = QueryFileSize(target);
  // The check mode is read only when the sizes agree, anew for every item.
  int check_mode = 0;
  if (source_size && target_size && *source_size == *target_size) {
    check_mode = WideToInt(ReadCheckFileFlag());
    // Bytes from two runs are verified whatever the mode asks.
    if (start > 0) check_mode = 1;
  }
  auto verify = [&id](const std::wstring& from, const std::wstring& to) {
    return VerifyCopy(id, from, to);
  };
  Verdict judged = JudgeCopy(source_size, target_size, check_mode, verify, source, target);
  Verdict verdict = UnlessStopped(judged, id);
  if ((verdict == Verdict::kSuccess || verdict == Verdict::kFinish) && total != *source_size) {
    // The source changed size since its row was made: the row's total says
    // what was copied, since it becomes the position.
    UpdateItemFields(id, {{kTotalNumColumn, std::to_wstring(*source_size)}});
  }
  // A copy that did not complete keeps in its row how far it got, for the
  // figures of the run.
  if (verdict == Verdict::kStop) RecordReach(id, target, total);
  RecordVerdict(id, verdict);
  // A stopped verification leaves the copy as it is: it is judged again.
  if (judged == Verdict::kStop || verdict == Verdict::kError) {
    ExplainFailedCopy(id, outcome, verdict, source_size, target, owner);
  }
  if (verdict == Verdict::kStop) ExplainStoppedCopy(id);
}

}  // namespace quorvalmist
