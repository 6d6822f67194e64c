// The verify command: every copied file of a task hashed again, source and
// target, every kept link's text read again, and the rows brought up to date
// with what the targets hold now. It also says what of the task is not there
// yet, so that "all equal" is never mistaken for "all copied".
#include <cstdio>
#include <map>

#include "common/config_store.h"
#include "common/md5.h"
#include "db/schema.h"
#include "db/searched_dirs.h"
#include "frontend/command_error.h"
#include "frontend/commands.h"
#include "frontend/name_output.h"
#include "frontend/task_run.h"
#include "frontend/task_store.h"
#include "frontend/workspace.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// How many files of each list the text names before it refers to status.
constexpr size_t kListLimit = 20;

// A copied row whose target is not (or no longer) what its source holds.
struct Difference {
  ItemInfo item;
  std::string reason;
  // The source is still there, so the row is marked to be copied again.
  bool copyable = true;
  // Something is at the target; the copier never replaces it, so it must be
  // moved away before a resume can copy the file again.
  bool target_there = false;
};

// What verify found, for the text and the JSON alike.
struct VerifyReport {
  TaskInfo task;
  size_t files = 0;  // regular files hashed
  size_t links = 0;  // kept links whose text was compared
  std::vector<Difference> differ;
  // Rows not copied (yet): ready, running, stop, error.
  std::vector<ItemInfo> not_done;
  bool walked = true;
  std::vector<WalkProblem> problems;
  // The last run of the task completed it.
  bool task_done = false;
  std::string resume_hint;

  size_t checked() const { return files + links; }
  size_t equal() const { return checked() - differ.size(); }
  // Every file of the task is at the target and equal to its source.
  bool complete() const {
    return task_done && differ.empty() && not_done.empty() && walked && problems.empty();
  }
  std::vector<std::string> targets_to_move() const {
    std::vector<std::string> targets;
    for (const Difference& d : differ) {
      if (d.copyable && d.target_there) targets.push_back(WideToNarrow(d.item.targetfile));
    }
    return targets;
  }
};

bool SomethingAt(const std::string& path) { return StatPath(path) || IsSymbolicLinkPath(path); }

// Why the link at the target is not the kept copy of the source link (whose
// text it must hold as written); empty when it is. Neither link is followed.
std::string CompareLinks(const std::string& source, const std::string& target,
                         Difference* difference) {
  difference->target_there = SomethingAt(target);
  std::string source_text, target_text;
  if (!ReadSymbolicLink(source, &source_text).ok()) {
    difference->copyable = false;
    return "the source link cannot be read";
  }
  if (!IsSymbolicLinkPath(target)) {
    return difference->target_there ? "the target is not a symbolic link" : "missing at the target";
  }
  if (!ReadSymbolicLink(target, &target_text).ok()) return "the link at the target cannot be read";
  if (target_text != source_text) {
    return "the link at the target holds '" + target_text + "', the source's '" + source_text + "'";
  }
  return "";
}

// Why the target is not a copy of the source file; empty when both exist,
// have one size and one MD5 digest.
std::string CompareFiles(const std::string& source, const std::string& target,
                         Difference* difference) {
  std::optional<PathInfo> src = StatPath(source);
  std::optional<PathInfo> dst = StatPath(target);
  difference->target_there = SomethingAt(target);
  if (!src) {
    // Nothing to copy again: the copy is left as it is, and its row too.
    difference->copyable = false;
    return "the source is gone; the copy cannot be checked (it is kept)";
  }
  if (!dst)
    return difference->target_there ? "a broken link at the target" : "missing at the target";
  if (!src->is_regular) return "the source is not a regular file";
  if (!dst->is_regular) return "the target is not a regular file";
  if (src->size != dst->size) {
    return "the sizes differ (" + std::to_string(dst->size) + " bytes at the target, " +
           std::to_string(src->size) + " in the source)";
  }
  if (FilesMatch(NarrowToWide(source), NarrowToWide(target))) return "";
  return "the contents differ by MD5, or a file cannot be read";
}

