#include "frontend/task_run.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "common/config_store.h"
#include "common/protocol.h"
#include "common/run_control.h"
#include "common/temp_name.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "db/searched_dirs.h"
#include "frontend/command_error.h"
#include "frontend/display.h"
#include "frontend/durable_finish.h"
#include "frontend/progress.h"
#include "frontend/rerun.h"
#include "frontend/run_cleanup.h"
#include "frontend/run_summary.h"
#include "frontend/terminal.h"
#include "frontend/tree_count.h"
#include "frontend/workspace.h"
#include "platform/file.h"
#include "platform/marker.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kCoreProgramName = "Tollhaven";
constexpr milliseconds kLoopPause{100};
constexpr milliseconds kLivePeriod{500};
// How long a stopped copier may take to notice and end.
constexpr milliseconds kCopierGrace{15000};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

uint64_t ReadPosition(const std::wstring& item_id) {
  int64_t value = WideToInt64(ReadItemPosition(item_id));
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

// Why the copier cannot write `target` at all: the path of its temporary file
// is longer than the system accepts, or the target's own name is. Empty when
// both fit.
std::string TargetNameProblem(const std::wstring& target) {
  std::string temp = WideToNarrow(TempPathFor(target));
  if (temp.size() >= kAnsiPathCapacity) {
    return "the target path is too long for the system (" + std::to_string(temp.size()) +
           " bytes with the temporary suffix; the limit is " +
           std::to_string(kAnsiPathCapacity - 1) + "); copy to a shorter target";
  }
  std::string path = WideToNarrow(target);
  size_t name = path.size() - LastComponentStart(path);
  if (name > kMaxNameBytes) {
    return "the target's name is too long for the system (more than " +
           std::to_string(kMaxNameBytes) + " bytes); rename the file";
  }
  return "";
}

// Why the source `path`, which cannot be looked up, was not copied: it is not
// there, or a folder on its way may not be searched (or another failure).
std::string WhySourceUnreadable(const std::string& path) {
  Status status = StatPathError(path);
  if (status.ok() || status.kind() == ErrorKind::kNotFound) return "the source is missing";
  if (status.kind() == ErrorKind::kAccessDenied) {
    return "the source cannot be read: permission denied";
  }
  return "the source cannot be read: " + status.reason();
}

// Symbolic links of the source tree, so none goes without a word: kept as
// links, or (followed) links to files copied as the files they name and links
// to folders not entered.
}  // namespace

std::string DisplayName(const TaskInfo& task, const std::wstring& source_file) {
  std::string name = WideToNarrow(source_file);
  if (!task.is_dir()) return name;
  std::string root = WideToNarrow(task.sourcedir);
  if (name.size() > root.size() && name.compare(0, root.size(), root) == 0) {
    name.erase(0, root.size());
    if (!name.empty() && IsPathSeparator(name[0])) name.erase(0, 1);
  }
  return name;
}

// Why the source of `item` is not a file that can be copied (a FIFO, socket
// or device, or a broken symbolic link); empty when it is one, or is gone.
std::string WhyNotCopyable(const ItemInfo& item) {
  std::string source = WideToNarrow(item.sourcefile);
  std::optional<PathInfo> src = StatPath(source);
  if (!src && IsDanglingLink(source)) {
    return "a broken symbolic link (what it points to does not exist); it is not copied";
  }
  if (src && !src->is_regular && !src->is_directory) {
    return "not a regular file (a FIFO, socket or device); it is not copied";
  }
  return "";
}

// Marks the stopped rows of `unfinished` whose source can never be copied as
// skipped, and takes them out of the list: they are reported once, with why,
// and no longer keep the task from being done.
std::vector<std::pair<ItemInfo, std::string>> SkipUncopyable(std::vector<ItemInfo>* unfinished) {
  std::vector<std::pair<ItemInfo, std::string>> skipped;
  std::vector<ItemInfo> kept;
  for (ItemInfo& item : *unfinished) {
    std::string why = item.copystatus == kStatusStop ? WhyNotCopyable(item) : "";
    if (why.empty()) {
      kept.push_back(std::move(item));
      continue;
    }
    SetItemVerdict(item.id, kStatusSkipped, kMd5Uncheck);
    skipped.emplace_back(std::move(item), std::move(why));
  }
  *unfinished = std::move(kept);
  return skipped;
}

