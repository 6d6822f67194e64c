// The settings of one run of the core, read once when it starts and passed to
// whatever needs them.
#ifndef QUORVALMIST_CORE_RUN_SETTINGS_H_
#define QUORVALMIST_CORE_RUN_SETTINGS_H_

#include <string>

namespace quorvalmist {

struct RunSettings {
  // "pacing" = "brisk" in core.cnf (any letter case): no pauses between the
  // entries of a walk or the rows of a files run, and the wait for a copier
  // ends as soon as it prints or ends. Otherwise the run paces itself: a
  // 10 ms pause before each entry and each copy, and with one item at a time
  // a full poll period of sleep whenever the copier's pipe is quiet.
  bool brisk = false;
  // "resumeinside" = 1: a copy that finds its temporary file resumes inside
  // it; otherwise every copy starts at 0.
  bool resume_inside = false;
  // "links" = "keep" for the task: links are copied as links.
  bool keep_links = false;
  // "verifyfrom" is not "cache": the copy is read from its device for MD5.
  bool verify_from_disk = true;
  // How many items are copied at once ("jobs", 1 by default: one at a time).
  int jobs = 1;
  // "servingcopiers" = 1: copiers stay alive and take one item after another.
  // They leave the sync of the target's folder after each rename to the core
  // (core/folder_syncs.h).
  bool serving_copiers = false;
  // "sync" in config.cnf is not 0: a copy counts as done only once its data
  // and its name are on the disk.
  bool durable = true;
};

// Reads the settings of a run of task `task_id` from core.cnf.
RunSettings ReadRunSettings(const std::wstring& task_id);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_RUN_SETTINGS_H_
