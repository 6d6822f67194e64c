// A fixture for tests of the database layer: a fresh task database "fm2.qz"
// made by the creator in a temporary working directory, opened as the core
// opens it.
#ifndef QUORVALMIST_TESTS_DB_DB_TEST_SUPPORT_H_
#define QUORVALMIST_TESTS_DB_DB_TEST_SUPPORT_H_

#include <memory>
#include <string>

#include "db/record_access.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {

class TaskDbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Works in `dir_` without a database.
  void EnterEmptyDir();
  std::string Path(const std::string& name) const { return *dir_ / name; }

  std::unique_ptr<TempDir> dir_;
  std::string old_cwd_;
};

// The first column of the first row of `statement`, as text.
std::wstring ScalarText(const std::wstring& statement);

// Number of rows in `table`.
long CountRows(const std::wstring& table);

}  // namespace quorvalmist::testing

#endif  // QUORVALMIST_TESTS_DB_DB_TEST_SUPPORT_H_
