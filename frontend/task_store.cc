#include "frontend/task_store.h"

#include <ctime>

#include "db/record_access.h"
#include "frontend/command_error.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace quorvalmist {

TaskInfo FindTask(const std::wstring& id) {
  if (id.empty()) throw CommandError("no task named");
  std::vector<TaskInfo> found = TasksNamedBy(id);
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
    std::tm local = LocalTime(now);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S-", &local);
    std::wstring random = NewRecordId();
    if (random.size() < 36) {
      throw CommandError("the system gives no random bytes", kFrontEndExitFailure);
    }
    // The last group of the record id is twelve random hex digits.
    std::wstring id = LowerAscii(NarrowToWide(stamp) + random.substr(24, 6));
    if (!TaskIdTaken(id)) return id;
  }
}

}  // namespace quorvalmist
