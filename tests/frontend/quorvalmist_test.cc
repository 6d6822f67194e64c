// End-to-end tests of the front end with the real core, copier, database and
// files: copy, stop, kill, resume, files tasks and refused input.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "db/record_access.h"
#include "db/schema.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {
namespace {

class QuorvalmistTest : public FrontEndTest {
 protected:
  // copystatus of every row of the task, by source path.
  std::map<std::string, std::string> Rows(const std::string& task) {
    std::map<std::string, std::string> rows;
    EXPECT_EQ(::chdir(P("ws").c_str()), 0);
    OpenTaskDb(kConnectionString);
    Recordset r = Query(L"select * from tcitem2 where tcitemid=" + TextLiteral(NarrowToWide(task)));
    for (; !r.Eof(); r.MoveNext()) {
      rows[WideToNarrow(r.Field(L"sourcefile").value_or(L""))] =
          WideToNarrow(r.Field(L"copystatus").value_or(L""));
    }
    CloseTaskDbForTesting();
    EXPECT_EQ(::chdir(dir_.path().c_str()), 0);
    return rows;
  }

  // A tree with a large file, whose copier a test can hold at its start.
  void MakeTree() {
    MakeDirs(P("src/a b/deep"));
    MakeDirs(P("src/empty"));
    WriteRandomFile(P("src/a b/big.bin"), 4 << 20, 7);
    WriteFile(P("src/a b/deep/it's.txt"), RandomBytes(5000, 1));
    WriteFile(P("src/z.dat"), RandomBytes(70000, 2));
    WriteFile(P("src/\xff-not-utf8"), "bytes");
  }

  void ExpectTreeCopied(const std::string& task) {
    for (const char* f : {"a b/big.bin", "a b/deep/it's.txt", "z.dat", "\xff-not-utf8"}) {
      EXPECT_TRUE(FilesEqual(P("src/") + f, P("dst/") + f)) << f;
      EXPECT_FALSE(PathExists(P("dst/") + f + "_quorvalmist_temp")) << f;
    }
    // Folders with no file below them are made once the walk has finished.
    EXPECT_TRUE(PathExists(P("dst/empty")));
    auto rows = Rows(task);
    EXPECT_EQ(rows.size(), 4u);
    for (const auto& [source, status] : rows) EXPECT_EQ(status, "success") << source;
  }

  // Starts a copy of the tree and waits until the big file's copier is held
  // at `gate`, where it opens its source: a stop or a kill then lands while
  // that file is being copied, however fast the build is.
  std::unique_ptr<StartedProgram> StartHeldCopy(const OpenGate& gate, std::string* task) {
    auto copy = std::make_unique<StartedProgram>(
        FrontEndPath(),
        std::vector<std::string>{"-C", "ws", "copy", "--verify", "always", P("src"), P("dst")});
    EXPECT_TRUE(gate.WaitForArrival()) << copy->output();
    *task = TaskId(copy->output());
    EXPECT_FALSE(task->empty()) << copy->output();
    return copy;
  }

  // Waits until no core runs `task`.
  static bool WaitForCoreEnd(const std::string& task) {
    return WaitFor([&] { return CorePid(task) < 0; }, std::chrono::seconds(30));
  }

