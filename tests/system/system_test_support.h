// Helpers for the whole-system tests: a scratch directory with a workspace,
// trees of mixed files, snapshots to prove sources unchanged, the task's rows,
// the database's integrity, the processes of a run, and seeded randomness.
#ifndef QUORVALMIST_TESTS_SYSTEM_SYSTEM_TEST_SUPPORT_H_
#define QUORVALMIST_TESTS_SYSTEM_SYSTEM_TEST_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace quorvalmist::testing {

// A number from the environment, or `fallback` when unset or not a number.
long EnvNumber(const char* name, long fallback);

// The seed of a test's random choices: QV_FAULT_SEED when set, else a fresh
// one. It is printed, so that a failing run can be replayed.
uint64_t ChooseSeed(const char* test_name);

// The shape of a generated tree: `files` files, one in five empty, most of a
// few KiB, and `big_files` of `big_min`..`big_max` bytes, spread over nested
// folders of about `per_dir` files each.
struct TreeShape {
  int files = 30;
  int big_files = 2;
  uint64_t big_min = 1 << 20;
  uint64_t big_max = 4 << 20;
  int per_dir = 6;
};

// Makes the tree below `root`; returns the files' paths relative to it.
std::vector<std::string> MakeMixedTree(const std::string& root, const TreeShape& shape,
                                       std::mt19937_64& rng);

// Every entry below a root by relative path: "dir", "link:<target>", or
// "file:<size>:<mtime>:<content digest>".
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::string& root);

// Paths below `root` (links not followed) whose name ends in the copier's
// temporary suffix.
std::vector<std::string> TempFilesBelow(const std::string& root);

// One tcitem2 row.
struct ItemRow {
  std::string source, target, status, md5;
  std::string position, total;
};

// Processes: children of `parent` whose command name is `name`.
std::vector<pid_t> ChildPids(pid_t parent, const std::string& name);
bool ProcessAlive(pid_t pid);

// Runs the front end with a limit on the size of any file it (or a process it
// starts) writes; past the limit writes fail with EFBIG instead of raising
// SIGXFSZ, as on a full disk.
RunResult RunWithFileSizeLimit(const std::vector<std::string>& args, uint64_t limit);

// The arguments a running process was started with (argv[0] first), from
// /proc; empty when it is gone.
std::vector<std::string> ProcessArguments(pid_t pid);

// A scratch directory that is the current directory, with a private marker
// namespace and a workspace folder "ws" the front end fills itself.
class SystemTest : public FrontEndTest {
 protected:
  // Ends any core or copier still working in the workspace, so that nothing
  // writes into the scratch directory while it is removed.
  void TearDown() override;

  // Waits for the "task: ID" line of a started copy or resume; "" if none came.
  static std::string WaitForTaskId(StartedProgram& program);

  // The task's rows in the workspace folder `workspace`.
  std::vector<ItemRow> Rows(const std::string& task, const std::string& workspace = "ws");
  // The result of "pragma integrity_check" on the workspace's database, opened
  // read-only ("ok" when sound).
  std::string IntegrityCheck();
  // The core of a task, from /proc; -1 when none runs.
  static pid_t CorePid(const std::string& task);

  // Makes src/big.bin, `size` random bytes from `seed`, and copies it to
  // `target` with "--verify never" under a limit of `limit` bytes on any file
  // a process of the run writes, which cuts the copy short as a full disk
  // would (exit 1 expected). Returns the task's id ("" when there is none);
  // the run's output in *run.
  std::string CopyCutShortBySizeLimit(const std::string& target, uint64_t size, uint32_t seed,
                                      uint64_t limit, RunResult* run);
  // Starts "resume TASK" with its copier held where it opens `source`, reads
  // the start position the copier was given, lets it go and waits for the
  // resume's end (its exit code in *exit_code). nullopt when no single copier
  // could be seen.
  std::optional<uint64_t> ResumedCopierStart(const std::string& task, const std::string& source,
                                             int* exit_code);

  // The end state every interrupted task must reach: each source file's copy
  // equal to it below `target`, nothing else there (no temporary file), every
  // row "success" or "finish" with its full position, a sound database, and
  // the source exactly as it was.
  void ExpectTaskComplete(const std::string& task, const std::string& source,
                          const std::string& target, const TreeSnapshot& source_before);
};

}  // namespace quorvalmist::testing

#endif  // QUORVALMIST_TESTS_SYSTEM_SYSTEM_TEST_SUPPORT_H_
