// How a command of the front end fails: a message for the user and the exit
// code (common/protocol.h) that tells scripts what kind of failure it was.
#ifndef QUORVALMIST_FRONTEND_COMMAND_ERROR_H_
#define QUORVALMIST_FRONTEND_COMMAND_ERROR_H_

#include <stdexcept>
#include <string>

#include "common/protocol.h"

namespace quorvalmist {

class CommandError : public std::runtime_error {
 public:
  explicit CommandError(const std::string& message, int exit_code = kFrontEndExitBadInput)
      : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_COMMAND_ERROR_H_
