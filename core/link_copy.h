// Symbolic links of a directory task copied as links (the "keep" link mode):
// each gets a row of its own and a link in the target with the same text.
#ifndef QUORVALMIST_CORE_LINK_COPY_H_
#define QUORVALMIST_CORE_LINK_COPY_H_

#include <string>

#include "platform/status.h"

namespace quorvalmist {

// Makes a symbolic link at `target` with the text of the link `source`, its
// times and (as root) its owner: first under the temporary name, then renamed,
// never replacing anything. A link already at `target` with the same text
// counts as made (a resumed task). When `durable`, the directories made for it
// and the rename are synced.
Status CopySymbolicLink(const std::string& source, const std::string& target, bool durable);

// The directory run's step for a symbolic link at `path`: a row ("ready",
// totalnum the length of its text; a row of an earlier run that never
// completed is taken again instead), "running", then "finish" with md5status
// "md5uncheck" when the link was made, or "stop" when it could not be (a
// different file at the target, no room). A link whose row ended otherwise is
// left alone. Throws DbError as the row updates do.
void CopyLinkEntry(const std::wstring& path, const std::wstring& source_root,
                   const std::wstring& target_root, const std::wstring& task_id);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_LINK_COPY_H_
