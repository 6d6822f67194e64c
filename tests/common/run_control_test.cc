#include "common/run_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
  // Forks a process that starts the monitor for `target` and exits 0 as soon as
  // StopFlag is raised (1 after 20 s). `ready` is written once the monitor has
  // completed one pass without stopping.
  pid_t ForkMonitor(MonitorTarget::Kind kind, const std::wstring& section,
                    const std::wstring& watched) {
    pid_t pid = ::fork();
    if (pid == 0) {
      static const std::wstring* s = new std::wstring(section);
      static const std::wstring* w = new std::wstring(watched);
      static MonitorTarget* target = new MonitorTarget{kind, s, w};
      StartMonitor(*target);
      auto deadline = Clock::now() + std::chrono::seconds(20);
      while (!StopFlag.load() && Clock::now() < deadline) SleepMilliseconds(10);
      _exit(StopFlag.load() ? 0 : 1);
    }
    return pid;
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

TEST_F(RunControlTest, MonitorKeepsGoingWhileRunInAnyCase) {
  SetTaskRunStatus(L"t", L"Run");
  pid_t pid = ForkMonitor(MonitorTarget::Kind::kTask, L"t", L"");
  // Three monitor periods with "Run" and the front end present: no stop.
  EXPECT_EQ(WaitExit(pid, std::chrono::milliseconds(3200)), -1);
}

TEST_F(RunControlTest, MonitorStopsWithinTwoSecondsOfEachCause) {
  enum Cause { kRunStatus, kFrontEnd, kWatched };
  for (Cause cause : {kRunStatus, kFrontEnd, kWatched}) {
    SCOPED_TRACE(cause);
    front_end_ = std::make_unique<MarkerHolder>(L"quorvalmist-plinter");
    WriteItemRunStatus(L"i", L"run");
    MarkerHolder core(L"the task");
    pid_t pid = ForkMonitor(MonitorTarget::Kind::kItem, L"i", L"the task");
    // While everything says go, at least one pass goes by without a stop.
    ::usleep(1200 * 1000);
    int status;
    ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "stopped without a cause";
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
    EXPECT_EQ(WaitExit(pid, std::chrono::milliseconds(2500)), 0);
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
    while (!StopFlag.load()) SleepMilliseconds(10);
    SetTaskRunStatus(L"t", L"run");
    SleepMilliseconds(2200);  // two more passes that see "run"
    _exit(StopFlag.load() ? 0 : 1);
  }
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(15)), 0);
}

}  // namespace
}  // namespace quorvalmist
