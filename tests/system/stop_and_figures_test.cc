// A stop during the MD5 check ends the check, and the summary's figures say
// what happened: how far a stopped copy got, what this run copied, and the
// size a changed source had when it was copied.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "frontend/progress.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;

class StopAndFiguresTest : public SystemTest {
 protected:
  // True while `pid` has `path` open at a position past 0: it is reading it.
  static bool IsReading(pid_t pid, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : fs::directory_iterator(fds, ec)) {
      if (fs::read_symlink(fd.path(), ec) != path) continue;
      std::string info =
          ReadFile("/proc/" + std::to_string(pid) + "/fdinfo/" + fd.path().filename().string());
      if (info.rfind("pos:", 0) == 0 && std::stoull(info.substr(4)) > 0) return true;
    }
    return false;
  }

  // The bytes of "this run N B" or "this run N MiB" in a summary.
  static double RunMiB(const std::string& output) {
    size_t at = output.find("this run ");
    if (at == std::string::npos) return -1;
    size_t end = 0;
    double n = std::stod(output.substr(at + 9), &end);
    std::string unit = output.substr(at + 9 + end + 1, 3);
    if (unit == "MiB") return n;
    if (unit == "GiB") return n * 1024;
    if (unit == "KiB") return n / 1024;
    return n / kMiB;
  }

  // A file's size; 0 when it is gone.
  static uint64_t SizeOf(const std::string& path) {
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
  }

  // The text between `prefix` and the next `end` in `text`; "" if absent.
  static std::string Between(const std::string& text, const std::string& prefix,
                             const std::string& end) {
    size_t at = text.find(prefix);
    if (at == std::string::npos) return "";
    at += prefix.size();
    size_t stop = text.find(end, at);
    return stop == std::string::npos ? "" : text.substr(at, stop - at);
  }
};

TEST_F(StopAndFiguresTest, LinksKeptAsLinksCountAtTheirOwnSizeInTheCountAndTheRows) {
  // A link to the file and one to a folder: both are made as links, each
  // counts as a file of its text's length, in the count of the tree as in
  // the rows, so the summary and status agree.
  MakeDirs(P("src/sub"));
  WriteRandomFile(P("src/a"), kMiB, 5);
  ASSERT_EQ(::symlink("a", P("src/l1").c_str()), 0);
  ASSERT_EQ(::symlink("sub", P("src/l2").c_str()), 0);
  RunResult r = Qv({"copy", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("done: 3 of 3 files copied (1.00 MiB of 1.00 MiB)"), std::string::npos)
      << r.output;
  RunResult status = Qv({"status", TaskId(r.output)});
  EXPECT_EQ(Between(status.output, "3/3 files, ", ":"), "1.00 MiB of 1.00 MiB") << status.output;
}

TEST_F(StopAndFiguresTest, AStopDuringTheMd5CheckEndsItAndTheFileIsJudgedAgain) {
  // A target that is already in place is judged by MD5 alone; 1 GiB of holes
  // takes seconds to hash in any build, and the test waits until the core is
  // reading the source before it stops the task.
  MakeDirs(P("src"));
  MakeDirs(P("dst"));
  WriteSparseFile(P("src/z"), 1024 * kMiB);
  WriteSparseFile(P("dst/z"), 1024 * kMiB);
  auto copy = StartQv({"copy", P("src"), P("dst")});
  std::string task = WaitForTaskId(*copy);
  ASSERT_FALSE(task.empty()) << copy->output();
  pid_t core = -1;
  ASSERT_TRUE(WaitFor([&] { return (core = CorePid(task)) > 0 && IsReading(core, P("src/z")); },
                      std::chrono::seconds(30)))
      << copy->output();
  EXPECT_EQ(Qv({"stop", task}).exit_code, 0);
  EXPECT_EQ(copy->Wait(), 1) << copy->output();
  EXPECT_NE(copy->output().find("stopped while the copy was verified by MD5"), std::string::npos)
      << copy->output();
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "stop");
  // The copy in place was left as it is, and is judged again.
  EXPECT_TRUE(PathExists(P("dst/z")));
  RunResult again = Qv({"resume", task});
  EXPECT_EQ(again.exit_code, 0) << again.output;
  // Found in place and equal: nothing was copied.
  EXPECT_EQ(RunMiB(again.output), 0) << again.output;
  rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "success");
}

