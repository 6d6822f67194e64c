// Child processes for the tests, the same on every platform: a program started
// from an argument vector with its standard output and error in files, then
// watched, waited for or killed.
#ifndef QUORVALMIST_TESTS_SUPPORT_TEST_PROCESS_H_
#define QUORVALMIST_TESTS_SUPPORT_TEST_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace quorvalmist::testing {

class TestProcess {
 public:
  // Starts `program` with `arguments` (argv[1..]); `extra_env` holds
  // "NAME=value" entries added to this process's environment. Standard input
  // is the null device. A failure to start fails the test; started() is
  // false then.
  TestProcess(const std::string& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& extra_env, const std::string& out_path,
              const std::string& err_path);
  // Kills a child that is still running and waits for it.
  ~TestProcess();
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }
  // True once the child has ended (tested without waiting).
  bool HasEnded();
  // Waits for the end: the exit code, or 128 + the signal that ended it.
  int Wait();
  // Ends the child at once, running none of its code (as a power cut or a
  // kill from the task manager would).
  void KillAtOnce();
#ifndef _WIN32
  // Sends a signal (POSIX only: interrupts, stops and continues).
  void Signal(int signal_number);
#endif

 private:
  std::intptr_t handle_ = -1;  // the process handle where the platform has one
  int pid_ = -1;
  bool ended_ = false;
  int exit_code_ = -1;
};

// The path of the null device ("/dev/null", "NUL").
std::string NullDevicePath();
// Sets a variable in this process's environment, which children inherit.
void SetEnvironmentValue(const std::string& name, const std::string& value);

}  // namespace quorvalmist::testing

#endif  // QUORVALMIST_TESTS_SUPPORT_TEST_PROCESS_H_
