#include <csignal>
#include <cstdio>

#include "platform/console.h"
#include "platform/text.h"

namespace quorvalmist {

void ShowWarning(const std::wstring& caption, const std::wstring& text) {
  std::string line = WideToNarrow(caption) + ": " + WideToNarrow(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

// Streams carry bytes unchanged here already.
void PrepareStandardStreams() { IgnoreBrokenPipe(); }

void ReadStandardInputAsBytes() {}

}  // namespace quorvalmist