TEST_F(StopAndFiguresTest, FiguresSayHowFarACopyGotAndWhatChanged) {
  constexpr uint64_t kSize = 64 * kMiB;
  // A file-size limit stops the copy at 40 MiB, as a full disk would: the
  // summary counts what was written, not 0 B.
  RunResult r;
  std::string task = CopyCutShortBySizeLimit(P("dst/big.bin"), kSize, 3, 40 * kMiB, &r);
  ASSERT_FALSE(task.empty()) << r.output;
  EXPECT_GE(RunMiB(r.output), 32) << r.output;
  EXPECT_LE(RunMiB(r.output), 40) << r.output;

  // The source shrinks before the resume: the copy is of the new size, and
  // the row and the summary say so instead of the size it had before.
  ASSERT_EQ(::truncate(P("src/big.bin").c_str(), 20 * kMiB), 0);
  RunResult again = Qv({"resume", task});
  EXPECT_EQ(again.exit_code, 0) << again.output;
  EXPECT_NE(again.output.find("(20.0 MiB of 20.0 MiB)"), std::string::npos) << again.output;
  EXPECT_EQ(RunMiB(again.output), 20) << again.output;
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "finish");
  EXPECT_EQ(rows[0].total, std::to_string(20 * kMiB));
  EXPECT_EQ(rows[0].position, rows[0].total);
  EXPECT_TRUE(FilesEqual(P("src/big.bin"), P("dst/big.bin")));
}

TEST_F(StopAndFiguresTest, StatusJsonAgreesWithTheTextWhileAFileIsCopied) {
  // One byte a chunk: the copy of the file runs for minutes. Its copier is
  // held still, so that both forms of status see the same figures.
  MakeDirs(P("src"));
  WriteSparseFile(P("src/z"), 1024 * kMiB);
  auto copy = StartQv({"copy", "--chunk-size", "1", P("src"), P("dst")});
  std::string task = WaitForTaskId(*copy);
  ASSERT_FALSE(task.empty()) << copy->output();
  auto row_of_z = [&](ItemRow* found) {
    for (const ItemRow& row : Rows(task)) {
      if (row.source == P("src/z")) *found = row;
    }
    return !found->status.empty();
  };
  ItemRow z;
  ASSERT_TRUE(WaitFor(
      [&] {
        return row_of_z(&z) && z.status == "running" && !z.position.empty() && z.position != "0";
      },
      std::chrono::seconds(60)))
      << copy->output();
  std::vector<pid_t> copiers;
  ASSERT_TRUE(WaitFor([&] { return !(copiers = ChildPids(CorePid(task), "Skiffwright")).empty(); },
                      std::chrono::seconds(10)));
  ASSERT_EQ(::kill(copiers[0], SIGSTOP), 0);
  // The core mirrors the copier's last position into the row: wait until it
  // has not moved for a while.
  std::string last;
  auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor(
      [&] {
        row_of_z(&z);
        auto now = std::chrono::steady_clock::now();
        if (z.position != last) {
          last = z.position;
          since = now;
        }
        return now - since > std::chrono::milliseconds(800);
      },
      std::chrono::seconds(20)));
  RunResult json = Qv({"status", task, "--json"});
  RunResult text = Qv({"status", task});
  ::kill(copiers[0], SIGCONT);
  EXPECT_EQ(Qv({"stop", task}).exit_code, 0);
  copy->Wait();
  std::string done = Between(json.output, "\"done\": ", ",");
  ASSERT_FALSE(done.empty()) << json.output;
  EXPECT_EQ(done, z.position) << json.output;
  EXPECT_EQ(Between(text.output, "files, ", " of "), FormatBytes(std::stoull(done))) << text.output;
  // The file being copied is not said to be interrupted.
  EXPECT_EQ(json.output.find("interrupted"), std::string::npos) << json.output;
}

TEST_F(StopAndFiguresTest, AStoppedCopyCountsAsFarAsItsTemporaryFileGot) {
  // One byte a chunk: the copy runs long enough to be stopped inside.
  constexpr uint64_t kChunk = 1;
  MakeDirs(P("src"));
  WriteRandomFile(P("src/big.bin"), 256 * kMiB, 9);
  auto copy = StartQv({"copy", "--verify", "never", "--chunk-size", std::to_string(kChunk),
                       P("src/big.bin"), P("dst/big.bin")});
  std::string task = WaitForTaskId(*copy);
  ASSERT_FALSE(task.empty()) << copy->output();
  std::vector<std::string> temps;
  ASSERT_TRUE(WaitFor(
      [&] {
        temps = TempFilesBelow(P("dst"));
        return !temps.empty() && SizeOf(temps[0]) > kMiB / 4;
      },
      std::chrono::seconds(60)))
      << copy->output();
  EXPECT_EQ(Qv({"stop", task}).exit_code, 0);
  EXPECT_EQ(copy->Wait(), 1) << copy->output();
  ASSERT_TRUE(PathExists(temps[0]));
  uint64_t temp_size = SizeOf(temps[0]);
  ASSERT_LT(temp_size, 256 * kMiB);
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "stop");
  uint64_t position = std::stoull(rows[0].position);
  EXPECT_LE(position, temp_size + kChunk);
  EXPECT_GE(position + kChunk, temp_size);
  EXPECT_NE(copy->output().find("(" + FormatBytes(position) + " of 256 MiB)"), std::string::npos)
      << copy->output();
}

