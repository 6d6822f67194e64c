// One item at a time: runs a one-shot copier for an item row, mirrors its
// progress into the row while it runs, and then has the item's copy judged
// and recorded (core/item_copy.h).
#ifndef QUORVALMIST_CORE_COPY_DRIVER_H_
#define QUORVALMIST_CORE_COPY_DRIVER_H_

#include <optional>
#include <string>

#include "common/copier_command.h"
#include "core/item_copy.h"

namespace quorvalmist {

// The identity in the last placed line of the copier's output `tail` (its
// last bytes); nullopt when there is none.
std::optional<InnerOutcome::Placed> ParsePlacedLine(const std::string& tail);

// Starts a one-shot copier for `item`, drains its output (keeping only the
// placed line), and every 256 ms while the pipe is quiet copies the item's
// "position" into its row. `brisk`: the wait ends as soon as the copier
// prints or ends; otherwise it is a full period of sleep. Returns when the
// child has ended, when StopFlag is raised (the child is told to stop through
// the item's "runstatus" and given a few seconds to end), or when the child
// cannot be started or the pipe fails. Throws DbError when the position update
// fails.
InnerOutcome RunInnerProcess(const CopierItem& item, bool brisk);

// Copies one item with a one-shot copier and records its verdict (ItemCopy
// says what is written). Throws DbError when an update fails.
void CopyItem(RunContext* run, const ItemJob& job);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_COPY_DRIVER_H_
