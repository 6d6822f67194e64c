#include "common/run_control.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>

#include "common/config_store.h"
#include "platform/thread.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::MarkerHolder;
using ::quorvalmist::testing::WaitFor;
using ::quorvalmist::testing::WorkspaceTest;
using Clock = std::chrono::steady_clock;

class RunControlTest : public WorkspaceTest {
 protected:
#ifndef _WIN32  // the monitor's own tests fork a process that runs it
  // Passes a monitor must complete without a stop before it counts as quiet.
  static constexpr uint64_t kQuietPasses = 3;

  struct ForkedMonitor {
    pid_t pid = -1;
    int quiet_fd = -1;  // read end: one byte once the monitor has been quiet
  };

  // Forks a process that starts the monitor for `target`. It writes one byte
  // to the pipe once the monitor has completed kQuietPasses passes without a
  // stop, and exits 0 as soon as StopFlag is raised (1 after 20 s).
  ForkedMonitor ForkMonitor(MonitorTarget::Kind kind, const std::wstring& section,
                            const std::wstring& watched) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      static const std::wstring* s = new std::wstring(section);
      static const std::wstring* w = new std::wstring(watched);
      static MonitorTarget* target = new MonitorTarget{kind, s, w};
      StartMonitor(*target);
      auto deadline = Clock::now() + std::chrono::seconds(20);
      bool told = false;
      while (!StopFlag.load() && Clock::now() < deadline) {
        if (!told && MonitorPassCount() >= kQuietPasses && !StopFlag.load()) {
          told = ::write(fds[1], "q", 1) == 1;
        }
        SleepMilliseconds(5);
      }
      _exit(StopFlag.load() ? 0 : 1);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
  }

  // True when the forked monitor reported kQuietPasses quiet passes within
  // `timeout`.
  static bool WaitQuiet(const ForkedMonitor& monitor, std::chrono::milliseconds timeout) {
    pollfd p{monitor.quiet_fd, POLLIN, 0};
    char byte = 0;
    bool quiet = ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
                 ::read(monitor.quiet_fd, &byte, 1) == 1;
    ::close(monitor.quiet_fd);
    return quiet;
  }

  // Waits for the forked monitor to end; its exit code, or -1 on timeout.
  static int WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
#endif
};

TEST_F(RunControlTest, ChecksRunStatusInAnyCaseAndTheMarkers) {
  const std::wstring t1 = L"t1", item_id = L"item";
  MonitorTarget task{MonitorTarget::Kind::kTask, &t1, nullptr};
  EXPECT_TRUE(MonitorSaysStop(task));  // missing key counts as stop
  for (const wchar_t* word : {L"run", L"RUN", L"rUn"}) {
    SetTaskRunStatus(L"t1", word);
    EXPECT_FALSE(MonitorSaysStop(task)) << word;
  }
  for (const wchar_t* word : {L"stop", L"", L"running", L"run-"}) {
    SetTaskRunStatus(L"t1", word);
    EXPECT_TRUE(MonitorSaysStop(task)) << word;
  }

  WriteItemRunStatus(L"item", L"run");
  std::wstring core = L"core task";
  MonitorTarget item{MonitorTarget::Kind::kItem, &item_id, &core};
  EXPECT_TRUE(MonitorSaysStop(item));  // the core's marker is absent
  {
    MarkerHolder holder(core);
    EXPECT_FALSE(MonitorSaysStop(item));
    ReleaseFrontEnd();
    EXPECT_TRUE(MonitorSaysStop(item));
  }
}

TEST_F(RunControlTest, ClaimIsRefusedWhileAnotherProcessHoldsTheName) {
  MarkerHolder other(L"task-x");
  EXPECT_FALSE(ClaimRunMutex(L"task-x"));
  EXPECT_TRUE(ClaimRunMutex(L"task-y"));
  EXPECT_FALSE(IsMutexAbsent(L"task-y"));
  other.Release();
  EXPECT_TRUE(IsMutexAbsent(L"task-x"));
}

