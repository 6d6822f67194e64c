// The directories of a task whose scan was completed (table tcsearch), so that
// a resumed directory run skips what an earlier run finished. A directory is
// matched by the exact text of its path, per task.
#ifndef QUORVALMIST_DB_SEARCHED_DIRS_H_
#define QUORVALMIST_DB_SEARCHED_DIRS_H_

#include <set>
#include <string>
#include <vector>

namespace quorvalmist {

// Statement builders; every value enters as a TextLiteral.
std::wstring IsDirectorySearchedStatement(const std::wstring& dir_path,
                                          const std::wstring& task_id);
std::wstring MarkDirectorySearchedStatement(const std::wstring& id, const std::wstring& task_id,
                                            const std::wstring& dir_path);

// True when the task has a row for `dir_path`. On a database error prints
// "findinfo error <description>\n" on standard output and returns false: the
// directory is scanned again, and its recorded files are skipped one by one.
bool IsDirectorySearched(const std::wstring& dir_path, const std::wstring& task_id);

// Records `dir_path` as searched for the task under a new record id. Throws
// DbError when the engine refuses the row or no record id can be made.
void MarkDirectorySearched(const std::wstring& dir_path, const std::wstring& task_id);

// Problems of the walk: paths below the source root that a run could not
// handle, with the reason in words. At most one row per task and path.
struct WalkProblem {
  std::wstring path;
  std::wstring reason;
};

// Records (or replaces) the problem of `path`. Never throws: a database that
// lacks the table, or refuses the row, costs only the report, which goes to
// standard error instead.
void RecordWalkProblem(const std::wstring& task_id, const std::wstring& path,
                       const std::wstring& reason);

// Forgets, once the walk has handled `directory`, the problems of the
// directory itself and of its entries, except the paths in `kept` (those the
// run has just recorded again). So a problem goes when it was mended, and
// also when its path has gone from the tree. Never throws.
void ClearWalkProblems(const std::wstring& task_id, const std::wstring& directory,
                       const std::set<std::wstring>& kept);

// The task's problems in path order; empty when the database lacks the table.
// Throws DbError for any other failure.
std::vector<WalkProblem> ListWalkProblems(const std::wstring& task_id);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_SEARCHED_DIRS_H_
