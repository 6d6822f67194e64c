// Child processes with their standard output on a pipe, and their standard
// input on a pipe when asked.
#ifndef QUORVALMIST_PLATFORM_PROCESS_H_
#define QUORVALMIST_PLATFORM_PROCESS_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace quorvalmist {

// How a child ended: with its exit code, or ended from outside by a signal
// (POSIX; on Windows a process ended from outside has an exit code like any
// other). An exit code of -1 reads as 255, as the system keeps its low byte.
struct ChildEnd {
  int exit_code = -1;  // when no signal ended it
  int signal = 0;      // the signal that ended it, 0 when none did
};

struct ChildOptions {
  // The child's standard input is a pipe written with WriteInput, instead of
  // the null device.
  bool input_pipe = false;
};

// A started child. Its standard output is a pipe read here; its standard
// input is the null device or a pipe written here (ChildOptions); its
// standard error is the null device; it runs in a process group of its own,
// so a Ctrl-C at the terminal does not reach it. Destroying this object closes
// the pipes but neither waits for nor kills the child. The child inherits no
// other descriptor of this process: this end of each pipe is close-on-exec.
//
// Threads: the input (WriteInput, CloseInput) and the output and end
// (PeekOutput, ReadOutput, WaitForOutputOrEnd, HasEnded, Wait) touch
// different descriptors and no shared state, so one thread may write the
// input while another reads the output and waits for the end. Within each of
// the two groups, calls must not overlap.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  // Starts `program` with `arguments` (argv[1..]) from an argument vector, not
  // a re-parsed command line, so any character in an argument arrives intact.
  // `program` is a path; nullptr and *status on failure.
  static std::unique_ptr<ChildProcess> Start(const std::string& program,
                                             const std::vector<std::string>& arguments,
                                             Status* status, ChildOptions options = {});

  // Writes all of `data` to the child's standard input, blocking while the
  // pipe is full (until the child reads). False when the child can no longer
  // read it (it has ended, or closed its input), after CloseInput, or when the
  // child was started without an input pipe; then some of `data` may have gone
  // through. Never raises SIGPIPE: a child that was killed costs this process
  // a false, not its life.
  virtual bool WriteInput(std::string_view data) = 0;
  // Closes the input pipe: the child reads the end of its input once it has
  // read what was written. Nothing happens when there is none (any more).
  virtual void CloseInput() = 0;

  // Bytes waiting on the pipe, without blocking. False when the pipe failed.
  virtual bool PeekOutput(size_t* available) = 0;
  // Reads up to `capacity` bytes that are waiting. False when the read failed.
  virtual bool ReadOutput(char* buffer, size_t capacity, size_t* read) = 0;
  // True once the child has ended (tested without waiting).
  virtual bool HasEnded() = 0;
  // Waits until output is waiting on the pipe, the child has ended, or
  // `milliseconds` have passed, whichever comes first; returns at once when
  // either is already so.
  virtual void WaitForOutputOrEnd(unsigned milliseconds) = 0;
  // Waits for the end of the child and says how it ended.
  virtual ChildEnd Wait() = 0;
  virtual int pid() const = 0;
};

// The file name of the program `name` as the system names programs: the
// name itself here, with ".exe" on Windows.
std::string ExecutableFileName(const std::string& name);

// This process's id, as decimal text.
std::string CurrentProcessIdText();

// Finds a program by name: beside this process's own executable, then in the
// current directory, then on PATH. Empty when none is found.
std::string FindProgram(const std::string& name);

// The directory of this process's own executable.
std::string ExecutableDirectory();

// This program's arguments, argv[0] included, in the file system's narrow
// text: as main received them here; on Windows read again from the wide
// command line, since main's argv there holds the ANSI code page, which loses
// every character outside it.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_PROCESS_H_
