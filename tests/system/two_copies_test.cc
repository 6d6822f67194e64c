// Two copies at once, from two workspaces, of two sources that share their
// names, into one target: neither removes the other's files, and a row says
// done only for a target that equals its own source.
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

using TwoCopiesTest = SystemTest;

TEST_F(TwoCopiesTest, TwoCopiesIntoOneTargetNeverRemoveEachOthersFiles) {
  constexpr int kFiles = 300;
  for (const char* source : {"srcA", "srcB"}) {
    MakeDirs(P(source));
    for (int i = 1; i <= kFiles; ++i) {
      // Different content, and often a different size, under the same name.
      WriteFile(P(std::string(source) + "/f" + std::to_string(i)),
                RandomBytes(static_cast<size_t>(1000 + i * (source[3] == 'A' ? 7 : 11)),
                            static_cast<uint32_t>(i * 2 + (source[3] == 'A' ? 0 : 1))));
    }
  }
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string target = P("dst" + std::to_string(round));
    auto a = std::make_unique<StartedProgram>(
        FrontEndPath(), std::vector<std::string>{"-C", "wsA" + std::to_string(round), "copy",
                                                 "--verify", "always", P("srcA"), target});
    auto b = std::make_unique<StartedProgram>(
        FrontEndPath(), std::vector<std::string>{"-C", "wsB" + std::to_string(round), "copy",
                                                 "--verify", "always", P("srcB"), target});
    a->Wait();
    b->Wait();
    int done = 0;
    for (const char* side : {"A", "B"}) {
      const std::string& output = side[0] == 'A' ? a->output() : b->output();
      std::vector<ItemRow> rows =
          Rows(TaskId(output), std::string("ws") + side + std::to_string(round));
      EXPECT_EQ(rows.size(), static_cast<size_t>(kFiles)) << output;
      for (const ItemRow& row : rows) {
        if (row.status != "success" && row.status != "finish") continue;
        ++done;
        EXPECT_TRUE(FilesEqual(row.source, row.target)) << row.source << " " << row.status;
      }
    }
    // Every name is there, each file whole from one of the two sources, and
    // each name is done for at least one of the two copies.
    for (int i = 1; i <= kFiles; ++i) {
      std::string name = "/f" + std::to_string(i);
      ASSERT_TRUE(PathExists(target + name)) << name;
      EXPECT_TRUE(FilesEqual(P("srcA") + name, target + name) ||
                  FilesEqual(P("srcB") + name, target + name))
          << name;
    }
    EXPECT_GE(done, kFiles);
    EXPECT_LE(TempFilesBelow(target).size(), static_cast<size_t>(2 * kFiles - done));
  }
}

}  // namespace
}  // namespace quorvalmist::testing
