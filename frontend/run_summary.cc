#include "frontend/run_summary.h"

#include <algorithm>
#include <cstdio>

#include "common/protocol.h"
#include "db/schema.h"
#include "frontend/command_error.h"
#include "frontend/name_output.h"
#include "frontend/progress.h"
#include "frontend/task_run.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// How many unfinished files the summary names before it refers to status.
constexpr size_t kSummaryListLimit = 20;

void PrintLinkCounts(const TreeCount& count, bool keep) {
  if (count.links_to_files == 0 && count.links_to_directories == 0) return;
  if (keep) {
    std::printf("symbolic links: %llu, made as links (%llu of them to folders)\n",
                static_cast<unsigned long long>(count.links_to_files + count.links_to_directories),
                static_cast<unsigned long long>(count.links_to_directories));
    return;
  }
  std::printf(
      "symbolic links: %llu to files, copied as their content; %llu to folders, followed "
      "(their files copied below the link's name)",
      static_cast<unsigned long long>(count.links_to_files),
      static_cast<unsigned long long>(count.links_to_directories));
  if (count.cycles > 0) {
    std::printf("; not followed: %llu leading back up the tree",
                static_cast<unsigned long long>(count.cycles));
  }
  std::printf("\n");
}

std::string CoreFailureText(const ChildEnd& core) {
  if (core.signal != 0) return "the core was ended by signal " + std::to_string(core.signal);
  switch (core.exit_code) {
    case kCoreExitAlreadyRunning:
      return "the task is already being run by another process";
    case kCoreExitDatabaseFailure:
      return "the core stopped because an operation on the task database failed";
    case kCoreExitSameRoots:
      return "the task's target directory is its source directory; nothing was copied";
    default:
      return "the core ended with exit code " + std::to_string(core.exit_code);
  }
}

}  // namespace

namespace {

unsigned long long CountOf(const TaskTally& tally, const wchar_t* word) {
  auto it = tally.files.find(word);
  return static_cast<unsigned long long>(it == tally.files.end() ? 0 : it->second);
}

// The files and bytes the task covers. A directory task's rows cover only
// what the walk reached; the count of the tree covers the rest. Skipped
// entries are not files to copy.
std::pair<uint64_t, uint64_t> TaskTotals(const RunOutcome& outcome) {
  const TaskTally& tally = outcome.tally;
  uint64_t files_total = tally.rows, bytes_total = tally.total_bytes;
  if (outcome.count) {
    files_total = std::max(files_total, outcome.count->files);
    bytes_total = std::max(bytes_total, outcome.count->bytes);
  }
  files_total -= std::min<uint64_t>(files_total, CountOf(tally, kStatusSkipped));
  return {files_total, bytes_total};
}

const char* const kModeWords[] = {"auto (files up to 10 MiB)", "always", "never"};
const char* const kModeNames[] = {"auto", "always", "never"};

}  // namespace

void PrintRunSummary(const TaskInfo& task, const RunOutcome& outcome,
                     const std::string& workspace_option) {
  const TaskTally& tally = outcome.tally;
  auto count_of = [&](const wchar_t* word) { return CountOf(tally, word); };
  auto [files_total, bytes_total] = TaskTotals(outcome);
  std::printf("%s: %llu of %llu files copied (%s of %s)", outcome.complete ? "done" : "not done",
              static_cast<unsigned long long>(tally.done_files()),
              static_cast<unsigned long long>(files_total),
              FormatBytes(tally.reached_bytes()).c_str(), FormatBytes(bytes_total).c_str());
  std::printf("; this run %s in %s", FormatBytes(outcome.copied_bytes).c_str(),
              FormatDuration(outcome.elapsed).c_str());
  if (outcome.elapsed >= 1) {
    std::printf(" (%s/s)",
                FormatBytes(static_cast<uint64_t>(outcome.copied_bytes / outcome.elapsed)).c_str());
  }
  std::printf("\n");
  std::printf("verified by MD5: %llu; not verified (by the verify mode): %llu; verify mode: %s\n",
              count_of(kStatusSuccess), count_of(kStatusFinish),
              kModeWords[static_cast<int>(outcome.verify_mode)]);
  if (outcome.count) PrintLinkCounts(*outcome.count, outcome.keep_links);
  if (!outcome.attributes_not_kept.empty()) {
    const std::string& words = outcome.attributes_not_kept;
    bool mode = words.find("mode") != std::string::npos;
    bool owner = words.find("owner") != std::string::npos;
    std::printf("the target's file system keeps no %s: files were copied without them\n",
                mode && owner ? "permission bits or owners"
                : mode        ? "permission bits"
                              : "owners");
  }
  if (!outcome.core_done()) {
    std::printf("problem: %s\n", CoreFailureText(outcome.core).c_str());
  }
  if (!outcome.finished.ok()) std::printf("problem: %s\n", outcome.finished.message().c_str());
  const auto& skipped = outcome.skipped;
  if (!skipped.empty()) {
    std::printf("%zu entr%s skipped, as not files that can be copied (not tried again):\n",
                skipped.size(), skipped.size() == 1 ? "y" : "ies");
    for (size_t i = 0; i < skipped.size() && i < kSummaryListLimit; ++i) {
      std::printf("  %s: %s\n", DisplayName(task, skipped[i].first.sourcefile).c_str(),
                  skipped[i].second.c_str());
    }
    if (skipped.size() > kSummaryListLimit) {
      std::printf("  ... and %zu more: quorvalmist %sstatus %s --only skipped\n",
                  skipped.size() - kSummaryListLimit, workspace_option.c_str(),
                  WideToNarrow(task.id).c_str());
    }
  }
  if (!outcome.problems.empty()) {
    std::printf("%zu path%s of the source tree not copied:\n", outcome.problems.size(),
                outcome.problems.size() == 1 ? "" : "s");
    PrintWalkProblems(task, outcome.problems, "  ");
  }
  // Directories that could not be listed leave the walk unfinished too; the
  // list above says why, unless the run also ended early.
  if (!outcome.walked &&
      (outcome.problems.empty() || outcome.stop_requested || !outcome.core_done())) {
    std::printf(
        "the walk of the source tree did not finish: files not reached yet are not "
        "listed below\n");
  }
  const auto& unfinished = outcome.unfinished;
  if (!unfinished.empty()) {
    std::printf("%zu file%s not copied:\n", unfinished.size(), unfinished.size() == 1 ? "" : "s");
    for (size_t i = 0; i < unfinished.size() && i < kSummaryListLimit; ++i) {
      const ItemInfo& item = unfinished[i];
      std::printf("  %-7s %s: %s\n", WideToNarrow(item.copystatus).c_str(),
                  DisplayName(task, item.sourcefile).c_str(),
                  ExplainUnfinished(item, outcome.stop_requested).c_str());
    }
    if (unfinished.size() > kSummaryListLimit) {
      std::printf("  ... and %zu more: quorvalmist %sstatus %s --only ready,running,stop,error\n",
                  unfinished.size() - kSummaryListLimit, workspace_option.c_str(),
                  WideToNarrow(task.id).c_str());
    }
  }
  if (!outcome.complete) std::printf("resume with: %s\n", outcome.resume_hint.c_str());
  std::fflush(stdout);
}

