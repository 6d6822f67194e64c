// The terminal is the console. Interrupts are the console's control events:
// Ctrl-C, Ctrl-Break and the closing of the console window, counted by a
// handler that the system runs on a thread of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "frontend/terminal.h"

namespace quorvalmist {

namespace {

std::atomic<int> interrupts{0};
std::atomic<DWORD> last_event{CTRL_C_EVENT};

BOOL WINAPI OnControlEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      last_event.store(event, std::memory_order_relaxed);
      interrupts.fetch_add(1, std::memory_order_relaxed);
      // Handled: the process is not ended. (After CTRL_CLOSE_EVENT the
      // system ends it anyway once the handler returns or a few seconds
      // pass; the count lets the run begin to stop meanwhile.)
      return TRUE;
    default:
      return FALSE;  // log-off and shut-down: the default handling
  }
}

}  // namespace

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  // The visible window, not the buffer, which may be far wider.
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void CountInterrupts() {
  // Added once only: a handler added twice would count every event twice.
  static const bool added = ::SetConsoleCtrlHandler(OnControlEvent, TRUE) != 0;
  (void)added;
}

int InterruptCount() { return interrupts.load(std::memory_order_relaxed); }

const char* LastInterruptName() {
  switch (last_event.load(std::memory_order_relaxed)) {
    case CTRL_BREAK_EVENT:
      return "Ctrl-Break";
    case CTRL_CLOSE_EVENT:
      return "close";
    default:
      return "Ctrl-C";
  }
}

}  // namespace quorvalmist
