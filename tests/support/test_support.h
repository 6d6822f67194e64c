// Helpers shared by the tests: temporary working directories prepared as the
// front end prepares them, running the real programs, waiting on conditions.
#ifndef QUORVALMIST_TESTS_SUPPORT_TEST_SUPPORT_H_
#define QUORVALMIST_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_process.h"

namespace quorvalmist::testing {

// Paths of the built programs (set by CMake).
std::string TollhavenPath();
std::string SkiffwrightPath();
std::string FrontEndPath();
std::string MarkerHolderPath();
std::string ProfileWriterPath();
std::string EchoArgsPath();

// `relative` ("a/b") below `dir`, spelled with the native separator, as the
// programs spell the paths they build.
std::string JoinPath(const std::string& dir, const std::string& relative);

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return JoinPath(path_, name); }

 private:
  std::string path_;
};

// True when the file system of the directory `dir` keeps tags on files.
bool FileSystemKeepsTags(const std::string& dir);

// Removes a tree (files, directories, links; never follows links).
void RemoveTree(const std::string& path);

// File helpers; they fail the test on error.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);
void MakeDirs(const std::string& path);
// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t size, uint32_t seed);
// Writes a file of `size` bytes of pseudo-random content in pieces.
void WriteRandomFile(const std::string& path, uint64_t size, uint32_t seed);
bool FilesEqual(const std::string& a, const std::string& b);
// Makes a file of `size` bytes that is all hole: it costs no disk space, and a
// copy of it at one-byte chunks (a position report per KiB) runs for minutes,
// so a copier working on it is still at work whenever a test looks.
void WriteSparseFile(const std::string& path, uint64_t size);

#ifndef _WIN32
// Holds a write lease on an existing file: another process that opens it
// blocks in open() until Release() (or until the kernel's lease-break-time,
// 45 s by default, runs out). Lets a test hold a copier at a known point, the
// opening of its source, and see it arrive there. Nothing of the test may open
// the file while the gate is shut; stat does not count.
class OpenGate {
 public:
  explicit OpenGate(const std::string& path);
  ~OpenGate();
  OpenGate(const OpenGate&) = delete;
  OpenGate& operator=(const OpenGate&) = delete;
  // True once another process is blocked opening the file.
  bool SomeoneWaits() const;
  // Waits (with a deadline) until someone is blocked at the gate.
  bool WaitForArrival(std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
  void Release();

 private:
  int fd_ = -1;
};
#endif

// Waits until `condition` holds or `timeout` passes; returns the last result.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A process that holds a marker until it is killed (or Release() is called).
class MarkerHolder {
 public:
  explicit MarkerHolder(const std::wstring& name);
  ~MarkerHolder();
  void Release();  // kills the holder and waits for it

 private:
  std::unique_ptr<TestProcess> process_;
};

struct RunResult {
  int exit_code = -1;  // exit code, or 128 + signal
  std::string output;  // standard output
  std::string error;   // standard error
};

// Runs a program to its end with the current directory as working directory.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& extra_env = {});

// A started program that the test can watch, kill or wait for.
class StartedProgram {
 public:
  StartedProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extra_env = {});
  ~StartedProgram();
  bool HasEnded();
  int Wait();  // exit code, or 128 + signal
  // Ends the program at once, running none of its code.
  void KillAtOnce() { process_->KillAtOnce(); }
#ifndef _WIN32
  void Kill(int signal_number) { process_->Signal(signal_number); }
#endif
  int pid() const { return process_->pid(); }
  std::string output() const;  // standard output so far (file-backed)

 private:
  std::string out_path_;
  std::unique_ptr<TestProcess> process_;
};

// A working directory prepared as the front end prepares one: a private marker
// namespace for this test (QUORVALMIST_MARKER_DIR), the folder "config" with
// empty core.cnf and inner.cnf, "config.cnf" with the given buffer size, and
// the front end's marker held by a helper process. The test process works in
// that directory (chdir) until TearDown.
class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes "runstatus" for a task into config/core.cnf.
  void SetTaskRunStatus(const std::wstring& task_id, const std::wstring& value);
  void SetBufferSize(const std::string& value);
  void SetCheckFileFlag(const std::string& value);
  // Drops the front end's marker (kills its holder).
  void ReleaseFrontEnd();
  std::string dir() const { return dir_->path(); }
  std::string Path(const std::string& relative) const { return JoinPath(dir_->path(), relative); }

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<MarkerHolder> front_end_;
  std::string old_cwd_;
};

// A scratch directory that is the current directory until TearDown, with a
// private marker namespace; the front end makes its workspace in "ws" itself.
class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string P(const std::string& name) const { return dir_ / name; }
  // The front end with "-C ws" before `args`.
  RunResult Qv(std::vector<std::string> args);
  std::unique_ptr<StartedProgram> StartQv(std::vector<std::string> args);
  // The id of the "task: ID" first line of a copy's output; "" if none.
  static std::string TaskId(const std::string& output);

  TempDir dir_;
  std::string old_cwd_;
};

}  // namespace quorvalmist::testing

#endif  // QUORVALMIST_TESTS_SUPPORT_TEST_SUPPORT_H_
