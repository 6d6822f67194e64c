#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/support/test_process.h"

extern char** environ;

namespace quorvalmist::testing {

namespace {

int DecodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

TestProcess::TestProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& extra_env, const std::string& out_path,
                         const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv_store{program};
  argv_store.insert(argv_store.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e) env_store.push_back(*e);
  env_store.insert(env_store.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> env;
  for (auto& s : env_store) env.push_back(s.data());
  env.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    return;
  }
  pid_ = pid;
}

TestProcess::~TestProcess() {
  if (started() && !ended_) {
    KillAtOnce();
    Wait();
  }
}

bool TestProcess::HasEnded() {
  if (ended_ || !started()) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    exit_code_ = DecodeWaitStatus(status);
  }
  return ended_;
}

int TestProcess::Wait() {
  if (!ended_ && started()) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    exit_code_ = DecodeWaitStatus(status);
  }
  return exit_code_;
}

void TestProcess::KillAtOnce() { Signal(SIGKILL); }

void TestProcess::Signal(int signal_number) {
  if (started() && !ended_) ::kill(pid_, signal_number);
}

std::string NullDevicePath() { return "/dev/null"; }

void SetEnvironmentValue(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace quorvalmist::testing
