// How often the core looks at a copier's progress, and how long it waits for
// a copier after a stop.
#ifndef QUORVALMIST_CORE_COPIER_TIMING_H_
#define QUORVALMIST_CORE_COPIER_TIMING_H_

#include <chrono>

namespace quorvalmist {

// The poll period: an item's "position" is copied into its row, and an MD5
// comparison's progress published, at most once a period.
inline constexpr std::chrono::milliseconds kCopierPollPeriod{256};

// How long the core waits after a stop for its copiers to end. A copier
// notices the item's "runstatus" within its monitor's period; a copy that is
// being made durable or placed may take a few seconds more.
inline constexpr std::chrono::seconds kStoppedCopierGrace{3};

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_COPIER_TIMING_H_
