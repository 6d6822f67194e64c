#include "frontend/commands.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

#include "common/config_store.h"
#include "db/db_create.h"
#include "db/schema.h"
#include "db/searched_dirs.h"
#include "frontend/command_error.h"
#include "frontend/copy_plan.h"
#include "frontend/name_output.h"
#include "frontend/progress.h"
#include "frontend/rerun.h"
#include "frontend/task_run.h"
#include "frontend/task_store.h"
#include "platform/marker.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

namespace fs = std::filesystem;

// How long stop waits for the core, and resume for left-over copiers.
constexpr std::chrono::seconds kStopWait{60};
constexpr std::chrono::seconds kCopierWait{30};

std::string Narrow(const std::wstring& text) { return WideToNarrow(text); }

// Keeps the settings given on the command line with the task, and puts the
// task's settings where its run reads them.
void ApplySettings(const std::wstring& task_id, const CommandSettings& settings) {
  if (settings.verify) SetVerifyMode(task_id, *settings.verify);
  if (settings.chunk_size) SetChunkSize(task_id, *settings.chunk_size);
  if (settings.brisk) SetPacing(task_id, *settings.brisk);
  if (settings.jobs) SetJobs(task_id, *settings.jobs);
  if (settings.sync) SetSync(task_id, *settings.sync);
  if (settings.verify_from_disk) SetVerifyFromDisk(task_id, *settings.verify_from_disk);
  if (settings.keep_links) SetTaskLinks(task_id, *settings.keep_links);
  SettleTaskSettings(task_id);
}

void CheckSettings(const CommandSettings& settings) {
  if (settings.chunk_size && (*settings.chunk_size == 0 || *settings.chunk_size > kMaxChunkSize)) {
    throw CommandError("--chunk-size must be between 1 and 2147483647 bytes");
  }
  if (settings.jobs && (*settings.jobs < 1 || *settings.jobs > kMostJobs)) {
    throw CommandError("--jobs must be between 1 and " + std::to_string(kMostJobs));
  }
}

// The task's state in one word: "running" while a core holds its marker,
// "interrupted" when the run that set it running is gone, else the word the
// last run left ("done", "stopped", "incomplete"), or "new".
std::string TaskState(const TaskInfo& task) {
  if (!IsMarkerAbsent(task.id)) return "running";
  if (task.copystatus == L"running") return "interrupted";
  if (task.copystatus.empty() || task.copystatus == kStatusReady) return "new";
  return Narrow(task.copystatus);
}

const wchar_t* const kAllStatuses[] = {kStatusSuccess, kStatusFinish, kStatusRunning, kStatusReady,
                                       kStatusStop,    kStatusError,  kStatusSkipped};

Json TaskJson(const TaskInfo& task, const TaskTally& tally) {
  Json files = Json::object();
  files["total"] = tally.rows;
  for (const wchar_t* word : kAllStatuses) {
    auto it = tally.files.find(word);
    files[Narrow(word)] = it == tally.files.end() ? 0 : it->second;
  }
  return Json{{"id", Narrow(task.id)},
              {"type", Narrow(task.copytype)},
              {"state", TaskState(task)},
              {"source", Narrow(task.sourcedir)},
              {"target", Narrow(task.targetdir)},
              {"files", files},
              // As the text says: partial copies count as far as they got.
              {"bytes", {{"done", tally.reached_bytes()}, {"total", tally.total_bytes}}}};
}

std::string TallyText(const TaskTally& tally) {
  std::string text;
  for (const wchar_t* word : kAllStatuses) {
    auto it = tally.files.find(word);
    if (it == tally.files.end() || it->second == 0) continue;
    text += (text.empty() ? "" : ", ") + std::to_string(it->second) + " " + Narrow(word);
  }
  return text.empty() ? "no files yet" : text;
}

}  // namespace

