// Task rows, item rows and their tallies as the front end reads and writes
// them, on the process-wide connection. Every operation lets a DbError
// through; the caller turns it into a message.
#ifndef QUORVALMIST_DB_TASK_ROWS_H_
#define QUORVALMIST_DB_TASK_ROWS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "db/schema.h"
#include "platform/text.h"

namespace quorvalmist {

struct TaskInfo {
  std::wstring id;
  std::wstring copytype;  // "dir" or "files"
  std::wstring sourcedir;
  std::wstring targetdir;
  std::wstring copystatus;  // the front end's word for the task as a whole
  // Letter case aside, as the core reads it.
  bool is_dir() const { return EqualsIgnoringCase(copytype, kCopyTypeDir); }
};

struct ItemInfo {
  std::wstring id;
  std::wstring sourcefile;
  std::wstring targetfile;
  uint64_t position = 0;  // positionnum; 0 when empty
  uint64_t total = 0;     // totalnum
  std::wstring copystatus;
  std::wstring md5status;  // empty until the copy ended
};

// Every task, in id order (ids begin with their creation date).
std::vector<TaskInfo> ListTasks();

// The task `id` alone when there is one; otherwise every task whose id begins
// with `id` (compared exactly), in id order.
std::vector<TaskInfo> TasksNamedBy(const std::wstring& id);

// True when a task row has exactly this id.
bool TaskIdTaken(const std::wstring& id);

// Inserts the task row.
void AddTask(const TaskInfo& task);

// Sets the task row's copystatus, finishnum and totalnum (files).
void UpdateTask(const std::wstring& id, const std::wstring& status, uint64_t finished,
                uint64_t total);

// Inserts a "ready" item of a files task.
void AddFileItem(const std::wstring& task_id, const std::wstring& source,
                 const std::wstring& target, uint64_t size);

// The task's items in source path order, only those whose copystatus is in
// `statuses` when that is not empty.
std::vector<ItemInfo> ListItems(const std::wstring& task_id,
                                const std::vector<std::wstring>& statuses = {});

// Calls `visit` for each of the task's items whose copystatus is in
// `statuses`, in source path order, reading one row at a time: memory does not
// grow with the task. `visit` must not change the item table.
void ForEachItem(const std::wstring& task_id, const std::vector<std::wstring>& statuses,
                 const std::function<void(const ItemInfo&)>& visit);

// Only the ids of the task's items whose copystatus is in `statuses`.
std::vector<std::wstring> ListItemIds(const std::wstring& task_id,
                                      const std::vector<std::wstring>& statuses);

// Those of `ids` whose rows have a copystatus in `statuses` (of any task).
std::vector<std::wstring> FilterItemIds(const std::vector<std::wstring>& ids,
                                        const std::vector<std::wstring>& statuses);

// The task's item currently being copied ("running"), if any.
bool FindRunningItem(const std::wstring& task_id, ItemInfo* item);

// Counts and bytes per copystatus, from one aggregate query.
struct TaskTally {
  std::map<std::wstring, uint64_t> files;  // copystatus -> rows
  std::map<std::wstring, uint64_t> bytes;  // copystatus -> sum of totalnum
  // copystatus -> sum of positionnum, each at most its totalnum
  std::map<std::wstring, uint64_t> reached;
  uint64_t rows = 0;
  uint64_t total_bytes = 0;
  // Files copied completely ("success" and "finish") and their bytes.
  uint64_t done_files() const;
  uint64_t done_bytes() const;
  // The bytes of the done files and how far the others got.
  uint64_t reached_bytes() const;
};
TaskTally TallyTask(const std::wstring& task_id);

// True when the directory run went through the whole tree: the source root
// is recorded as searched.
bool WalkCompleted(const TaskInfo& task);

// Sets an item's copystatus and md5status in one change.
void SetItemVerdict(const std::wstring& item_id, const std::wstring& copystatus,
                    const std::wstring& md5status);

// Deletes an item row.
void DeleteItem(const std::wstring& item_id);
// Sets an item back to "ready" with no progress, for another files run.
void ResetItem(const std::wstring& item_id);
// Deletes the searched-directory record of `dir_path`.
void ForgetSearchedDirectory(const std::wstring& task_id, const std::wstring& dir_path);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_TASK_ROWS_H_
