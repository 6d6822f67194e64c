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
#include "frontend/durable_finish.h"
#include "frontend/progress.h"
#include "frontend/rerun.h"
#include "frontend/terminal.h"
#include "frontend/tree_count.h"
#include "frontend/workspace.h"
#include "inner/copy_loop.h"
#include "inner/file_primitives.h"
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
constexpr milliseconds kPlainPeriod{5000};
// How often the sections of ended items are cleared from inner.cnf during a
// run, so that the file every program rereads and rewrites stays small; and
// sooner when it holds this many sections (a fast run of small files adds
// hundreds a second).
constexpr milliseconds kCleanupPeriod{2000};
constexpr size_t kCleanupSections = 128;
// How long a stopped copier may take to notice and end.
constexpr milliseconds kCopierGrace{15000};
// How many unfinished files the summary names before it refers to status.
constexpr size_t kSummaryListLimit = 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The display: two redrawn lines on a terminal, a line every few seconds
// elsewhere.
class Display {
 public:
  explicit Display(bool live) : live_(live) {}

  void Show(const ProgressSnapshot& snapshot) {
    if (!live_) {
      auto now = Clock::now();
      if (printed_ && now - last_plain_ < kPlainPeriod) return;
      last_plain_ = now;
      printed_ = true;
      std::printf("%s\n", PlainLine(snapshot).c_str());
      std::fflush(stdout);
      return;
    }
    int columns = TerminalColumns();
    // One column spare: a line that fills the row would wrap on some terminals.
    size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 79;
    std::vector<std::string> lines = LiveLines(snapshot, width);
    std::string out = printed_ ? "\r\033[1A\033[K" : "";
    out += lines[0] + "\n\033[K" + lines[1];
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    printed_ = true;
  }

  // A line of its own, above the display.
  void Message(const std::string& text) {
    Clear();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }

  // Leaves the display: the redrawn lines go, since the summary that follows
  // gives the final figures (a last frame left on screen would show a stale
  // file and percent).
  void End() {
    Clear();
    std::fflush(stdout);
  }

 private:
  void Clear() {
    if (live_ && printed_) std::fputs("\r\033[1A\033[K\n\033[K\033[1A", stdout);
    printed_ = false;
  }

  bool live_;
  bool printed_ = false;
  Clock::time_point last_plain_;
};

uint64_t ReadPosition(const std::wstring& item_id) {
  int64_t value = WideToInt64(ReadItemPosition(item_id));
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

// Removes the inner.cnf sections of items that ended (at the end of the run,
// also of the task's other items whose copier is gone). It starts from the
// sections inner.cnf holds, so its cost follows the size of that file, which
// it keeps small, and not the size of the task.
class InnerConfigCleaner {
 public:
  explicit InnerConfigCleaner(std::wstring task_id) : task_id_(std::move(task_id)) {}

  // Removes the ended items' sections when the period has passed or the file
  // holds many; `all` at the end of the run.
  void RemoveEnded(bool all) {
    auto now = Clock::now();
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

 private:
  std::wstring task_id_;
  Clock::time_point next_ = Clock::now() + kCleanupPeriod;
};

// Removes the temporary files left beside targets that ended complete. One is
// left when a copier that a stop left behind renamed its copy after the core
// had judged the item: the next copy of that item then finds the target in
// place, writes a fresh temporary file it cannot rename, and the verdict is
// taken on the target. The target is whole by then (equal size, and verified
// where the mode asks), so the temporary file is redundant.
void RemoveRedundantTempFiles(const std::wstring& task_id) {
  for (const ItemInfo& item : ListItems(task_id, {kStatusSuccess, kStatusFinish})) {
    std::string temp = WideToNarrow(TempPathFor(item.targetfile));
    auto info = StatPath(temp);
    if (info && info->is_regular && IsMarkerAbsent(item.id)) RemoveFileAt(temp);
  }
}

// Makes the directories of the source tree that the copy did not make: the
// copier makes a file's directories when it copies the file, so folders with no
// file anywhere below them would otherwise be missing from the copy. Links to
// directories are not followed, as the walk does not enter them.
void RecreateEmptyDirectories(const TaskInfo& task) {
  namespace fs = std::filesystem;
  fs::path source = WideToNarrow(task.sourcedir);
  fs::path target = WideToNarrow(task.targetdir);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           source, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    std::error_code made;
    fs::create_directories(target / it->path().lexically_relative(source), made);
  }
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
  size_t slash = path.rfind('/');
  size_t name = slash == std::string::npos ? path.size() : path.size() - slash - 1;
  if (name > kMaxNameBytes) {
    return "the target's name is too long for the system (more than " +
           std::to_string(kMaxNameBytes) + " bytes); rename the file";
  }
  return "";
}

// Symbolic links of the source tree, so none goes without a word: kept as
// links, or (followed) links to files copied as the files they name and links
// to folders not entered.
void PrintLinkCounts(const TreeCount& count, bool keep) {
  if (count.links_to_files == 0 && count.links_to_directories == 0) return;
  if (keep) {
    std::printf("symbolic links: %llu, made as links (%llu of them to folders)\n",
                static_cast<unsigned long long>(count.links_to_files + count.links_to_directories),
                static_cast<unsigned long long>(count.links_to_directories));
    return;
  }
  std::printf(
      "symbolic links: %llu to files, copied as their content; %llu to folders, not "
      "followed (nothing below them copied)\n",
      static_cast<unsigned long long>(count.links_to_files),
      static_cast<unsigned long long>(count.links_to_directories));
}

std::string CoreFailureText(int exit_code) {
  switch (exit_code) {
    case kCoreExitAlreadyRunning:
      return "the task is already being run by another process";
    case kCoreExitDatabaseFailure:
      return "the core stopped because an operation on the task database failed";
    case kCoreExitSameRoots:
      return "the task's target directory is its source directory; nothing was copied";
    default:
      if (exit_code > 128) {
        return "the core was ended by signal " + std::to_string(exit_code - 128);
      }
      return "the core ended with exit code " + std::to_string(exit_code);
  }
}

}  // namespace

