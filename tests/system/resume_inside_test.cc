// A large copy stopped part-way goes on from inside its temporary file in
// the workspaces the front end makes, and is verified whatever the mode.
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;

class ResumeInsideTest : public SystemTest {};

TEST_F(ResumeInsideTest, AStoppedLargeCopyGoesOnFromInsideTheFile) {
  constexpr uint64_t kSize = 64 * kMiB;
  // A file-size limit stops the copy at 40 MiB, as a full disk would.
  RunResult r;
  std::string task = CopyCutShortBySizeLimit(P("dst/big.bin"), kSize, 9, 40 * kMiB, &r);
  ASSERT_FALSE(task.empty()) << r.output;
  ASSERT_TRUE(PathExists(P("dst/big.bin_quorvalmist_temp")));

  // The resumed copier is held where it opens its source, to read the start
  // position it was given.
  int resumed = -1;
  std::optional<uint64_t> start = ResumedCopierStart(task, P("src/big.bin"), &resumed);
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(resumed, 0);

  // At most 60% of the file is copied again, and the result is whole and was
  // verified although the task asked for no verification.
  EXPECT_GE(*start, kSize * 4 / 10);
  EXPECT_LE(*start, 40 * kMiB);
  EXPECT_TRUE(FilesEqual(P("src/big.bin"), P("dst/big.bin")));
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "success");
  EXPECT_EQ(rows[0].md5, "md5ok");
}

}  // namespace
}  // namespace quorvalmist::testing
