// Detached threads and pacing.
#ifndef QUORVALMIST_PLATFORM_THREAD_H_
#define QUORVALMIST_PLATFORM_THREAD_H_

#include <functional>

namespace quorvalmist {

// Starts `body` on a thread of its own that is never joined and runs until
// the process ends. Everything `body` reads must outlive the process's exit.
void StartDetachedThread(std::function<void()> body);

// The processors this process may run on (its affinity), at least 1.
unsigned AvailableProcessors();

// Sleeps the calling thread for `milliseconds`; 0 yields the processor.
void SleepMilliseconds(unsigned milliseconds);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_THREAD_H_
