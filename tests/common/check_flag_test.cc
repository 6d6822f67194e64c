#include <gtest/gtest.h>
#include <unistd.h>

#include "common/config_store.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::MakeDirs;
using ::quorvalmist::testing::RemoveTree;
using ::quorvalmist::testing::WorkspaceTest;

using CheckFlagTest = WorkspaceTest;

// While core.cnf is there but cannot be read, the check mode keeps the value
// last read: a brief fault must not turn verification off. A missing file or
// key is not a fault and gives the default.
TEST_F(CheckFlagTest, AnUnreadableCoreConfigKeepsTheLastCheckMode) {
  SetCheckFileFlag("1");
  EXPECT_EQ(ReadCheckFileFlag(), L"1");
  // A directory in place of the file: it opens, but cannot be read.
  ASSERT_EQ(::rename(Path("config/core.cnf").c_str(), Path("core.cnf.away").c_str()), 0);
  MakeDirs(Path("config/core.cnf"));
  EXPECT_EQ(ReadCheckFileFlag(), L"1");
  RemoveTree(Path("config/core.cnf"));
  EXPECT_EQ(ReadCheckFileFlag(), L"0");  // missing: the default
  ASSERT_EQ(::rename(Path("core.cnf.away").c_str(), Path("config/core.cnf").c_str()), 0);
  SetCheckFileFlag("2");
  EXPECT_EQ(ReadCheckFileFlag(), L"2");
  MakeDirs(Path("config/core.cnf.d"));
  ASSERT_EQ(::rename(Path("config/core.cnf").c_str(), Path("core.cnf.away").c_str()), 0);
  ASSERT_EQ(::rename(Path("config/core.cnf.d").c_str(), Path("config/core.cnf").c_str()), 0);
  EXPECT_EQ(ReadCheckFileFlag(), L"2");
}

}  // namespace
}  // namespace quorvalmist
