// Getting a task ready to run again. The core never retries a file it left
// behind (a directory run skips every file that has a row and every directory
// recorded as searched; a files run takes only "ready" rows), so before the
// core is started again the front end turns every file that did not end
// copied back into one the core will copy.
#ifndef QUORVALMIST_FRONTEND_RERUN_H_
#define QUORVALMIST_FRONTEND_RERUN_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "frontend/task_store.h"

namespace quorvalmist {

// The directories that lead from `source_root` to `source_file`, spelled as the
// directory run spells them when it records them as searched: the root exactly
// as stored, then each level joined with a separator unless the path so far
// already ends with one. The file's own directory is the last entry. Empty when
// `source_file` does not lie below `source_root`.
std::vector<std::wstring> DirectoriesOnPath(const std::wstring& source_root,
                                            const std::wstring& source_file);

// The copystatus words of rows that are copied again: those that ended
// "stop" or "error", and rows a killed core left "running" (and, in a
// directory task, "ready": a row the core inserted just before it was killed).
std::vector<std::wstring> RetriedStatuses(const TaskInfo& task);

// The task's rows that say the file was copied ("success" or "finish") but
// whose target is gone or no longer has the source's size: a stat of each, no
// hashing. Rows whose source is gone are left out, as nothing could be copied.
std::vector<ItemInfo> DoneRowsWithLostTargets(const TaskInfo& task);

// Waits until no copier is left for the task's unfinished items (their
// markers, named by the item ids, are gone): a copier that a stopped run left
// behind may still be writing its temporary file for a second or two. False
// when one is still there after `timeout`.
bool WaitForCopiersToEnd(const std::vector<ItemInfo>& items, std::chrono::milliseconds timeout);

// Makes every retried row of the task copyable again: a files task's rows go
// back to "ready"; a directory task's rows are deleted together with the
// searched-directory records on their paths, so that the walk finds the files
// again. Returns how many files will be copied again.
// The bytes that the temporary files of `retried` hold and that the core
// resumes from instead of copying them again, by source path (none unless
// copies resume inside files), as the core reckons them.
std::map<std::wstring, uint64_t> BytesKeptForResume(const std::vector<ItemInfo>& retried);

size_t PrepareRerun(const TaskInfo& task, const std::vector<ItemInfo>& retried);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_RERUN_H_
