#include "tests/support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/marker.h"
#include "platform/profile.h"
#include "platform/text.h"

extern char** environ;

namespace quorvalmist::testing {

std::string TollhavenPath() { return QV_TOLLHAVEN_PATH; }
std::string SkiffwrightPath() { return QV_SKIFFWRIGHT_PATH; }
std::string FrontEndPath() { return QV_FRONTEND_PATH; }
std::string MarkerHolderPath() { return QV_MARKER_HOLDER_PATH; }

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvtest-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  path_ = buf.data();
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // Make every directory writable first, so that tests that took write bits
  // away still clean up.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      ::chmod(it->path().c_str(), 0700);
    }
  }
  ::chmod(path.c_str(), 0700);
  std::filesystem::remove_all(path, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  ASSERT_FALSE(ec) << "cannot create " << path << ": " << ec.message();
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(rng() & 0xFF);
  return s;
}

void WriteRandomFile(const std::string& path, uint64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> block(1 << 16);
  uint64_t left = size;
  while (left > 0) {
    for (auto& w : block) w = rng();
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size() * 8));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    left -= n;
  }
}

bool FilesEqual(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa.good() || !fb.good()) return false;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    if (fa.gcount() == 0 || !fa.good()) return fa.eof() && fb.eof();
  }
}

void WriteSparseFile(const std::string& path, uint64_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0) << std::strerror(errno);
  ::close(fd);
}

OpenGate::OpenGate(const std::string& path) {
  // The lease holder is told of a waiting opener by a signal that would end
  // the process by default; the gate asks for it with F_GETLEASE instead.
  ::signal(SIGIO, SIG_IGN);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
    return;
  }
  if (::fcntl(fd_, F_SETLEASE, F_WRLCK) != 0) {
    ADD_FAILURE() << "cannot take a lease on " << path << ": " << std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
  }
}

OpenGate::~OpenGate() { Release(); }

bool OpenGate::SomeoneWaits() const {
  // A pending break shows the lease type the opener asked the holder to step
  // down to.
  return fd_ >= 0 && ::fcntl(fd_, F_GETLEASE) != F_WRLCK;
}

bool OpenGate::WaitForArrival(std::chrono::milliseconds timeout) const {
  return WaitFor([this] { return SomeoneWaits(); }, timeout);
}

void OpenGate::Release() {
  if (fd_ < 0) return;
  ::fcntl(fd_, F_SETLEASE, F_UNLCK);
  ::close(fd_);
  fd_ = -1;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

std::vector<char*> BuildEnv(const std::vector<std::string>& extra,
                            std::vector<std::string>* store) {
  store->clear();
  for (char** e = environ; *e; ++e) store->push_back(*e);
  for (const auto& x : extra) store->push_back(x);
  std::vector<char*> env;
  for (auto& s : *store) env.push_back(s.data());
  env.push_back(nullptr);
  return env;
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& extra_env, const std::string& out_path,
            const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv_store;
  argv_store.push_back(program);
  for (const auto& a : args) argv_store.push_back(a);
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  auto env = BuildEnv(extra_env, &env_store);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    return -1;
  }
  return pid;
}

int DecodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string OutputFileName(const char* what) {
  static int counter = 0;
  return "/tmp/qvtest-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "." + what;
}

}  // namespace

MarkerHolder::MarkerHolder(const std::wstring& name) {
  std::string ready = OutputFileName("holder");
  pid_ = Spawn(MarkerHolderPath(), {WideToNarrow(name)}, {}, ready, "/dev/null");
  // The holder prints one line once it holds the marker.
  bool held = WaitFor([&] { return ReadFile(ready).find('\n') != std::string::npos; });
  ::unlink(ready.c_str());
  EXPECT_TRUE(held) << "marker holder did not start";
}

MarkerHolder::~MarkerHolder() { Release(); }

void MarkerHolder::Release() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& extra_env) {
  std::string out = OutputFileName("out"), err = OutputFileName("err");
  RunResult result;
  pid_t pid = Spawn(program, args, extra_env, out, err);
  if (pid > 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = DecodeWaitStatus(status);
  }
  result.output = ReadFile(out);
  result.error = ReadFile(err);
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return result;
}

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& extra_env)
    : out_path_(OutputFileName("out")) {
  pid_ = Spawn(program, args, extra_env, out_path_, "/dev/null");
}

