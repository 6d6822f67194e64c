// Fault injection through the front end: a tree is copied while the core, the
// copier or the front end is killed with SIGKILL at random moments, or while
// the configuration files are unreadable for a while; the task is resumed
// after each fault until it is done, and must then be whole.
//
// The random moments come from a seed that is printed (QV_FAULT_SEED replays
// it). QV_FAULT_FULL=1 makes the long version (a tree of 300 files with a few
// of 10 to 100 MiB, 30 faults); QV_FAULT_COUNT sets the number of faults.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

using std::chrono::milliseconds;

bool FullScale() { return EnvNumber("QV_FAULT_FULL", 0) != 0; }

TreeShape FaultTreeShape() {
  TreeShape shape;
  if (FullScale()) {
    shape.files = 300;
    shape.big_files = 3;
    shape.big_min = 10 << 20;
    shape.big_max = 100 << 20;
    shape.per_dir = 10;
  } else {
    shape.files = 30;
    shape.big_files = 2;
    shape.big_min = 1 << 20;
    shape.big_max = 5 << 20;
    shape.per_dir = 6;
  }
  return shape;
}

int FaultCount(int ci_count) {
  return static_cast<int>(EnvNumber("QV_FAULT_COUNT", FullScale() ? 30 : ci_count));
}

milliseconds RandomDelay(std::mt19937_64& rng, int low_ms, int high_ms) {
  return milliseconds(low_ms + static_cast<int>(rng() % static_cast<uint64_t>(high_ms - low_ms)));
}

struct Tally {
  int core = 0, copier = 0, front_end = 0, config = 0, runs = 0, rounds = 0;
  int total() const { return core + copier + front_end + config; }
};

class FaultInjectionTest : public SystemTest {
 protected:
  // Injects one fault into the running `run` of `task`; false when none
  // could be injected (the run ended first).
  using Injector = std::function<bool(StartedProgram& run, const std::string& task)>;

  void SetUp() override {
    SystemTest::SetUp();
    seed_ = ChooseSeed(::testing::UnitTest::GetInstance()->current_test_info()->name());
    rng_.seed(seed_);
    MakeMixedTree(P("src"), FaultTreeShape(), rng_);
    before_ = SnapshotTree(P("src"));
  }

  // Copies the tree, injecting `faults` faults at random moments and resuming
  // after each run that ended incomplete. When a task is done before all
  // faults were injected, a new task copies the tree again to a new target.
  void RunUnderFaults(int faults, int low_ms, int high_ms, const Injector& inject) {
    auto start = std::chrono::steady_clock::now();
    // Odd rounds run paced: its pauses make every file last at least a
    // quarter of a second whatever the build's speed, so faults land in
    // them. Even rounds run brisk, the front end's own pacing, where a fast
    // build may finish before a fault lands; the rounds are bounded.
    const int max_rounds = faults + 10;
    while (tally_.total() < faults && tally_.rounds < max_rounds) {
      ++tally_.rounds;
      const std::string pacing = tally_.rounds % 2 == 1 ? "paced" : "brisk";
      std::string target = P("dst" + std::to_string(tally_.rounds));
      auto run = StartQv({"copy", "--verify", "auto", "--chunk-size", "64KiB", "--pacing", pacing,
                          P("src"), target});
      std::string task = WaitForTaskId(*run);
      ASSERT_FALSE(task.empty()) << run->output();
      ++tally_.runs;
      for (;;) {
        if (!run) {
          run = StartQv({"resume", "--pacing", pacing, task});
          ++tally_.runs;
          ASSERT_EQ(WaitForTaskId(*run), task) << run->output();
        }
        milliseconds delay = RandomDelay(rng_, low_ms, high_ms);
        bool ended = WaitFor([&] { return run->HasEnded(); }, delay);
        if (!ended && tally_.total() < faults && inject(*run, task)) continue;
        int code = run->Wait();
        if (code == 0) break;
        // A fault ends a run as incomplete (1), or as failed (3) when it
        // killed the core, and says how to go on; a front end killed ends by
        // the signal.
        if (code != 128 + SIGKILL) {
          ASSERT_TRUE(code == 1 || code == 3) << code << "\n" << run->output();
          EXPECT_NE(run->output().find("resume with: quorvalmist -C ws resume " + task),
                    std::string::npos)
              << run->output();
        }
        run.reset();
      }
      RunResult again = Qv({"resume", task});
      EXPECT_EQ(again.exit_code, 0) << again.output << again.error;
      ExpectTaskComplete(task, P("src"), target, before_);
      if (HasFailure()) break;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "[ faults   ] seed %llu: %d faults (core %d, copier %d, front end %d, config %d) in "
        "%d runs, %d round%s, %.0f s: %s\n",
        static_cast<unsigned long long>(seed_), tally_.total(), tally_.core, tally_.copier,
        tally_.front_end, tally_.config, tally_.runs, tally_.rounds, tally_.rounds == 1 ? "" : "s",
        seconds, HasFailure() ? "FAILED" : "all targets whole");
    std::fflush(stdout);
    EXPECT_GT(tally_.total(), 0) << "no fault landed in " << tally_.rounds << " rounds";
  }

