#include "core/db/searched_dirs.h"

#include <sqlite3.h>

#include <cstdio>

#include "core/db/record_access.h"
#include "platform/text.h"

namespace quorvalmist {

std::wstring IsDirectorySearchedStatement(const std::wstring& dir_path,
                                          const std::wstring& task_id) {
  return L"select * from tcsearch where dirpath=" + TextLiteral(dir_path) + L" and tcitemid=" +
         TextLiteral(task_id);
}

std::wstring MarkDirectorySearchedStatement(const std::wstring& id, const std::wstring& task_id,
                                            const std::wstring& dir_path) {
  return L"insert into tcsearch(id,tcitemid,dirpath) values(" + TextLiteral(id) + L"," +
         TextLiteral(task_id) + L"," + TextLiteral(dir_path) + L")";
}

bool IsDirectorySearched(const std::wstring& dir_path, const std::wstring& task_id) {
  try {
    return !Query(IsDirectorySearchedStatement(dir_path, task_id)).Eof();
  } catch (const DbError& error) {
    std::string line = "findinfo error " + WideToNarrow(error.description()) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return false;
  }
}

void MarkDirectorySearched(const std::wstring& dir_path, const std::wstring& task_id) {
  std::wstring id = NewRecordId();
  if (id.empty()) throw DbError(SQLITE_ERROR, L"No record id could be made.");
  RunChange(MarkDirectorySearchedStatement(id, task_id, dir_path));
}

}  // namespace quorvalmist
