// The commands of the front end. Each works on the workspace in the current
// directory (main changes into the one -C names first), prints what it did,
// and returns the exit code; bad input throws CommandError before anything
// is created or changed.
#ifndef QUORVALMIST_FRONTEND_COMMANDS_H_
#define QUORVALMIST_FRONTEND_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frontend/workspace.h"

namespace quorvalmist {

// Settings a copy or resume may change for this and later runs.
struct CommandSettings {
  std::optional<VerifyMode> verify;
  std::optional<uint64_t> chunk_size;
  std::optional<bool> brisk;             // "pacing": brisk, or paced
  std::optional<int> jobs;               // "jobs" of the task: files copied at once
  std::optional<bool> sync;              // durable copies ("sync" in config.cnf)
  std::optional<bool> verify_from_disk;  // "verifyfrom" in core.cnf
  std::optional<bool> keep_links;        // "links" of the task, in core.cnf
  bool live = false;                     // a live display (standard output is a terminal)
  bool json = false;                     // no display; the summary as one JSON line
  std::string workspace_option;          // "-C DIR " when the user named the workspace
};

// Makes a workspace in `dir` (created when missing; "" for the current
// directory).
int InitCommand(const std::string& dir);

// Copies `sources` to `target` as a new task (see PlanCopy), making a
// workspace first when there is none here. Its first line of output is
// "task: ID".
int CopyCommand(const std::vector<std::string>& sources, const std::string& target,
                const CommandSettings& settings);

// Lists the tasks, or one task's files (only those whose copystatus is in
// `only`, when it is not empty); as JSON when `json`.
int StatusCommand(const std::string& task, const std::vector<std::string>& only, bool json);

// Asks a running task to stop, and (unless `no_wait`) waits until its core
// has ended.
int StopCommand(const std::string& task, bool no_wait);

// Runs a task again until every file is copied: refuses while a core runs it,
// waits for left-over copiers, makes the files that did not end copied
// copyable again, then runs it as copy does.
int ResumeCommand(const std::string& task, const CommandSettings& settings);

// Checks every copied row of the task ("success" or "finish") against its
// source: a file by size and MD5 of both, a link kept as a link by its text
// (neither link is followed). Equal files get md5status "md5ok"; a differing
// file or link becomes "error" (files with "md5error") with the reason, so
// that a resume copies it again once whatever is at its target is moved away;
// the output names those targets. A row whose source is gone is left as it
// is. Also says what of the task is not copied yet (rows not done, a walk not
// finished, paths of the tree not copied). Refuses while a core runs the
// task. As one JSON object when `json`. `workspace_option` is how the user
// names the workspace ("" or "-C DIR "), for the resume command it advises.
// Exit code 0 when the task is done and every file matched, 1 otherwise.
int VerifyCommand(const std::string& task, bool json, const std::string& workspace_option);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_COMMANDS_H_
