// The command-line front end: creates workspaces and tasks, runs, follows,
// stops and resumes them. See README.md ("Using it").
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/config_store.h"
#include "db/db_error.h"
#include "frontend/command_error.h"
#include "frontend/commands.h"
#include "frontend/terminal.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/text.h"

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
  if (path.empty() || FileSystemPath(path).is_absolute()) return path;
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  return ec ? path : PathText(cwd / FileSystemPath(path));
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
  int jobs = 0;
  bool json = false;
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
                   "folder entered, one back up the tree named and not entered); for this task")
      ->check(CLI::IsMember({"keep", "follow"}));
  command
      ->add_option("--jobs", values->jobs,
                   "how many files are copied at once, 1 to " + std::to_string(kMostJobs) +
                       " (a new workspace's default: twice the processor threads, 2 to 8); "
                       "kept for this task")
      ->type_name("N")
      ->check(CLI::Range(1, kMostJobs).description(""));
  command->add_flag("--json", values->json,
                    "no display while the copy goes on; the summary as one JSON line, the last "
                    "line of the output");
}

// Shows a positional whose name already tells how many values it takes
// ("SOURCE... TARGET") by that name alone in the usage line; CLI11 would add
// "..." to it, as if every part of it repeated.
class UsageFormatter : public CLI::Formatter {
 public:
  std::string make_option_usage(const CLI::Option* opt) const override {
    const std::string& name = opt->get_name();
    if (name.find("...") == std::string::npos) return CLI::Formatter::make_option_usage(opt);
    return opt->get_required() ? name : "[" + name + "]";
  }
};

// The number of single-character edits (insert, delete, replace, or swap of
// two neighbours) that turn `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The word where the command line names its command, when it names none of
// `app`'s commands ("cpoy"); empty otherwise. Skips the options before the
// command, and the value of -C.
std::string UnknownCommand(const CLI::App& app, const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-C") {
      ++i;
      continue;
    }
    if (arg.empty() || arg[0] == '-') continue;
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->get_name() == arg) return "";
    }
    return arg;
  }
  return "";
}

