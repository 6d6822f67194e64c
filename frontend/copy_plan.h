// Turning the paths of a copy command into a task: what kind, which roots,
// which files go where, after every check that can refuse the command before
// anything is created.
#ifndef QUORVALMIST_FRONTEND_COPY_PLAN_H_
#define QUORVALMIST_FRONTEND_COPY_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace quorvalmist {

struct CopyPlan {
  bool is_dir = false;
  // A directory task: the source root (resolved, absolute) and the target
  // root (absolute, links not resolved). Empty for a files task.
  std::string source_root;
  std::string target_root;
  struct File {
    std::string source;  // absolute
    std::string target;  // absolute
    uint64_t size = 0;
  };
  std::vector<File> files;  // a files task's rows
};

// Checks `sources` and `target` (relative to the current directory) and plans
// the copy:
// - one directory gives a directory task: what is under it appears under
//   `target`;
// - one or more regular files give a files task: each file goes into `target`
//   as a directory (made by the copy when missing), or, for a single file whose
//   `target` is not an existing directory and does not end in "/", to `target`
//   itself.
// Refuses (CommandError, kFrontEndExitBadInput) a missing source, one that is neither a
// regular file nor a directory, a directory together with other sources, a
// target inside the source or a source inside the target, a workspace inside
// the source (its files change while they are copied), an existing target of
// the wrong kind, two files bound for one target, and a file copied onto
// itself. `workspace` is the workspace's absolute path. Creates nothing.
CopyPlan PlanCopy(const std::vector<std::string>& sources, const std::string& target,
                  const std::string& workspace);

// True when `inner` is `outer` or lies below it. Both absolute and normal.
bool PathWithin(const std::string& inner, const std::string& outer);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_COPY_PLAN_H_
