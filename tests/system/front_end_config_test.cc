// config/core.cnf is the front end's: the core and the copier only read it.
// So a run leaves it as the front end wrote it, and a stop written there by
// hand, or by another program that knows nothing of the writers' lock, holds.
// What the front end needs back from a run (the bytes found in place) reaches
// it all the same.
#include <poll.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/profile.h"
#include "platform/text.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

// The bytes of "this run N unit" in a summary, as printed (rounded); -1 when
// there is none.
double RunBytes(const std::string& output) {
  size_t at = output.find("this run ");
  if (at == std::string::npos) return -1;
  size_t end = 0;
  double n = std::stod(output.substr(at + 9), &end);
  std::string unit = output.substr(at + 9 + end + 1, 3);
  if (unit == "KiB") return n * 1024;
  if (unit == "MiB") return n * 1024 * 1024;
  return n;
}

// Tells when some process opens a given file in a folder (inotify).
class WriterWatch {
 public:
  WriterWatch(const std::string& dir, std::string name) : name_(std::move(name)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(fd_, 0) << std::strerror(errno);
    if (fd_ >= 0) {
      EXPECT_GE(::inotify_add_watch(fd_, dir.c_str(), IN_OPEN), 0) << dir;
    }
  }
  ~WriterWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  WriterWatch(const WriterWatch&) = delete;
  WriterWatch& operator=(const WriterWatch&) = delete;

  // Forgets the opens seen so far, then waits up to `timeout` for the next
  // one; true when it came.
  bool WaitForOpen(std::chrono::milliseconds timeout) {
    while (Drain()) {
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      struct pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) > 0 && Drain()) return true;
    }
  }

 private:
  // Reads the waiting events; true when one was an open of the file.
  bool Drain() {
    alignas(inotify_event) char buffer[4096];
    bool seen = false;
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && name_ == event->name) seen = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return seen;
  }

  std::string name_;
  int fd_ = -1;
};

class FrontEndConfigTest : public SystemTest {
 protected:
  std::string CoreCnf() const { return P("ws/config/core.cnf"); }

  // Rows of the task that are done ("success" or "finish"), read beside the
  // running programs.
  int64_t DoneRows(const std::string& task) {
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(P("ws/fm2.qz").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      sqlite3_stmt* statement = nullptr;
      const char* sql =
          "select count(*) from tcitem2 where tcitemid=? and copystatus in ('success','finish')";
      if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, task.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) == SQLITE_ROW) count = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db);
    return count;
  }

  // Writes "runstatus" = "stop" into the task's section of core.cnf as a
  // program that knows nothing of the writers' lock would: reads the whole
  // file, changes the line and writes the text back, over the file in place
  // or into a new file renamed over it.
  void WriteStopByHand(const std::string& task, bool in_place) {
    std::string text = ReadFile(CoreCnf());
    size_t section = text.find("[" + task + "]\n");
    ASSERT_NE(section, std::string::npos) << text;
    size_t next = text.find("\n[", section + 1);
    size_t key = text.find("\nrunstatus=", section);
    ASSERT_LT(key, next) << text;
    size_t end = text.find('\n', key + 1);
    text.replace(key + 1, end - key - 1, "runstatus=stop");
    std::string written = in_place ? CoreCnf() : CoreCnf() + ".by-hand";
    {
      std::ofstream out(written, std::ios::binary | std::ios::trunc);
      out << text;
      ASSERT_TRUE(out.flush()) << written;
    }
    if (!in_place) {
      ASSERT_EQ(::rename(written.c_str(), CoreCnf().c_str()), 0);
    }
  }

  std::wstring RunStatusOf(const std::string& task) {
    return ReadProfileString(NarrowToWide(task), L"runstatus", L"", 20, NarrowToWide(CoreCnf()));
  }
};

// The summary counts what the run copied, not the targets it found in place
// and equal, which the core reports to the front end beside the rows; nothing
// of that report is left in inner.cnf afterwards. A second copy into the same
// target, which finds every file in place, copies nothing.
TEST_F(FrontEndConfigTest, TheSummaryLeavesOutWhatWasFoundInPlace) {
  MakeDirs(P("src/a"));
  MakeDirs(P("src/b"));
  MakeDirs(P("dst/a"));
  MakeDirs(P("dst/b"));
  for (int i = 0; i < 6; ++i) {
    std::string name = std::string(i % 2 ? "a" : "b") + "/in place " + std::to_string(i);
    WriteFile(P("src/" + name),
              RandomBytes(40000 + static_cast<size_t>(i), static_cast<uint32_t>(i)));
    WriteFile(P("dst/" + name), ReadFile(P("src/" + name)));
  }
  for (int i = 0; i < 3; ++i) {
    WriteFile(P("src/a/new " + std::to_string(i)), RandomBytes(100, static_cast<uint32_t>(50 + i)));
  }

  RunResult first = Qv({"copy", "--pacing", "brisk", P("src"), P("dst")});
  EXPECT_EQ(first.exit_code, 0) << first.output;
  EXPECT_NE(first.output.find("this run 300 B in"), std::string::npos) << first.output;
  EXPECT_EQ(ReadFile(P("ws/config/inner.cnf")).find('['), std::string::npos)
      << ReadFile(P("ws/config/inner.cnf"));

  RunResult again = Qv({"copy", "--pacing", "brisk", P("src"), P("dst")});
  EXPECT_EQ(again.exit_code, 0) << again.output;
  EXPECT_NE(again.output.find("this run 0 B in"), std::string::npos) << again.output;
  EXPECT_EQ(ReadFile(P("ws/config/inner.cnf")).find('['), std::string::npos)
      << ReadFile(P("ws/config/inner.cnf"));
}

