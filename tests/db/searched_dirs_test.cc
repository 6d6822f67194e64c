#include "db/searched_dirs.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

#include "db/item_table.h"
#include "db/schema.h"
#include "platform/text.h"
#include "tests/db/db_test_support.h"

namespace quorvalmist {
namespace {

using testing::CountRows;
using testing::ScalarText;
using testing::TaskDbTest;

TEST(SearchedDirStatementTest, TextsAreExactlyAsBuilt) {
  EXPECT_EQ(IsDirectorySearchedStatement(L"/s/a'b", L"T"),
            L"select * from tcsearch where dirpath='/s/a''b' and tcitemid='T'");
  EXPECT_EQ(MarkDirectorySearchedStatement(L"ID", L"T", L"/s/a'b"),
            L"insert into tcsearch(id,tcitemid,dirpath) values('ID','T','/s/a''b')");
}

TEST_F(TaskDbTest, DirectoryIsSearchedOnlyForItsTaskAndExactSpelling) {
  const std::wstring dirs[] = {L"/src/a'b", L"/src/x'); DROP TABLE tcsearch; --",
                               L"/src/\U0001F600\u4e2d", NarrowToWide("/src/\xff\xc3")};
  for (const std::wstring& dir : dirs) {
    EXPECT_FALSE(IsDirectorySearched(dir, L"A"));
    MarkDirectorySearched(dir, L"A");
    EXPECT_TRUE(IsDirectorySearched(dir, L"A"));
    EXPECT_FALSE(IsDirectorySearched(dir, L"B"));
    EXPECT_FALSE(IsDirectorySearched(dir + L"/", L"A"));
  }
  EXPECT_EQ(CountRows(kSearchTable), static_cast<long>(std::size(dirs)));
  // Each row got a record id of its own.
  EXPECT_EQ(ScalarText(L"select count(distinct id) as v from tcsearch where length(id)=36"),
            std::to_wstring(std::size(dirs)));
  // A second mark of the same directory is harmless.
  MarkDirectorySearched(dirs[0], L"A");
  EXPECT_TRUE(IsDirectorySearched(dirs[0], L"A"));
}

TEST_F(TaskDbTest, LookupErrorIsPrintedAndCountsAsUnsearched) {
  RunChange(L"drop table tcsearch");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(IsDirectorySearched(L"/src", L"A"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "findinfo error no such table: tcsearch\n");
  EXPECT_THROW(MarkDirectorySearched(L"/src", L"A"), DbError);
}

// Two processes insert into one database at once: every row arrives and no
// statement fails, since the second writer waits for the first.
#ifndef _WIN32  // forks its writers
TEST_F(TaskDbTest, TwoProcessesInsertConcurrently) {
  constexpr int kRowsEach = 10000;
  // A connection must not cross a fork: each process opens its own.
  CloseTaskDbForTesting();
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      ::close(start[1]);
      char byte;
      (void)::read(start[0], &byte, 1);  // returns at end of file: go
      int status = 0;
      try {
        OpenTaskDb(kConnectionString);
        const std::wstring task = L"T" + std::to_wstring(c);
        for (int i = 0; i < kRowsEach; ++i) {
          std::wstring source = L"/src/" + std::to_wstring(i);
          if (ItemExistsForSource(task, source)) status = 2;
          InsertItem(L"", task, source, L"/dst/" + std::to_wstring(i), L"", L"1", kStatusReady);
        }
      } catch (const DbError& error) {
        std::fprintf(stderr, "child %d: %s\n", c, error.what());
        status = 1;
      }
      std::fflush(nullptr);
      ::_exit(status);
    }
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  OpenTaskDb(kConnectionString);
  EXPECT_EQ(CountRows(kItemTable), 2 * kRowsEach);
  EXPECT_EQ(ListReadyItemIds(L"T1").size(), static_cast<size_t>(kRowsEach));
  EXPECT_EQ(ScalarText(L"select count(distinct id) as v from tcitem2"),
            std::to_wstring(2 * kRowsEach));
}

#endif
}  // namespace

}  // namespace quorvalmist