std::string ExplainUnfinished(const ItemInfo& item, bool stop_requested) {
  const std::wstring& status = item.copystatus;
  if (status == kStatusReady) return "not copied yet";
  if (status == kStatusRunning) return "interrupted while it was copied";
  if (status == kStatusSkipped) {
    std::string why = WhyNotCopyable(item);
    return why.empty() ? "skipped: it was not a file that can be copied" : why;
  }
  // The copier's or the core's own words, where they left them.
  std::wstring reason = ReadItemReason(item.id);
  if (!reason.empty()) return WideToNarrow(reason);
  std::string source = WideToNarrow(item.sourcefile);
  std::string target = WideToNarrow(item.targetfile);
  if (source.size() >= kAnsiPathCapacity) {
    return "the source path is too long for the system (" + std::to_string(source.size()) +
           " bytes; the limit is " + std::to_string(kAnsiPathCapacity - 1) +
           "); it cannot be copied";
  }
  std::optional<PathInfo> src = StatPath(source);
  std::optional<PathInfo> dst = StatPath(target);
  if (std::string why = WhyNotCopyable(item); !why.empty()) return why;
  if (!src) return WhySourceUnreadable(source);
  if (!src->is_regular) return "not a regular file; it is not copied";
  if (!dst) {
    std::string problem = TargetNameProblem(item.targetfile);
    if (!problem.empty()) return problem;
  }
  if (dst && !dst->is_regular) {
    return "something that is not a regular file is already at the target; it was not "
           "replaced (move it away, then resume)";
  }
  if (status == kStatusError) {
    // A target found in place is judged as it is and never replaced; a copy
    // that failed verification stays in place the same way.
    return "the file at the target differs from the source and was not replaced (a different "
           "file was already there, or the source changed while it was copied); move it "
           "away, then resume";
  }
  if (dst && dst->size != src->size) {
    return "a different file is already at the target; it was not replaced (move it away, "
           "then resume)";
  }
  if (stop_requested) return "stopped before the copy was complete";
  return "the copy did not complete (can the target be written?)";
}

void RefuseWhileRunning(const TaskInfo& task) {
  if (IsMarkerAbsent(task.id)) return;
  std::string id = WideToNarrow(task.id);
  throw CommandError("task " + id +
                     " is being run by another process; wait for it, or stop it with "
                     "'quorvalmist stop " +
                     id + "'");
}

void PrintWalkProblems(const TaskInfo& task, const std::vector<WalkProblem>& problems,
                       const char* indent) {
  for (const WalkProblem& problem : problems) {
    std::printf("%s%s: %s\n", indent, DisplayName(task, problem.path).c_str(),
                WideToNarrow(problem.reason).c_str());
  }
}

