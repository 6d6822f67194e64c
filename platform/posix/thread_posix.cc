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

}  // namespace quorvalmist
