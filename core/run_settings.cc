#include "core/run_settings.h"

#include "common/config_store.h"
#include "platform/text.h"

namespace quorvalmist {

RunSettings ReadRunSettings(const std::wstring& task_id) {
  RunSettings settings;
  settings.brisk = EqualsIgnoringCase(ReadPacing(), kPacingBrisk);
  settings.resume_inside = WideToInt(ReadResumeInsideFlag()) == 1;
  settings.keep_links = KeepLinks(task_id);
  settings.verify_from_disk = VerifyFromDisk();
  settings.jobs = ReadJobs(task_id);
  settings.serving_copiers = ServingCopiers();
  settings.durable = SyncEnabled();
  return settings;
}

}  // namespace quorvalmist
