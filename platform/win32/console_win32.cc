#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/text.h"

namespace quorvalmist {

// A console program: the warning is a line on standard error, as on POSIX,
// rather than a message box that would wait for someone to close it.
void ShowWarning(const std::wstring& caption, const std::wstring& text) {
  std::string line = WideToNarrow(caption) + ": " + WideToNarrow(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Nothing to do: Windows has no broken-pipe signal. A write to a pipe whose
// reader has gone already fails with ERROR_NO_DATA (EPIPE in the C run-time).
void IgnoreBrokenPipe() {}

void PrepareStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void ReadStandardInputAsBytes() { _setmode(_fileno(stdin), _O_BINARY); }

}  // namespace quorvalmist
