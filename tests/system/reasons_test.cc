// The reasons the user is given for a file that was not copied are the
// programs' own, not guesses from what the files look like afterwards.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

class ReasonsTest : public SystemTest {
 protected:
  // The "reason" of the file `name` in `status --json` output.
  static std::string ReasonIn(const std::string& json, const std::string& name) {
    size_t at = json.find(name + "\"");
    if (at == std::string::npos) return "";
    size_t reason = json.find("\"reason\": \"", at);
    if (reason == std::string::npos) return "";
    reason += 11;
    return json.substr(reason, json.find('"', reason) - reason);
  }
};

TEST_F(ReasonsTest, EachFailureIsNamedByWhatHappened) {
  MakeDirs(P("src/sub"));
  WriteFile(P("src/sub/blocked"), "its folder is a file at the target");
  WriteFile(P("src/killed"), RandomBytes(5000, 1));
  WriteFile(P("src/grows"), RandomBytes(3000, 2));
  WriteFile(P("src/changes"), RandomBytes(4000, 3));
  MakeDirs(P("dst"));
  WriteFile(P("dst/sub"), "a file where the copy needs a folder");

  // Each of three copiers is held where it opens its source, and then:
  // killed; or its source is replaced by a longer file; or by one of the same
  // size with other bytes (the copier, already on its way, copies the old one).
  OpenGate killed(P("src/killed")), grows(P("src/grows")), changes(P("src/changes"));
  // One serving copier: the one at the gate is the one killed.
  auto copy = StartQv({"copy", "--verify", "always", "--jobs", "1", P("src"), P("dst")});
  std::string task = WaitForTaskId(*copy);
  ASSERT_FALSE(task.empty()) << copy->output();
  // The walk meets them in the order the directory lists them.
  std::vector<OpenGate*> waiting = {&killed, &grows, &changes};
  while (!waiting.empty()) {
    OpenGate* gate = nullptr;
    ASSERT_TRUE(WaitFor(
        [&] {
          for (OpenGate* g : waiting) {
            if (g->SomeoneWaits()) gate = g;
          }
          return gate != nullptr;
        },
        std::chrono::seconds(60)))
        << copy->output();
    waiting.erase(std::find(waiting.begin(), waiting.end(), gate));
    if (gate == &killed) {
      std::vector<pid_t> copiers = ChildPids(CorePid(task), "Skiffwright");
      ASSERT_EQ(copiers.size(), 1u);
      ::kill(copiers[0], SIGKILL);
    } else if (gate == &grows) {
      WriteFile(P("grows.new"), RandomBytes(9000, 4));
      ASSERT_EQ(::rename(P("grows.new").c_str(), P("src/grows").c_str()), 0);
    } else {
      WriteFile(P("changes.new"), RandomBytes(4000, 5));
      ASSERT_EQ(::rename(P("changes.new").c_str(), P("src/changes").c_str()), 0);
    }
    gate->Release();
  }
  EXPECT_EQ(copy->Wait(), 1) << copy->output();
  std::string out = copy->output();
  EXPECT_EQ(out.find("can the target be written"), std::string::npos) << out;
  EXPECT_NE(out.find("killed: the copier was ended by signal 9"), std::string::npos) << out;
  EXPECT_NE(out.find("grows: the source changed size while it was copied"), std::string::npos)
      << out;
  EXPECT_NE(out.find("changes: the copy differed from the source by MD5"), std::string::npos)
      << out;
  EXPECT_NE(out.find("sub/blocked: cannot open"), std::string::npos) << out;
  EXPECT_NE(out.find("Not a directory"), std::string::npos) << out;
  // The wrong copies the run made itself are gone, and status says the same.
  EXPECT_FALSE(PathExists(P("dst/grows")));
  EXPECT_FALSE(PathExists(P("dst/changes")));
  RunResult status = Qv({"status", task, "--json"});
  EXPECT_NE(ReasonIn(status.output, "killed").find("signal 9"), std::string::npos) << status.output;
  EXPECT_NE(ReasonIn(status.output, "blocked").find("Not a directory"), std::string::npos)
      << status.output;

  // Once the folder is free, a resume copies everything as it is now.
  ASSERT_EQ(::unlink(P("dst/sub").c_str()), 0);
  RunResult resume = Qv({"resume", task});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
  for (const char* f : {"sub/blocked", "killed", "grows", "changes"}) {
    EXPECT_TRUE(FilesEqual(P("src/") + f, P("dst/") + f)) << f;
  }
}

// A front end killed mid-copy takes its core down; the cut row says so, not
// that the target might not be writable.
TEST_F(ReasonsTest, CopyCutShortByAKilledFrontEndSaysItWasInterrupted) {
  MakeDirs(P("src"));
  WriteSparseFile(P("src/big"), 1ull << 30);
  auto copy = StartQv({"copy", "--chunk-size", "1", P("src"), P("dst")});
  std::string task = WaitForTaskId(*copy);
  ASSERT_FALSE(task.empty()) << copy->output();
  ASSERT_TRUE(WaitFor([&] { return !ChildPids(CorePid(task), "Skiffwright").empty(); },
                      std::chrono::seconds(60)));
  copy->KillAtOnce();
  copy->Wait();
  ASSERT_TRUE(WaitFor([&] { return CorePid(task) == -1; }, std::chrono::seconds(60)));

  RunResult status = Qv({"status", task, "--json"});
  std::string reason = ReasonIn(status.output, "big");
  EXPECT_EQ(reason.rfind("interrupted: the run was ended before this copy completed", 0), 0u)
      << status.output;
}

