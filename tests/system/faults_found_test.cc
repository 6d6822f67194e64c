// Through the front end: a target already in place, sources that are not
// regular files, a directory that cannot be listed, and a target inside its
// source.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "db/record_access.h"
#include "db/schema.h"
#include "db/task_rows.h"
#include "platform/text.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

using FaultsFoundTest = SystemTest;

const ItemRow* RowOf(const std::vector<ItemRow>& rows, const std::string& source) {
  for (const ItemRow& row : rows) {
    if (row.source == source) return &row;
  }
  return nullptr;
}

// A target already in place is never replaced, and whatever the verify mode it
// is judged by MD5: a different file of the same size is an error, not a
// finished copy, and no copy of the source is left beside it.
TEST_F(FaultsFoundTest, ATargetAlreadyInPlaceIsJudgedByMd5AndLeftAlone) {
  MakeDirs(P("src"));
  MakeDirs(P("dst"));
  WriteRandomFile(P("src/big"), 12 << 20, 1);
  WriteFile(P("dst/big"), std::string(12 << 20, '\0'));
  WriteFile(P("src/small"), RandomBytes(5000, 2));
  WriteFile(P("dst/small"), std::string(5000, '\0'));
  WriteFile(P("src/shorter"), RandomBytes(700, 3));
  WriteFile(P("dst/shorter"), "the user's own file");
  WriteFile(P("src/same"), RandomBytes(3000, 4));
  WriteFile(P("dst/same"), ReadFile(P("src/same")));
  WriteFile(P("src/new"), RandomBytes(4000, 5));

  RunResult r = Qv({"copy", "--verify", "never", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(r.output.find("not replaced"), std::string::npos) << r.output;
  std::vector<ItemRow> rows = Rows(TaskId(r.output));
  ASSERT_EQ(rows.size(), 5u);
  for (const char* name : {"big", "small", "shorter"}) {
    SCOPED_TRACE(name);
    const ItemRow* row = RowOf(rows, P(std::string("src/") + name));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->status, "error");
    EXPECT_EQ(row->md5, "md5error");
  }
  EXPECT_EQ(RowOf(rows, P("src/same"))->status, "success");
  EXPECT_EQ(RowOf(rows, P("src/same"))->md5, "md5ok");
  EXPECT_EQ(RowOf(rows, P("src/new"))->status, "finish");  // copied, unverified as asked
  EXPECT_EQ(ReadFile(P("dst/small")), std::string(5000, '\0'));
  EXPECT_EQ(ReadFile(P("dst/shorter")), "the user's own file");
  EXPECT_TRUE(FilesEqual(P("src/new"), P("dst/new")));
  EXPECT_EQ(TempFilesBelow(P("dst")), std::vector<std::string>{});

  // Moving the different files away and resuming copies them.
  for (const char* name : {"big", "small", "shorter"}) {
    ASSERT_EQ(::unlink(P(std::string("dst/") + name).c_str()), 0);
  }
  r = Qv({"resume", TaskId(r.output)});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_TRUE(FilesEqual(P("src/big"), P("dst/big")));
  EXPECT_TRUE(FilesEqual(P("src/shorter"), P("dst/shorter")));
}

// A FIFO and a link to a character device, each with an empty file already at
// its target: neither is opened in a way that can block or read without end;
// both are skipped with the reason, the files in their place are left as
// they were, and the rest is copied: the task is done.
TEST_F(FaultsFoundTest, SourcesThatAreNotRegularFilesNeverHangTheRun) {
  MakeDirs(P("src"));
  MakeDirs(P("dst"));
  ASSERT_EQ(::mkfifo(P("src/fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", P("src/zero").c_str()), 0);
  WriteFile(P("dst/fifo"), "");
  WriteFile(P("dst/zero"), "");
  WriteFile(P("src/plain"), RandomBytes(2000, 6));

  auto copy = StartQv({"copy", P("src"), P("dst")});
  bool ended = WaitFor([&] { return copy->HasEnded(); }, std::chrono::seconds(60));
  if (!ended) copy->KillAtOnce();
  ASSERT_TRUE(ended) << "the run hung on a source that is not a regular file";
  EXPECT_EQ(copy->Wait(), 0);
  std::string output = copy->output();
  EXPECT_NE(output.find("not a regular file"), std::string::npos) << output;
  EXPECT_EQ(ReadFile(P("dst/fifo")), "");
  EXPECT_EQ(ReadFile(P("dst/zero")), "");
  std::vector<ItemRow> rows = Rows(TaskId(output));
  for (const char* name : {"fifo", "zero"}) {
    const ItemRow* row = RowOf(rows, P(std::string("src/") + name));
    ASSERT_NE(row, nullptr) << name;
    EXPECT_EQ(row->status, "skipped") << name;
  }
  EXPECT_TRUE(FilesEqual(P("src/plain"), P("dst/plain")));
}

// A subdirectory that cannot be listed is not recorded, nor is any directory
// above it: the front end names it with the reason and says "not done", and
// once it can be read a resume copies what is below it. Listing is refused by
// permissions, which do not bind root: as root the front end runs as the
// unprivileged user "nobody" over a tree that user owns.
TEST_F(FaultsFoundTest, ADirectoryThatCannotBeListedIsReportedAndResumed) {
  const bool as_root = ::geteuid() == 0;
  if (as_root && ::access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "running as root and setpriv is missing: no user to refuse a listing to";
  }
  MakeDirs(P("src/a/locked/deeper"));
  MakeDirs(P("src/z"));
  MakeDirs(P("src/z/removed later"));
  WriteFile(P("src/top"), "top");
  WriteFile(P("src/a/before"), "before");
  WriteFile(P("src/a/locked/inside"), RandomBytes(3000, 7));
  WriteFile(P("src/a/locked/deeper/further"), RandomBytes(100, 8));
  WriteFile(P("src/z/after"), "after");
  const uid_t kNobody = 65534;
  if (as_root) {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    for (const std::string& path :
         {dir_.path(), P(".markers"), P("ws"), P("src"), P("src/a"), P("src/a/locked"),
          P("src/a/locked/deeper"), P("src/z"), P("src/z/removed later"), P("src/top"),
          P("src/a/before"), P("src/a/locked/inside"), P("src/a/locked/deeper/further"),
          P("src/z/after")}) {
      ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0) << path;
    }
  }
  // The front end as the owner of the tree (the marker directory is its own).
  auto qv = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-C", "ws"});
    if (!as_root) return RunProgram(FrontEndPath(), args);
    std::vector<std::string> wrapped = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        FrontEndPath()};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return RunProgram("/usr/bin/setpriv", wrapped);
  };
  ASSERT_EQ(::chmod(P("src/a/locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod(P("src/z/removed later").c_str(), 0), 0);

  RunResult r = qv({"copy", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output << r.error;
  EXPECT_NE(r.output.find("not done"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("a/locked: cannot be listed: Permission denied"), std::string::npos)
      << r.output;
  for (const char* name : {"top", "a/before", "z/after"}) {
    EXPECT_TRUE(FilesEqual(P(std::string("src/") + name), P(std::string("dst/") + name))) << name;
  }
  RunResult status = qv({"status", task});
  EXPECT_NE(status.output.find("a/locked: cannot be listed"), std::string::npos) << status.output;
  RunResult json = qv({"status", task, "--json"});
  EXPECT_NE(json.output.find("\"walk_complete\": false"), std::string::npos) << json.output;
  EXPECT_NE(json.output.find("\"path\": \"" + P("src/a/locked") + "\""), std::string::npos)
      << json.output;

  EXPECT_NE(json.output.find("\"path\": \"" + P("src/z/removed later") + "\""), std::string::npos)
      << json.output;

  // Readable again: the resume lists it and copies what is below it. A
  // directory that is gone meanwhile is no longer a problem.
  ASSERT_EQ(::chmod(P("src/a/locked").c_str(), 0755), 0);
  ASSERT_EQ(::rmdir(P("src/z/removed later").c_str()), 0);
  r = qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_TRUE(FilesEqual(P("src/a/locked/inside"), P("dst/a/locked/inside")));
  EXPECT_TRUE(FilesEqual(P("src/a/locked/deeper/further"), P("dst/a/locked/deeper/further")));
  status = qv({"status", task, "--json"});
  EXPECT_NE(status.output.find("\"not_copied_paths\": []"), std::string::npos) << status.output;
}

// A task whose target lies inside its source (this front end refuses to make
// one, another may): the target is never entered from the source side, by the
// core's walk nor by the front end's passes at the end of the task (empty
// folders, folder modes and times). So resumes, however many, copy the tree
// once and make or change nothing else below the source.
TEST_F(FaultsFoundTest, ATargetInsideTheSourceIsNeverCopiedIntoItself) {
  MakeDirs(P("src/sub/empty"));
  MakeDirs(P("src/empty"));
  WriteFile(P("src/a"), RandomBytes(2000, 1));
  WriteFile(P("src/sub/b"), RandomBytes(3000, 2));
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);
  // The task row as the other front end writes it.
  ASSERT_EQ(::chdir(P("ws").c_str()), 0);
  OpenTaskDb(kConnectionString);
  AddTask({L"inside", kCopyTypeDir, NarrowToWide(P("src")), NarrowToWide(P("src/tgt")), L"ready"});
  CloseTaskDbForTesting();
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  const TreeSnapshot before = SnapshotTree(P("src"));
  // The complete copy: the same entries, the same content and times.
  TreeSnapshot copy = {{"tgt", "dir"}};
  for (const auto& [relative, what] : before) copy["tgt/" + relative] = what;

  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    RunResult r = Qv({"resume", "inside"});
    EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
    TreeSnapshot after = SnapshotTree(P("src"));
    TreeSnapshot copied;
    for (auto it = after.begin(); it != after.end();) {
      if (it->first == "tgt" || it->first.rfind("tgt/", 0) == 0) {
        copied.insert(*it);
        it = after.erase(it);
      } else {
        ++it;
      }
    }
    EXPECT_EQ(after, before) << "the source changed outside the target";
    EXPECT_EQ(copied, copy);
    std::vector<ItemRow> rows = Rows("inside");
    EXPECT_EQ(rows.size(), 2u);
    for (const ItemRow& row : rows) EXPECT_EQ(row.status, "success") << row.source;
  }
}

}  // namespace
}  // namespace quorvalmist::testing
