#include "db/item_table.h"

#include <sqlite3.h>

#include "db/schema.h"

namespace quorvalmist {

std::wstring LoadTaskStatement(const std::wstring& task_id) {
  return L"select * from tcitem where id=" + TextLiteral(task_id);
}

std::wstring InsertItemStatement(const std::wstring& id, const std::wstring& tcitemid,
                                 const std::wstring& sourcefile, const std::wstring& targetfile,
                                 const std::wstring& positionnum, const std::wstring& totalnum,
                                 const std::wstring& copystatus) {
  return L"insert into tcitem2(id,tcitemid, sourcefile, targetfile, positionnum, totalnum, "
         L"copystatus) values(" +
         TextLiteral(id) + L"," + TextLiteral(tcitemid) + L"," + TextLiteral(sourcefile) + L"," +
         TextLiteral(targetfile) + L"," + TextLiteral(positionnum) + L"," + TextLiteral(totalnum) +
         L"," + TextLiteral(copystatus) + L")";
}

std::wstring LoadItemStatement(const std::wstring& item_id) {
  return L"select * from tcitem2 where id=" + TextLiteral(item_id);
}

std::wstring ListReadyItemIdsStatement(const std::wstring& task_id) {
  return L"select * from tcitem2 where copystatus='ready' and tcitemid=" + TextLiteral(task_id);
}

std::wstring ItemExistsForSourceStatement(const std::wstring& task_id,
                                          const std::wstring& source_path) {
  return L"select * from tcitem2 where tcitemid=" + TextLiteral(task_id) + L" and sourcefile=" +
         TextLiteral(source_path);
}

std::wstring UpdateItemFieldsStatement(const std::wstring& item_id, const ColumnMap& fields) {
  std::wstring set_clause;
  for (const auto& [name, value] : fields) {
    set_clause += L" " + name + L"=" + TextLiteral(value) + L",";
  }
  while (!set_clause.empty() && set_clause.back() == L',') set_clause.pop_back();
  return L"update tcitem2 set " + set_clause + L" where id=" + TextLiteral(item_id);
}

std::wstring SetItemPositionToTotalStatement(const std::wstring& item_id) {
  return L"update tcitem2 set positionnum=totalnum where id=" + TextLiteral(item_id);
}

ColumnMap LoadTask(const std::wstring& task_id) {
  try {
    Recordset rows = Query(LoadTaskStatement(task_id));
    if (rows.Eof()) return ColumnMap();
    return ReadRow(rows, {{kIdColumn},
                          {kCopyTypeColumn},
                          {kSourceDirColumn},
                          {kTargetDirColumn},
                          {kCopyStatusColumn},
                          {kFinishNumColumn, L"0"},
                          {kTotalNumColumn, L"0"}});
  } catch (const DbError& error) {
    ReportReadError(error);
    return ColumnMap();
  }
}

std::wstring InsertItem(const std::wstring& id, const std::wstring& tcitemid,
                        const std::wstring& sourcefile, const std::wstring& targetfile,
                        const std::wstring& positionnum, const std::wstring& totalnum,
                        const std::wstring& copystatus) {
  std::wstring row_id = id.empty() ? NewRecordId() : id;
  if (row_id.empty()) throw DbError(SQLITE_ERROR, L"No record id could be made.");
  RunChange(InsertItemStatement(row_id, tcitemid, sourcefile, targetfile, positionnum, totalnum,
                                copystatus));
  return row_id;
}

namespace {

// The columns of an item row that LoadItem and FindItemForSource give.
ColumnMap ReadItemRow(Recordset& rows) {
  if (rows.Eof()) return ColumnMap();
  return ReadRow(rows, {{kIdColumn},
                        {kTaskIdColumn},
                        {kSourceFileColumn},
                        {kTargetFileColumn},
                        {kPositionNumColumn},
                        {kTotalNumColumn},
                        {kCopyStatusColumn}});
}

}  // namespace

ColumnMap LoadItem(const std::wstring& item_id) {
  try {
    Recordset rows = Query(LoadItemStatement(item_id));
    return ReadItemRow(rows);
  } catch (const DbError& error) {
    ReportReadError(error);
    return ColumnMap();
  }
}

std::vector<std::wstring> ListReadyItemIds(const std::wstring& task_id) {
  std::vector<std::wstring> ids;
  try {
    for (Recordset rows = Query(ListReadyItemIdsStatement(task_id)); !rows.Eof(); rows.MoveNext()) {
      ids.push_back(rows.Field(kIdColumn).value_or(L""));
    }
  } catch (const DbError& error) {
    ReportReadError(error);
  }
  return ids;
}

bool ItemExistsForSource(const std::wstring& task_id, const std::wstring& source_path) {
  // Not caught: answering either way on a failed look-up would be wrong (true
  // loses the file for good, false may insert a second row for it).
  return !Query(ItemExistsForSourceStatement(task_id, source_path)).Eof();
}

ColumnMap FindItemForSource(const std::wstring& task_id, const std::wstring& source_path) {
  // Not caught, as in ItemExistsForSource.
  Recordset rows = Query(ItemExistsForSourceStatement(task_id, source_path));
  return ReadItemRow(rows);
}

bool IsUnfinishedItemStatus(const std::wstring& copystatus) {
  return copystatus == kStatusReady || copystatus == kStatusRunning || copystatus == kStatusStop;
}

void UpdateItemFields(const std::wstring& item_id, const ColumnMap& fields) {
  RunChange(UpdateItemFieldsStatement(item_id, fields));
}

void SetItemPosition(const std::wstring& item_id, const std::wstring& position) {
  UpdateItemFields(item_id, ColumnMap{{kPositionNumColumn, position}});
}

void SetItemCopyStatus(const std::wstring& item_id, const std::wstring& status) {
  UpdateItemFields(item_id, ColumnMap{{kCopyStatusColumn, status}});
}

void SetItemMd5Status(const std::wstring& item_id, const std::wstring& status) {
  UpdateItemFields(item_id, ColumnMap{{kMd5StatusColumn, status}});
}

void SetItemPositionToTotal(const std::wstring& item_id) {
  RunChange(SetItemPositionToTotalStatement(item_id));
}

}  // namespace quorvalmist
