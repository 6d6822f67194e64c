// Load: several tasks at once in one workspace, sharing the task database and
// the configuration files. Every task must finish, with no row lost or left
// "running", and no write of another process lost.
#include <chrono>
#include <set>

#include "platform/profile.h"
#include "platform/text.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

class LoadTest : public SystemTest {};

TEST_F(LoadTest, FourTasksAtOnceInOneWorkspace) {
  constexpr int kTasks = 4;
  const int files = static_cast<int>(EnvNumber("QV_LOAD_FILES", 30));
  uint64_t seed = ChooseSeed("FourTasksAtOnceInOneWorkspace");
  std::mt19937_64 rng(seed);
  TreeShape shape;
  shape.files = files;
  shape.big_files = 1;
  shape.big_min = 1 << 20;
  shape.big_max = 3 << 20;
  std::vector<TreeSnapshot> before;
  for (int i = 0; i < kTasks; ++i) {
    std::string src = P("src" + std::to_string(i));
    MakeMixedTree(src, shape, rng);
    before.push_back(SnapshotTree(src));
  }
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);

  auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<StartedProgram>> runs;
  for (int i = 0; i < kTasks; ++i) {
    runs.push_back(StartQv({"copy", "--verify", "always", "--chunk-size", "16KiB",
                            P("src" + std::to_string(i)), P("dst" + std::to_string(i))}));
  }
  std::vector<std::string> tasks;
  for (auto& run : runs) {
    EXPECT_EQ(run->Wait(), 0) << run->output();
    tasks.push_back(TaskId(run->output()));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ load     ] %d tasks of %d files each at once: %.1f s\n", kTasks, files, seconds);
  ASSERT_EQ(std::set<std::string>(tasks.begin(), tasks.end()).size(), static_cast<size_t>(kTasks));

  for (int i = 0; i < kTasks; ++i) {
    SCOPED_TRACE("task " + std::to_string(i));
    std::string src = "src" + std::to_string(i);
    ExpectTaskComplete(tasks[i], P(src), P("dst" + std::to_string(i)), before[i]);
    // Every task's run status is still in core.cnf, as its front end wrote it
    // while the others wrote theirs.
    EXPECT_EQ(ReadProfileString(NarrowToWide(tasks[i]), L"runstatus", L"", 20,
                                NarrowToWide(P("ws/config/core.cnf"))),
              L"run");
  }
  // The shared settings survived the concurrent writers, and the task list
  // shows every task done.
  EXPECT_EQ(ReadProfileString(L"system", L"checkfileflag", L"", 20,
                              NarrowToWide(P("ws/config/core.cnf"))),
            L"1");
  EXPECT_EQ(ReadProfileString(L"system", L"buffersize", L"", 20, NarrowToWide(P("ws/config.cnf"))),
            L"16384");
  RunResult status = Qv({"status", "--json"});
  EXPECT_EQ(status.exit_code, 0);
  size_t done = 0;
  for (size_t at = 0; (at = status.output.find("\"state\": \"done\"", at)) != std::string::npos;
       ++at) {
    ++done;
  }
  EXPECT_EQ(done, static_cast<size_t>(kTasks)) << status.output;
  // The sections of finished items were cleared from inner.cnf by each run.
  EXPECT_EQ(ReadFile(P("ws/config/inner.cnf")).find('['), std::string::npos)
      << ReadFile(P("ws/config/inner.cnf"));
}

}  // namespace
}  // namespace quorvalmist::testing
