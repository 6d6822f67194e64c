#include "db/task_rows.h"

#include "common/config_store.h"
#include "db/db_create.h"
#include "db/item_table.h"
#include "db/record_access.h"

namespace quorvalmist {

namespace {

// Statement pieces, spelled once from the schema's names.
const std::wstring kTasks = kTaskTable;
const std::wstring kItems = kItemTable;
const std::wstring kId = kIdColumn;
const std::wstring kStatus = kCopyStatusColumn;
const std::wstring kTask = kTaskIdColumn;

uint64_t ToCount(const std::optional<std::wstring>& text) {
  if (!text || text->empty()) return 0;
  int64_t value = WideToInt64(*text);
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

TaskInfo ReadTask(const Recordset& rows) {
  ColumnMap row = ReadRow(rows, {{kIdColumn},
                                 {kCopyTypeColumn},
                                 {kSourceDirColumn},
                                 {kTargetDirColumn},
                                 {kCopyStatusColumn}});
  return TaskInfo{row[kIdColumn], row[kCopyTypeColumn], row[kSourceDirColumn],
                  row[kTargetDirColumn], row[kCopyStatusColumn]};
}

ItemInfo ReadItem(const Recordset& rows) {
  ItemInfo item;
  item.id = rows.Field(kIdColumn).value_or(L"");
  item.sourcefile = rows.Field(kSourceFileColumn).value_or(L"");
  item.targetfile = rows.Field(kTargetFileColumn).value_or(L"");
  item.position = ToCount(rows.Field(kPositionNumColumn));
  item.total = ToCount(rows.Field(kTotalNumColumn));
  item.copystatus = rows.Field(kCopyStatusColumn).value_or(L"");
  item.md5status = rows.Field(kMd5StatusColumn).value_or(L"");
  return item;
}

// "'a','b'" for an IN list.
std::wstring LiteralList(const std::vector<std::wstring>& values) {
  std::wstring list;
  for (const auto& v : values) list += (list.empty() ? L"" : L",") + TextLiteral(v);
  return list;
}

std::vector<std::wstring> ReadIds(Recordset rows) {
  std::vector<std::wstring> ids;
  for (; !rows.Eof(); rows.MoveNext()) ids.push_back(rows.Field(kIdColumn).value_or(L""));
  return ids;
}

}  // namespace

std::vector<TaskInfo> ListTasks() {
  std::vector<TaskInfo> tasks;
  Recordset rows = Query(L"select * from " + kTasks + L" order by " + kId);
  for (; !rows.Eof(); rows.MoveNext()) tasks.push_back(ReadTask(rows));
  return tasks;
}

std::vector<TaskInfo> TasksNamedBy(const std::wstring& id) {
  std::vector<TaskInfo> found;
  Recordset exact = Query(L"select * from " + kTasks + L" where " + kId + L"=" + TextLiteral(id));
  if (!exact.Eof()) {
    found.push_back(ReadTask(exact));
    return found;
  }
  // substr() compares exactly, where LIKE would treat "_" and "%" as patterns
  // and ignore letter case.
  Recordset rows =
      Query(L"select * from " + kTasks + L" where substr(" + kId + L",1," +
            std::to_wstring(id.size()) + L")=" + TextLiteral(id) + L" order by " + kId);
  for (; !rows.Eof(); rows.MoveNext()) found.push_back(ReadTask(rows));
  return found;
}

bool TaskIdTaken(const std::wstring& id) {
  return !Query(L"select " + kId + L" from " + kTasks + L" where " + kId + L"=" + TextLiteral(id))
              .Eof();
}

void AddTask(const TaskInfo& task) {
  InsertTask({{kIdColumn, task.id},
              {kCopyTypeColumn, task.copytype},
              {kSourceDirColumn, task.sourcedir},
              {kTargetDirColumn, task.targetdir},
              {kCopyStatusColumn, task.copystatus},
              {kFinishNumColumn, L"0"},
              {kTotalNumColumn, L"0"}});
}

void UpdateTask(const std::wstring& id, const std::wstring& status, uint64_t finished,
                uint64_t total) {
  RunChange(L"update " + kTasks + L" set " + kStatus + L"=" + TextLiteral(status) + L", " +
            kFinishNumColumn + L"=" + TextLiteral(std::to_wstring(finished)) + L", " +
            kTotalNumColumn + L"=" + TextLiteral(std::to_wstring(total)) + L" where " + kId + L"=" +
            TextLiteral(id));
}

void AddFileItem(const std::wstring& task_id, const std::wstring& source,
                 const std::wstring& target, uint64_t size) {
  InsertItem(L"", task_id, source, target, L"", std::to_wstring(size), kStatusReady);
}

namespace {

std::wstring ListItemsStatement(const std::wstring& task_id,
                                const std::vector<std::wstring>& statuses) {
  std::wstring statement =
      L"select * from " + kItems + L" where " + kTask + L"=" + TextLiteral(task_id);
  if (!statuses.empty()) statement += L" and " + kStatus + L" in (" + LiteralList(statuses) + L")";
  return statement + L" order by " + std::wstring(kSourceFileColumn);
}

}  // namespace

std::vector<ItemInfo> ListItems(const std::wstring& task_id,
                                const std::vector<std::wstring>& statuses) {
  std::vector<ItemInfo> items;
  ForEachItem(task_id, statuses, [&](const ItemInfo& item) { items.push_back(item); });
  return items;
}

void ForEachItem(const std::wstring& task_id, const std::vector<std::wstring>& statuses,
                 const std::function<void(const ItemInfo&)>& visit) {
  Recordset rows = Query(ListItemsStatement(task_id, statuses));
  for (; !rows.Eof(); rows.MoveNext()) visit(ReadItem(rows));
}

std::vector<std::wstring> ListItemIds(const std::wstring& task_id,
                                      const std::vector<std::wstring>& statuses) {
  return ReadIds(Query(L"select " + kId + L" from " + kItems + L" where " + kTask + L"=" +
                       TextLiteral(task_id) + L" and " + kStatus + L" in (" +
                       LiteralList(statuses) + L")"));
}

std::vector<std::wstring> FilterItemIds(const std::vector<std::wstring>& ids,
                                        const std::vector<std::wstring>& statuses) {
  if (ids.empty()) return {};
  return ReadIds(Query(L"select " + kId + L" from " + kItems + L" where " + kId + L" in (" +
                       LiteralList(ids) + L") and " + kStatus + L" in (" + LiteralList(statuses) +
                       L")"));
}

bool FindRunningItem(const std::wstring& task_id, ItemInfo* item) {
  Recordset rows =
      Query(L"select * from " + kItems + L" where " + kTask + L"=" + TextLiteral(task_id) +
            L" and " + kStatus + L"=" + TextLiteral(kStatusRunning));
  if (rows.Eof()) return false;
  *item = ReadItem(rows);
  return true;
}

uint64_t TaskTally::done_files() const {
  uint64_t n = 0;
  for (const wchar_t* s : {kStatusSuccess, kStatusFinish}) {
    auto it = files.find(s);
    if (it != files.end()) n += it->second;
  }
  return n;
}

uint64_t TaskTally::done_bytes() const {
  uint64_t n = 0;
  for (const wchar_t* s : {kStatusSuccess, kStatusFinish}) {
    auto it = bytes.find(s);
    if (it != bytes.end()) n += it->second;
  }
  return n;
}

uint64_t TaskTally::reached_bytes() const {
  uint64_t n = done_bytes();
  for (const auto& [status, b] : reached) {
    if (status != kStatusSuccess && status != kStatusFinish) n += b;
  }
  return n;
}

TaskTally TallyTask(const std::wstring& task_id) {
  const std::wstring position = L"cast(" + std::wstring(kPositionNumColumn) + L" as integer)";
  const std::wstring total = L"cast(" + std::wstring(kTotalNumColumn) + L" as integer)";
  TaskTally tally;
  Recordset rows =
      Query(L"select " + kStatus + L" as status, count(*) as n, sum(" + total +
            L") as bytes, sum(min(" + position + L", " + total + L")) as reached from " + kItems +
            L" where " + kTask + L"=" + TextLiteral(task_id) + L" group by " + kStatus);
  for (; !rows.Eof(); rows.MoveNext()) {
    std::wstring status = rows.Field(L"status").value_or(L"");
    uint64_t n = ToCount(rows.Field(L"n"));
    uint64_t bytes = ToCount(rows.Field(L"bytes"));
    tally.files[status] += n;
    tally.bytes[status] += bytes;
    tally.reached[status] += ToCount(rows.Field(L"reached"));
    tally.rows += n;
    tally.total_bytes += bytes;
  }
  return tally;
}

bool WalkCompleted(const TaskInfo& task) {
  return !Query(L"select " + kId + L" from " + std::wstring(kSearchTable) + L" where " + kTask +
                L"=" + TextLiteral(task.id) + L" and " + kDirPathColumn + L"=" +
                TextLiteral(task.sourcedir))
              .Eof();
}

void DeleteItem(const std::wstring& item_id) {
  RunChange(L"delete from " + kItems + L" where " + kId + L"=" + TextLiteral(item_id));
}

void ResetItem(const std::wstring& item_id) {
  RunChange(L"update " + kItems + L" set " + kStatus + L"=" + TextLiteral(kStatusReady) + L", " +
            kPositionNumColumn + L"='', " + kMd5StatusColumn + L"=NULL where " + kId + L"=" +
            TextLiteral(item_id));
}

void SetItemVerdict(const std::wstring& item_id, const std::wstring& copystatus,
                    const std::wstring& md5status) {
  RunChange(L"update " + kItems + L" set " + kStatus + L"=" + TextLiteral(copystatus) + L", " +
            kMd5StatusColumn + L"=" + TextLiteral(md5status) + L" where " + kId + L"=" +
            TextLiteral(item_id));
}

void ForgetSearchedDirectory(const std::wstring& task_id, const std::wstring& dir_path) {
  RunChange(L"delete from " + std::wstring(kSearchTable) + L" where " + kTask + L"=" +
            TextLiteral(task_id) + L" and " + kDirPathColumn + L"=" + TextLiteral(dir_path));
}

}  // namespace quorvalmist
