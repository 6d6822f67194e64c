#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/posix/errno_status.h"
#include "platform/process.h"

extern char** environ;

namespace quorvalmist {

namespace {

// A descriptor that becomes readable when the process ends, or -1 where the
// kernel has none (before Linux 5.3).
int OpenProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
  }
#endif
  (void)pid;
  return -1;
}

// Keeps the SIGPIPE that a write to a pipe without a reader raises from
// reaching this process: the signal is blocked on the calling thread (the
// kernel sends it to the thread that wrote) while it lives, and one raised
// meanwhile is taken off the thread's pending set before the old mask
// returns. A SIGPIPE that was pending before is left as it was.
class BrokenPipeSignalBlock {
 public:
  BrokenPipeSignalBlock() {
    sigemptyset(&pipe_signal_);
    sigaddset(&pipe_signal_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal_, &old_mask_);
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~BrokenPipeSignalBlock() {
    if (raised_ && !was_pending_) {
      const timespec no_wait = {0, 0};
      while (::sigtimedwait(&pipe_signal_, nullptr, &no_wait) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  BrokenPipeSignalBlock(const BrokenPipeSignalBlock&) = delete;
  BrokenPipeSignalBlock& operator=(const BrokenPipeSignalBlock&) = delete;

  // Called after a write failed with EPIPE, which raised the signal.
  void NoteRaised() { raised_ = true; }

 private:
  sigset_t pipe_signal_;
  sigset_t old_mask_;
  bool was_pending_ = false;
  bool raised_ = false;
};

class PosixChildProcess : public ChildProcess {
 public:
  PosixChildProcess(pid_t pid, int read_fd, int write_fd)
      : pid_(pid), read_fd_(read_fd), write_fd_(write_fd), pid_fd_(OpenProcessDescriptor(pid)) {}
  ~PosixChildProcess() override {
    if (read_fd_ >= 0) ::close(read_fd_);
    if (write_fd_ >= 0) ::close(write_fd_);
    if (pid_fd_ >= 0) ::close(pid_fd_);
  }

  bool WriteInput(std::string_view data) override {
    if (write_fd_ < 0) return false;
    BrokenPipeSignalBlock block;
    while (!data.empty()) {
      ssize_t n = ::write(write_fd_, data.data(), data.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (errno == EPIPE) block.NoteRaised();
        return false;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  void CloseInput() override {
    if (write_fd_ < 0) return;
    ::close(write_fd_);
    write_fd_ = -1;
  }

  void WaitForOutputOrEnd(unsigned milliseconds) override {
    if (HasEnded()) return;
    // The pipe wakes the wait for output, and for the child's end as well
    // (its write end closes then), until it has hung up once; from then on
    // only the process descriptor can tell the end, or the timeout.
    pollfd fds[2];
    nfds_t count = 0;
    if (!pipe_hung_up_) fds[count++] = pollfd{read_fd_, POLLIN, 0};
    if (pid_fd_ >= 0) fds[count++] = pollfd{pid_fd_, POLLIN, 0};
    unsigned timeout = milliseconds;
    // Hung up with no process descriptor: look again shortly, as the child
    // becomes a zombie a moment after it closed its output.
    if (count == 0) timeout = std::min(milliseconds, 1u);
    int n = ::poll(fds, count, static_cast<int>(timeout));
    if (n > 0 && !pipe_hung_up_ && (fds[0].revents & (POLLHUP | POLLERR)) &&
        !(fds[0].revents & POLLIN)) {
      pipe_hung_up_ = true;
    }
  }

  bool PeekOutput(size_t* available) override {
    int n = 0;
    if (::ioctl(read_fd_, FIONREAD, &n) != 0) return false;
    *available = static_cast<size_t>(n);
    return true;
  }

  bool ReadOutput(char* buffer, size_t capacity, size_t* read) override {
    ssize_t n;
    do {
      n = ::read(read_fd_, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    *read = static_cast<size_t>(n);
    return true;
  }

  bool HasEnded() override {
    if (ended_) return true;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      Record(status);
    } else if (r < 0 && errno == ECHILD) {
      ended_ = true;
    }
    return ended_;
  }

  ChildEnd Wait() override {
    while (!ended_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, 0);
      if (r == pid_) {
        Record(status);
      } else if (r < 0 && errno != EINTR) {
        ended_ = true;
      }
    }
    return end_;
  }

  int pid() const override { return pid_; }

 private:
  void Record(int status) {
    ended_ = true;
    if (WIFEXITED(status)) {
      end_.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      end_.signal = WTERMSIG(status);
    }
  }

  pid_t pid_;
  int read_fd_;
  int write_fd_;  // the child's standard input, -1 when none (any more)
  int pid_fd_;
  bool pipe_hung_up_ = false;
  bool ended_ = false;
  ChildEnd end_;
};

bool IsExecutable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  Status* status, ChildOptions options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    if (status) *status = ErrnoStatus("cannot create a pipe", errno);
    return nullptr;
  }
  // Both pipes are close-on-exec from the start, so that a child another
  // thread starts meanwhile holds no end of them; dup2 gives this child its
  // ends without the flag.
  int input[2] = {-1, -1};
  if (options.input_pipe && ::pipe2(input, O_CLOEXEC) != 0) {
    if (status) *status = ErrnoStatus("cannot create a pipe", errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.input_pipe) {
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  // The child starts with default signal dispositions for SIGPIPE and SIGINT,
  // whatever this process set for itself.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  if (input[0] >= 0) ::close(input[0]);
  if (rc != 0) {
    ::close(fds[0]);
    if (input[1] >= 0) ::close(input[1]);
    if (status) *status = ErrnoStatus("cannot start " + program, rc);
    return nullptr;
  }
  return std::make_unique<PosixChildProcess>(pid, fds[0], input[1]);
}

std::string CurrentProcessIdText() { return std::to_string(::getpid()); }

std::string ExecutableFileName(const std::string& name) { return name; }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : std::string();
  std::string beside = ExecutableDirectory();
  if (!beside.empty() && IsExecutable(beside + "/" + name)) return beside + "/" + name;
  if (IsExecutable("./" + name)) return "./" + name;
  if (const char* path = std::getenv("PATH")) {
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t colon = dirs.find(':', start);
      std::string dir =
          dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      if (dir.empty()) dir.assign(1, '.');  // not = ".": GCC 12 -O3 reports a false -Wrestrict
      if (IsExecutable(dir + "/" + name)) return dir + "/" + name;
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  return std::string();
}

}  // namespace quorvalmist
