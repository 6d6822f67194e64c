#include <cstdio>

#include "common/config_store.h"
#include "common/file_info.h"
#include "common/protocol.h"
#include "common/run_control.h"
#include "core/core_state.h"
#include "core/run_settings.h"
#include "core/runs.h"
#include "db/item_table.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "platform/console.h"
#include "platform/no_destructor.h"
#include "platform/text.h"

namespace quorvalmist {

int CoreMain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("input < 2\n");
    return kCoreExitDone;
  }
  CurrentTaskId() = argv[1];
  // -1 leaves the process as kCoreExitAlreadyRunning.
  if (!ClaimRunMutex(CurrentTaskId())) return -1;

  try {
    OpenTaskDb(kConnectionString);
  } catch (const DbError& error) {
    ShowWarning(L"\u8b66\u544a", error.description());  // caption "warning"
    return kCoreExitDone;
  }

  // A run started by a front end also ends when that front end is gone, even
  // while other front ends hold the shared marker.
  std::wstring front_end = ReadTaskFrontEnd(CurrentTaskId());
  static NoDestructor<std::wstring> owner(front_end.empty() ? std::wstring()
                                                            : FrontEndOwnMarkerName(front_end));
  CoreMonitorTarget() =
      MonitorTarget{MonitorTarget::Kind::kTask, &CurrentTaskId(), nullptr, owner.get()};
  StartMonitor(CoreMonitorTarget());

  RunContext run;
  run.task_id = CurrentTaskId();
  run.settings = ReadRunSettings(run.task_id);
  ColumnMap task = LoadTask(CurrentTaskId());
  std::wstring copytype = ColumnValue(task, kCopyTypeColumn);
  std::wstring sourcedir = ColumnValue(task, kSourceDirColumn);
  std::wstring targetdir = ColumnValue(task, kTargetDirColumn);
  std::wstring root = sourcedir;
  try {
    if (EqualsIgnoringCase(copytype, kCopyTypeDir)) {
      if (SamePlace(sourcedir, targetdir)) {
        std::fprintf(stderr,
                     "Tollhaven: task %s: the target directory %s is the source directory; "
                     "nothing is copied\n",
                     WideToNarrow(CurrentTaskId()).c_str(), WideToNarrow(targetdir).c_str());
        return kCoreExitSameRoots;
      }
      RunDirectoryMode(root, sourcedir, targetdir, &run);
    } else if (EqualsIgnoringCase(copytype, kCopyTypeFiles)) {
      RunFilesMode(&run);
    }
  } catch (const DbError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "Tollhaven: task %s: database error %d: %s\n",
                 WideToNarrow(CurrentTaskId()).c_str(), error.code(), error.what());
    return kCoreExitDatabaseFailure;
  }
  return kCoreExitDone;
}

}  // namespace quorvalmist
