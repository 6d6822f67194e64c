// The copier's entry: one file copied end to end through a temporary file
// beside the target, chunk by chunk at absolute offsets, with progress
// reports, resumable from a start position and stoppable by the run monitor.
#ifndef QUORVALMIST_INNER_SKIFFWRIGHT_MAIN_H_
#define QUORVALMIST_INNER_SKIFFWRIGHT_MAIN_H_

#include <string>
#include <vector>

namespace quorvalmist {

// The program's entry with its wide argument vector: program path, source,
// target, start position, buffer size (not consulted), task marker, item id.
// Returns the exit code: 0 for a finished, stopped or refused copy, -1 when
// another copier holds the item, 1 when a file could not be opened, read,
// written or finished (a message on standard error names the path and the
// reason; the target is then never renamed). Starts the run monitor, so it is
// meant to run once per process.
int SkiffwrightMain(const std::vector<std::wstring>& args);

}  // namespace quorvalmist

#endif  // QUORVALMIST_INNER_SKIFFWRIGHT_MAIN_H_
