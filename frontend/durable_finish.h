// The end of a run as the user may trust it: the copied tree's directories
// carry their sources' modes and times, and what the run wrote is on the disk
// before the front end says "done".
#ifndef QUORVALMIST_FRONTEND_DURABLE_FINISH_H_
#define QUORVALMIST_FRONTEND_DURABLE_FINISH_H_

#include <string>
#include <vector>

#include "platform/status.h"

namespace quorvalmist {

// Gives every directory of the target tree the permission bits and access and
// modification times of its source directory (and, as root, its owner and
// group), the root included; a followed link to a directory (`follow_links`)
// gives its directory's. The source is walked as the core walks it
// (WalkSourceTree): the target root is not entered from the source side, nor
// is a link to a directory that is kept as a link or that leads back up the
// tree. Directories of the source that the target lacks, or holds as a link
// or a file, are left out with what they hold. Runs once the whole tree is
// copied, since copying into a directory changes its times. Returns the first
// failure; the rest are still tried. *directories gets the target directories
// it changed, the root first.
Status KeepDirectoryAttributes(const std::string& source_root, const std::string& target_root,
                               bool follow_links, std::vector<std::string>* directories);

// Makes the task database (its file and write-ahead log, in the workspace that
// is the current directory) and `directories` (with the parent of the first,
// the target root) durable (fsync of each), so that every row and directory
// the run left survives a power cut. Only these: a sync of whole file systems
// would also wait for everything else the machine writes. The directories are
// not listed again, which would move their access times.
Status MakeRunDurable(const std::vector<std::string>& directories);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_DURABLE_FINISH_H_
