// The copier's entry: one file copied end to end through a temporary file
// beside the target, chunk by chunk at absolute offsets, with progress
// reports, resumable from a start position and stoppable by the run monitor;
// or, serving, one such copy after another as standard input names them.
#ifndef QUORVALMIST_INNER_SKIFFWRIGHT_MAIN_H_
#define QUORVALMIST_INNER_SKIFFWRIGHT_MAIN_H_

#include <string>
#include <vector>

#include "common/copier_command.h"

namespace quorvalmist {

// Copies one item: claims its marker (kCopierExitItemClaimed, with nothing
// touched, when another copier holds it), copies through the item's tagged
// temporary file while the process's monitor watches the item, places the
// copy and prints the placed line. Returns the exit code of a one-shot
// copier: kCopierExitDone for a finished, stopped or refused copy,
// kCopierExitFailed when a file could not be opened, read, written or
// finished (a message on standard error names the path and the reason; the
// target is then never renamed). The marker is released and the monitor
// watches nothing once it returns, so items may follow one another in one
// process, and a stop raised for this item does not reach the next. A
// durable copy syncs the folder after the rename unless `sync_folder` is
// false (the core does it then).
int CopyOneItem(const CopierItem& item, bool sync_folder = true);

// The program's entry with its wide argument vector. With just kServeOption
// after the program path: copies the items of the lines on standard input
// (DecodeServedItem) one after another, each followed by its end line
// (ItemEndLine) on standard output, flushed; a line that is no item gets a
// kCopierExitFailed end line and a message on standard error. Returns
// kCopierExitDone at the end of the input; with kCoreSyncsFoldersOption after
// it as well, the same without the folder syncs. Otherwise: program path, source,
// target, start position, buffer size (not consulted), task marker, item id,
// copied by CopyOneItem, whose code it returns; with fewer values it prints
// the count and returns kCopierExitDone.
int SkiffwrightMain(const std::vector<std::wstring>& args);

}  // namespace quorvalmist

#endif  // QUORVALMIST_INNER_SKIFFWRIGHT_MAIN_H_
