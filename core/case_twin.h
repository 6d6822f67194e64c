// Names that a target's file system takes for one: FAT, exFAT and (as Windows
// mounts it) NTFS compare names ignoring letter case, so "Report.txt" and
// "report.txt" of one source folder land on one target file.
#ifndef QUORVALMIST_CORE_CASE_TWIN_H_
#define QUORVALMIST_CORE_CASE_TWIN_H_

#include <optional>
#include <string>

#include "platform/file.h"

namespace quorvalmist {

// For a target path `path` at which a file already stands: the name
// of the entry that is really there when its directory compares names
// ignoring case and holds no entry spelled exactly as `path`'s name (another
// file, which differs from it only in letter case). nullopt when the entry is
// the one named, or the directory tells cases apart. Only ASCII letters are
// compared: a name with none of them is never taken for a twin.
std::optional<std::string> CaseTwinAt(const std::string& path);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_CASE_TWIN_H_
