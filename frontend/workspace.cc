#include "frontend/workspace.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/config_store.h"
#include "db/db_create.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "frontend/command_error.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

namespace fs = std::filesystem;

// A workspace file's path as the system takes it, and as a user is shown it
// (without the leading "./").
std::string Narrow(const wchar_t* path) { return WideToNarrow(path); }
std::string Shown(const wchar_t* path) {
  std::string narrow = Narrow(path);
  return narrow.rfind("./", 0) == 0 ? narrow.substr(2) : narrow;
}

bool Exists(const wchar_t* path) {
  std::error_code ec;
  return fs::symlink_status(Narrow(path), ec).type() != fs::file_type::not_found && !ec;
}

void WriteSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key,
                  const std::wstring& value) {
  if (!WriteProfileString(section, key, value, file)) {
    throw CommandError("cannot write " + Shown(file), kFrontEndExitFailure);
  }
}

// Removes what a failed creation made, so that a second try starts clean.
void RemoveMadeFiles(bool made_config) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    RemoveFileAt(Narrow(kDatabaseFile) + suffix);
  }
  if (made_config) {
    std::error_code ec;
    fs::remove_all(Narrow(kConfigDirectory), ec);
  }
  for (const std::string& name : {Narrow(kGlobalConfigFile), Narrow(kGlobalConfigFile) + ".lock"}) {
    RemoveFileAt(name);
  }
}

}  // namespace

int DefaultJobs(unsigned hardware_threads) {
  // Each job mostly waits for the disk (its sync, its verification's reads),
  // so two per thread keep the processors busy; past 8 a disk gains nothing.
  constexpr unsigned kFewest = 2, kMost = 8;
  return static_cast<int>(std::clamp(2 * std::min(hardware_threads, kMost), kFewest, kMost));
}

WorkspaceState InspectWorkspace(std::string* detail) {
  const wchar_t* parts[] = {kDatabaseFile, kConfigDirectory, kGlobalConfigFile};
  std::string present, missing;
  for (const wchar_t* part : parts) {
    std::string& list = Exists(part) ? present : missing;
    list += (list.empty() ? "" : ", ") + Shown(part);
  }
  if (present.empty()) return WorkspaceState::kNone;
  std::error_code ec;
  if (missing.empty() && fs::is_directory(Narrow(kConfigDirectory), ec)) {
    return WorkspaceState::kComplete;
  }
  if (missing.empty()) missing = Shown(kConfigDirectory) + " as a folder";
  if (detail) *detail = "it has " + present + " but no " + missing;
  return WorkspaceState::kIncomplete;
}

void CreateWorkspace() {
  std::string detail;
  WorkspaceState state = InspectWorkspace(&detail);
  if (state == WorkspaceState::kComplete) {
    throw CommandError("a workspace is already here; it was left as it is");
  }
  if (state == WorkspaceState::kIncomplete) {
    throw CommandError("this directory holds part of a workspace (" + detail +
                       "); nothing was changed");
  }
  try {
    CreateTaskDbFor(kConnectionString);
  } catch (const DbError& error) {
    RemoveMadeFiles(false);
    throw CommandError(std::string("cannot create the database: ") + error.what(),
                       kFrontEndExitFailure);
  }
  Status status = MakeDirectory(Narrow(kConfigDirectory));
  if (!status.ok()) {
    RemoveMadeFiles(false);
    throw CommandError("cannot create the config folder: " + status.message(),
                       kFrontEndExitFailure);
  }
  try {
    // Every file verified by default; "auto" (files up to 10 MiB) is a choice.
    WriteSetting(kCoreConfigFile, kSystemSection, kCheckFileFlagKey,
                 std::to_wstring(static_cast<int>(VerifyMode::kAlways)));
    // Trees of small files go at the speed of the disk, not of the pauses.
    WriteSetting(kCoreConfigFile, kSystemSection, kPacingKey, kPacingBrisk);
    // A stopped copy of a large file goes on from where it was.
    WriteSetting(kCoreConfigFile, kSystemSection, kResumeInsideKey, kSettingOn);
    WriteSetting(kCoreConfigFile, kSystemSection, kLinksKey, kLinksKeep);
    // Small files cost the start of a process each unless copiers serve one
    // file after another, and the time each file waits for its sync unless
    // several are copied at once.
    WriteSetting(kCoreConfigFile, kSystemSection, kServingCopiersKey, kSettingOn);
    WriteSetting(kCoreConfigFile, kSystemSection, kJobsKey,
                 std::to_wstring(DefaultJobs(std::thread::hardware_concurrency())));
    // inner.cnf starts empty: the core and the copiers fill in one section per
    // file, and the front end removes them once the files are done.
    File inner;
    status = File::Open(Narrow(kInnerConfigFile), File::Mode::kCreateTruncate, &inner);
    if (!status.ok() || !(status = inner.Close()).ok()) {
      throw CommandError("cannot create " + Shown(kInnerConfigFile) + ": " + status.message(),
                         kFrontEndExitFailure);
    }
    WriteSetting(kGlobalConfigFile, kSystemSection, kBufferSizeKey,
                 std::to_wstring(kWorkspaceChunkSize));
  } catch (const CommandError&) {
    RemoveMadeFiles(true);
    throw;
  }
}

WorkspaceCreationLock::WorkspaceCreationLock() {
  Status status = File::LockDirectory(".", &lock_);
  if (!status.ok()) throw CommandError(status.message(), kFrontEndExitFailure);
}