  // The pid of the core running `task`, from /proc.
  static pid_t CorePid(const std::string& task) {
    DIR* proc = ::opendir("/proc");
    pid_t found = -1;
    while (dirent* e = ::readdir(proc)) {
      pid_t pid = std::atoi(e->d_name);
      if (pid <= 0) continue;
      std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
      std::string expected_tail = std::string("Tollhaven") + '\0' + task + '\0';
      if (cmdline.size() >= expected_tail.size() &&
          cmdline.compare(cmdline.size() - expected_tail.size(), std::string::npos,
                          expected_tail) == 0) {
        found = pid;
      }
    }
    ::closedir(proc);
    return found;
  }
};

TEST_F(QuorvalmistTest, InitMakesAWorkspaceOnceAndCopyMakesOneWhenNoneIsThere) {
  RunResult r = RunProgram(FrontEndPath(), {"init", "ws"});
  ASSERT_EQ(r.exit_code, 0) << r.error;
  EXPECT_EQ(ReadProfileString(L"system", L"buffersize", L"", 20, NarrowToWide(P("ws/config.cnf"))),
            L"1048576");
  EXPECT_EQ(ReadProfileString(L"system", L"checkfileflag", L"", 20,
                              NarrowToWide(P("ws/config/core.cnf"))),
            L"1");
  EXPECT_TRUE(PathExists(P("ws/config/inner.cnf")));
  // Serving copiers, and several files at once, as the core reads them.
  std::wstring core_cnf = NarrowToWide(P("ws/config/core.cnf"));
  EXPECT_EQ(ReadProfileString(L"system", L"servingcopiers", L"", 20, core_cnf), L"1");
  int jobs = std::stoi(ReadProfileString(L"system", L"jobs", L"0", 20, core_cnf));
  EXPECT_GE(jobs, 2);
  EXPECT_LE(jobs, 8);
  std::string db = ReadFile(P("ws/fm2.qz"));
  r = RunProgram(FrontEndPath(), {"init", "ws"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.error.find("already"), std::string::npos) << r.error;
  EXPECT_EQ(ReadFile(P("ws/fm2.qz")), db);

  // copy in an empty directory makes the workspace; its settings stay.
  MakeDirs(P("ws2"));
  MakeDirs(P("src"));
  WriteFile(P("src/f"), "data");
  r = RunProgram(FrontEndPath(), {"-C", "ws2", "copy", "--verify", "never", "--chunk-size", "64KiB",
                                  "../src", "../out"});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_EQ(r.output.rfind("task: ", 0), 0u) << r.output;
  EXPECT_EQ(ReadFile(P("out/f")), "data");
  EXPECT_EQ(ReadProfileString(L"system", L"checkfileflag", L"", 20,
                              NarrowToWide(P("ws2/config/core.cnf"))),
            L"2");
  EXPECT_EQ(ReadProfileString(L"system", L"buffersize", L"", 20, NarrowToWide(P("ws2/config.cnf"))),
            L"65536");
  r = RunProgram(FrontEndPath(), {"-C", "ws2", "status", "--json"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("\"finish\": 1"), std::string::npos) << r.output;
}

TEST_F(QuorvalmistTest, StoppedFromAnotherProcessAndResumed) {
  MakeTree();
  std::string task;
  OpenGate gate(P("src/a b/big.bin"));
  auto copy = StartHeldCopy(gate, &task);
  RunResult stop = Qv({"stop", task});
  EXPECT_EQ(stop.exit_code, 0) << stop.error;
  EXPECT_NE(stop.output.find("stopped"), std::string::npos) << stop.output;
  ASSERT_TRUE(WaitForCoreEnd(task));
  EXPECT_EQ(Rows(task)[P("src/a b/big.bin")], "stop");
  // The copier the core left behind may still finish and rename its copy in
  // the moment before it notices; the row says "stop" all the same.
  gate.Release();
  EXPECT_EQ(copy->Wait(), 1);
  EXPECT_NE(copy->output().find("resume with: quorvalmist -C ws resume " + task), std::string::npos)
      << copy->output();
  EXPECT_EQ(Rows(task)[P("src/a b/big.bin")], "stop");

  RunResult resume = Qv({"resume", task});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
  ExpectTreeCopied(task);
  // The finished items' sections are gone from inner.cnf.
  EXPECT_EQ(ReadFile(P("ws/config/inner.cnf")).find('['), std::string::npos);
  // A second resume finds nothing to do and says so by its exit code.
  EXPECT_EQ(Qv({"resume", task}).exit_code, 0);
}

TEST_F(QuorvalmistTest, CoreKilledAndResumed) {
  MakeTree();
  std::string task;
  OpenGate gate(P("src/a b/big.bin"));
  auto copy = StartHeldCopy(gate, &task);
  pid_t core = CorePid(task);
  ASSERT_GT(core, 0);
  ASSERT_EQ(::kill(core, SIGKILL), 0);
  // The front end waits for the copier to end, which it does once let go and
  // aware that its core is gone.
  ASSERT_TRUE(WaitForCoreEnd(task));
  gate.Release();
  EXPECT_EQ(copy->Wait(), 3);  // the programs failed
  EXPECT_NE(copy->output().find("signal 9"), std::string::npos) << copy->output();
  EXPECT_EQ(Rows(task)[P("src/a b/big.bin")], "running");

  // Resume waits for the orphaned copier, then copies the file again.
  RunResult resume = Qv({"resume", task});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
  ExpectTreeCopied(task);
}

TEST_F(QuorvalmistTest, FrontEndKilledWhileAnotherRunsTakesItsCoreDown) {
  MakeTree();
  // Another front end of the same user holds the shared marker throughout.
  MarkerHolder other_front_end(L"quorvalmist-plinter");
  std::string task;
  OpenGate gate(P("src/a b/big.bin"));
  auto copy = StartHeldCopy(gate, &task);
  copy->KillAtOnce();
  copy->Wait();
  EXPECT_TRUE(WaitFor([&] { return CorePid(task) < 0; }, std::chrono::seconds(10)))
      << "the core ran on without the front end that started it";
  EXPECT_EQ(Rows(task)[P("src/a b/big.bin")], "stop");
  gate.Release();
  RunResult resume = Qv({"resume", task});
  EXPECT_EQ(resume.exit_code, 0) << resume.output << resume.error;
  ExpectTreeCopied(task);
}

TEST_F(QuorvalmistTest, ResumeRefusesATaskThatIsRunning) {
  MakeTree();
  std::string task;
  OpenGate gate(P("src/a b/big.bin"));
  auto copy = StartHeldCopy(gate, &task);
  RunResult r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.error.find("being run"), std::string::npos) << r.error;
  copy->Kill(SIGINT);  // Ctrl-C: a cooperative stop
  ASSERT_TRUE(WaitForCoreEnd(task));
  gate.Release();
  EXPECT_EQ(copy->Wait(), 1);
  EXPECT_NE(copy->output().find("stopped before the copy was complete"), std::string::npos)
      << copy->output();
  EXPECT_EQ(Qv({"resume", task}).exit_code, 0);
  ExpectTreeCopied(task);
}

TEST_F(QuorvalmistTest, FilesTasksAndATargetThatIsNotReplaced) {
  WriteFile(P("one"), RandomBytes(3000, 3));
  WriteFile(P("two"), RandomBytes(10, 4));
  RunResult r = Qv({"copy", P("one"), P("two"), P("into")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_TRUE(FilesEqual(P("one"), P("into/one")));
  EXPECT_TRUE(FilesEqual(P("two"), P("into/two")));
  auto rows = Rows(TaskId(r.output));
  EXPECT_EQ(rows.size(), 2u);
  for (const auto& [source, status] : rows) EXPECT_EQ(status, "success") << source;

  r = Qv({"copy", P("one"), P("renamed")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_TRUE(FilesEqual(P("one"), P("renamed")));

  // A different file already at the target is kept and reported.
  WriteFile(P("mine"), "the user's own file");
  r = Qv({"copy", P("two"), P("mine")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ReadFile(P("mine")), "the user's own file");
  EXPECT_NE(r.output.find("not replaced"), std::string::npos) << r.output;
  std::string task = TaskId(r.output);
  RunResult status = Qv({"status", task, "--only", "stop,error"});
  EXPECT_EQ(status.exit_code, 0);
  EXPECT_NE(status.output.find("not replaced"), std::string::npos) << status.output;
  // Moving it away and resuming finishes the task.
  ASSERT_EQ(::rename(P("mine").c_str(), P("mine.old").c_str()), 0);
  EXPECT_EQ(Qv({"resume", task}).exit_code, 0);
  EXPECT_TRUE(FilesEqual(P("two"), P("mine")));
}

// With --json a copy or resume ends with its summary as one JSON line: what is
// not done with its reason and how to resume, then the figures of a done run.
TEST_F(QuorvalmistTest, TheSummaryAsJsonForScripts) {
  MakeDirs(P("src"));
  WriteFile(P("src/a"), RandomBytes(3000, 5));
  WriteFile(P("src/b"), RandomBytes(700, 6));
  MakeDirs(P("dst"));
  WriteFile(P("dst/b"), "the user's own file");
  auto last_line = [](const std::string& output) {
    size_t end = output.find_last_not_of('\n');
    size_t start = output.rfind('\n', end);
    return nlohmann::json::parse(output.substr(start == std::string::npos ? 0 : start + 1));
  };
  RunResult r = Qv({"copy", "--json", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  nlohmann::json summary = last_line(r.output);
  EXPECT_EQ(summary["task"], TaskId(r.output));
  EXPECT_FALSE(summary["complete"].get<bool>());
  EXPECT_EQ(summary["exit_code"], 1);
  EXPECT_EQ(summary["files"]["done"], 1);
  EXPECT_EQ(summary["files"]["total"], 2);
  ASSERT_EQ(summary["not_done"].size(), 1u) << r.output;
  EXPECT_EQ(summary["not_done"][0]["source"], P("src/b"));
  EXPECT_NE(summary["not_done"][0]["reason"].get<std::string>().find("not replaced"),
            std::string::npos);
  EXPECT_NE(summary["resume"].get<std::string>().find("resume"), std::string::npos);

  ASSERT_EQ(::rename(P("dst/b").c_str(), P("b.old").c_str()), 0);
  r = Qv({"resume", "--json", TaskId(r.output)});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  summary = last_line(r.output);
  EXPECT_TRUE(summary["complete"].get<bool>());
  EXPECT_EQ(summary["files"]["done"], 2);
  EXPECT_EQ(summary["bytes"]["this_run"], 700);
  EXPECT_EQ(summary["not_done"].size(), 0u);
  EXPECT_FALSE(summary.contains("resume"));
}

// Settings given to one copy stay with that task: a later copy in the same
// workspace starts from the workspace's defaults, and a resume of the first
// task runs with the first task's settings again.
TEST_F(QuorvalmistTest, EachTaskKeepsItsOwnSettings) {
  WriteFile(P("a"), RandomBytes(3000, 5));
  WriteFile(P("b"), RandomBytes(3000, 6));
  RunResult first =
      Qv({"copy", "--verify", "never", "--chunk-size", "4096", "--jobs", "3", P("a"), P("out/a")});
  ASSERT_EQ(first.exit_code, 0) << first.output << first.error;
  EXPECT_NE(first.output.find("verify mode: never"), std::string::npos) << first.output;
  std::string task = TaskId(first.output);
  EXPECT_EQ(Rows(task)[P("a")], "finish");
  // The core reads "jobs" from the task's section before the workspace's.
  std::wstring core_cnf = NarrowToWide(P("ws/config/core.cnf"));
  auto jobs_of = [&](const std::string& id) {
    return ReadProfileString(NarrowToWide(id), L"jobs", L"", 20, core_cnf);
  };
  EXPECT_EQ(jobs_of(task), L"3");
  std::wstring workspace_jobs = ReadProfileString(L"system", L"jobs", L"", 20, core_cnf);
  EXPECT_NE(workspace_jobs, L"3");

  RunResult second = Qv({"copy", P("b"), P("out/b")});
  ASSERT_EQ(second.exit_code, 0) << second.output << second.error;
  EXPECT_NE(second.output.find("verify mode: always"), std::string::npos) << second.output;
  EXPECT_EQ(Rows(TaskId(second.output))[P("b")], "success");
  EXPECT_EQ(ReadFile(P("ws/config.cnf")).find("buffersize=4096"), std::string::npos);
  EXPECT_EQ(jobs_of(TaskId(second.output)), L"");
  EXPECT_EQ(ReadProfileString(L"system", L"jobs", L"", 20, core_cnf), workspace_jobs);

  // The first task's target is lost; its resume copies it with its own settings.
  ASSERT_EQ(::unlink(P("out/a").c_str()), 0);
  RunResult again = Qv({"resume", task});
  EXPECT_EQ(again.exit_code, 0) << again.output << again.error;
  EXPECT_NE(again.output.find("verify mode: never"), std::string::npos) << again.output;
  EXPECT_EQ(Rows(task)[P("a")], "finish");
  EXPECT_NE(ReadFile(P("ws/config.cnf")).find("buffersize=4096"), std::string::npos);
  EXPECT_EQ(jobs_of(task), L"3");
  // A resume's --jobs replaces the task's value; a refused one leaves it.
  ASSERT_EQ(::unlink(P("out/a").c_str()), 0);
  EXPECT_EQ(Qv({"resume", "--jobs", "64", task}).exit_code, 0);
  EXPECT_EQ(jobs_of(task), L"64");
  EXPECT_EQ(Qv({"resume", "--jobs", "65", task}).exit_code, 2);
  EXPECT_EQ(jobs_of(task), L"64");
}

TEST_F(QuorvalmistTest, TwoCopiesStartedAtOnceInAFreshDirectoryBothRun) {
  MakeDirs(P("src"));
  WriteFile(P("src/f"), RandomBytes(1000, 5));
  std::vector<std::unique_ptr<StartedProgram>> copies;
  for (const char* target : {"t1", "t2", "t3"})
    copies.push_back(StartQv({"copy", P("src"), P(target)}));
  for (auto& copy : copies) EXPECT_EQ(copy->Wait(), 0) << copy->output();
  for (const char* target : {"t1", "t2", "t3"}) {
    EXPECT_TRUE(FilesEqual(P("src/f"), P(target) + "/f")) << target;
  }
}

TEST_F(QuorvalmistTest, StatusKeepsOneFileALineAndGivesScriptsTheExactBytes) {
  MakeDirs(P("src"));
  WriteFile(P("src/two\nlines"), "a");
  WriteFile(P("src/\xff-not-utf8"), "b");
  RunResult r = Qv({"copy", P("src"), P("dst")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  WriteFile(P("one"), "1");
  r = Qv({"copy", P("one"), P("files-target")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string files_task = TaskId(r.output);

  r = Qv({"status", task});
  EXPECT_NE(r.output.find("two\\nlines\n"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("two\nlines"), std::string::npos) << r.output;
  r = Qv({"status", task, "--json"});
  // "\xff-not-utf8" in hexadecimal, after the source root's bytes.
  EXPECT_NE(r.output.find("ff2d6e6f742d75746638\""), std::string::npos) << r.output;

  // The task list names a files task's target, and --only picks tasks.
  r = Qv({"status"});
  EXPECT_NE(r.output.find("(1 file) -> " + P("files-target")), std::string::npos) << r.output;
  r = Qv({"status", "--only", "error"});
  EXPECT_EQ(r.output.find(task), std::string::npos) << r.output;
  r = Qv({"status", "--only", "success"});
  EXPECT_NE(r.output.find(task), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(files_task), std::string::npos) << r.output;
}

TEST_F(QuorvalmistTest, BadInputIsRefusedAndChangesNothing) {
  MakeDirs(P("src/sub"));
  WriteFile(P("src/f"), "f");
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"copy", "../missing", "../t"}, "no such file"},
      {{"copy", "../src", "../src/sub/t"}, "inside the source"},
      {{"copy", P("fifo"), P("t")}, "not a regular file"},
      {{"copy", "../src"}, "SOURCE... TARGET"},
      {{"copy", "--verify", "sometimes", "../src", "../t"}, "--verify"},
      {{"copy", "--chunk-size", "0", "../src", "../t"}, "chunk-size"},
      {{"copy", "--jobs", "0", "../src", "../t"}, "--jobs"},
      {{"copy", "--jobs", "x", "../src", "../t"}, "--jobs"},
      {{"copy", "--jobs", "65", "../src", "../t"}, "--jobs"},
      {{"status"}, "no workspace"},
      {{"resume", "nope"}, "no workspace"},
  };
  for (const auto& c : cases) {
    RunResult r = Qv(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args[0] << " " << c.args[1];
    EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    // Every refusal, the command line's own included, names the program.
    EXPECT_EQ(r.error.rfind("quorvalmist: ", 0), 0u) << r.error;
  }
  // Nothing was made: no workspace, no target.
  EXPECT_FALSE(PathExists(P("ws/fm2.qz")));
  EXPECT_FALSE(PathExists(P("ws/config")));
  EXPECT_FALSE(PathExists(P("t")));
  EXPECT_FALSE(PathExists(P("src/sub/t")));

  // A directory that is not a workspace: part of one, or a file that is no
  // database.
  MakeDirs(P("ws/config"));
  RunResult r = Qv({"copy", "../src", "../t"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.error.find("not a workspace"), std::string::npos) << r.error;
  WriteFile(P("ws/fm2.qz"), "not a database");
  WriteFile(P("ws/config.cnf"), "");
  // A workspace whose database is damaged: the programs failed (3).
  for (std::vector<std::string> args :
       {std::vector<std::string>{"copy", "../src", "../t"}, std::vector<std::string>{"status"}}) {
    r = Qv(args);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_NE(r.error.find("task database cannot be opened"), std::string::npos) << r.error;
  }
  EXPECT_EQ(ReadFile(P("ws/fm2.qz")), "not a database");
  EXPECT_FALSE(PathExists(P("t")));

  // An unknown task in a real workspace.
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws3"}).exit_code, 0);
  for (const char* command : {"status", "stop", "resume"}) {
    r = RunProgram(FrontEndPath(), {"-C", "ws3", command, "no-such-task"});
    EXPECT_EQ(r.exit_code, 2) << command;
    EXPECT_NE(r.error.find("no task 'no-such-task'"), std::string::npos) << r.error;
  }
}

TEST_F(QuorvalmistTest, AnUnknownCommandIsNamedWithTheNearestOne) {
  RunResult r = Qv({"cpoy", "a", "b"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.error.rfind("quorvalmist: unknown command 'cpoy'; did you mean 'copy'?", 0), 0u)
      << r.error;
  r = Qv({"frobnicate"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.error.find("unknown command 'frobnicate'"), std::string::npos) << r.error;
  EXPECT_EQ(r.error.find("did you mean"), std::string::npos) << r.error;
  EXPECT_FALSE(PathExists(P("ws/fm2.qz")));
  // One target: the usage line does not repeat it.
  r = Qv({"copy", "--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("SOURCE... TARGET\n"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace quorvalmist::testing
