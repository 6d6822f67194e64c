#include "tests/support/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/file.h"
#include "platform/marker.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist::testing {

std::string TollhavenPath() { return QV_TOLLHAVEN_PATH; }
std::string SkiffwrightPath() { return QV_SKIFFWRIGHT_PATH; }
std::string FrontEndPath() { return QV_FRONTEND_PATH; }
std::string MarkerHolderPath() { return QV_MARKER_HOLDER_PATH; }
std::string ProfileWriterPath() { return QV_PROFILE_WRITER_PATH; }
std::string EchoArgsPath() { return QV_ECHO_ARGS_PATH; }

std::string JoinPath(const std::string& dir, const std::string& relative) {
  std::string joined = dir + "/" + relative;
  const char separator = static_cast<char>(kPathSeparator);
  for (char& c : joined) {
    if (c == '/') c = separator;
  }
  return joined;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::filesystem::path root =
      base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 rng((uint64_t{seed()} << 32) ^ seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = root / ("qvtest-" + Hex64(rng()).substr(0, 6));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
  ADD_FAILURE() << "cannot make a directory under " << root.string();
}

TempDir::~TempDir() { RemoveTree(path_); }

bool FileSystemKeepsTags(const std::string& dir) {
  std::string probe = JoinPath(dir, "tag-probe");
  WriteFile(probe, "");
  bool kept = !TagsUnsupported(SetFileTag(probe, "user.probe", "x"));
  RemoveFileAt(probe);
  return kept;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // Make every directory writable first, so that tests that took write bits
  // away still clean up.
  for (auto it = std::filesystem::recursive_directory_iterator(
           FileSystemPath(path), std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(FileSystemPath(path), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(FileSystemPath(path), ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(FileSystemPath(path), std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(FileSystemPath(path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool PathExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(FileSystemPath(path), ec));
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(FileSystemPath(path), ec);
  ASSERT_FALSE(ec) << "cannot create " << path << ": " << ec.message();
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(rng() & 0xFF);
  return s;
}

void WriteRandomFile(const std::string& path, uint64_t size, uint32_t seed) {
  std::ofstream out(FileSystemPath(path), std::ios::binary | std::ios::trunc);
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
  std::ifstream fa(FileSystemPath(a), std::ios::binary), fb(FileSystemPath(b), std::ios::binary);
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
  WriteFile(path, "");
  std::error_code ec;
  std::filesystem::resize_file(FileSystemPath(path), size, ec);
  EXPECT_FALSE(ec) << path << ": " << ec.message();
}

#ifndef _WIN32
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
#endif

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

std::string OutputFileName(const char* what) {
  static int counter = 0;
  static const std::string prefix =
      (std::filesystem::temp_directory_path() / ("qvtest-" + CurrentProcessIdText() + "-"))
          .string();
  return prefix + std::to_string(++counter) + "." + what;
}

void RemoveFile(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(FileSystemPath(path), ec);
}

}  // namespace

MarkerHolder::MarkerHolder(const std::wstring& name) {
  std::string ready = OutputFileName("holder");
  process_ = std::make_unique<TestProcess>(MarkerHolderPath(),
                                           std::vector<std::string>{WideToNarrow(name)},
                                           std::vector<std::string>{}, ready, NullDevicePath());
  // The holder prints one line once it holds the marker.
  bool held = WaitFor([&] { return ReadFile(ready).find('\n') != std::string::npos; });
  RemoveFile(ready);
  EXPECT_TRUE(held) << "marker holder did not start";
}

MarkerHolder::~MarkerHolder() { Release(); }

void MarkerHolder::Release() {
  if (!process_) return;
  process_->KillAtOnce();
  process_->Wait();
  process_.reset();
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& extra_env) {
  std::string out = OutputFileName("out"), err = OutputFileName("err");
  RunResult result;
  {
    TestProcess process(program, args, extra_env, out, err);
    if (process.started()) result.exit_code = process.Wait();
  }
  result.output = ReadFile(out);
  result.error = ReadFile(err);
  RemoveFile(out);
  RemoveFile(err);
  return result;
}

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& extra_env)
    : out_path_(OutputFileName("out")),
      process_(
          std::make_unique<TestProcess>(program, args, extra_env, out_path_, NullDevicePath())) {}

StartedProgram::~StartedProgram() {
  process_.reset();  // kills a program still running, and waits for it
  RemoveFile(out_path_);
}

bool StartedProgram::HasEnded() { return process_->HasEnded(); }

int StartedProgram::Wait() { return process_->Wait(); }

std::string StartedProgram::output() const { return ReadFile(out_path_); }

namespace {

// Gives the test a marker namespace of its own inside `dir` (children inherit
// it) and makes `dir` the current directory, keeping the old one.
void EnterScratchDirectory(const std::string& dir, std::string* old_cwd) {
  std::string markers = dir + "/.markers";
  MakeDirs(markers);
  std::filesystem::permissions(markers, std::filesystem::perms::owner_all);
  SetEnvironmentValue("QUORVALMIST_MARKER_DIR", markers);
  // The programs' monitors look ten times a second instead of once, so stops
  // are seen sooner; no test relies on the period's length.
  SetEnvironmentValue("QUORVALMIST_MONITOR_PERIOD_MS", "100");
  *old_cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
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
  if (!old_cwd_.empty()) std::filesystem::current_path(old_cwd_);
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

void FrontEndTest::TearDown() { std::filesystem::current_path(old_cwd_); }

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
