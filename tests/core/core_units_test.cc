#include <gtest/gtest.h>

#include "common/resume_position.h"
#include "core/copy_driver.h"

namespace quorvalmist {
namespace {

TEST(CopyDriverTest, CommandLineIsBuiltExactly) {
  CopierItem c{L"/a b/s\"q", L"/t/x", 0, L"1024", L"task1", L"ID-1"};
  EXPECT_EQ(CopierCommandLine(c), L"Skiffwright \"/a b/s\"q\"  \"/t/x\" 0 1024 task1 ID-1");
  EXPECT_EQ(CopierArguments(c),
            (std::vector<std::wstring>{L"/a b/s\"q", L"/t/x", L"0", L"1024", L"task1", L"ID-1"}));
}

TEST(CopyDriverTest, ResumeStartsBelowTheTemporaryFilesEndAndNeverPastTheSource) {
  constexpr uint64_t kMiB = 1 << 20;
  EXPECT_EQ(ResumeStartPosition(std::nullopt, 100 * kMiB), 0u);
  EXPECT_EQ(ResumeStartPosition(kResumeMargin, 100 * kMiB), 0u);
  EXPECT_EQ(ResumeStartPosition(40 * kMiB, 100 * kMiB), 32 * kMiB);
  EXPECT_EQ(ResumeStartPosition(40 * kMiB + 12345, 100 * kMiB), 32 * kMiB);  // 64 KiB steps
  EXPECT_EQ(ResumeStartPosition(100 * kMiB, 100 * kMiB), 92 * kMiB);
  // A temporary file longer than the source is of another file: from 0.
  EXPECT_EQ(ResumeStartPosition(101 * kMiB, 100 * kMiB), 0u);
  CopierItem c{L"s", L"t", static_cast<int64_t>(32 * kMiB), L"1024", L"task", L"id"};
  EXPECT_EQ(CopierCommandLine(c), L"Skiffwright \"s\"  \"t\" 33554432 1024 task id");
  EXPECT_EQ(CopierArguments(c)[2], L"33554432");
}

bool Matches(const std::wstring&, const std::wstring&) { return true; }
bool Differs(const std::wstring&, const std::wstring&) { return false; }
bool MustNotHash(const std::wstring&, const std::wstring&) {
  ADD_FAILURE() << "hashed although the verdict needs no hash";
  return true;
}

TEST(CopyDriverTest, VerdictFollowsSizesAndCheckMode) {
  const uint64_t big = LargeFileThreshold + 1, edge = LargeFileThreshold;
  EXPECT_EQ(JudgeCopy(std::nullopt, 5, 1, MustNotHash, L"", L""), Verdict::kStop);
  EXPECT_EQ(JudgeCopy(5, std::nullopt, 1, MustNotHash, L"", L""), Verdict::kStop);
  EXPECT_EQ(JudgeCopy(0, std::nullopt, 1, MustNotHash, L"", L""), Verdict::kStop);
  EXPECT_EQ(JudgeCopy(5, 4, 1, MustNotHash, L"", L""), Verdict::kStop);
  EXPECT_EQ(JudgeCopy(0, 0, 0, Matches, L"", L""), Verdict::kSuccess);
  EXPECT_EQ(JudgeCopy(edge, edge, 0, Matches, L"", L""), Verdict::kSuccess);
  EXPECT_EQ(JudgeCopy(big, big, 0, MustNotHash, L"", L""), Verdict::kFinish);
  EXPECT_EQ(JudgeCopy(1, 1, 2, MustNotHash, L"", L""), Verdict::kFinish);
  EXPECT_EQ(JudgeCopy(big, big, 1, Differs, L"", L""), Verdict::kError);
  EXPECT_EQ(JudgeCopy(big, big, -1, Matches, L"", L""), Verdict::kSuccess);
  EXPECT_EQ(JudgeCopy(big, big, 3, Matches, L"", L""), Verdict::kSuccess);
}

}  // namespace
}  // namespace quorvalmist
