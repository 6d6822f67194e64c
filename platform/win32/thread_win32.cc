#include <thread>

#include "platform/thread.h"
#include "platform/win32/win32_util.h"

namespace quorvalmist {

void StartDetachedThread(std::function<void()> body) { std::thread(std::move(body)).detach(); }

void SleepMilliseconds(unsigned milliseconds) {
  // Sleep(0) gives up the rest of the time slice, as a yield does.
  ::Sleep(milliseconds);
}

unsigned AvailableProcessors() {
  // The processors in this process's affinity mask (one processor group: a
  // process starts in one group and stays there unless it asks otherwise).
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask) &&
      process_mask != 0) {
    unsigned count = 0;
    for (DWORD_PTR m = process_mask; m != 0; m &= m - 1) ++count;
    return count;
  }
  unsigned online = std::thread::hardware_concurrency();
  return online > 0 ? online : 1;
}

}  // namespace quorvalmist
