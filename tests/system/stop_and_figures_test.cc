// A stop during the MD5 check ends the check, and the summary's figures say
// what happened: how far a stopped copy got, what this run copied, and the
// size a changed source had when it was copied.
#include <unistd.h>

#include <filesystem>

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
};

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
  MakeDirs(P("src"));
  WriteRandomFile(P("src/big.bin"), kSize, 3);
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);
  // A file-size limit stops the copy at 40 MiB, as a full disk would: the
  // summary counts what was written, not 0 B.
  RunResult r = RunWithFileSizeLimit(
      {"-C", "ws", "copy", "--verify", "never", P("src/big.bin"), P("dst/big.bin")}, 40 * kMiB);
  EXPECT_EQ(r.exit_code, 1) << r.output;
  std::string task = TaskId(r.output);
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

}  // namespace
}  // namespace quorvalmist::testing
