#include "frontend/task_store.h"

#include <ctime>
#include <cwctype>

#include "common/config_store.h"
#include "db/db_create.h"
#include "db/item_table.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "frontend/command_error.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

uint64_t ToCount(const std::optional<std::wstring>& text) {
  if (!text || text->empty()) return 0;
  int64_t value = WideToInt64(*text);
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

TaskInfo ReadTask(const Recordset& rows) {
  ColumnMap row =
      ReadRow(rows, {{L"id"}, {L"copytype"}, {L"sourcedir"}, {L"targetdir"}, {L"copystatus"}});
  return TaskInfo{row[L"id"], row[L"copytype"], row[L"sourcedir"], row[L"targetdir"],
                  row[L"copystatus"]};
}

ItemInfo ReadItem(const Recordset& rows) {
  ItemInfo item;
  item.id = rows.Field(L"id").value_or(L"");
  item.sourcefile = rows.Field(L"sourcefile").value_or(L"");
  item.targetfile = rows.Field(L"targetfile").value_or(L"");
  item.position = ToCount(rows.Field(L"positionnum"));
  item.total = ToCount(rows.Field(L"totalnum"));
  item.copystatus = rows.Field(L"copystatus").value_or(L"");
  item.md5status = rows.Field(L"md5status").value_or(L"");
  return item;
}

// "'a','b'" for an IN list.
std::wstring LiteralList(const std::vector<std::wstring>& values) {
  std::wstring list;
  for (const auto& v : values) list += (list.empty() ? L"" : L",") + TextLiteral(v);
  return list;
}

}  // namespace

std::vector<TaskInfo> ListTasks() {
  std::vector<TaskInfo> tasks;
  Recordset rows = Query(L"select * from tcitem order by id");
  for (; !rows.Eof(); rows.MoveNext()) tasks.push_back(ReadTask(rows));
  return tasks;
}

TaskInfo FindTask(const std::wstring& id) {
  if (id.empty()) throw CommandError("no task named");
  Recordset exact = Query(L"select * from tcitem where id=" + TextLiteral(id));
  if (!exact.Eof()) return ReadTask(exact);
  // A prefix saves typing the whole id. substr() compares exactly, where LIKE
  // would treat "_" and "%" as patterns and ignore letter case.
  Recordset rows = Query(L"select * from tcitem where substr(id,1," + std::to_wstring(id.size()) +
                         L")=" + TextLiteral(id) + L" order by id");
  std::vector<TaskInfo> found;
  for (; !rows.Eof(); rows.MoveNext()) found.push_back(ReadTask(rows));
  if (found.empty()) {
    throw CommandError("no task '" + WideToNarrow(id) +
                       "' in this workspace ('quorvalmist status' lists the tasks)");
  }
  if (found.size() > 1) {
    throw CommandError("'" + WideToNarrow(id) + "' names more than one task (" +
                       WideToNarrow(found[0].id) + ", " + WideToNarrow(found[1].id) +
                       (found.size() > 2 ? ", ..." : "") + "); give more of the id");
  }
  return found[0];
}

std::wstring NewTaskId() {
  for (;;) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S-", &local);
    std::wstring random = NewRecordId();
    if (random.size() < 36) throw CommandError("the system gives no random bytes", kExitFailure);
    // The last group of the record id is twelve random hex digits.
    std::wstring id = NarrowToWide(stamp) + random.substr(24, 6);
    for (auto& c : id) c = static_cast<wchar_t>(std::towlower(c));
    if (Query(L"select id from tcitem where id=" + TextLiteral(id)).Eof()) return id;
  }
}

void AddTask(const TaskInfo& task) {
  InsertTask({{L"id", task.id},
              {L"copytype", task.copytype},
              {L"sourcedir", task.sourcedir},
              {L"targetdir", task.targetdir},
              {L"copystatus", task.copystatus},
              {L"finishnum", L"0"},
              {L"totalnum", L"0"}});
}