// Stops written by hand hold. Brisk runs over a tree of which two thirds are
// already in place at the target (so that the core compares and finds file
// after file) are stopped each by a write of "runstatus" = "stop" into
// core.cnf without the writers' lock: read, change, write back, in place or
// through a file renamed over it, by turns. It is written once a random
// number of files is done, as soon as another writer starts on core.cnf if
// one does within a moment (the worst time for a writer that does not take
// the lock), else at once. Every run ends short of the end and core.cnf still
// says stop. A gate on one file not copied yet keeps a run from finishing
// before its stop is seen. A last resume copies the rest and counts only what
// it copied, not what it found in place.
TEST_F(FrontEndConfigTest, StopsWrittenByHandHold) {
  std::mt19937_64 rng(ChooseSeed("StopsWrittenByHandHold"));
  const int files = static_cast<int>(EnvNumber("QV_HAND_STOP_FILES", 150));
  const int rounds = static_cast<int>(EnvNumber("QV_HAND_STOP_ROUNDS", 8));
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    std::string dir = "d" + std::to_string(i % 3);
    MakeDirs(P("src/" + dir));
    MakeDirs(P("dst/" + dir));
    std::string name = dir + "/f" + std::to_string(i);
    WriteFile(P("src/" + name),
              RandomBytes(1000 + static_cast<size_t>(rng() % 3000), static_cast<uint32_t>(i)));
    if (i % 3 != 0) WriteFile(P("dst/" + name), ReadFile(P("src/" + name)));
    names.push_back(name);
  }
  TreeSnapshot source_before = SnapshotTree(P("src"));
  // A workspace that has run tasks before, each with its section in core.cnf
  // (which makes the file longer to read and write).
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);
  {
    std::ofstream out(CoreCnf(), std::ios::binary | std::ios::app);
    for (int i = 0; i < 100; ++i) {
      out << "[20250101-1200" << 10 + i % 50 << "-" << 100000 + i
          << "]\npacing=brisk\ncheckfileflag=1\nbuffersize=1048576\nfrontend=" << 1000 + i
          << "\nrunstatus=run\n";
    }
  }
  WriterWatch writers(P("ws/config"), "core.cnf.lock");

  std::string task;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> not_copied;
    for (const std::string& name : names) {
      if (!PathExists(P("dst/" + name))) not_copied.push_back(name);
    }
    // A fast build may have copied them all: no file is left to hold a run.
    if (not_copied.empty()) break;
    OpenGate gate(P("src/" + not_copied[rng() % not_copied.size()]));
    int64_t done_before = task.empty() ? 0 : DoneRows(task);
    int64_t left = files - done_before;
    int64_t wanted = done_before + 1 + static_cast<int64_t>(rng() % std::max<int64_t>(left / 6, 1));
    auto run = task.empty() ? StartQv({"copy", "--pacing", "brisk", P("src"), P("dst")})
                            : StartQv({"resume", task});
    if (task.empty()) {
      task = WaitForTaskId(*run);
      ASSERT_FALSE(task.empty()) << run->output();
    }
    // Files done in this run (so the front end has set the task going), or
    // the run held at the gate.
    ASSERT_TRUE(WaitFor([&] { return gate.SomeoneWaits() || DoneRows(task) >= wanted; },
                        std::chrono::seconds(60)))
        << run->output();
    ASSERT_FALSE(run->HasEnded()) << run->output();
    writers.WaitForOpen(std::chrono::milliseconds(100));
    WriteStopByHand(task, round % 2 == 1);
    bool core_ended = WaitFor([&] { return CorePid(task) < 0; }, std::chrono::seconds(15));
    gate.Release();
    EXPECT_TRUE(core_ended) << "the stop was lost: the core went on";
    EXPECT_EQ(run->Wait(), 1) << run->output();
    EXPECT_NE(run->output().find("not done"), std::string::npos) << run->output();
    EXPECT_EQ(RunStatusOf(task), L"stop") << ReadFile(CoreCnf());
    if (HasFailure()) return;
  }

  // What the last resume has to copy: the files with no target yet. Those
  // whose copy was made but not judged are found in place.
  uint64_t missing = 0;
  for (const std::string& name : names) {
    if (!PathExists(P("dst/" + name))) missing += ReadFile(P("src/" + name)).size();
  }
  RunResult last = Qv({"resume", task});
  EXPECT_EQ(last.exit_code, 0) << last.output;
  ExpectTaskComplete(task, P("src"), P("dst"), source_before);
  // Printed to three figures.
  EXPECT_NEAR(RunBytes(last.output), static_cast<double>(missing),
              static_cast<double>(missing) * 0.006 + 1)
      << last.output;
}

}  // namespace
}  // namespace quorvalmist::testing