// "unknown command 'cpoy'", with the nearest command when one is close.
std::string UnknownCommandMessage(const CLI::App& app, const std::string& word) {
  std::string message = "unknown command '" + word + "'";
  std::string nearest;
  size_t best = 3;  // farther than two edits is no likely typing slip
  for (const CLI::App* command : app.get_subcommands({})) {
    size_t distance = EditDistance(word, command->get_name());
    if (distance < best) {
      best = distance;
      nearest = command->get_name();
    }
  }
  if (!nearest.empty()) message += "; did you mean '" + nearest + "'?";
  std::string names;
  for (const CLI::App* command : app.get_subcommands({})) {
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  return message + " (the commands: " + names + ")";
}

// What the command line said: the values of every command's options, and
// which command was chosen.
struct CommandLine {
  std::string workspace_dir;
  std::string init_dir;
  std::vector<std::string> paths;
  RunOptionValues run_values;
  std::string task;
  std::vector<std::string> only;
  bool json = false;
  bool no_wait = false;
  CLI::App* init = nullptr;
  CLI::App* copy = nullptr;
  CLI::App* status = nullptr;
  CLI::App* stop = nullptr;
  CLI::App* resume = nullptr;
  CLI::App* verify = nullptr;
};

void DefineCommands(CLI::App* app, CommandLine* line) {
  app->require_subcommand(1);
  app->formatter(std::make_shared<UsageFormatter>());
  app->set_version_flag("--version", std::string("quorvalmist ") + QV_VERSION);
  app->add_option("-C", line->workspace_dir,
                  "run as if started in DIR (as git -C does): the workspace there, and "
                  "relative paths taken from there")
      ->type_name("DIR");

  line->init = app->add_subcommand("init", "make a workspace in DIR (default: here)");
  line->init->add_option("DIR", line->init_dir, "the workspace's directory (made when missing)");

  line->copy = app->add_subcommand(
      "copy", "copy a directory tree, or files, to TARGET as a new task, and follow it");
  line->copy
      ->add_option("SOURCE... TARGET", line->paths,
                   "what to copy (one or more), and the one target to copy it to")
      ->option_text("REQUIRED")
      ->required()
      ->expected(2, -1);
  AddRunOptions(line->copy, &line->run_values);

  line->status = app->add_subcommand(
      "status", "list the tasks, or one task's files with their status and verification");
  line->status->add_option("TASK", line->task, "a task id (or the start of one)");
  line->status->add_option("--only", line->only, "only files in these states (comma separated)")
      ->delimiter(',')
      ->check(CLI::IsMember({"ready", "running", "stop", "finish", "success", "error", "skipped"}));
  line->status->add_flag("--json", line->json, "print JSON for scripts");

  line->stop = app->add_subcommand("stop", "stop a running task; it can be resumed");
  line->stop->add_option("TASK", line->task, "a task id (or the start of one)")->required();
  line->stop->add_flag("--no-wait", line->no_wait,
                       "return at once instead of waiting for the task to end");

  line->resume =
      app->add_subcommand("resume", "run a stopped task again until every file is copied");
  line->resume->add_option("TASK", line->task, "a task id (or the start of one)")->required();
  AddRunOptions(line->resume, &line->run_values);

  line->verify = app->add_subcommand(
      "verify", "hash every copied file of a task and its source again, and compare them");
  line->verify->add_option("TASK", line->task, "a task id (or the start of one)")->required();
  line->verify->add_flag("--json", line->json, "print JSON for scripts");
}

// As with "git -C" and "make -C": the command runs as if started in DIR, so
// its relative paths are taken from DIR. copy and init make DIR when it is
// missing, since they make a workspace on first use.
void EnterWorkspaceDir(const std::string& dir, bool make) {
  std::error_code ec;
  std::filesystem::path where = FileSystemPath(dir);
  if (make && !std::filesystem::exists(where, ec)) std::filesystem::create_directories(where, ec);
  std::filesystem::current_path(where, ec);
  if (ec) {
    throw CommandError("cannot work in '" + dir + "': " + ec.message() +
                       " (make a workspace there with 'quorvalmist init " + ShellQuoted(dir) +
                       "')");
  }
}

CommandSettings SettingsFrom(const CommandLine& line) {
  const RunOptionValues& values = line.run_values;
  CommandSettings settings;
  static const std::map<std::string, VerifyMode> kModes = {
      {"auto", VerifyMode::kAuto}, {"always", VerifyMode::kAlways}, {"never", VerifyMode::kNever}};
  if (!values.verify.empty()) settings.verify = kModes.at(values.verify);
  if (!values.pacing.empty()) settings.brisk = values.pacing == "brisk";
  if ((*line.copy && line.copy->count("--chunk-size")) ||
      (*line.resume && line.resume->count("--chunk-size"))) {
    settings.chunk_size = values.chunk_size;
  }
  if (values.jobs != 0) settings.jobs = values.jobs;
  if (values.sync) settings.sync = true;
  if (values.no_sync) settings.sync = false;
  if (!values.links.empty()) settings.keep_links = values.links == "keep";
  if (!values.verify_from.empty()) settings.verify_from_disk = values.verify_from == "disk";
  settings.json = values.json;
  settings.live = StdoutIsTerminal() && !values.json;
  if (!line.workspace_dir.empty()) {
    settings.workspace_option = "-C " + ShellQuoted(line.workspace_dir) + " ";
  }
  return settings;
}

int RunCommand(CommandLine& line) {
  if (!line.workspace_dir.empty()) EnterWorkspaceDir(line.workspace_dir, *line.copy || *line.init);
  for (std::string& path : line.paths) path = Absolute(path);
  if (!line.init_dir.empty()) line.init_dir = Absolute(line.init_dir);
  CommandSettings settings = SettingsFrom(line);

  if (*line.init) return InitCommand(line.init_dir);
  if (*line.copy) {
    std::string target = line.paths.back();
    line.paths.pop_back();
    return CopyCommand(line.paths, target, settings);
  }
  if (*line.status) return StatusCommand(line.task, line.only, line.json);
  if (*line.stop) return StopCommand(line.task, line.no_wait);
  if (*line.resume) return ResumeCommand(line.task, settings);
  if (*line.verify) return VerifyCommand(line.task, line.json, settings.workspace_option);
  return kFrontEndExitBadInput;
}

int Run(const std::vector<std::string>& args, int argc, char** argv) {
  CLI::App app{"quorvalmist: copies large files and directory trees, verified and resumable"};
  CommandLine line;
  DefineCommands(&app, &line);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end here too, with their text and exit code 0.
    if (error.get_exit_code() == 0) {
      app.exit(error);
      return kFrontEndExitOk;
    }
    // CLI11 takes an unknown command for a stray argument and asks for a
    // command; the user needs to hear which word was not one.
    if (std::string word = UnknownCommand(app, args); !word.empty()) {
      std::fprintf(stderr, "quorvalmist: %s\nRun with --help for more information.\n",
                   UnknownCommandMessage(app, word).c_str());
      return kFrontEndExitBadInput;
    }
    std::fprintf(stderr, "quorvalmist: %s\nRun with --help for more information.\n", error.what());
    return kFrontEndExitBadInput;
  }

  try {
    return RunCommand(line);
  } catch (const CommandError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvalmist: %s\n", error.what());
    return error.exit_code();
  } catch (const DbError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvalmist: task database: %s\n", error.what());
    return kFrontEndExitFailure;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Output may go to a pipe that closes early (| head): fail the write, not
  // the process, so a running copy is not cut off mid-way.
  PrepareStandardStreams();
  std::vector<std::string> args = ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return Run(args, static_cast<int>(args.size()), pointers.data());
}
