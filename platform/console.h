// Console output: the warning line that stands for a message box, and narrow
// output on standard output. Console text is UTF-8 bytes.
#ifndef QUORVALMIST_PLATFORM_CONSOLE_H_
#define QUORVALMIST_PLATFORM_CONSOLE_H_

#include <string>

namespace quorvalmist {

// One line on standard error: the caption, ": ", the text. Does not wait.
void ShowWarning(const std::wstring& caption, const std::wstring& text);

// Makes a write to a pipe whose reader has gone fail with an error instead of
// ending the process.
void IgnoreBrokenPipe();

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_CONSOLE_H_