namespace {

// A core run as started: the process, the count of the tree beside it (a
// directory task), and the task's tally before the run.
struct StartedRun {
  std::unique_ptr<ChildProcess> child;
  std::unique_ptr<BackgroundTreeCount> count;
  TaskTally before;
};

// Holds the markers, records the run in the workspace and starts the core
// found beside this program. Throws CommandError when any of it fails.
StartedRun StartCore(const TaskInfo& task) {
  Status status = HoldMarker(FrontEndMutexName);
  if (!status.ok()) {
    throw CommandError("cannot hold the front end's marker: " + status.message(),
                       kFrontEndExitFailure);
  }
  RefuseWhileRunning(task);
  std::string core = PathText(FileSystemPath(ExecutableDirectory()) /
                              FileSystemPath(ExecutableFileName(kCoreProgramName)));
  std::optional<PathInfo> core_info = StatPath(core);
  if (!core_info || !core_info->is_regular) {
    throw CommandError("cannot find " + core + " (it is installed beside quorvalmist)",
                       kFrontEndExitFailure);
  }

  // This front end's own marker, which the core watches besides the shared
  // one: killed, this front end takes its runs down with it.
  std::wstring own_id = NarrowToWide(CurrentProcessIdText());
  if (ClaimMarker(FrontEndOwnMarkerName(own_id), &status) != ClaimResult::kClaimed) {
    throw CommandError("cannot hold the front end's own marker: " + status.message(),
                       kFrontEndExitFailure);
  }

  CountInterrupts();
  SetTaskFrontEnd(task.id, own_id);
  SetTaskRunStatus(task.id, kRunStatusRun);
  // The core and the copier note the run's figures in inner.cnf, from 0.
  ClearTaskRunNotes(task.id);
  StartedRun run;
  run.before = TallyTask(task.id);
  UpdateTask(task.id, L"running", run.before.done_files(), run.before.rows);
  if (task.is_dir()) {
    run.count = std::make_unique<BackgroundTreeCount>(
        WideToNarrow(task.sourcedir), WideToNarrow(task.targetdir), !KeepLinks(task.id));
  }
  run.child = ChildProcess::Start(core, {WideToNarrow(task.id)}, &status);
  if (!run.child) {
    UpdateTask(task.id, L"incomplete", run.before.done_files(), run.before.rows);
    throw CommandError("cannot start " + core + ": " + status.message(), kFrontEndExitFailure);
  }
  return run;
}

// What the display keeps between its snapshots of one run.
class RunFigures {
 public:
  explicit RunFigures(const std::map<std::wstring, uint64_t>& kept) : not_taken_(kept) {}

  // The display's figures now: the file being copied (or compared with its
  // source), and what this run did against what is left of the whole task.
  ProgressSnapshot Take(const TaskInfo& task, const StartedRun& run, double elapsed);

 private:
  // The bytes of this run's snapshot that it wrote itself: without the done
  // files of earlier runs and the partial copies it took over from them.
  uint64_t WrittenByRun(const StartedRun& run, const ProgressSnapshot& snapshot,
                        const ItemInfo& current);
  void FollowVerification(const ItemInfo& current, double elapsed, ProgressSnapshot* snapshot);