  // Kills the task's core or the copier it runs, chosen at random.
  bool KillCoreOrCopier(StartedProgram& run, const std::string& task) {
    pid_t core = -1;
    WaitFor([&] { return (core = CorePid(task)) > 0 || run.HasEnded(); }, milliseconds(2000));
    if (core <= 0) return false;
    if (rng_() % 2 == 0) {
      std::vector<pid_t> copiers;
      WaitFor([&] { return !(copiers = ChildPids(core, "Skiffwright")).empty(); },
              milliseconds(1000));
      if (!copiers.empty() && ::kill(copiers[0], SIGKILL) == 0) {
        ++tally_.copier;
        return true;
      }
    }
    if (::kill(core, SIGKILL) != 0) return false;
    ++tally_.core;
    return true;
  }

  // Kills the front end; the core it leaves must then end on its own.
  bool KillFrontEnd(StartedProgram& run, const std::string& task) {
    if (run.HasEnded()) return false;
    run.KillAtOnce();
    run.Wait();
    ++tally_.front_end;
    // Twice, a moment apart: a core the front end was starting as it was
    // killed shows up only once it has been started.
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(WaitFor([&] { return CorePid(task) < 0; }, std::chrono::seconds(15)))
          << "the core ran on without its front end";
      std::this_thread::sleep_for(milliseconds(300));
    }
    return true;
  }

  // Puts a directory in place of a configuration file for a moment, then the
  // file back. The swaps take the writers' lock, so that no writer is caught
  // half-way; readers simply find the file unreadable.
  bool HideConfigFile(StartedProgram& run, const std::string&) {
    static const char* const kFiles[] = {"ws/config/core.cnf", "ws/config/inner.cnf",
                                         "ws/config.cnf"};
    if (run.HasEnded()) return false;
    std::string file = P(kFiles[rng_() % 3]);
    std::string stand_in = P("ws/stand-in");
    EXPECT_EQ(::mkdir(stand_in.c_str(), 0700), 0);
    if (!ExchangeLocked(file, stand_in)) return false;
    std::this_thread::sleep_for(RandomDelay(rng_, 500, 3000));
    EXPECT_TRUE(ExchangeLocked(file, stand_in));
    EXPECT_EQ(::rmdir(stand_in.c_str()), 0);
    ++tally_.config;
    return true;
  }

  static bool ExchangeLocked(const std::string& a, const std::string& b) {
    int lock = ::open((a + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(lock, 0);
    EXPECT_EQ(::flock(lock, LOCK_EX), 0);
    int rc = ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    EXPECT_EQ(rc, 0) << a << ": " << std::strerror(errno);
    ::close(lock);
    return rc == 0;
  }

  uint64_t seed_ = 0;
  std::mt19937_64 rng_;
  TreeSnapshot before_;
  Tally tally_;
};

TEST_F(FaultInjectionTest, CoreAndCopierKilledAtRandomMoments) {
  RunUnderFaults(
      FaultCount(8), 200, FullScale() ? 4000 : 2500,
      [this](StartedProgram& run, const std::string& task) { return KillCoreOrCopier(run, task); });
  EXPECT_GT(tally_.core, 0);
}

TEST_F(FaultInjectionTest, FrontEndKilledAtRandomMoments) {
  RunUnderFaults(
      FaultCount(5), 200, FullScale() ? 4000 : 2500,
      [this](StartedProgram& run, const std::string& task) { return KillFrontEnd(run, task); });
}

TEST_F(FaultInjectionTest, ConfigurationFilesUnreadableForAWhile) {
  RunUnderFaults(
      FaultCount(5), 200, FullScale() ? 4000 : 2500,
      [this](StartedProgram& run, const std::string& task) { return HideConfigFile(run, task); });
  // Every file is back as it was: a file, and still holding the settings.
  EXPECT_NE(ReadFile(P("ws/config.cnf")).find("buffersize=65536"), std::string::npos);
  EXPECT_NE(ReadFile(P("ws/config/core.cnf")).find("checkfileflag=0"), std::string::npos);
}

}  // namespace
}  // namespace quorvalmist::testing
