#include "frontend/display.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frontend/terminal.h"

namespace quorvalmist {

namespace {

// Away from a terminal (a log, a pipe, CI), a line this often, unless
// QUORVALMIST_PROGRESS_PERIOD_MS (100 to 60000) says otherwise.
constexpr std::chrono::milliseconds kPlainPeriod{5000};

std::chrono::milliseconds PlainPeriod() {
  static const std::chrono::milliseconds period = [] {
    const char* text = std::getenv("QUORVALMIST_PROGRESS_PERIOD_MS");
    long long value = text == nullptr ? 0 : std::strtoll(text, nullptr, 10);
    return value >= 100 && value <= 60000 ? std::chrono::milliseconds(value) : kPlainPeriod;
  }();
  return period;
}

}  // namespace

void Display::Show(const ProgressSnapshot& snapshot) {
  if (!live_) {
    auto now = std::chrono::steady_clock::now();
    if (printed_ && now - last_plain_ < PlainPeriod()) return;
    last_plain_ = now;
    printed_ = true;
    std::printf("%s\n", PlainLine(snapshot).c_str());
    std::fflush(stdout);
    return;
  }
  int columns = TerminalColumns();
  // One column spare: a line that fills the row would wrap on some terminals.
  size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 79;
  std::vector<std::string> lines = LiveLines(snapshot, width);
  std::string out = printed_ ? "\r\033[1A\033[K" : "";
  out += lines[0] + "\n\033[K" + lines[1];
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  printed_ = true;
}

void Display::Message(const std::string& text) {
  Clear();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void Display::End() {
  Clear();
  std::fflush(stdout);
}

void Display::Clear() {
  if (live_ && printed_) std::fputs("\r\033[1A\033[K\n\033[K\033[1A", stdout);
  printed_ = false;
}

}  // namespace quorvalmist
