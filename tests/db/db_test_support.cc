#include "tests/db/db_test_support.h"

#include <unistd.h>

#include <climits>

#include "db/db_create.h"
#include "db/schema.h"
#include "platform/text.h"

namespace quorvalmist::testing {

void TaskDbTest::EnterEmptyDir() {
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  old_cwd_ = cwd;
  dir_ = std::make_unique<TempDir>();
  ASSERT_EQ(::chdir(dir_->path().c_str()), 0);
}

void TaskDbTest::SetUp() {
  EnterEmptyDir();
  CreateTaskDbFor(kConnectionString);
  OpenTaskDb(kConnectionString);
}

void TaskDbTest::TearDown() {
  CloseTaskDbForTesting();
  if (!old_cwd_.empty()) {
    ASSERT_EQ(::chdir(old_cwd_.c_str()), 0);
  }
  dir_.reset();
}

std::wstring ScalarText(const std::wstring& statement) {
  Recordset rows = TaskDb().Query(statement);
  EXPECT_FALSE(rows.Eof()) << WideToNarrow(statement);
  return rows.Eof() ? std::wstring() : rows.Field(L"v").value_or(L"NULL");
}

long CountRows(const std::wstring& table) {
  return std::stol(ScalarText(L"select count(*) as v from " + table));
}

}  // namespace quorvalmist::testing
