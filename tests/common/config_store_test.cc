#include "common/config_store.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::PathExists;
using ::quorvalmist::testing::ReadFile;
using ::quorvalmist::testing::RemoveTree;
using ::quorvalmist::testing::WorkspaceTest;
using ::quorvalmist::testing::WriteFile;

using ConfigStoreTest = WorkspaceTest;

TEST_F(ConfigStoreTest, ReadsEveryKeyWithItsDefault) {
  RemoveTree(Path("config"));
  ::unlink(Path("config.cnf").c_str());
  EXPECT_EQ(ReadTaskRunStatus(L"task"), L"stop");
  EXPECT_EQ(ReadCheckFileFlag(), L"0");
  EXPECT_EQ(ReadItemPosition(L"item"), L"0");
  EXPECT_EQ(ReadItemRunStatus(L"item"), L"stop");
  EXPECT_EQ(ReadBufferSize(), L"1024");

  // Neither program creates the folder: the write is lost and reads stay default.
  WriteItemRunStatus(L"item", L"run");
  EXPECT_FALSE(PathExists(Path("config")));
  EXPECT_EQ(ReadItemRunStatus(L"item"), L"stop");
}

TEST_F(ConfigStoreTest, WritesLandWhereTheOtherProgramReadsThem) {
  WriteFile(Path("config/core.cnf"), "[SYSTEM]\nCheckFileFlag=2\n[task 1]\nrunstatus=Run\n");
  WriteFile(Path("config.cnf"), "[system]\nbuffersize=1234567890123456789012345\n");
  EXPECT_EQ(ReadCheckFileFlag(), L"2");
  EXPECT_EQ(ReadTaskRunStatus(L"TASK 1"), L"Run");
  EXPECT_EQ(ReadTaskRunStatus(L"task 2"), L"stop");
  EXPECT_EQ(ReadBufferSize(), L"1234567890123456789");  // 19 characters seen

  WriteItemRunStatus(L"item-a", L"run");
  WriteItemPosition(L"item-a", L"3072");
  WriteItemPosition(L"item-b", L"");  // present but empty
  EXPECT_EQ(ReadItemRunStatus(L"item-a"), L"run");
  EXPECT_EQ(ReadItemPosition(L"item-a"), L"3072");
  EXPECT_EQ(ReadItemPosition(L"item-b"), L"");
  EXPECT_EQ(ReadFile(Path("config/inner.cnf")),
            "[item-a]\nrunstatus=run\nposition=3072\n[item-b]\nposition=\n");
}

TEST(ConfigNumberTest, ConvertsLikeTheCLibrary) {
  EXPECT_EQ(WideToInt(L"abc"), 0);
  EXPECT_EQ(WideToInt(L"  -1x"), -1);
  EXPECT_EQ(WideToInt(L"+3"), 3);
  EXPECT_EQ(WideToInt(L"99999999999"), 2147483647);
  EXPECT_EQ(WideToLong32(L"1048576"), 1048576);
  EXPECT_EQ(WideToLong32(L"-99999999999"), -2147483647 - 1);
  EXPECT_EQ(WideToInt64(L"5368709120"), 5368709120LL);
  EXPECT_EQ(WideToInt64(L"-"), 0);
  EXPECT_EQ(WideToInt64(L"99999999999999999999"), INT64_MAX);
  EXPECT_EQ(WideToInt64(L"-9223372036854775808"), INT64_MIN);
}

}  // namespace
}  // namespace quorvalmist