// Checks every copied row and marks the ones that differ so that a resume
// copies them again.
void CheckCopiedRows(VerifyReport* report) {
  const TaskInfo& task = report->task;
  // A link the task kept as a link was made with the source link's text; a
  // task that follows links copied what each link names, as a file.
  const bool keeps_links = task.is_dir() && KeepLinks(task.id);
  for (const ItemInfo& item : ListItems(task.id, {kStatusSuccess, kStatusFinish})) {
    std::string source = WideToNarrow(item.sourcefile);
    std::string target = WideToNarrow(item.targetfile);
    Difference difference;
    difference.item = item;
    bool is_link = keeps_links && IsSymbolicLinkPath(source);
    difference.reason = is_link ? CompareLinks(source, target, &difference)
                                : CompareFiles(source, target, &difference);
    ++(is_link ? report->links : report->files);
    if (difference.reason.empty()) {
      // A link's row stays as the copy left it: no MD5 was taken of it.
      if (!is_link) SetItemVerdict(item.id, item.copystatus, kMd5Ok);
      continue;
    }
    if (difference.copyable) {
      SetItemVerdict(item.id, kStatusError, is_link ? kMd5Uncheck : kMd5Error);
      WriteItemReason(item.id,
                      NarrowToWide("verify found it differs: " + difference.reason +
                                   (difference.target_there ? "; move the target away, then resume"
                                                            : "; resume copies it again")));
    }
    report->differ.push_back(std::move(difference));
  }
}