StartedProgram::~StartedProgram() {
  if (!ended_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  ::unlink(out_path_.c_str());
}

bool StartedProgram::HasEnded() {
  if (ended_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    exit_code_ = DecodeWaitStatus(status);
  }
  return ended_;
}

int StartedProgram::Wait() {
  if (!ended_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    exit_code_ = DecodeWaitStatus(status);
  }
  return exit_code_;
}

void StartedProgram::Kill(int signal_number) { ::kill(pid_, signal_number); }

std::string StartedProgram::output() const { return ReadFile(out_path_); }

namespace {

// Gives the test a marker namespace of its own inside `dir` (children inherit
// it) and makes `dir` the current directory, keeping the old one.
void EnterScratchDirectory(const std::string& dir, std::string* old_cwd) {
  std::string markers = dir + "/.markers";
  ASSERT_EQ(::mkdir(markers.c_str(), 0700), 0);
  ::setenv("QUORVALMIST_MARKER_DIR", markers.c_str(), 1);
  // The programs' monitors look ten times a second instead of once, so stops
  // are seen sooner; no test relies on the period's length.
  ::setenv("QUORVALMIST_MONITOR_PERIOD_MS", "100", 1);
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  *old_cwd = cwd;
  ASSERT_EQ(::chdir(dir.c_str()), 0);
}

}  // namespace

void WorkspaceTest::SetUp() {
  dir_ = std::make_unique<TempDir>();
  EnterScratchDirectory(dir_->path(), &old_cwd_);
  MakeDirs(dir_->path() + "/config");
  WriteFile(dir_->path() + "/config/core.cnf", "");
  WriteFile(dir_->path() + "/config/inner.cnf", "");
  WriteFile(dir_->path() + "/config.cnf", "[system]\nbuffersize=1024\n");
  front_end_ = std::make_unique<MarkerHolder>(L"quorvalmist-plinter");
}

void WorkspaceTest::TearDown() {
  front_end_.reset();
  if (!old_cwd_.empty()) {
    ASSERT_EQ(::chdir(old_cwd_.c_str()), 0);
  }
  dir_.reset();
}

void WorkspaceTest::SetTaskRunStatus(const std::wstring& task_id, const std::wstring& value) {
  WriteProfileString(task_id, L"runstatus", value, NarrowToWide(Path("config/core.cnf")));
}

void WorkspaceTest::SetBufferSize(const std::string& value) {
  WriteProfileString(L"system", L"buffersize", NarrowToWide(value),
                     NarrowToWide(Path("config.cnf")));
}

void WorkspaceTest::SetCheckFileFlag(const std::string& value) {
  WriteProfileString(L"system", L"checkfileflag", NarrowToWide(value),
                     NarrowToWide(Path("config/core.cnf")));
}

void WorkspaceTest::ReleaseFrontEnd() { front_end_->Release(); }

void FrontEndTest::SetUp() {
  EnterScratchDirectory(dir_.path(), &old_cwd_);
  MakeDirs(P("ws"));
}

void FrontEndTest::TearDown() { ASSERT_EQ(::chdir(old_cwd_.c_str()), 0); }

RunResult FrontEndTest::Qv(std::vector<std::string> args) {
  args.insert(args.begin(), {"-C", "ws"});
  return RunProgram(FrontEndPath(), args);
}

std::unique_ptr<StartedProgram> FrontEndTest::StartQv(std::vector<std::string> args) {
  args.insert(args.begin(), {"-C", "ws"});
  return std::make_unique<StartedProgram>(FrontEndPath(), args);
}

std::string FrontEndTest::TaskId(const std::string& output) {
  if (output.rfind("task: ", 0) != 0) return "";
  size_t end = output.find('\n');
  if (end == std::string::npos) return "";
  return output.substr(6, end - 6);
}

}  // namespace quorvalmist::testing
