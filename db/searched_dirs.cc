#include "db/searched_dirs.h"

#include <sqlite3.h>

#include <cstdio>

#include "db/record_access.h"
#include "db/schema.h"
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

namespace {

std::wstring WalkProblemWhere(const std::wstring& task_id, const std::wstring& path) {
  return L" where tcitemid=" + TextLiteral(task_id) + L" and path=" + TextLiteral(path);
}

void ReportUnrecordedProblem(const std::wstring& path, const std::wstring& reason,
                             const DbError& error) {
  std::fprintf(stderr, "Tollhaven: %s: %s (not recorded: %s)\n", WideToNarrow(path).c_str(),
               WideToNarrow(reason).c_str(), error.what());
}

}  // namespace

void RecordWalkProblem(const std::wstring& task_id, const std::wstring& path,
                       const std::wstring& reason) {
  try {
    RunChange(L"delete from tcproblem" + WalkProblemWhere(task_id, path));
    std::wstring id = NewRecordId();
    if (id.empty()) throw DbError(SQLITE_ERROR, L"No record id could be made.");
    RunChange(L"insert into tcproblem(id,tcitemid,path,reason) values(" + TextLiteral(id) + L"," +
              TextLiteral(task_id) + L"," + TextLiteral(path) + L"," + TextLiteral(reason) + L")");
  } catch (const DbError& error) {
    ReportUnrecordedProblem(path, reason, error);
  }
}

void ClearWalkProblems(const std::wstring& task_id, const std::wstring& directory,
                       const std::set<std::wstring>& kept) {
  std::wstring prefix = directory;
  if (prefix.empty() || prefix.back() != kPathSeparator) prefix += kPathSeparator;
  // Every path below `directory` sorts between the prefix and the prefix
  // with its separator raised by one, so the index finds them.
  std::wstring above = prefix;
  above.back() = static_cast<wchar_t>(above.back() + 1);
  try {
    std::vector<std::wstring> gone;
    for (Recordset rows =
             Query(L"select id, path from tcproblem where tcitemid=" + TextLiteral(task_id) +
                   L" and (path=" + TextLiteral(directory) + L" or (path>" + TextLiteral(prefix) +
                   L" and path<" + TextLiteral(above) + L"))");
         !rows.Eof(); rows.MoveNext()) {
      std::wstring path = rows.Field(kPathColumn).value_or(L"");
      bool entry = path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                   path.find(kPathSeparator, prefix.size()) == std::wstring::npos;
      if ((path == directory || entry) && kept.count(path) == 0) {
        gone.push_back(rows.Field(kIdColumn).value_or(L""));
      }
    }
    for (const std::wstring& id : gone)
      RunChange(L"delete from tcproblem where id=" + TextLiteral(id));
  } catch (const DbError&) {
    // No table (an older database): there is nothing to clear.
  }
}

std::vector<WalkProblem> ListWalkProblems(const std::wstring& task_id) {
  std::vector<WalkProblem> problems;
  if (Query(L"select name from sqlite_master where type='table' and name=" +
            TextLiteral(kWalkProblemTable))
          .Eof()) {
    return problems;
  }
  for (Recordset rows = Query(L"select path, reason from tcproblem where tcitemid=" +
                              TextLiteral(task_id) + L" order by path");
       !rows.Eof(); rows.MoveNext()) {
    problems.push_back(
        {rows.Field(kPathColumn).value_or(L""), rows.Field(kReasonColumn).value_or(L"")});
  }
  return problems;
}

}  // namespace quorvalmist