  RateMeter meter_;
  TimeLeftEstimator time_left_;
  // Partial copies of earlier runs, by source, until the run reaches them.
  std::map<std::wstring, uint64_t> not_taken_;
  uint64_t taken_ = 0;
  // The file being copied, and what it took over from an earlier run.
  std::wstring current_source_;
  uint64_t current_taken_ = 0;
  // The comparison being followed, and its pace.
  std::wstring verified_item_;
  RateMeter verify_meter_{5.0};
};

uint64_t RunFigures::WrittenByRun(const StartedRun& run, const ProgressSnapshot& snapshot,
                                  const ItemInfo& current) {
  if (current.sourcefile != current_source_) {
    current_source_ = current.sourcefile;
    current_taken_ = 0;
    auto it = not_taken_.find(current.sourcefile);
    if (it != not_taken_.end()) {
      current_taken_ = it->second;
      taken_ += it->second;
      not_taken_.erase(it);
    }
  }
  // Until the copier reports, the file's taken-over part is not in the
  // figures yet.
  uint64_t bytes = snapshot.bytes_done;
  if (current_taken_ > snapshot.current_done) bytes += current_taken_ - snapshot.current_done;
  uint64_t before = run.before.done_bytes() + taken_;
  return bytes - std::min(bytes, before);
}

void RunFigures::FollowVerification(const ItemInfo& current, double elapsed,
                                    ProgressSnapshot* snapshot) {
  uint64_t total = 0, done = 0;
  if (current.id.empty() || !ReadItemVerification(current.id, &total, &done)) return;
  if (current.id != verified_item_) {
    verified_item_ = current.id;
    verify_meter_ = RateMeter(5.0);
  }
  snapshot->verifying = true;
  snapshot->verify_total = total;
  snapshot->verify_done = done;
  verify_meter_.Add(elapsed, done);
  std::optional<double> rate = verify_meter_.Rate();
  if (rate && *rate > 0) snapshot->verify_seconds_left = static_cast<double>(total - done) / *rate;
}

ProgressSnapshot RunFigures::Take(const TaskInfo& task, const StartedRun& run, double elapsed) {
  TaskTally tally = TallyTask(task.id);
  ItemInfo current;
  ProgressSnapshot snapshot;
  if (FindRunningItem(task.id, &current)) {
    snapshot.current_name = DisplayName(task, current.sourcefile);
    snapshot.current_size = current.total;
    snapshot.current_done = std::min(ReadPosition(current.id), current.total);
  }
  FollowVerification(current, elapsed, &snapshot);
  snapshot.files_done = tally.done_files();
  snapshot.bytes_done = tally.done_bytes() + snapshot.current_done;
  if (!run.count) {
    snapshot.files_total = tally.rows;
    snapshot.bytes_total = tally.total_bytes;
  } else if (run.count->done()) {
    snapshot.files_total = std::max(run.count->result().files, tally.rows);
    snapshot.bytes_total = std::max(run.count->result().bytes, tally.total_bytes);
  }
  uint64_t run_bytes = WrittenByRun(run, snapshot, current);
  meter_.Add(elapsed, run_bytes);
  snapshot.rate = meter_.Rate();
  snapshot.elapsed = elapsed;
  uint64_t run_files = snapshot.files_done - std::min(snapshot.files_done, run.before.done_files());
  time_left_.Add(elapsed, run_files, run_bytes);
  if (snapshot.files_total && snapshot.bytes_total) {
    uint64_t files_left =
        *snapshot.files_total - std::min(*snapshot.files_total, snapshot.files_done);
    uint64_t bytes_left =
        *snapshot.bytes_total - std::min(*snapshot.bytes_total, snapshot.bytes_done);
    if (snapshot.verifying) {
      // The file being compared is copied: what is left of it is its
      // comparison, at the comparison's own pace.
      std::optional<double> rest =
          files_left > 1 || bytes_left > 0
              ? time_left_.Estimate(files_left - std::min<uint64_t>(files_left, 1), bytes_left)
              : std::optional<double>(0);
      if (rest && snapshot.verify_seconds_left) {
        snapshot.seconds_left = *rest + *snapshot.verify_seconds_left;
      }
    } else {
      snapshot.seconds_left = time_left_.Estimate(files_left, bytes_left);
    }
  }
  return snapshot;
}

// How following a run ended.
struct FollowedRun {
  bool stop_requested = false;
  bool gave_up = false;  // a second Ctrl-C: the core still winds down
  double elapsed = 0;
};

// Follows the core until it ends: drains its output, shows progress, turns a
// Ctrl-C into a stop and a second one into giving up the wait, and keeps
// inner.cnf small.
FollowedRun FollowRun(const TaskInfo& task, const StartedRun& run, const RunOptions& options,
                      InnerConfigCleaner* cleaner) {
  Display display(options.live);
  RunFigures figures(options.kept_bytes);
  const auto start = Clock::now();
  auto next_sample = start;
  int interrupts_seen = InterruptCount();
  FollowedRun followed;
  for (;;) {
    // The core prints little ("findinfo error" lines); draining keeps it
    // from blocking on a full pipe.
    size_t waiting = 0;
    if (run.child->PeekOutput(&waiting) && waiting > 0) {
      char buffer[4096];
      size_t read = 0;
      run.child->ReadOutput(buffer, sizeof buffer, &read);
      continue;
    }
    if (run.child->HasEnded()) break;
    if (int n = InterruptCount(); n > interrupts_seen) {
      interrupts_seen = n;
      if (followed.stop_requested) {
        followed.gave_up = true;
        break;
      }
      followed.stop_requested = true;
      SetTaskRunStatus(task.id, kRunStatusStop);
      display.Message(std::string("stopping: the copy winds down within seconds (") +
                      LastInterruptName() + " again to stop waiting)");
    }
    auto now = Clock::now();
    if (now >= next_sample) {
      next_sample = now + kLivePeriod;
      if (!options.json) display.Show(figures.Take(task, run, Seconds(now - start)));
    }
    cleaner->RemoveEnded(false);
    std::this_thread::sleep_for(kLoopPause);
  }
  display.End();
  followed.elapsed = Seconds(Clock::now() - start);
  return followed;
}

}  // namespace

