#include "tests/core/core_test_support.h"

#include "db/db_create.h"
#include "db/item_table.h"
#include "db/schema.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist::testing {

namespace {

// Opens the workspace's database for one look, and closes it again, so the
// test process holds no connection while the programs run.
class DbSession {
 public:
  DbSession() { OpenTaskDb(kConnectionString); }
  ~DbSession() { CloseTaskDbForTesting(); }
};

}  // namespace

void CoreTest::SetUp() {
  WorkspaceTest::SetUp();
  CreateTaskDbFor(kConnectionString);
}

void CoreTest::AddDirTask(const std::wstring& id, const std::string& source,
                          const std::string& target) {
  DbSession db;
  InsertTask({{L"id", id},
              {L"copytype", L"dir"},
              {L"sourcedir", NarrowToWide(source)},
              {L"targetdir", NarrowToWide(target)},
              {L"copystatus", L"ready"}});
  SetTaskRunStatus(id, L"run");
}

void CoreTest::AddFilesTask(const std::wstring& id) {
  DbSession db;
  InsertTask({{L"id", id},
              {L"copytype", L"files"},
              {L"sourcedir", L""},
              {L"targetdir", L""},
              {L"copystatus", L"ready"}});
  SetTaskRunStatus(id, L"run");
}

std::wstring CoreTest::AddItem(const std::wstring& task, const std::string& source,
                               const std::string& target, const std::wstring& status) {
  DbSession db;
  auto info = StatPath(source);
  uint64_t size = info ? info->size : 0;
  return InsertItem(L"", task, NarrowToWide(source), NarrowToWide(target), L"",
                    std::to_wstring(size), status);
}

RunResult CoreTest::RunCore(const std::wstring& task) {
  return RunProgram(TollhavenPath(), {WideToNarrow(task)});
}

std::map<std::wstring, ColumnMap> CoreTest::Items(const std::wstring& task) {
  DbSession db;
  std::map<std::wstring, ColumnMap> items;
  Recordset rows = Query(L"select * from tcitem2 where tcitemid=" + TextLiteral(task));
  while (!rows.Eof()) {
    ColumnMap row = ReadRow(rows, {{L"id"},
                                   {L"tcitemid"},
                                   {L"sourcefile"},
                                   {L"targetfile"},
                                   {L"positionnum"},
                                   {L"totalnum"},
                                   {L"copystatus"},
                                   {L"md5status"}});
    items[row[L"sourcefile"]] = row;
    rows.MoveNext();
  }
  return items;
}

std::vector<std::wstring> CoreTest::SearchedDirs(const std::wstring& task) {
  DbSession db;
  std::vector<std::wstring> dirs;
  Recordset rows = Query(L"select * from tcsearch where tcitemid=" + TextLiteral(task));
  while (!rows.Eof()) {
    dirs.push_back(rows.Field(L"dirpath").value_or(L""));
    rows.MoveNext();
  }
  return dirs;
}

void CoreTest::Execute(const std::wstring& statement) {
  DbSession db;
  RunChange(statement);
}

std::wstring CoreTest::StatusOf(const std::wstring& task, const std::string& source) {
  auto items = Items(task);
  auto it = items.find(NarrowToWide(source));
  return it == items.end() ? L"" : it->second[L"copystatus"];
}

std::vector<std::string> CoreTest::WalkOrder(const std::string& dir) {
  Status s;
  auto lister = DirectoryLister::Open(dir, &s);
  std::vector<std::string> names;
  DirectoryEntry e;
  while (lister && lister->Next(&e)) {
    if (!(e.attributes & kAttributeDirectory)) names.push_back(e.name);
  }
  return names;
}

}  // namespace quorvalmist::testing
