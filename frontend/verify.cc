// The verify command: every copied file of a task hashed again, source and
// target, and the rows brought up to date with what the files hold now.
#include <cstdio>

#include "common/md5.h"
#include "db/schema.h"
#include "frontend/command_error.h"
#include "frontend/commands.h"
#include "frontend/task_run.h"
#include "frontend/task_store.h"
#include "frontend/workspace.h"
#include "platform/text.h"

namespace quorvalmist {

int VerifyCommand(const std::string& task_name) {
  OpenWorkspace();
  TaskInfo task = FindTask(NarrowToWide(task_name));
  std::string id = WideToNarrow(task.id);
  RefuseWhileRunning(task);
  std::vector<ItemInfo> done = ListItems(task.id, {kStatusSuccess, kStatusFinish});
  size_t differ = 0;
  for (const ItemInfo& item : done) {
    if (FilesMatch(item.sourcefile, item.targetfile)) {
      SetItemVerdict(item.id, item.copystatus, kMd5Ok);
      continue;
    }
    ++differ;
    SetItemVerdict(item.id, kStatusError, kMd5Error);
    std::printf("differs: %s\n", DisplayName(task, item.sourcefile).c_str());
    std::fflush(stdout);
  }
  std::printf("verified %zu file%s: ", done.size(), done.size() == 1 ? "" : "s");
  if (differ == 0) {
    std::printf("all equal\n");
    return kExitOk;
  }
  std::printf("%zu differ or cannot be read; 'quorvalmist resume %s' copies them again\n", differ,
              id.c_str());
  return kExitIncomplete;
}

}  // namespace quorvalmist