void OpenWorkspace() {
  std::string detail;
  switch (InspectWorkspace(&detail)) {
    case WorkspaceState::kNone:
      throw CommandError(
          "no workspace here (make one with 'quorvalmist init', or name one with -C DIR)");
    case WorkspaceState::kIncomplete:
      throw CommandError("this directory is not a workspace: " + detail);
    case WorkspaceState::kComplete:
      break;
  }
  // The engine takes an empty file for an empty database, which then fails
  // the password check: the user is told what the file is instead.
  if (std::optional<PathInfo> db = StatPath(Narrow(kDatabaseFile)); db && db->size == 0) {
    throw CommandError(
        "the task database ./" + Shown(kDatabaseFile) + " is empty or not a task database",
        kFrontEndExitFailure);
  }
  try {
    OpenTaskDb(kConnectionString);
  } catch (const DbError& error) {
    // The parts are all there, so this is a workspace whose database cannot
    // be used: a failure, not bad input.
    throw CommandError(
        "the task database cannot be opened: " + Shown(kDatabaseFile) + ": " + error.what(),
        kFrontEndExitFailure);
  }
}

namespace {

// The settings a run takes from the [system] sections (where the core and
// the copier read them) that each task keeps for itself in its section of
// core.cnf. [defaults] in core.cnf holds what a new task starts from.
struct RunSetting {
  const wchar_t* file;  // where the programs read it, in [system]
  const wchar_t* key;
};
constexpr RunSetting kRunSettings[] = {{kCoreConfigFile, kCheckFileFlagKey},
                                       {kGlobalConfigFile, kBufferSizeKey},
                                       {kCoreConfigFile, kPacingKey},
                                       {kGlobalConfigFile, kSyncKey},
                                       {kCoreConfigFile, kVerifyFromKey}};
// The section of core.cnf that keeps the workspace's own values of those
// settings, from which a new task starts.
constexpr wchar_t kDefaultsSection[] = L"defaults";

std::wstring ReadSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key) {
  std::optional<std::wstring> value = TryReadProfileString(section, key, L"", 4096, file);
  if (!value) throw CommandError("cannot read " + Shown(file), kFrontEndExitFailure);
  return *value;
}

}  // namespace

void SettleTaskSettings(const std::wstring& task_id) {
  for (const RunSetting& setting : kRunSettings) {
    std::wstring fallback = ReadSetting(kCoreConfigFile, kDefaultsSection, setting.key);
    if (fallback.empty()) {
      // The workspace's own value, kept as its default before any run puts
      // a task's value in its place.
      fallback = ReadSetting(setting.file, kSystemSection, setting.key);
      if (!fallback.empty()) WriteSetting(kCoreConfigFile, kDefaultsSection, setting.key, fallback);
    }
    std::wstring value = ReadSetting(kCoreConfigFile, task_id.c_str(), setting.key);
    if (value.empty() && !fallback.empty()) {
      value = fallback;
      WriteSetting(kCoreConfigFile, task_id.c_str(), setting.key, value);
    }
    if (!value.empty() && ReadSetting(setting.file, kSystemSection, setting.key) != value) {
      WriteSetting(setting.file, kSystemSection, setting.key, value);
    }
  }
}

void SetVerifyMode(const std::wstring& task_id, VerifyMode mode) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kCheckFileFlagKey,
               std::to_wstring(static_cast<int>(mode)));
}

VerifyMode ReadVerifyMode() {
  switch (WideToInt(ReadCheckFileFlag())) {
    case 0:
      return VerifyMode::kAuto;
    case 2:
      return VerifyMode::kNever;
    default:  // the core verifies every file for any other value
      return VerifyMode::kAlways;
  }
}

void SetPacing(const std::wstring& task_id, bool brisk) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kPacingKey, brisk ? kPacingBrisk : kPacingPaced);
}

void SetChunkSize(const std::wstring& task_id, uint64_t bytes) {
  if (bytes == 0 || bytes > kMaxChunkSize) {
    throw CommandError("the chunk size must be between 1 byte and 2 GiB - 1");
  }
  WriteSetting(kCoreConfigFile, task_id.c_str(), kBufferSizeKey, std::to_wstring(bytes));
}

void SetJobs(const std::wstring& task_id, int jobs) {
  if (jobs < 1 || jobs > kMostJobs) {
    throw CommandError("the number of jobs must be between 1 and " + std::to_string(kMostJobs));
  }
  WriteSetting(kCoreConfigFile, task_id.c_str(), kJobsKey, std::to_wstring(jobs));
}

void SetSync(const std::wstring& task_id, bool durable) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kSyncKey, durable ? kSettingOn : kSettingOff);
}

void SetVerifyFromDisk(const std::wstring& task_id, bool from_disk) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kVerifyFromKey,
               from_disk ? kVerifyFromDisk : kVerifyFromCache);
}

void SetTaskLinks(const std::wstring& task_id, bool keep) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kLinksKey, keep ? kLinksKeep : kLinksFollow);
}

void SetTaskRunStatus(const std::wstring& task_id, const std::wstring& value) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kRunStatusKey, value);
}

void SetTaskFrontEnd(const std::wstring& task_id, const std::wstring& front_end_id) {
  WriteSetting(kCoreConfigFile, task_id.c_str(), kFrontEndKey, front_end_id);
}

}  // namespace quorvalmist