// A folder that may not be searched hides its files' sizes from an
// unprivileged user: they are unreadable, not missing.
TEST_F(ReasonsTest, SourceBehindAFolderWithoutSearchPermissionIsNamedAsDenied) {
  const char* setpriv = "/usr/bin/setpriv";
  if (::geteuid() != 0 || ::access(setpriv, X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv to run the front end as user nobody";
  }
  // Run as nobody, with a marker directory of its own.
  auto as_nobody = [&](std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/env",
                 "QUORVALMIST_MARKER_DIR=" + P("nobody-markers"), FrontEndPath(), "-C", "ws"});
    return RunProgram(setpriv, args);
  };
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(P("ws").c_str(), 0777), 0);
  if (as_nobody({"--version"}).exit_code != 0) {
    GTEST_SKIP() << "user nobody cannot run " << FrontEndPath();
  }
  MakeDirs(P("src/locked"));
  WriteFile(P("src/locked/f"), "behind a folder without search permission");
  WriteFile(P("src/ok"), "readable");
  ASSERT_EQ(::chmod(P("src/locked").c_str(), 0644), 0);

  RunResult copy = as_nobody({"copy", P("src"), P("dst")});
  EXPECT_EQ(copy.exit_code, 1) << copy.output << copy.error;
  EXPECT_NE(copy.output.find("locked/f: the source cannot be read: permission denied"),
            std::string::npos)
      << copy.output;
  EXPECT_EQ(copy.output.find("the source is missing"), std::string::npos) << copy.output;
  EXPECT_TRUE(FilesEqual(P("src/ok"), P("dst/ok")));
  ASSERT_EQ(::chmod(P("src/locked").c_str(), 0755), 0);
}

// A symbolic link that leads nowhere holds the target's name: it is named,
// and no temporary file is made that could never take the name.
TEST_F(ReasonsTest, DanglingLinkAtTheTargetIsNamedAndLeavesNoTemporaryFile) {
  MakeDirs(P("src"));
  MakeDirs(P("dst"));
  WriteFile(P("src/a"), "the source");
  ASSERT_EQ(::symlink("nowhere", P("dst/a").c_str()), 0);

  RunResult copy = Qv({"copy", P("src"), P("dst")});
  EXPECT_EQ(copy.exit_code, 1) << copy.output << copy.error;
  EXPECT_NE(copy.output.find("a: a symbolic link that leads nowhere is at the target"),
            std::string::npos)
      << copy.output;
  EXPECT_TRUE(TempFilesBelow(P("dst")).empty());

  ASSERT_EQ(::unlink(P("dst/a").c_str()), 0);
  RunResult resume = Qv({"resume", TaskId(copy.output)});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
  EXPECT_TRUE(FilesEqual(P("src/a"), P("dst/a")));
}

TEST_F(ReasonsTest, EmptyTaskDatabaseIsNamedNotTakenForAWrongPassword) {
  WriteFile(P("f"), "x");
  ASSERT_EQ(Qv({"copy", P("f"), P("g")}).exit_code, 0);
  std::FILE* emptied = std::fopen(P("ws/fm2.qz").c_str(), "w");
  ASSERT_NE(emptied, nullptr);
  std::fclose(emptied);

  RunResult status = Qv({"status"});
  EXPECT_EQ(status.exit_code, 3);
  EXPECT_NE(status.error.find("the task database ./fm2.qz is empty or not a task database"),
            std::string::npos)
      << status.error;
  EXPECT_EQ(ReadFile(P("ws/fm2.qz")), "");
}

// Two links that make a cycle only together: the cycle is named on every run,
// no row waits for ever, and a resume once the cycle is gone finishes.
TEST_F(ReasonsTest, TwoLinkCycleIsNamedOnEveryRunAndTheRestIsCopied) {
  MakeDirs(P("src/sub"));
  WriteFile(P("src/f"), "top");
  WriteFile(P("src/sub/g"), "below");
  ASSERT_EQ(::symlink("sub", P("src/loop2").c_str()), 0);
  ASSERT_EQ(::symlink("..", P("src/sub/loop1").c_str()), 0);

  RunResult copy = Qv({"copy", "--links", "follow", P("src"), P("dst")});
  std::string task = TaskId(copy.output);
  ASSERT_FALSE(task.empty()) << copy.output << copy.error;
  for (RunResult run : {copy, Qv({"resume", task}), Qv({"resume", task})}) {
    EXPECT_EQ(run.exit_code, 1) << run.output << run.error;
    EXPECT_NE(run.output.find("sub/loop1: a link to a folder above it (a cycle of links)"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("missing"), std::string::npos) << run.output;
  }
  for (const ItemRow& row : Rows(task)) EXPECT_EQ(row.status, "success") << row.source;
  EXPECT_TRUE(FilesEqual(P("src/f"), P("dst/f")));
  EXPECT_TRUE(FilesEqual(P("src/sub/g"), P("dst/sub/g")));
  EXPECT_TRUE(FilesEqual(P("src/sub/g"), P("dst/loop2/g")));

  ASSERT_EQ(::unlink(P("src/sub/loop1").c_str()), 0);
  RunResult resume = Qv({"resume", task});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
}

}  // namespace
}  // namespace quorvalmist::testing
