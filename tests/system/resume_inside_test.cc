// A large copy stopped part-way goes on from inside its temporary file in
// the workspaces the front end makes, and is verified whatever the mode.
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;

class ResumeInsideTest : public SystemTest {};

TEST_F(ResumeInsideTest, AStoppedLargeCopyGoesOnFromInsideTheFile) {
  constexpr uint64_t kSize = 64 * kMiB;
  MakeDirs(P("src"));
  WriteRandomFile(P("src/big.bin"), kSize, 9);
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);
  // A file-size limit stops the copy at 40 MiB, as a full disk would.
  RunResult r = RunWithFileSizeLimit(
      {"-C", "ws", "copy", "--verify", "never", P("src/big.bin"), P("dst/big.bin")}, 40 * kMiB);
  EXPECT_EQ(r.exit_code, 1) << r.output;
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output;
  std::string temp = P("dst/big.bin_quorvalmist_temp");
  ASSERT_TRUE(PathExists(temp));

  // The resumed copier is held where it opens its source, to read the start
  // position it was given.
  OpenGate gate(P("src/big.bin"));
  auto resume = StartQv({"resume", task});
  ASSERT_TRUE(gate.WaitForArrival()) << resume->output();
  pid_t core = CorePid(task);
  std::vector<pid_t> copiers = ChildPids(core, "Skiffwright");
  ASSERT_EQ(copiers.size(), 1u);
  std::vector<std::string> args = ProcessArguments(copiers[0]);
  ASSERT_EQ(args.size(), 7u);
  uint64_t start = std::stoull(args[3]);
  gate.Release();
  EXPECT_EQ(resume->Wait(), 0) << resume->output();

  // At most 60% of the file is copied again, and the result is whole and was
  // verified although the task asked for no verification.
  EXPECT_GE(start, kSize * 4 / 10);
  EXPECT_LE(start, 40 * kMiB);
  EXPECT_TRUE(FilesEqual(P("src/big.bin"), P("dst/big.bin")));
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "success");
  EXPECT_EQ(rows[0].md5, "md5ok");
}

}  // namespace
}  // namespace quorvalmist::testing
