// End-to-end tests of what resume and verify believe of rows that say a file
// was copied: the files on disk are looked at again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {
namespace {

class VerifyTest : public FrontEndTest {
 protected:
  void MakeTree() {
    MakeDirs(P("src/sub"));
    WriteFile(P("src/a"), RandomBytes(3000, 1));
    WriteFile(P("src/sub/b"), RandomBytes(5000, 2));
    WriteFile(P("src/sub/c"), RandomBytes(7000, 3));
  }
  void ExpectCopied() {
    for (const char* f : {"a", "sub/b", "sub/c"}) {
      EXPECT_TRUE(FilesEqual(P("src/") + f, P("dst/") + f)) << f;
    }
  }
};

TEST_F(VerifyTest, ResumeCopiesAgainTargetsDeletedOrCutSinceTheCopy) {
  MakeTree();
  RunResult r = Qv({"copy", "--verify", "always", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  ASSERT_TRUE(RemoveFileAt(P("dst/a")).ok());
  ASSERT_TRUE(SetPathLength(P("dst/sub/c"), 10).ok());

  r = Qv({"resume", task});
  EXPECT_NE(r.output.find("a: missing or changed at the target"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("c: missing or changed at the target"), std::string::npos) << r.output;
  EXPECT_TRUE(FilesEqual(P("src/a"), P("dst/a")));
  // The cut file at the target is never replaced: it is reported, and once
  // moved away the file is copied again.
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(
      r.output.find(JoinPath("sub", "c") + ": the file at the target differs from the source"),
      std::string::npos)
      << r.output;
  EXPECT_EQ(ReadFile(P("dst/sub/c")).size(), 10u);
  ASSERT_TRUE(RenameNoReplace(P("dst/sub/c"), P("c.cut")).ok());
  r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  ExpectCopied();
}

TEST_F(VerifyTest, VerifyHashesEveryCopiedFileAgainAndReportsDifferences) {
  MakeTree();
  RunResult r = Qv({"copy", "--verify", "never", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);

  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_NE(r.output.find("verified 3 files: all equal"), std::string::npos) << r.output;
  r = Qv({"status", task, "--json"});
  EXPECT_EQ(r.output.find("md5uncheck"), std::string::npos) << r.output;

  // One byte changed, the size the same: only a hash tells.
  std::string changed = ReadFile(P("dst/sub/b"));
  changed[100] = static_cast<char>(changed[100] ^ 1);
  WriteFile(P("dst/sub/b"), changed);
  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(r.output.find("differs: " + JoinPath("sub", "b")), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("1 differ"), std::string::npos) << r.output;
  r = Qv({"status", task, "--only", "error"});
  EXPECT_NE(r.output.find("md5error"), std::string::npos) << r.output;
  // The changed target is left as it is.
  EXPECT_EQ(ReadFile(P("dst/sub/b")), changed);
}

// Symbolic links and the gate on opening a file are POSIX here (links are a
// stub under Wine).
#ifndef _WIN32

// Links kept as links are checked by their text, never followed: links out
// of the tree, dangling ones and links to folders are as right as any.
TEST_F(VerifyTest, KeptLinksAreVerifiedByTheirTextNeverFollowed) {
  MakeTree();
  WriteFile(P("outside"), "outside the tree");
  ASSERT_EQ(::symlink("a", P("src/to-file").c_str()), 0);
  ASSERT_EQ(::symlink(P("outside").c_str(), P("src/out-of-tree").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", P("src/dangling").c_str()), 0);
  ASSERT_EQ(::symlink("sub", P("src/to-folder").c_str()), 0);
  RunResult r = Qv({"copy", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  std::string rows = Qv({"status", task, "--json"}).output;

  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_NE(r.output.find("verified 3 files and 4 links: all equal"), std::string::npos)
      << r.output;
  EXPECT_EQ(Qv({"status", task, "--json"}).output, rows);

  // A link whose text was changed at the target differs, though what it
  // names (nothing) is the same.
  ASSERT_TRUE(RemoveFileAt(P("dst/dangling")).ok());
  ASSERT_EQ(::symlink("nowhere-else", P("dst/dangling").c_str()), 0);
  r = Qv({"verify", "--json", task});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  nlohmann::json report = nlohmann::json::parse(r.output);
  EXPECT_EQ(report["task"], task);
  EXPECT_EQ(report["checked"], 7);
  EXPECT_EQ(report["equal"], 6);
  ASSERT_EQ(report["differ"].size(), 1u) << r.output;
  EXPECT_EQ(report["differ"][0]["source"], P("src/dangling"));
  EXPECT_NE(report["differ"][0]["reason"].get<std::string>().find("nowhere-else"),
            std::string::npos);
  EXPECT_EQ(report["not_done"]["count"], 0);
  EXPECT_EQ(report["complete"], false);
  EXPECT_EQ(report["move_away"], nlohmann::json::array({P("dst/dangling")}));
}

// A stopped task is not reported as verified: what is missing is named, and
// the exit code says files are left.
TEST_F(VerifyTest, AStoppedTaskSaysWhatIsNotDoneYet) {
  MakeTree();
  WriteRandomFile(P("src/sub/big.bin"), 4 << 20, 4);
  OpenGate gate(P("src/sub/big.bin"));
  auto copy = StartQv({"copy", P("src"), P("dst")});
  ASSERT_TRUE(gate.WaitForArrival()) << copy->output();
  std::string task = TaskId(copy->output());
  RunResult r = Qv({"stop", task});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  gate.Release();
  EXPECT_EQ(copy->Wait(), 1) << copy->output();

  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(r.output.find("not done: "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(JoinPath("sub", "big.bin") + ": "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("resume " + task + "' copies what is left"), std::string::npos)
      << r.output;
  nlohmann::json report = nlohmann::json::parse(Qv({"verify", "--json", task}).output);
  EXPECT_EQ(report["complete"], false);
  EXPECT_GE(report["not_done"]["count"].get<int>(), 1);
  EXPECT_TRUE(report["differ"].empty());

  EXPECT_EQ(Qv({"resume", task}).exit_code, 0);
  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_EQ(r.output.find("not done"), std::string::npos) << r.output;
}

#endif  // _WIN32

// The advice for a changed target is a step that works: moving away the
// targets it names and running the command it gives finishes the task.
TEST_F(VerifyTest, FollowingTheAdviceForAChangedTargetCopiesItAgain) {
  MakeTree();
  RunResult r = Qv({"copy", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  WriteFile(P("dst/a"), RandomBytes(3000, 9));

  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  // "... then run 'quorvalmist -C ws resume ID':" and the targets below it.
  std::istringstream lines(r.output);
  std::string line, command;
  std::vector<std::string> targets;
  while (std::getline(lines, line)) {
    if (!command.empty() && line.rfind("  ", 0) == 0) targets.push_back(line.substr(2));
    size_t run = line.find("then run 'quorvalmist ");
    if (run != std::string::npos) {
      command = line.substr(run + 22, line.size() - (run + 22) - 2);
    }
  }
  ASSERT_FALSE(command.empty()) << r.output;
  EXPECT_EQ(targets, std::vector<std::string>{P("dst/a")}) << r.output;
  for (const std::string& target : targets) {
    ASSERT_TRUE(RenameNoReplace(target, target + ".moved").ok()) << target;
  }
  std::vector<std::string> args;
  std::istringstream words(command);
  for (std::string word; words >> word;) args.push_back(word);
  r = RunProgram(FrontEndPath(), args);
  EXPECT_EQ(r.exit_code, 0) << command << "\n" << r.output << r.error;
  ExpectCopied();
  r = Qv({"verify", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_NE(r.output.find("all equal"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace quorvalmist::testing
