#include "db/task_rows.h"

#include <gtest/gtest.h>

#include "db/item_table.h"
#include "tests/db/db_test_support.h"

namespace quorvalmist {
namespace {

using testing::TaskDbTest;

// A task is found by its whole id even when that id begins another one, by a
// prefix only when that prefix is exact (no pattern characters), and a copy
// type written in another letter case is the same type to the front end as to
// the core.
TEST_F(TaskDbTest, TasksAreFoundByIdOrExactPrefixAndTypedIgnoringCase) {
  AddTask({L"20240101-a", L"DIR", L"/s", L"/d", L"new"});
  AddTask({L"20240101-ab", L"files", L"", L"", L"new"});
  AddTask({L"20240102_x", L"dir", L"/s", L"/d", L"new"});
  std::vector<TaskInfo> found = TasksNamedBy(L"20240101-a");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].is_dir());
  EXPECT_EQ(TasksNamedBy(L"20240101").size(), 2u);
  EXPECT_TRUE(TasksNamedBy(L"2024010_").empty());
  EXPECT_FALSE(TasksNamedBy(L"20240101-ab")[0].is_dir());
  EXPECT_TRUE(TaskIdTaken(L"20240102_x"));
  EXPECT_FALSE(TaskIdTaken(L"20240102"));
}

// The tally adds up per status; bytes reached count a stopped copy's position
// up to its size, never beyond it.
TEST_F(TaskDbTest, TallyCountsDoneAndReachedBytes) {
  InsertItem(L"", L"T", L"/s/a", L"/d/a", L"100", L"100", kStatusSuccess);
  InsertItem(L"", L"T", L"/s/b", L"/d/b", L"50", L"50", kStatusFinish);
  InsertItem(L"", L"T", L"/s/c", L"/d/c", L"30", L"80", kStatusStop);
  InsertItem(L"", L"T", L"/s/d", L"/d/d", L"999", L"10", kStatusError);
  InsertItem(L"", L"other", L"/s/e", L"/d/e", L"7", L"7", kStatusSuccess);
  TaskTally tally = TallyTask(L"T");
  EXPECT_EQ(tally.rows, 4u);
  EXPECT_EQ(tally.done_files(), 2u);
  EXPECT_EQ(tally.done_bytes(), 150u);
  EXPECT_EQ(tally.total_bytes, 240u);
  EXPECT_EQ(tally.reached_bytes(), 150u + 30u + 10u);
  EXPECT_EQ(ListItemIds(L"T", {kStatusStop, kStatusError}).size(), 2u);
}

}  // namespace
}  // namespace quorvalmist