VerifyReport Verify(const TaskInfo& task, const std::string& workspace_option) {
  VerifyReport report;
  report.task = task;
  report.resume_hint = "quorvalmist " + workspace_option + "resume " + WideToNarrow(task.id);
  report.task_done = task.copystatus == L"done";
  report.walked = !task.is_dir() || WalkCompleted(task);
  report.problems = ListWalkProblems(task.id);
  // Read before the check, which turns differing rows into "error" too.
  report.not_done = ListItems(task.id, {kStatusReady, kStatusRunning, kStatusStop, kStatusError});
  CheckCopiedRows(&report);
  bool marked = false;
  for (const Difference& d : report.differ) marked = marked || d.copyable;
  if (marked && report.task_done) {
    TaskTally tally = TallyTask(task.id);
    UpdateTask(task.id, L"incomplete", tally.done_files(), tally.rows);
  }
  return report;
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void PrintNotDone(const VerifyReport& report) {
  const TaskInfo& task = report.task;
  bool stopped = task.copystatus == L"stopped";
  if (!report.not_done.empty()) {
    std::printf("not done: %s not copied (yet):\n",
                Plural(report.not_done.size(), "file", "files").c_str());
    for (size_t i = 0; i < report.not_done.size() && i < kListLimit; ++i) {
      const ItemInfo& item = report.not_done[i];
      std::printf("  %-7s %s: %s\n", WideToNarrow(item.copystatus).c_str(),
                  Printable(DisplayName(task, item.sourcefile)).c_str(),
                  Printable(ExplainUnfinished(item, stopped)).c_str());
    }
    if (report.not_done.size() > kListLimit) {
      std::printf("  ... and %zu more: quorvalmist status %s --only ready,running,stop,error\n",
                  report.not_done.size() - kListLimit, WideToNarrow(task.id).c_str());
    }
  }
  if (!report.problems.empty()) {
    std::printf("not done: %s of the source tree not copied:\n",
                Plural(report.problems.size(), "path", "paths").c_str());
    PrintWalkProblems(task, report.problems, "  ");
  }
  if (!report.walked) {
    std::printf(
        "not done: the walk of the source tree did not finish: files it has not reached are "
        "missing from the target and were not checked\n");
  }
}

void PrintVerifyText(const VerifyReport& report) {
  for (const Difference& d : report.differ) {
    std::printf("differs: %s: %s\n", Printable(DisplayName(report.task, d.item.sourcefile)).c_str(),
                Printable(d.reason).c_str());
  }
  std::string what = Plural(report.files, "file", "files");
  if (report.links > 0) what += " and " + Plural(report.links, "link", "links");
  std::printf("verified %s: ", what.c_str());
  if (report.differ.empty()) {
    std::printf("all equal\n");
  } else {
    std::printf("%zu differ%s or cannot be read\n", report.differ.size(),
                report.differ.size() == 1 ? "s" : "");
  }
  PrintNotDone(report);
  std::vector<std::string> targets = report.targets_to_move();
  if (!targets.empty()) {
    // The copier never replaces a file at the target: the differing ones
    // must go before a resume can copy them again.
    std::printf("to copy %s again, move %s away (or delete %s), then run '%s':\n",
                targets.size() == 1 ? "it" : "them",
                targets.size() == 1 ? "this target" : "these targets",
                targets.size() == 1 ? "it" : "them", report.resume_hint.c_str());
    for (const std::string& target : targets) std::printf("  %s\n", Printable(target).c_str());
  } else if (!report.complete()) {
    std::printf("the task is not done: '%s' copies what is left\n", report.resume_hint.c_str());
  }
}

void PrintVerifyJson(const VerifyReport& report) {
  Json differ = Json::array();
  for (const Difference& d : report.differ) {
    std::string source = WideToNarrow(d.item.sourcefile);
    std::string target = WideToNarrow(d.item.targetfile);
    Json entry = {{"source", source}, {"target", target}, {"reason", d.reason}};
    AddExactName(&entry, "source", source);
    AddExactName(&entry, "target", target);
    differ.push_back(std::move(entry));
  }
  bool stopped = report.task.copystatus == L"stopped";
  Json not_done_items = Json::array();
  std::map<std::string, size_t> by_status;
  for (const ItemInfo& item : report.not_done) {
    std::string source = WideToNarrow(item.sourcefile);
    std::string target = WideToNarrow(item.targetfile);
    Json entry = {{"source", source},
                  {"target", target},
                  {"status", WideToNarrow(item.copystatus)},
                  {"reason", ExplainUnfinished(item, stopped)}};
    AddExactName(&entry, "source", source);
    AddExactName(&entry, "target", target);
    not_done_items.push_back(std::move(entry));
    ++by_status[WideToNarrow(item.copystatus)];
  }
  Json problems = Json::array();
  for (const WalkProblem& problem : report.problems) {
    problems.push_back(
        {{"path", WideToNarrow(problem.path)}, {"reason", WideToNarrow(problem.reason)}});
  }
  Json out = {
      {"task", WideToNarrow(report.task.id)},
      {"checked", report.checked()},
      {"files", report.files},
      {"links", report.links},
      {"equal", report.equal()},
      {"differ", differ},
      {"not_done",
       {{"count", report.not_done.size()}, {"statuses", by_status}, {"items", not_done_items}}},
      {"walk_complete", report.walked},
      {"not_copied_paths", problems},
      {"complete", report.complete()},
      {"move_away", report.targets_to_move()}};
  if (!report.complete()) out["resume"] = report.resume_hint;
  PrintJson(out);
}

}  // namespace

int VerifyCommand(const std::string& task_name, bool json, const std::string& workspace_option) {
  OpenWorkspace();
  TaskInfo task = FindTask(NarrowToWide(task_name));
  RefuseWhileRunning(task);
  VerifyReport report = Verify(task, workspace_option);
  if (json) {
    PrintVerifyJson(report);
  } else {
    PrintVerifyText(report);
  }
  std::fflush(stdout);
  return report.complete() ? kFrontEndExitOk : kFrontEndExitIncomplete;
}

}  // namespace quorvalmist