int InitCommand(const std::string& dir) {
  std::string where = dir.empty() ? "." : dir;
  std::error_code ec;
  if (!dir.empty()) {
    fs::path path = FileSystemPath(dir);
    if (fs::exists(fs::symlink_status(path, ec)) && !fs::is_directory(path, ec)) {
      throw CommandError("'" + dir + "' exists and is not a directory");
    }
    fs::create_directories(path, ec);
    if (ec) {
      throw CommandError("cannot create '" + dir + "': " + ec.message(), kFrontEndExitFailure);
    }
    fs::current_path(path, ec);
    if (ec) throw CommandError("cannot enter '" + dir + "': " + ec.message());
  }
  WorkspaceCreationLock creation;
  CreateWorkspace();
  std::printf("made a workspace in %s\n", PathText(fs::current_path(ec)).c_str());
  return kFrontEndExitOk;
}

int CopyCommand(const std::vector<std::string>& sources, const std::string& target,
                const CommandSettings& settings) {
  std::optional<WorkspaceCreationLock> creation(std::in_place);
  std::string detail;
  WorkspaceState state = InspectWorkspace(&detail);
  if (state == WorkspaceState::kIncomplete) {
    throw CommandError("this directory is not a workspace: " + detail);
  }
  CheckSettings(settings);
  std::error_code ec;
  std::string workspace = PathText(fs::current_path(ec));
  CopyPlan plan = PlanCopy(sources, target, workspace);
  bool made = state == WorkspaceState::kNone;
  if (made) CreateWorkspace();
  creation.reset();
  OpenWorkspace();
  AddMissingTables();

  TaskInfo task;
  task.id = NewTaskId();
  task.copytype = plan.is_dir ? kCopyTypeDir : kCopyTypeFiles;
  task.sourcedir = NarrowToWide(plan.source_root);
  // A files task's rows name their targets; the task keeps the TARGET the
  // user gave, for the listing.
  task.targetdir = NarrowToWide(plan.is_dir ? plan.target_root : target);
  task.copystatus = L"new";
  for (const CopyPlan::File& file : plan.files) {
    AddFileItem(task.id, NarrowToWide(file.source), NarrowToWide(file.target), file.size);
  }
  AddTask(task);
  ApplySettings(task.id, settings);
  std::printf("task: %s\n", Narrow(task.id).c_str());
  if (made) std::printf("made a workspace in %s\n", workspace.c_str());
  if (plan.is_dir) {
    std::printf("copying %s to %s\n", plan.source_root.c_str(), plan.target_root.c_str());
  } else {
    std::printf("copying %zu file%s to %s\n", plan.files.size(), plan.files.size() == 1 ? "" : "s",
                plan.files.size() == 1 ? plan.files[0].target.c_str() : target.c_str());
  }
  std::fflush(stdout);
  return RunTask(task, {settings.live, settings.workspace_option, {}, settings.json});
}

