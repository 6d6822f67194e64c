#include "platform/process.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#endif

#include <memory>
#include <string>

#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

// The child's argument vector arrives intact, whatever it holds (blanks,
// quotes, backslashes before quotes and at the end, non-Latin letters, an
// empty argument); its output comes through the pipe and its exit code back.
TEST(ProcessTest, ArgumentsOutputAndExitCodeCrossIntact) {
  std::vector<std::string> args = {"plain",
                                   "with blank",
                                   "quote\"inside",
                                   "end\\",
                                   "dir\\\"q",
                                   "",
                                   "\u0437\u0430\u0434\u0430\u0447\u0430 \u30d5\u30a1\u30a4\u30eb",
                                   "'single'"};
  Status status;
  std::unique_ptr<ChildProcess> child =
      ChildProcess::Start(::quorvalmist::testing::EchoArgsPath(), args, &status);
  ASSERT_NE(child, nullptr) << status.message();
  std::string output;
  for (bool ended = false;;) {
    size_t available = 0;
    ASSERT_TRUE(child->PeekOutput(&available));
    if (available > 0) {
      std::string buffer(available, '\0');
      size_t read = 0;
      ASSERT_TRUE(child->ReadOutput(buffer.data(), buffer.size(), &read));
      output.append(buffer, 0, read);
    } else if (ended) {
      break;  // ended, and nothing it wrote is left on the pipe
    } else {
      ended = child->HasEnded();
      if (!ended) child->WaitForOutputOrEnd(1000);
    }
  }
  EXPECT_EQ(child->Wait().exit_code, 3);
  std::string expected;
  for (const std::string& a : args) expected += a + "\n";
#ifdef _WIN32
  // The C runtime writes "\n" to a pipe in text mode as "\r\n".
  std::erase(output, '\r');
#endif
  EXPECT_EQ(output, expected);
}

#ifndef _WIN32

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

// What is written to the input pipe reaches the child, and closing it ends
// the child's input. Writing to a child that has ended says false and leaves
// this process alive: SIGPIPE keeps its default action (death) here.
TEST(ProcessTest, InputPipeReachesTheChildAndOutlivesIt) {
  Status status;
  std::unique_ptr<ChildProcess> child =
      ChildProcess::Start("/bin/cat", {}, &status, ChildOptions{.input_pipe = true});
  ASSERT_NE(child, nullptr) << status.message();
  EXPECT_TRUE(child->WriteInput("one\ttwo\n"));
  child->CloseInput();
  EXPECT_FALSE(child->WriteInput("after the close"));
  std::string output;
  char buffer[64];
  for (size_t read = 1; read > 0;) {
    ASSERT_TRUE(child->ReadOutput(buffer, sizeof buffer, &read));
    output.append(buffer, read);
  }
  EXPECT_EQ(child->Wait().exit_code, 0);
  EXPECT_EQ(output, "one\ttwo\n");

  ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
  child =
      ChildProcess::Start("/bin/sh", {"-c", "exit 0"}, &status, ChildOptions{.input_pipe = true});
  ASSERT_NE(child, nullptr) << status.message();
  EXPECT_EQ(child->Wait().exit_code, 0);
  EXPECT_FALSE(child->WriteInput(std::string(1 << 20, 'x')));
  EXPECT_FALSE(child->WriteInput("again"));

  // Without an input pipe there is nothing to write to.
  child = ChildProcess::Start("/bin/sh", {"-c", "exit 0"}, &status);
  ASSERT_NE(child, nullptr) << status.message();
  EXPECT_FALSE(child->WriteInput("x"));
  child->Wait();
}

#endif

}  // namespace
}  // namespace quorvalmist