TEST_F(StopAndFiguresTest, TheLineOutputShowsTheMd5CheckAsAPhaseOfItsOwn) {
  // 1 GiB of holes is copied at once and takes seconds to hash in any build.
  MakeDirs(P("src"));
  WriteSparseFile(P("src/z"), 1024 * kMiB);
  StartedProgram copy(FrontEndPath(),
                      {"-C", "ws", "copy", "--verify", "always", P("src"), P("dst")},
                      {"QUORVALMIST_PROGRESS_PERIOD_MS=200"});
  EXPECT_TRUE(
      WaitFor([&] { return copy.output().find("; verifying z by MD5 (") != std::string::npos; },
              std::chrono::seconds(60)))
      << copy.output();
  EXPECT_EQ(copy.Wait(), 0) << copy.output();
}

TEST_F(StopAndFiguresTest, TheRateAfterAResumeCountsOnlyWhatThisRunWrote) {
  constexpr uint64_t kSize = 384 * kMiB;
  // A file-size limit stops the first copy at 256 MiB, as a full disk would.
  RunResult first;
  std::string task = CopyCutShortBySizeLimit(P("dst/big.bin"), kSize, 11, 256 * kMiB, &first);
  ASSERT_FALSE(task.empty()) << first.output;
  std::vector<std::string> temps;
  auto temp_size = [&] {
    temps = TempFilesBelow(P("dst"));
    return temps.empty() ? 0 : SizeOf(temps[0]);
  };
  uint64_t kept = temp_size();
  ASSERT_GT(kept, 128 * kMiB);
  ASSERT_LT(kept, kSize);

  // One byte a chunk: the resume writes slowly, and is stopped once it has
  // shown a rate.
  StartedProgram resume(FrontEndPath(), {"-C", "ws", "resume", "--chunk-size", "1", task},
                        {"QUORVALMIST_PROGRESS_PERIOD_MS=200"});
  ASSERT_TRUE(WaitFor([&] { return resume.output().find("/s") != std::string::npos; },
                      std::chrono::seconds(60)))
      << resume.output();
  EXPECT_EQ(Qv({"stop", task}).exit_code, 0);
  resume.Wait();
  // The resume started up to 8 MiB and a chunk below the end of the
  // temporary file; what it wrote since is at most this much.
  double written_mib = static_cast<double>(temp_size() - (kept - 8 * kMiB - 64 * 1024)) / kMiB;
  std::string output = resume.output();
  size_t rate_end = output.find("/s");
  size_t rate_start = output.rfind(", ", rate_end) + 2;
  std::string rate = output.substr(rate_start, rate_end - rate_start);
  double value = std::stod(rate);
  double mib = rate.ends_with("GiB")   ? value * 1024
               : rate.ends_with("MiB") ? value
               : rate.ends_with("KiB") ? value / 1024
                                       : value / kMiB;
  // A rate is taken over at least a second.
  EXPECT_LE(mib, written_mib) << output;
}

// A stop that comes while a copier still works on its file: the row and the
// summary say what the copier did. A copier held (at opening its source) while
// the stop is taken in, then let go, either stops or completes its file; if
// the file is in place, its row says copied and no summary calls it stopped.
TEST_F(StopAndFiguresTest, AFileCompletedAsTheStopCameCountsAsCopied) {
  MakeDirs(P("src"));
  WriteFile(P("src/f"), RandomBytes(64 << 10, 21));
  OpenGate gate(P("src/f"));
  auto copy = StartQv({"copy", "--verify", "never", P("src/f"), P("dst/f")});
  ASSERT_TRUE(gate.WaitForArrival()) << copy->output();
  std::string task = WaitForTaskId(*copy);
  ASSERT_FALSE(task.empty());
  ASSERT_EQ(Qv({"stop", task, "--no-wait"}).exit_code, 0);
  // The core has taken the stop in: it asked its copier to stop, or ended.
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(P("ws/config/inner.cnf")).find("runstatus=stop") != std::string::npos ||
               CorePid(task) == -1;
      },
      std::chrono::seconds(20)));
  gate.Release();
  copy->Wait();
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  if (PathExists(P("dst/f"))) {
    EXPECT_TRUE(FilesEqual(P("src/f"), P("dst/f")));
    EXPECT_EQ(rows[0].status, "finish") << copy->output();
    EXPECT_EQ(copy->output().find("stopped before the copy was complete"), std::string::npos)
        << copy->output();
  } else {
    EXPECT_EQ(rows[0].status, "stop") << copy->output();
  }
  // Either way a resume ends with the file in place.
  EXPECT_EQ(Qv({"resume", task}).exit_code, 0);
  EXPECT_TRUE(FilesEqual(P("src/f"), P("dst/f")));
}

}  // namespace
}  // namespace quorvalmist::testing