namespace {

// `status` without a task: one entry per task, only those with files in the
// `only` states when that is given.
void ListTaskStatuses(const std::vector<std::string>& only, bool json) {
  std::vector<TaskInfo> tasks = ListTasks();
  Json list = Json::array();
  if (!json && tasks.empty()) std::printf("no tasks yet\n");
  for (const TaskInfo& task : tasks) {
    TaskTally tally = TallyTask(task.id);
    bool shown = only.empty();
    for (const std::string& word : only) shown = shown || tally.files[NarrowToWide(word)] > 0;
    if (!shown) continue;
    if (json) {
      list.push_back(TaskJson(task, tally));
      continue;
    }
    std::string source =
        task.is_dir() ? Printable(Narrow(task.sourcedir))
                      : "(" + std::to_string(tally.rows) + (tally.rows == 1 ? " file)" : " files)");
    std::string target = Printable(Narrow(task.targetdir));
    std::printf("%s  %-5s %-11s %llu/%llu files  %s of %s  (%s)\n    %s%s%s\n",
                Narrow(task.id).c_str(), Narrow(task.copytype).c_str(), TaskState(task).c_str(),
                static_cast<unsigned long long>(tally.done_files()),
                static_cast<unsigned long long>(tally.rows),
                FormatBytes(tally.reached_bytes()).c_str(), FormatBytes(tally.total_bytes).c_str(),
                TallyText(tally).c_str(), source.c_str(), target.empty() ? "" : " -> ",
                target.c_str());
  }
  if (json) PrintJson(Json{{"tasks", list}});
}

// What `status TASK` shows, read once.
struct TaskStatus {
  TaskInfo task;
  TaskTally tally;
  std::vector<ItemInfo> items;
  bool walked = false;
  std::vector<WalkProblem> problems;
};

// True while a process works on `item`: its row says "running" and its
// copier (whose marker the item's id names) or the task's core still runs.
// Such an item has no reason yet; only a run that is gone left it unfinished.
bool IsBeingCopied(const TaskInfo& task, const ItemInfo& item) {
  return item.copystatus == kStatusRunning &&
         (!IsMarkerAbsent(item.id) || !IsMarkerAbsent(task.id));
}

void PrintTaskStatusJson(const TaskStatus& status) {
  const TaskInfo& task = status.task;
  Json files = Json::array();
  for (const ItemInfo& item : status.items) {
    Json file = {{"source", Narrow(item.sourcefile)},
                 {"target", Narrow(item.targetfile)},
                 {"status", Narrow(item.copystatus)},
                 {"md5", Narrow(item.md5status)},
                 {"size", item.total},
                 {"copied", item.position}};
    AddExactName(&file, "source", Narrow(item.sourcefile));
    AddExactName(&file, "target", Narrow(item.targetfile));
    if (item.copystatus != kStatusSuccess && item.copystatus != kStatusFinish &&
        !IsBeingCopied(task, item)) {
      file["reason"] = ExplainUnfinished(item, TaskState(task) == "stopped");
    }
    files.push_back(std::move(file));
  }
  Json out = TaskJson(task, status.tally);
  out["walk_complete"] = status.walked;
  Json problem_list = Json::array();
  for (const WalkProblem& problem : status.problems) {
    problem_list.push_back({{"path", Narrow(problem.path)}, {"reason", Narrow(problem.reason)}});
  }
  out["not_copied_paths"] = problem_list;
  out["items"] = files;
  PrintJson(out);
}

void PrintTaskStatusText(const TaskStatus& status) {
  const TaskInfo& task = status.task;
  const TaskTally& tally = status.tally;
  std::printf("task %s (%s), %s\n", Narrow(task.id).c_str(), Narrow(task.copytype).c_str(),
              TaskState(task).c_str());
  if (task.is_dir()) {
    std::printf("  %s -> %s%s\n", Printable(Narrow(task.sourcedir)).c_str(),
                Printable(Narrow(task.targetdir)).c_str(),
                status.walked ? "" : " (walk not finished)");
  }
  std::printf(
      "  %llu/%llu files, %s of %s: %s\n", static_cast<unsigned long long>(tally.done_files()),
      static_cast<unsigned long long>(tally.rows), FormatBytes(tally.reached_bytes()).c_str(),
      FormatBytes(tally.total_bytes).c_str(), TallyText(tally).c_str());
  if (!status.problems.empty()) {
    std::printf("  %zu path%s of the source tree not copied:\n", status.problems.size(),
                status.problems.size() == 1 ? "" : "s");
    PrintWalkProblems(task, status.problems, "    ");
  }
  bool stopped = TaskState(task) == "stopped";
  for (const ItemInfo& item : status.items) {
    std::string size = FormatBytes(item.total);
    bool ended_ok = item.copystatus == kStatusSuccess || item.copystatus == kStatusFinish;
    std::string line = "  " + Narrow(item.copystatus);
    line.resize(10, ' ');
    std::string md5 = item.md5status.empty() ? "-" : Narrow(item.md5status);
    md5.resize(11, ' ');
    std::printf("%s%s%10s  %s", line.c_str(), md5.c_str(), size.c_str(),
                Printable(DisplayName(task, item.sourcefile)).c_str());
    if (!ended_ok && item.copystatus != kStatusRunning) {
      std::printf("  (%s)", ExplainUnfinished(item, stopped).c_str());
    }
    std::printf("\n");
  }
}

}  // namespace

