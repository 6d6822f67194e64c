// How a command of the front end fails: a message for the user and the exit
// code that tells scripts what kind of failure it was.
#ifndef QUORVALMIST_FRONTEND_COMMAND_ERROR_H_
#define QUORVALMIST_FRONTEND_COMMAND_ERROR_H_

#include <stdexcept>
#include <string>

namespace quorvalmist {

// Exit codes of the front end.
inline constexpr int kExitOk = 0;
// A copy or resume ended with files that are not copied (stopped, failed or
// left over); the summary lists them.
inline constexpr int kExitIncomplete = 1;
// Bad input: usage, a path that cannot be copied, no workspace, unknown task.
// Nothing was created or changed.
inline constexpr int kExitBadInput = 2;
// The programs, the database or the file system failed underneath.
inline constexpr int kExitFailure = 3;

class CommandError : public std::runtime_error {
 public:
  explicit CommandError(const std::string& message, int exit_code = kExitBadInput)
      : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_COMMAND_ERROR_H_
