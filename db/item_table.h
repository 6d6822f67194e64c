// Operations on the task table (read) and the item table (insert, read,
// update). Each is one statement; the statement builders are pure and return
// the exact text that the operation executes.
//
// Reading operations catch a DbError, report it (ReportReadError) and return
// their fallback. Changing operations let a DbError through to the caller.
#ifndef QUORVALMIST_DB_ITEM_TABLE_H_
#define QUORVALMIST_DB_ITEM_TABLE_H_

#include <string>
#include <vector>

#include "db/record_access.h"

namespace quorvalmist {

// Statement builders. Every value enters as a TextLiteral.
std::wstring LoadTaskStatement(const std::wstring& task_id);
std::wstring InsertItemStatement(const std::wstring& id, const std::wstring& tcitemid,
                                 const std::wstring& sourcefile, const std::wstring& targetfile,
                                 const std::wstring& positionnum, const std::wstring& totalnum,
                                 const std::wstring& copystatus);
std::wstring LoadItemStatement(const std::wstring& item_id);
std::wstring ListReadyItemIdsStatement(const std::wstring& task_id);
std::wstring ItemExistsForSourceStatement(const std::wstring& task_id,
                                          const std::wstring& source_path);
// "update tcitem2 set " then, per entry in key order, " name='value'", joined
// by ","; so "set" is followed by two blanks. Column names go in unquoted and
// unchecked: callers pass fixed names only. An empty map gives a statement
// the engine rejects.
std::wstring UpdateItemFieldsStatement(const std::wstring& item_id, const ColumnMap& fields);
std::wstring SetItemPositionToTotalStatement(const std::wstring& item_id);

// The task row's id, copytype, sourcedir, targetdir, copystatus, finishnum and
// totalnum (a NULL finishnum or totalnum reads as "0"). Empty map when there
// is no such row, and on a read error (reported).
ColumnMap LoadTask(const std::wstring& task_id);

// Inserts an item row and returns its id: `id` unchanged when not empty
// (not checked for being new), otherwise a NewRecordId. md5status is left
// out. Throws DbError when the engine refuses the row, and also when no
// record id can be made: the design would insert the row with an empty id,
// and rows sharing that id would then be updated together.
std::wstring InsertItem(const std::wstring& id, const std::wstring& tcitemid,
                        const std::wstring& sourcefile, const std::wstring& targetfile,
                        const std::wstring& positionnum, const std::wstring& totalnum,
                        const std::wstring& copystatus);

// The item row's id, tcitemid, sourcefile, targetfile, positionnum, totalnum
// and copystatus. Empty map when there is no such row, and on a read error
// (reported).
ColumnMap LoadItem(const std::wstring& item_id);

// Ids of the task's rows whose copystatus is "ready", in the engine's order.
// On a read error (reported) the ids read until then.
std::vector<std::wstring> ListReadyItemIds(const std::wstring& task_id);

// True when the task has a row for `source_path`, in any state. Throws DbError
// when the look-up fails, so that the run ends with a database error instead
// of skipping a file that was never copied.
bool ItemExistsForSource(const std::wstring& task_id, const std::wstring& source_path);

// The task's row for `source_path` (the columns LoadItem gives), or an empty
// map when it has none. Throws DbError when the look-up fails, for the reason
// ItemExistsForSource does.
ColumnMap FindItemForSource(const std::wstring& task_id, const std::wstring& source_path);

// True for the copystatus of a row whose copy never completed, which a
// directory walk takes up again when it meets the row's source: "ready" and
// "running" (left by a run that was killed) and "stop" (a run stopped, also
// during the MD5 check of a complete copy). "finish", "success", "error" and
// "skipped" are ended for the walk.
bool IsUnfinishedItemStatus(const std::wstring& copystatus);

// Sets the columns of `fields` in the item row. A missing id changes nothing
// and is no error. Throws DbError.
void UpdateItemFields(const std::wstring& item_id, const ColumnMap& fields);

// One-column updates through UpdateItemFields. Throw DbError.
void SetItemPosition(const std::wstring& item_id, const std::wstring& position);
void SetItemCopyStatus(const std::wstring& item_id, const std::wstring& status);
void SetItemMd5Status(const std::wstring& item_id, const std::wstring& status);

// Copies totalnum into positionnum inside the database. Throws DbError.
void SetItemPositionToTotal(const std::wstring& item_id);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_ITEM_TABLE_H_