void PrintRunSummaryJson(const TaskInfo& task, const RunOutcome& outcome) {
  const TaskTally& tally = outcome.tally;
  auto [files_total, bytes_total] = TaskTotals(outcome);
  Json json;
  json["task"] = WideToNarrow(task.id);
  json["complete"] = outcome.complete;
  json["exit_code"] = RunExitCode(outcome);
  json["files"] = {{"done", tally.done_files()},
                   {"total", files_total},
                   {"skipped", CountOf(tally, kStatusSkipped)}};
  json["bytes"] = {
      {"done", tally.reached_bytes()}, {"total", bytes_total}, {"this_run", outcome.copied_bytes}};
  json["seconds"] = outcome.elapsed;
  json["verify_mode"] = kModeNames[static_cast<int>(outcome.verify_mode)];
  json["verified"] = CountOf(tally, kStatusSuccess);
  json["not_verified"] = CountOf(tally, kStatusFinish);
  if (outcome.count) {
    json["links"] = {{"to_files", outcome.count->links_to_files},
                     {"to_folders", outcome.count->links_to_directories},
                     {"kept_as_links", outcome.keep_links}};
  }
  if (!outcome.attributes_not_kept.empty()) {
    json["attributes_not_kept"] = outcome.attributes_not_kept;
  }
  Json problems = Json::array();
  if (!outcome.core_done()) problems.push_back(CoreFailureText(outcome.core));
  if (!outcome.finished.ok()) problems.push_back(outcome.finished.message());
  json["problems"] = problems;
  json["walk_complete"] = outcome.walked;
  Json paths = Json::array();
  for (const WalkProblem& problem : outcome.problems) {
    Json entry = {{"path", WideToNarrow(problem.path)}, {"reason", WideToNarrow(problem.reason)}};
    AddExactName(&entry, "path", WideToNarrow(problem.path));
    paths.push_back(entry);
  }
  json["not_copied_paths"] = paths;
  Json skipped = Json::array();
  for (const auto& [item, reason] : outcome.skipped) {
    Json entry = {{"source", WideToNarrow(item.sourcefile)}, {"reason", reason}};
    AddExactName(&entry, "source", WideToNarrow(item.sourcefile));
    skipped.push_back(entry);
  }
  json["skipped"] = skipped;
  Json unfinished = Json::array();
  for (const ItemInfo& item : outcome.unfinished) {
    Json entry = {{"source", WideToNarrow(item.sourcefile)},
                  {"target", WideToNarrow(item.targetfile)},
                  {"status", WideToNarrow(item.copystatus)},
                  {"reason", ExplainUnfinished(item, outcome.stop_requested)}};
    AddExactName(&entry, "source", WideToNarrow(item.sourcefile));
    AddExactName(&entry, "target", WideToNarrow(item.targetfile));
    unfinished.push_back(entry);
  }
  json["not_done"] = unfinished;
  if (!outcome.complete) json["resume"] = outcome.resume_hint;
  // One line, the last of the output, so that a script takes the last line.
  std::printf("%s\n", json.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

int RunExitCode(const RunOutcome& outcome) {
  if (outcome.complete) return kFrontEndExitOk;
  if (!outcome.finished.ok()) return kFrontEndExitFailure;
  // A refused start leaves files to copy, as a stop does.
  bool refused = outcome.core.signal == 0 && outcome.core.exit_code == kCoreExitAlreadyRunning;
  return outcome.core_done() || refused ? kFrontEndExitIncomplete : kFrontEndExitFailure;
}

}  // namespace quorvalmist
