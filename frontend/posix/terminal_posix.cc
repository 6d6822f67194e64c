#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "frontend/terminal.h"

namespace quorvalmist {

namespace {

// Lock-free, so the signal handler may touch it.
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

std::atomic<int> last_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int signal_number) {
  last_signal.store(signal_number, std::memory_order_relaxed);
  interrupts.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

int TerminalColumns() {
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void CountInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking wait returns early and sees the request.
  action.sa_flags = 0;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signal_number, &action, nullptr);
  }
}

int InterruptCount() { return interrupts.load(std::memory_order_relaxed); }

const char* LastInterruptName() {
  switch (last_signal.load(std::memory_order_relaxed)) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "Ctrl-C";
  }
}

}  // namespace quorvalmist
