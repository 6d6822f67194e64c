#include "frontend/copy_plan.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "frontend/command_error.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

namespace fs = std::filesystem;

// The path's text without a trailing separator, a root (such as "/") kept.
std::string WithoutTrailingSeparator(const fs::path& path) {
  std::string text = PathText(path);
  size_t root = PathText(path.root_path()).size();
  while (text.size() > std::max<size_t>(root, 1) && IsPathSeparator(text.back())) text.pop_back();
  return text;
}

// Absolute and lexically normal, without a trailing separator (except "/").
std::string AbsoluteNormal(const std::string& path) {
  fs::path p = fs::absolute(FileSystemPath(path)).lexically_normal();
  return WithoutTrailingSeparator(p);
}

// Where `path` really leads: links resolved as far as the path exists.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(FileSystemPath(path), ec);
  if (ec) return AbsoluteNormal(path);
  return WithoutTrailingSeparator(p);
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

PathInfo CheckSource(const std::string& source) {
  std::optional<PathInfo> info = StatPath(source);
  if (!info) throw CommandError(Quoted(source) + ": no such file or directory");
  if (!info->is_directory && !info->is_regular) {
    throw CommandError(Quoted(source) +
                       ": not a regular file or a directory (a FIFO, socket or device cannot "
                       "be copied)");
  }
  return *info;
}

}  // namespace

bool PathWithin(const std::string& inner, const std::string& outer) {
  if (inner == outer) return true;
  if (!outer.empty() && IsPathSeparator(outer.back())) {  // a root: "/", "C:\\"
    return inner.compare(0, outer.size(), outer) == 0;
  }
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         IsPathSeparator(inner[outer.size()]);
}

CopyPlan PlanCopy(const std::vector<std::string>& sources, const std::string& target,
                  const std::string& workspace) {
  if (sources.empty() || target.empty()) {
    throw CommandError("copy needs a source and a target: quorvalmist copy SOURCE... TARGET");
  }
  std::vector<PathInfo> infos;
  for (const auto& source : sources) infos.push_back(CheckSource(source));
  std::optional<PathInfo> target_info = StatPath(target);
  std::string target_abs = AbsoluteNormal(target);
  std::string target_real = Resolved(target);

  CopyPlan plan;
  if (infos[0].is_directory || sources.size() > 1) {
    for (size_t i = 0; i < sources.size(); ++i) {
      if (infos[i].is_directory && sources.size() > 1) {
        throw CommandError(Quoted(sources[i]) +
                           ": a directory is copied on its own, as one task; copy it with a "
                           "command of its own");
      }
    }
  }
  if (infos[0].is_directory) {
    plan.is_dir = true;
    std::string root = Resolved(sources[0]);
    if (target_info && !target_info->is_directory) {
      throw CommandError(Quoted(target) + " exists and is not a directory");
    }
    if (PathWithin(target_real, root)) {
      throw CommandError("the target " + Quoted(target) + " lies inside the source " +
                         Quoted(sources[0]) + "; choose a target outside it");
    }
    if (PathWithin(root, target_real)) {
      throw CommandError("the source " + Quoted(sources[0]) + " lies inside the target " +
                         Quoted(target) + "; the copy would write among the files it reads");
    }
    if (PathWithin(Resolved(workspace), root)) {
      throw CommandError("the workspace " + Quoted(workspace) + " lies inside the source " +
                         Quoted(sources[0]) +
                         "; its files change while they are copied. Use another workspace "
                         "with -C DIR");
    }
    plan.source_root = root;
    plan.target_root = target_abs;
    return plan;
  }

  bool into_directory = sources.size() > 1 || (target_info && target_info->is_directory) ||
                        IsPathSeparator(target.back());
  if (into_directory && target_info && !target_info->is_directory) {
    throw CommandError(Quoted(target) + " exists and is not a directory");
  }
  std::set<std::string> targets;
  for (size_t i = 0; i < sources.size(); ++i) {
    CopyPlan::File file;
    file.source = AbsoluteNormal(sources[i]);
    file.size = infos[i].size;
    file.target =
        into_directory
            ? PathText(FileSystemPath(target_abs) / FileSystemPath(file.source).filename())
            : target_abs;
    if (!targets.insert(file.target).second) {
      throw CommandError("two sources would both be copied to " + Quoted(file.target));
    }
    if (Resolved(file.target) == Resolved(file.source)) {
      throw CommandError(Quoted(sources[i]) + " would be copied onto itself");
    }
    plan.files.push_back(file);
  }
  return plan;
}

}  // namespace quorvalmist
