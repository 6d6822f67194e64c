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

// Readies standard output and error for what the programs write: bytes as
// they are (no newline translation, which would put "\r\n" into reports that
// other programs parse), and writes to a pipe that closed failing rather than
// ending the process (IgnoreBrokenPipe). Called first thing by every program.
void PrepareStandardStreams();

// Makes standard input give its bytes as they are: no "\r\n" translation and
// no end of input at a Ctrl-Z byte, for a program that reads lines another
// program writes to it.
void ReadStandardInputAsBytes();

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_CONSOLE_H_
