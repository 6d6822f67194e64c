// The command-line front end: creates workspaces and tasks, runs, follows,
// stops and resumes them. See README.md ("Using it").
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "db/db_error.h"
#include "frontend/command_error.h"
#include "frontend/commands.h"
#include "frontend/terminal.h"
#include "platform/console.h"

namespace {

using namespace quorvalmist;

// The shell's quoting of one argument, for the hints the program prints.
std::string ShellQuoted(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789-_./:@+") == std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// `path` made absolute against the current directory, spelled as typed
// otherwise (a trailing "/" keeps its meaning of "a directory").
std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::error_code ec;
  std::string cwd = std::filesystem::current_path(ec).string();
  return ec ? path : cwd + (cwd == "/" ? "" : "/") + path;
}

// The run options a copy or resume takes; each is kept for later runs.
struct RunOptionValues {
  std::string verify;
  uint64_t chunk_size = 0;
  std::string pacing;
  bool sync = false;
  bool no_sync = false;
  std::string verify_from;
  std::string links;
};

void AddRunOptions(CLI::App* command, RunOptionValues* values) {
  std::string* verify = &values->verify;
  uint64_t* chunk_size = &values->chunk_size;
  command
      ->add_option("--pacing", values->pacing,
                   "brisk (the default of a new workspace): no pauses between files; paced: a "
                   "pause before each file and a quarter-second poll of each copy; kept for "
                   "later runs")
      ->check(CLI::IsMember({"paced", "brisk"}));
  command
      ->add_option("--verify", *verify,
                   "MD5 verification of copied files: always (the default of a new workspace), "
                   "auto (files up to 10 MiB), never; kept for later runs")
      ->check(CLI::IsMember({"auto", "always", "never"}));
  command
      ->add_option("--chunk-size", *chunk_size,
                   "bytes copied per step (e.g. 1048576, 4MiB); kept for later runs")
      ->transform(CLI::AsSizeValue(false));
  CLI::Option* no_sync = command->add_flag(
      "--no-sync", values->no_sync,
      "do not wait for copies to reach the disk (faster; a power cut may lose files "
      "reported copied); kept for later runs");
  command
      ->add_flag("--sync", values->sync,
                 "each copy is on the disk before it counts (the default); kept for later runs")
      ->excludes(no_sync);
  command
      ->add_option("--verify-from", values->verify_from,
                   "where verification reads a copy: disk (the default: what the device "
                   "holds) or cache (the page cache); kept for later runs")
      ->check(CLI::IsMember({"cache", "disk"}));
  command
      ->add_option("--links", values->links,
                   "symbolic links in a directory: keep (made as links, the workspace's "
                   "default) or follow (a link to a file copied as its content, a link to a "
                   "folder not entered); for this task")
      ->check(CLI::IsMember({"keep", "follow"}));
}

int Run(int argc, char** argv) {
  CLI::App app{"quorvalmist: copies large files and directory trees, verified and resumable"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("quorvalmist ") + QV_VERSION);
  std::string workspace_dir;
  app.add_option("-C", workspace_dir,
                 "run as if started in DIR (as git -C does): the workspace there, and "
                 "relative paths taken from there")
      ->type_name("DIR");

  std::string init_dir;
  CLI::App* init = app.add_subcommand("init", "make a workspace in DIR (default: here)");
  init->add_option("DIR", init_dir, "the workspace's directory (made when missing)");

  std::vector<std::string> paths;
  RunOptionValues run_values;
  CLI::App* copy = app.add_subcommand(
      "copy", "copy a directory tree, or files, to TARGET as a new task, and follow it");
  copy->add_option("SOURCE... TARGET", paths, "what to copy, and where to")
      ->required()
      ->expected(2, -1);
  AddRunOptions(copy, &run_values);

  std::string task;
  std::vector<std::string> only;
  bool json = false;
  CLI::App* status = app.add_subcommand(
      "status", "list the tasks, or one task's files with their status and verification");
  status->add_option("TASK", task, "a task id (or the start of one)");
  status->add_option("--only", only, "only files in these states (comma separated)")
      ->delimiter(',')
      ->check(CLI::IsMember({"ready", "running", "stop", "finish", "success", "error", "skipped"}));
  status->add_flag("--json", json, "print JSON for scripts");

  bool no_wait = false;
  CLI::App* stop = app.add_subcommand("stop", "stop a running task; it can be resumed");
  stop->add_option("TASK", task, "a task id (or the start of one)")->required();
  stop->add_flag("--no-wait", no_wait, "return at once instead of waiting for the task to end");

  CLI::App* resume =
      app.add_subcommand("resume", "run a stopped task again until every file is copied");
  resume->add_option("TASK", task, "a task id (or the start of one)")->required();
  AddRunOptions(resume, &run_values);

  CLI::App* verify_command = app.add_subcommand(
      "verify", "hash every copied file of a task and its source again, and compare them");
  verify_command->add_option("TASK", task, "a task id (or the start of one)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end here too, with their text and exit code 0.
    if (error.get_exit_code() == 0) {
      app.exit(error);
      return kExitOk;
    }
    std::fprintf(stderr, "quorvalmist: %s\nRun with --help for more information.\n", error.what());
    return kExitBadInput;
  }

  try {
    // As with "git -C" and "make -C": the command runs as if started in DIR,
    // so its relative paths are taken from DIR. copy and init make DIR when it
    // is missing, since they make a workspace on first use.
    if (!workspace_dir.empty()) {
      std::error_code ec;
      if ((*copy || *init) && !std::filesystem::exists(workspace_dir, ec)) {
        std::filesystem::create_directories(workspace_dir, ec);
      }
      std::filesystem::current_path(workspace_dir, ec);
      if (ec) {
        throw CommandError("cannot work in '" + workspace_dir + "': " + ec.message() +
                           " (make a workspace there with 'quorvalmist init " +
                           ShellQuoted(workspace_dir) + "')");
      }
    }
    for (std::string& path : paths) path = Absolute(path);
    if (!init_dir.empty()) init_dir = Absolute(init_dir);
    RunSettings settings;
    static const std::map<std::string, VerifyMode> kModes = {{"auto", VerifyMode::kAuto},
                                                             {"always", VerifyMode::kAlways},
                                                             {"never", VerifyMode::kNever}};
    if (!run_values.verify.empty()) settings.verify = kModes.at(run_values.verify);
    if (!run_values.pacing.empty()) settings.pacing = run_values.pacing;
    if ((*copy && copy->count("--chunk-size")) || (*resume && resume->count("--chunk-size"))) {
      settings.chunk_size = run_values.chunk_size;
    }
    if (run_values.sync) settings.sync = true;
    if (run_values.no_sync) settings.sync = false;
    if (!run_values.links.empty()) settings.keep_links = run_values.links == "keep";
    if (!run_values.verify_from.empty()) {
      settings.verify_from_disk = run_values.verify_from == "disk";
    }
    settings.live = StdoutIsTerminal();
    if (!workspace_dir.empty())
      settings.workspace_option = "-C " + ShellQuoted(workspace_dir) + " ";

    if (*init) return InitCommand(init_dir);
    if (*copy) {
      std::string target = paths.back();
      paths.pop_back();
      return CopyCommand(paths, target, settings);
    }
    if (*status) return StatusCommand(task, only, json);
    if (*stop) return StopCommand(task, no_wait);
    if (*resume) return ResumeCommand(task, settings);
    if (*verify_command) return VerifyCommand(task);
    return kExitBadInput;
  } catch (const CommandError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvalmist: %s\n", error.what());
    return error.exit_code();
  } catch (const DbError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvalmist: task database: %s\n", error.what());
    return kExitFailure;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Output may go to a pipe that closes early (| head): fail the write, not
  // the process, so a running copy is not cut off mid-way.
  IgnoreBrokenPipe();
  return Run(argc, argv);
}