std::string DisplayName(const TaskInfo& task, const std::wstring& source_file) {
  std::string name = WideToNarrow(source_file);
  if (!task.is_dir()) return name;
  std::string root = WideToNarrow(task.sourcedir);
  if (name.size() > root.size() && name.compare(0, root.size(), root) == 0) {
    name.erase(0, root.size());
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
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
  if (!src) return "the source is missing";
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

int RunTask(const TaskInfo& task, const RunOptions& options) {
  Status status = HoldMarker(FrontEndMutexName);
  if (!status.ok()) {
    throw CommandError("cannot hold the front end's marker: " + status.message(), kExitFailure);
  }
  RefuseWhileRunning(task);
  std::string core = ExecutableDirectory() + "/" + kCoreProgramName;
  std::optional<PathInfo> core_info = StatPath(core);
  if (!core_info || !core_info->is_regular) {
    throw CommandError("cannot find " + core + " (it is installed beside quorvalmist)",
                       kExitFailure);
  }

  // This front end's own marker, which the core watches besides the shared
  // one: killed, this front end takes its runs down with it.
  std::wstring own_id = NarrowToWide(CurrentProcessIdText());
  if (ClaimMarker(FrontEndOwnMarkerName(own_id), &status) != ClaimResult::kClaimed) {
    throw CommandError("cannot hold the front end's own marker: " + status.message(), kExitFailure);
  }

  CountInterrupts();
  SetTaskFrontEnd(task.id, own_id);
  SetTaskRunStatus(task.id, L"run");
  WriteTaskFoundBytes(task.id, 0);
  TaskTally before = TallyTask(task.id);
  UpdateTask(task.id, L"running", before.done_files(), before.rows);
  std::unique_ptr<BackgroundTreeCount> count;
  if (task.is_dir()) {
    count = std::make_unique<BackgroundTreeCount>(WideToNarrow(task.sourcedir),
                                                  WideToNarrow(task.targetdir));
  }
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(core, {WideToNarrow(task.id)}, &status);
  if (!child) {
    UpdateTask(task.id, L"incomplete", before.done_files(), before.rows);
    throw CommandError("cannot start " + core + ": " + status.message(), kExitFailure);
  }

  Display display(options.live);
  RateMeter meter;
  TimeLeftEstimator time_left;
  InnerConfigCleaner cleaner(task.id);
  const auto start = Clock::now();
  auto next_sample = start;
  int interrupts_seen = InterruptCount();
  bool stop_requested = false, gave_up = false;
  ProgressSnapshot snapshot;
  for (;;) {
    // The core prints little ("findinfo error" lines); draining keeps it
    // from blocking on a full pipe.
    size_t waiting = 0;
    if (child->PeekOutput(&waiting) && waiting > 0) {
      char buffer[4096];
      size_t read = 0;
      child->ReadOutput(buffer, sizeof buffer, &read);
      continue;
    }
    if (child->HasEnded()) break;
    if (int n = InterruptCount(); n > interrupts_seen) {
      interrupts_seen = n;
      if (stop_requested) {
        gave_up = true;
        break;
      }
      stop_requested = true;
      SetTaskRunStatus(task.id, L"stop");
      display.Message(std::string("stopping: the copy winds down within seconds (") +
                      LastInterruptName() + " again to stop waiting)");
    }
    auto now = Clock::now();
    if (now >= next_sample) {
      next_sample = now + kLivePeriod;
      TaskTally tally = TallyTask(task.id);
      ItemInfo current;
      snapshot = ProgressSnapshot{};
      if (FindRunningItem(task.id, &current)) {
        snapshot.current_name = DisplayName(task, current.sourcefile);
        snapshot.current_size = current.total;
        snapshot.current_done = std::min(ReadPosition(current.id), current.total);
      }
      snapshot.files_done = tally.done_files();
      snapshot.bytes_done = tally.done_bytes() + snapshot.current_done;
      if (!count) {
        snapshot.files_total = tally.rows;
        snapshot.bytes_total = tally.total_bytes;
      } else if (count->done()) {
        snapshot.files_total = std::max(count->result().files, tally.rows);
        snapshot.bytes_total = std::max(count->result().bytes, tally.total_bytes);
      }
      meter.Add(Seconds(now - start), snapshot.bytes_done);
      snapshot.rate = meter.Rate();
      snapshot.elapsed = Seconds(now - start);
      // What this run did, against what is left of the whole task.
      uint64_t run_files = snapshot.files_done - std::min(snapshot.files_done, before.done_files());
      uint64_t run_bytes = snapshot.bytes_done - std::min(snapshot.bytes_done, before.done_bytes());
      time_left.Add(snapshot.elapsed, run_files, run_bytes);
      if (snapshot.files_total && snapshot.bytes_total) {
        snapshot.seconds_left = time_left.Estimate(
            *snapshot.files_total - std::min(*snapshot.files_total, snapshot.files_done),
            *snapshot.bytes_total - std::min(*snapshot.bytes_total, snapshot.bytes_done));
      }
      display.Show(snapshot);
    }
    cleaner.RemoveEnded(false);
    std::this_thread::sleep_for(kLoopPause);
  }
  display.End();
  double elapsed = Seconds(Clock::now() - start);
  std::string resume_hint =
      "quorvalmist " + options.workspace_option + "resume " + WideToNarrow(task.id);
  if (gave_up) {
    std::printf(
        "stopped waiting; the copy of task %s ends on its own within seconds.\n"
        "resume it with: %s\n",
        WideToNarrow(task.id).c_str(), resume_hint.c_str());
    UpdateTask(task.id, L"stopped", before.done_files(), before.rows);
    return kExitIncomplete;
  }
  int core_exit = child->Wait();
  // A stop from another terminal ('quorvalmist stop') shows in the run status.
  if (!EqualsIgnoringCase(ReadTaskRunStatus(task.id), L"run")) stop_requested = true;

  // A copier the core left behind when it stopped ends within a second or
  // two; its item's section is cleared once it has.
  std::vector<ItemInfo> unfinished =
      ListItems(task.id, {kStatusReady, kStatusRunning, kStatusStop, kStatusError});
  WaitForCopiersToEnd(unfinished, kCopierGrace);
  std::vector<std::pair<ItemInfo, std::string>> skipped = SkipUncopyable(&unfinished);
  cleaner.RemoveEnded(true);
  RemoveRedundantTempFiles(task.id);

  TaskTally tally = TallyTask(task.id);
  bool walked = !task.is_dir() || WalkCompleted(task);
  std::vector<WalkProblem> problems = ListWalkProblems(task.id);
  bool complete = core_exit == kCoreExitDone && unfinished.empty() && walked && problems.empty();
  Status finished = Status::Ok();
  std::vector<std::string> changed_directories;
  if (complete && task.is_dir()) {
    RecreateEmptyDirectories(task);
    finished = KeepDirectoryAttributes(WideToNarrow(task.sourcedir), WideToNarrow(task.targetdir),
                                       &changed_directories);
  }
  // The task's word is recorded, and everything made durable, before the
  // summary says "done".
  UpdateTask(task.id,
             complete         ? L"done"
             : stop_requested ? L"stopped"
                              : L"incomplete",
             tally.done_files(), tally.rows);
  if (finished.ok() && SyncEnabled()) finished = MakeRunDurable(changed_directories);
  if (complete && !finished.ok()) {
    complete = false;
    UpdateTask(task.id, L"incomplete", tally.done_files(), tally.rows);
  }
  // Partial copies count as far as they got, at both ends of the run.
  // Targets found in place and equal were not copied either.
  uint64_t copied_before =
      before.reached_bytes() + options.kept_bytes + ReadTaskFoundBytes(task.id);
  uint64_t copied_bytes = tally.reached_bytes() - std::min(tally.reached_bytes(), copied_before);
  // A directory task's rows cover only what the walk reached; the count of
  // the tree covers the rest.
  auto count_of = [&](const wchar_t* word) {
    auto it = tally.files.find(word);
    return static_cast<unsigned long long>(it == tally.files.end() ? 0 : it->second);
  };
  uint64_t files_total = tally.rows, bytes_total = tally.total_bytes;
  if (count && count->done()) {
    files_total = std::max(files_total, count->result().files);
    bytes_total = std::max(bytes_total, count->result().bytes);
  }
  // Skipped entries are not files to copy.
  files_total -= std::min<uint64_t>(files_total, count_of(kStatusSkipped));
  std::printf("%s: %llu of %llu files copied (%s of %s)", complete ? "done" : "not done",
              static_cast<unsigned long long>(tally.done_files()),
              static_cast<unsigned long long>(files_total),
              FormatBytes(tally.reached_bytes()).c_str(), FormatBytes(bytes_total).c_str());
  std::printf("; this run %s in %s", FormatBytes(copied_bytes).c_str(),
              FormatDuration(elapsed).c_str());
  if (elapsed >= 1) {
    std::printf(" (%s/s)", FormatBytes(static_cast<uint64_t>(copied_bytes / elapsed)).c_str());
  }
  std::printf("\n");
  static const char* const kModeWords[] = {"auto (files up to 10 MiB)", "always", "never"};
  std::printf("verified by MD5: %llu; not verified (by the verify mode): %llu; verify mode: %s\n",
              count_of(kStatusSuccess), count_of(kStatusFinish),
              kModeWords[static_cast<int>(ReadVerifyMode())]);
  if (count && count->done()) PrintLinkCounts(count->result(), KeepLinks(task.id));
  if (core_exit != kCoreExitDone) std::printf("problem: %s\n", CoreFailureText(core_exit).c_str());
  if (!finished.ok()) std::printf("problem: %s\n", finished.message().c_str());
  if (!skipped.empty()) {
    std::printf("%zu entr%s skipped, as not files that can be copied (not tried again):\n",
                skipped.size(), skipped.size() == 1 ? "y" : "ies");
    for (size_t i = 0; i < skipped.size() && i < kSummaryListLimit; ++i) {
      std::printf("  %s: %s\n", DisplayName(task, skipped[i].first.sourcefile).c_str(),
                  skipped[i].second.c_str());
    }
    if (skipped.size() > kSummaryListLimit) {
      std::printf("  ... and %zu more: quorvalmist %sstatus %s --only skipped\n",
                  skipped.size() - kSummaryListLimit, options.workspace_option.c_str(),
                  WideToNarrow(task.id).c_str());
    }
  }
  if (!problems.empty()) {
    std::printf("%zu path%s of the source tree not copied:\n", problems.size(),
                problems.size() == 1 ? "" : "s");
    PrintWalkProblems(task, problems, "  ");
  }
  // Directories that could not be listed leave the walk unfinished too; the
  // list above says why, unless the run also ended early.
  if (!walked && (problems.empty() || stop_requested || core_exit != kCoreExitDone)) {
    std::printf(
        "the walk of the source tree did not finish: files not reached yet are not "
        "listed below\n");
  }
  if (!unfinished.empty()) {
    std::printf("%zu file%s not copied:\n", unfinished.size(), unfinished.size() == 1 ? "" : "s");
    for (size_t i = 0; i < unfinished.size() && i < kSummaryListLimit; ++i) {
      const ItemInfo& item = unfinished[i];
      std::printf("  %-7s %s: %s\n", WideToNarrow(item.copystatus).c_str(),
                  DisplayName(task, item.sourcefile).c_str(),
                  ExplainUnfinished(item, stop_requested).c_str());
    }
    if (unfinished.size() > kSummaryListLimit) {
      std::printf("  ... and %zu more: quorvalmist %sstatus %s --only ready,running,stop,error\n",
                  unfinished.size() - kSummaryListLimit, options.workspace_option.c_str(),
                  WideToNarrow(task.id).c_str());
    }
  }
  if (!complete) std::printf("resume with: %s\n", resume_hint.c_str());
  std::fflush(stdout);
  if (complete) return kExitOk;
  if (!finished.ok()) return kExitFailure;
  // A core that failed (a database error, or ended by a signal) is a failure
  // of the programs; a refused start (255) or a stop leaves files to copy.
  return core_exit != kCoreExitDone && core_exit != kCoreExitAlreadyRunning ? kExitFailure
                                                                            : kExitIncomplete;
}

}  // namespace quorvalmist
