#include "platform/process.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quorvalmist {
namespace {

ChildEnd RunShell(const std::string& script) {
  Status status;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start("/bin/sh", {"-c", script}, &status);
  EXPECT_NE(child, nullptr) << status.message();
  return child ? child->Wait() : ChildEnd{};
}

// An exit code is an exit code, however high (a program's -1 reads 255), and
// a child ended by a signal is told apart from one that exited.
TEST(ProcessTest, WaitTellsAnExitCodeFromASignal) {
  ChildEnd end = RunShell("exit 0");
  EXPECT_EQ(end.exit_code, 0);
  EXPECT_EQ(end.signal, 0);
  end = RunShell("exit 255");
  EXPECT_EQ(end.exit_code, 255);
  EXPECT_EQ(end.signal, 0);
  end = RunShell("kill -9 $$");
  EXPECT_EQ(end.signal, 9);
}

}  // namespace
}  // namespace quorvalmist
