#include <sched.h>

#include <chrono>
#include <thread>

#include "platform/thread.h"

namespace quorvalmist {

void StartDetachedThread(std::function<void()> body) { std::thread(std::move(body)).detach(); }

void SleepMilliseconds(unsigned milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

unsigned AvailableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  unsigned online = std::thread::hardware_concurrency();
  return online > 0 ? online : 1;
}

}  // namespace quorvalmist
