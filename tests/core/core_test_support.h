// A workspace with a task database, for end-to-end tests of the core program.
#ifndef QUORVALMIST_TESTS_CORE_CORE_TEST_SUPPORT_H_
#define QUORVALMIST_TESTS_CORE_CORE_TEST_SUPPORT_H_

#include <map>
#include <string>
#include <vector>

#include "db/record_access.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {

class CoreTest : public WorkspaceTest {
 protected:
  void SetUp() override;

  // Task rows, with "runstatus" = "run" for the task.
  void AddDirTask(const std::wstring& id, const std::string& source, const std::string& target);
  void AddFilesTask(const std::wstring& id);
  // An item row of a files task; returns its id.
  std::wstring AddItem(const std::wstring& task, const std::string& source,
                       const std::string& target, const std::wstring& status = L"ready");

  // Runs the core to its end.
  RunResult RunCore(const std::wstring& task);

  // The task's item rows (all columns, md5status included), keyed by source path.
  std::map<std::wstring, ColumnMap> Items(const std::wstring& task);
  // The directories recorded as searched for the task.
  std::vector<std::wstring> SearchedDirs(const std::wstring& task);
  // Runs a statement that changes the database.
  void Execute(const std::wstring& statement);
  // The names of the files (not directories) in `dir`, in the order the walk
  // meets them.
  static std::vector<std::string> WalkOrder(const std::string& dir);
  // The copystatus of the row for `source`, or "" when it has none.
  std::wstring StatusOf(const std::wstring& task, const std::string& source);
};

}  // namespace quorvalmist::testing

#endif  // QUORVALMIST_TESTS_CORE_CORE_TEST_SUPPORT_H_