void UpdateTask(const std::wstring& id, const std::wstring& status, uint64_t finished,
                uint64_t total) {
  RunChange(L"update tcitem set copystatus=" + TextLiteral(status) + L", finishnum=" +
            TextLiteral(std::to_wstring(finished)) + L", totalnum=" +
            TextLiteral(std::to_wstring(total)) + L" where id=" + TextLiteral(id));
}

void AddFileItem(const std::wstring& task_id, const std::wstring& source,
                 const std::wstring& target, uint64_t size) {
  InsertItem(L"", task_id, source, target, L"", std::to_wstring(size), kStatusReady);
}

std::vector<ItemInfo> ListItems(const std::wstring& task_id,
                                const std::vector<std::wstring>& statuses) {
  std::wstring statement = L"select * from tcitem2 where tcitemid=" + TextLiteral(task_id);
  if (!statuses.empty()) statement += L" and copystatus in (" + LiteralList(statuses) + L")";
  statement += L" order by sourcefile";
  std::vector<ItemInfo> items;
  Recordset rows = Query(statement);
  for (; !rows.Eof(); rows.MoveNext()) items.push_back(ReadItem(rows));
  return items;
}

std::vector<std::wstring> ListItemIds(const std::wstring& task_id,
                                      const std::vector<std::wstring>& statuses) {
  std::vector<std::wstring> ids;
  Recordset rows = Query(L"select id from tcitem2 where tcitemid=" + TextLiteral(task_id) +
                         L" and copystatus in (" + LiteralList(statuses) + L")");
  for (; !rows.Eof(); rows.MoveNext()) ids.push_back(rows.Field(L"id").value_or(L""));
  return ids;
}

std::vector<std::wstring> FilterItemIds(const std::vector<std::wstring>& ids,
                                        const std::vector<std::wstring>& statuses) {
  std::vector<std::wstring> found;
  if (ids.empty()) return found;
  Recordset rows = Query(L"select id from tcitem2 where id in (" + LiteralList(ids) +
                         L") and copystatus in (" + LiteralList(statuses) + L")");
  for (; !rows.Eof(); rows.MoveNext()) found.push_back(rows.Field(L"id").value_or(L""));
  return found;
}

bool FindRunningItem(const std::wstring& task_id, ItemInfo* item) {
  Recordset rows = Query(L"select * from tcitem2 where tcitemid=" + TextLiteral(task_id) +
                         L" and copystatus=" + TextLiteral(kStatusRunning));
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
  TaskTally tally;
  Recordset rows = Query(
      L"select copystatus as status, count(*) as n, sum(cast(totalnum as integer)) as bytes, "
      L"sum(min(cast(positionnum as integer), cast(totalnum as integer))) as reached "
      L"from tcitem2 where tcitemid=" +
      TextLiteral(task_id) + L" group by copystatus");
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
  return !Query(L"select id from tcsearch where tcitemid=" + TextLiteral(task.id) +
                L" and dirpath=" + TextLiteral(task.sourcedir))
              .Eof();
}

void DeleteItem(const std::wstring& item_id) {
  RunChange(L"delete from tcitem2 where id=" + TextLiteral(item_id));
}

void ResetItem(const std::wstring& item_id) {
  RunChange(L"update tcitem2 set copystatus=" + TextLiteral(kStatusReady) +
            L", positionnum='', md5status=NULL where id=" + TextLiteral(item_id));
}

void SetItemVerdict(const std::wstring& item_id, const std::wstring& copystatus,
                    const std::wstring& md5status) {
  RunChange(L"update tcitem2 set copystatus=" + TextLiteral(copystatus) + L", md5status=" +
            TextLiteral(md5status) + L" where id=" + TextLiteral(item_id));
}

void ForgetSearchedDirectory(const std::wstring& task_id, const std::wstring& dir_path) {
  RunChange(L"delete from tcsearch where tcitemid=" + TextLiteral(task_id) + L" and dirpath=" +
            TextLiteral(dir_path));
}

}  // namespace quorvalmist
