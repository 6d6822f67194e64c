// The front end's walk of a directory task's source tree, by the rules the
// core's walk keeps, so that the count of the tree and the passes at the end
// of a task see the tree the core copied: the target root (compared by
// identity) is never entered, so nothing is ever reached in the target from
// the source side when the target lies inside the source; a link to a
// directory is entered only when links are followed, and then not when it
// leads to a directory on the way down from the source root (a cycle).
#ifndef QUORVALMIST_FRONTEND_SOURCE_WALK_H_
#define QUORVALMIST_FRONTEND_SOURCE_WALK_H_

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "platform/file.h"

namespace quorvalmist {

struct SourceEntry {
  enum class Kind {
    kFile,             // anything the walk does not enter: a file, a link to one,
                       // a dangling link, a FIFO, socket or device
    kDirectory,        // a directory the walk enters (also a followed link to one)
    kLinkToDirectory,  // a link to a directory, kept as a link: not entered
    kCycle,            // a directory (a link) leading to one above it: not entered
  };
  Kind kind = Kind::kFile;
  std::string path;      // the root, a separator and the names below it
  std::string relative;  // the names below the root, joined by separators
  bool is_link = false;  // the entry itself is a symbolic link
  // What a directory or a link leads to; not looked up for other entries.
  std::optional<PathInfo> info;
};

// Returns false to keep the walk out of a kDirectory entry (and everything
// below it); ignored for other entries.
using SourceVisitor = std::function<bool(const SourceEntry&)>;

// Visits every entry below `root` (the root itself is not visited), depth
// first, each directory before what it holds. The target root is neither
// visited nor entered. A directory that cannot be listed is left out with
// what it holds. Returns early once `*cancel` is set.
void WalkSourceTree(const std::string& root, const std::string& target_root, bool follow_links,
                    const SourceVisitor& visit, const std::atomic<bool>* cancel = nullptr);

// `directory`, a native separator unless it already ends with one, and
// `relative`.
std::string JoinBelow(const std::string& directory, const std::string& relative);

// True when `path` itself is a directory, not a symbolic link to one. The
// passes at the end of a task go only into such directories of the target,
// never through a link found there, which could lead anywhere.
bool IsOwnDirectory(const std::string& path);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_SOURCE_WALK_H_