int StatusCommand(const std::string& task_name, const std::vector<std::string>& only, bool json) {
  OpenWorkspace();
  if (task_name.empty()) {
    ListTaskStatuses(only, json);
    return kFrontEndExitOk;
  }
  TaskStatus status;
  status.task = FindTask(NarrowToWide(task_name));
  status.tally = TallyTask(status.task.id);
  std::vector<std::wstring> statuses;
  for (const std::string& word : only) statuses.push_back(NarrowToWide(word));
  status.items = ListItems(status.task.id, statuses);
  status.walked = !status.task.is_dir() || WalkCompleted(status.task);
  status.problems = ListWalkProblems(status.task.id);
  if (json) {
    PrintTaskStatusJson(status);
  } else {
    PrintTaskStatusText(status);
  }
  return kFrontEndExitOk;
}

int StopCommand(const std::string& task_name, bool no_wait) {
  OpenWorkspace();
  TaskInfo task = FindTask(NarrowToWide(task_name));
  std::string id = Narrow(task.id);
  // Written even when no core runs it: a core that is just starting then
  // stops within a second instead of running on.
  SetTaskRunStatus(task.id, kRunStatusStop);
  if (IsMarkerAbsent(task.id)) {
    std::printf("task %s is not running\n", id.c_str());
    return kFrontEndExitOk;
  }
  std::printf("stopping task %s\n", id.c_str());
  std::fflush(stdout);
  if (no_wait) return kFrontEndExitOk;
  auto deadline = std::chrono::steady_clock::now() + kStopWait;
  while (!IsMarkerAbsent(task.id)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw CommandError(
          "task " + id + " is still running after " + std::to_string(kStopWait.count()) + " s",
          kFrontEndExitFailure);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("task %s stopped\n", id.c_str());
  return kFrontEndExitOk;
}

int ResumeCommand(const std::string& task_name, const CommandSettings& settings) {
  OpenWorkspace();
  AddMissingTables();
  CheckSettings(settings);
  TaskInfo task = FindTask(NarrowToWide(task_name));
  std::string id = Narrow(task.id);
  RefuseWhileRunning(task);
  ApplySettings(task.id, settings);
  std::vector<ItemInfo> retried = ListItems(task.id, RetriedStatuses(task));
  std::printf("task: %s\n", id.c_str());
  // A row that says "copied" is trusted only while its target is still there
  // with the source's size: one deleted or cut since is copied again.
  std::vector<ItemInfo> lost = DoneRowsWithLostTargets(task);
  for (const ItemInfo& item : lost) {
    std::printf("%s: missing or changed at the target\n",
                DisplayName(task, item.sourcefile).c_str());
  }
  retried.insert(retried.end(), lost.begin(), lost.end());
  std::fflush(stdout);
  if (!WaitForCopiersToEnd(retried, kCopierWait)) {
    throw CommandError("a copier of task " + id + " is still running after " +
                           std::to_string(kCopierWait.count()) + " s; try again shortly",
                       kFrontEndExitFailure);
  }
  std::map<std::wstring, uint64_t> kept = BytesKeptForResume(retried);
  size_t again = PrepareRerun(task, retried);
  if (again > 0) std::printf("%zu file%s to copy again\n", again, again == 1 ? "" : "s");
  std::fflush(stdout);
  return RunTask(task, {settings.live, settings.workspace_option, kept, settings.json});
}

}  // namespace quorvalmist