// A copier that serves many items: the stop of one item is its own. The next
// item starts with the flag down and is not stopped by the monitor as long as
// its own checks say go, though the item before still says stop.
TEST_F(RunControlTest, WatchedItemStopsOnlyTheItemWatched) {
  static WatchedItem* watched = new WatchedItem;  // the monitor is never joined
  WriteItemRunStatus(L"a", L"stop");
  WriteItemRunStatus(L"b", L"run");
  MarkerHolder core(L"the task");
  watched->Watch(L"a", L"the task");
  EXPECT_TRUE(WaitFor([] { return StopFlag.load(); }));

  watched->Watch(L"b", L"the task");
  EXPECT_FALSE(StopFlag.load());
  uint64_t seen = MonitorPassCount();
  ASSERT_TRUE(WaitFor([&] { return MonitorPassCount() >= seen + 3; }));
  EXPECT_FALSE(StopFlag.load());

  core.Release();  // the core's marker counts for the item watched
  EXPECT_TRUE(WaitFor([] { return StopFlag.load(); }));

  // Between items nothing is watched and nothing raises the flag.
  watched->Unwatch();
  ClearStop();
  seen = MonitorPassCount();
  ASSERT_TRUE(WaitFor([&] { return MonitorPassCount() >= seen + 3; }));
  EXPECT_FALSE(StopFlag.load());
}

#ifndef _WIN32
TEST_F(RunControlTest, MonitorKeepsGoingWhileRunInAnyCase) {
  SetTaskRunStatus(L"t", L"Run");
  ForkedMonitor monitor = ForkMonitor(MonitorTarget::Kind::kTask, L"t", L"");
  // Passes with "Run" and the front end present go by without a stop, and the
  // process is still there to say so.
  EXPECT_TRUE(WaitQuiet(monitor, std::chrono::seconds(20)));
  int status;
  EXPECT_EQ(::waitpid(monitor.pid, &status, WNOHANG), 0);
  // And the same monitor does stop once the status changes.
  SetTaskRunStatus(L"t", L"stop");
  EXPECT_EQ(WaitExit(monitor.pid, std::chrono::seconds(10)), 0);
}

TEST_F(RunControlTest, MonitorStopsWithinTwoSecondsOfEachCause) {
  enum Cause { kRunStatus, kFrontEnd, kWatched };
  for (Cause cause : {kRunStatus, kFrontEnd, kWatched}) {
    SCOPED_TRACE(cause);
    front_end_ = std::make_unique<MarkerHolder>(L"quorvalmist-plinter");
    WriteItemRunStatus(L"i", L"run");
    MarkerHolder core(L"the task");
    ForkedMonitor monitor = ForkMonitor(MonitorTarget::Kind::kItem, L"i", L"the task");
    // While everything says go, passes go by without a stop.
    ASSERT_TRUE(WaitQuiet(monitor, std::chrono::seconds(20))) << "stopped without a cause";
    auto start = Clock::now();
    switch (cause) {
      case kRunStatus:
        WriteItemRunStatus(L"i", L"stop");
        break;
      case kFrontEnd:
        ReleaseFrontEnd();
        break;
      case kWatched:
        core.Release();
        break;
    }
    EXPECT_EQ(WaitExit(monitor.pid, std::chrono::milliseconds(2500)), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  }
}

TEST_F(RunControlTest, StopFlagStaysRaised) {
  SetTaskRunStatus(L"t", L"stop");
  pid_t pid = ::fork();
  if (pid == 0) {
    static MonitorTarget* target =
        new MonitorTarget{MonitorTarget::Kind::kTask, new std::wstring(L"t"), nullptr};
    StartMonitor(*target);
    while (!StopFlag.load()) SleepMilliseconds(5);
    SetTaskRunStatus(L"t", L"run");
    // Two more passes that see "run".
    uint64_t seen = MonitorPassCount();
    while (MonitorPassCount() < seen + 3) SleepMilliseconds(5);
    _exit(StopFlag.load() ? 0 : 1);
  }
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(15)), 0);
}

#endif

}  // namespace
}  // namespace quorvalmist