int RunTask(const TaskInfo& task, const RunOptions& options) {
  StartedRun run = StartCore(task);
  InnerConfigCleaner cleaner(task.id);
  FollowedRun followed = FollowRun(task, run, options, &cleaner);
  RunOutcome outcome;
  outcome.elapsed = followed.elapsed;
  outcome.stop_requested = followed.stop_requested;
  outcome.resume_hint =
      "quorvalmist " + options.workspace_option + "resume " + WideToNarrow(task.id);
  if (followed.gave_up) {
    std::printf(
        "stopped waiting; the copy of task %s ends on its own within seconds.\n"
        "resume it with: %s\n",
        WideToNarrow(task.id).c_str(), outcome.resume_hint.c_str());
    UpdateTask(task.id, L"stopped", run.before.done_files(), run.before.rows);
    return kFrontEndExitIncomplete;
  }
  outcome.core = run.child->Wait();
  // A stop from another terminal ('quorvalmist stop') shows in the run status.
  if (!EqualsIgnoringCase(ReadTaskRunStatus(task.id), kRunStatusRun)) outcome.stop_requested = true;

  // A copier the core left behind when it stopped ends within a second or
  // two; its item's section is cleared once it has.
  outcome.unfinished =
      ListItems(task.id, {kStatusReady, kStatusRunning, kStatusStop, kStatusError});
  WaitForCopiersToEnd(outcome.unfinished, kCopierGrace);
  outcome.skipped = SkipUncopyable(&outcome.unfinished);
  cleaner.RemoveEnded(true);
  RemoveRedundantTempFiles(task.id);

  outcome.tally = TallyTask(task.id);
  outcome.walked = !task.is_dir() || WalkCompleted(task);
  outcome.problems = ListWalkProblems(task.id);
  outcome.complete = outcome.core_done() && outcome.unfinished.empty() && outcome.walked &&
                     outcome.problems.empty();
  std::vector<std::string> changed_directories;
  if (outcome.complete && task.is_dir()) {
    const bool follow_links = !KeepLinks(task.id);
    RecreateEmptyDirectories(task, follow_links);
    outcome.finished =
        KeepDirectoryAttributes(WideToNarrow(task.sourcedir), WideToNarrow(task.targetdir),
                                follow_links, &changed_directories);
  }
  // The task's word is recorded, and everything made durable, before the
  // summary says "done".
  const TaskTally& tally = outcome.tally;
  UpdateTask(task.id,
             outcome.complete         ? L"done"
             : outcome.stop_requested ? L"stopped"
                                      : L"incomplete",
             tally.done_files(), tally.rows);
  if (outcome.finished.ok() && SyncEnabled()) {
    outcome.finished = MakeRunDurable(changed_directories);
  }
  if (outcome.complete && !outcome.finished.ok()) {
    outcome.complete = false;
    UpdateTask(task.id, L"incomplete", tally.done_files(), tally.rows);
  }
  // Partial copies count as far as they got, at both ends of the run.
  // Targets found in place and equal were not copied either.
  uint64_t found_bytes = ReadTaskFoundBytes(task.id);
  outcome.attributes_not_kept = WideToNarrow(ReadAttributesNotKept(task.id));
  ClearTaskRunNotes(task.id);
  uint64_t kept = 0;
  for (const auto& [source, bytes] : options.kept_bytes) kept += bytes;
  uint64_t copied_before = run.before.reached_bytes() + kept + found_bytes;
  outcome.copied_bytes = tally.reached_bytes() - std::min(tally.reached_bytes(), copied_before);
  if (run.count && run.count->done()) outcome.count = run.count->result();
  outcome.verify_mode = ReadVerifyMode();
  outcome.keep_links = KeepLinks(task.id);
  if (options.json) {
    PrintRunSummaryJson(task, outcome);
  } else {
    PrintRunSummary(task, outcome, options.workspace_option);
  }
  return RunExitCode(outcome);
}

}  // namespace quorvalmist
