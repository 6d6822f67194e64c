// Trees with hostile names: quotes, blanks at the ends, newlines, bytes that
// are not UTF-8, names of the longest length, nesting near the path limit,
// and links that lead back up the tree.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/temp_name.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

// The length of the copier's temporary suffix, "_quorvalmist_temp".
constexpr size_t kTempSuffixBytes = 17;

class HostileNamesTest : public SystemTest {
 protected:
  // Makes directories of `component` repeated below `root`, as deep as a
  // path from `root` of at most `length` bytes allows; returns that path.
  // Created one level at a time relative to the parent, so that it works
  // beyond the path limit too.
  static std::string MakeDeepDirs(const std::string& root, const std::string& component,
                                  size_t length) {
    std::string rel;
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    while (rel.size() + 1 + component.size() <= length) {
      EXPECT_EQ(::mkdirat(fd, component.c_str(), 0755), 0);
      int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      EXPECT_GE(next, 0);
      ::close(fd);
      fd = next;
      rel += (rel.empty() ? "" : "/") + component;
    }
    ::close(fd);
    return rel;
  }

  // Writes a file at `root`/`rel` where the whole path may exceed the limit,
  // making the directories on the way that are missing.
  static void WriteDeepFile(const std::string& root, const std::string& rel,
                            const std::string& content) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t start = 0;
    for (size_t slash; (slash = rel.find('/', start)) != std::string::npos; start = slash + 1) {
      ::mkdirat(fd, rel.substr(start, slash - start).c_str(), 0755);
      int next = ::openat(fd, rel.substr(start, slash - start).c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ASSERT_GE(next, 0);
      ::close(fd);
      fd = next;
    }
    int file = ::openat(fd, rel.substr(start).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::close(fd);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(file);
  }

  ItemRow RowEndingWith(const std::string& task, const std::string& tail) {
    for (const ItemRow& row : Rows(task)) {
      if (row.source.size() >= tail.size() &&
          row.source.compare(row.source.size() - tail.size(), tail.size(), tail) == 0) {
        return row;
      }
    }
    return ItemRow{};
  }
};

TEST_F(HostileNamesTest, EveryNameIsCopiedExactlyAndLinkCyclesEndTheWalk) {
  MakeDirs(P("src/it's \"quoted\" `here`"));
  WriteFile(P("src/it's \"quoted\" `here`/'single' and \"double\".txt"), RandomBytes(900, 1));
  WriteFile(P("src/  blanks at both ends  "), RandomBytes(500, 2));
  WriteFile(P("src/ "), "a name that is one blank");
  WriteFile(P("src/line one\nline two"), RandomBytes(700, 3));
  MakeDirs(P("src/folder\nwith a newline"));
  WriteFile(P("src/folder\nwith a newline/\n"), "a name that is a newline");
  WriteFile(P("src/\xff\xfe latin-1 caf\xe9 \xc3("), RandomBytes(600, 4));
  MakeDirs(P("src/dir \x80\x81"));
  WriteFile(P("src/dir \x80\x81/utf-8 \xc3\xa9t\xc3\xa9 \xe7\x9b\xae\xe5\xbd\x95"), "mixed");
  WriteFile(P("src/a;b|c&d$(e)*?[f]\\g%h"), "shell characters");
  WriteFile(P("src/-n"), "looks like an option");
  // The longest names: a folder's of the system's limit, a file's as long as
  // its temporary name (the name and "_quorvalmist_temp") allows.
  std::string longest_file(NAME_MAX - kTempSuffixBytes, 'L');
  std::string longest_dir(NAME_MAX, 'D');
  WriteFile(P("src/" + longest_file), RandomBytes(1000, 5));
  MakeDirs(P("src/" + longest_dir));
  WriteFile(P("src/" + longest_dir + "/" + longest_file), "deep");
  // Nesting up to near the path limit: the deepest file's path and its
  // temporary name both fit (source and target roots are equally long).
  // The deepest file's path is 40 bytes short of the limit.
  const size_t root = P("src/").size();
  std::string deep =
      MakeDeepDirs(P("src"), std::string(200, 'n'), PATH_MAX - 1 - 40 - root - 1 - 50);
  size_t name_length = PATH_MAX - 1 - 40 - root - deep.size() - 1;
  ASSERT_TRUE(name_length > 0 && name_length <= NAME_MAX) << name_length;
  std::string deep_file = deep + "/" + std::string(name_length, 'x');
  WriteDeepFile(P("src"), deep_file, RandomBytes(2000, 6));
  ASSERT_LT(P("dst/" + deep_file + "_quorvalmist_temp").size(), static_cast<size_t>(PATH_MAX));
  // Followed (--links follow), links back up the tree are cycles: each is
  // named and not entered, and the rest is copied. A link to a file is copied
  // as the file's content.
  MakeDirs(P("src/loop/inner"));
  WriteFile(P("src/loop/inner/f"), "in the loop");
  ASSERT_EQ(::symlink("../..", P("src/loop/inner/up").c_str()), 0);
  ASSERT_EQ(::symlink(".", P("src/loop/self").c_str()), 0);
  ASSERT_EQ(::symlink(P("src").c_str(), P("src/loop/root").c_str()), 0);
  ASSERT_EQ(::symlink("inner/f", P("src/loop/link to f").c_str()), 0);
  TreeSnapshot before = SnapshotTree(P("src"));

  RunResult r = Qv({"copy", "--verify", "always", "--chunk-size", "4KiB", "--links", "follow",
                    P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  EXPECT_NE(r.output.find("3 paths of the source tree not copied"), std::string::npos) << r.output;
  for (const char* cycle : {"loop/inner/up", "loop/self", "loop/root"}) {
    EXPECT_NE(r.output.find(std::string(cycle) + ": a link to a folder above it (a cycle"),
              std::string::npos)
        << r.output;
  }
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output;
  ExpectTaskComplete(task, P("src"), P("dst"), before);
  // The links back up were not recreated; the one to a file holds its bytes.
  EXPECT_FALSE(PathExists(P("dst/loop/inner/up")));
  EXPECT_FALSE(PathExists(P("dst/loop/self")));
  EXPECT_EQ(ReadFile(P("dst/loop/link to f")), "in the loop");

  // Status lists every row, a line each (a newline in a name shown as \n),
  // also as JSON (where bad bytes are replaced).
  RunResult status = Qv({"status", task});
  EXPECT_EQ(status.exit_code, 0) << status.error;
  EXPECT_NE(status.output.find("line one\\nline two"), std::string::npos) << status.output;
  RunResult json = Qv({"status", task, "--json"});
  EXPECT_EQ(json.exit_code, 0) << json.error;
  EXPECT_NE(json.output.find("line one\\nline two"), std::string::npos) << json.output;
  EXPECT_NE(json.output.find("caf\xef\xbf\xbd"), std::string::npos);  // U+FFFD
}

// A target path beyond the system's limit cannot be written, and a source
// path beyond it cannot be read: such a file ends "stop" (a directory is left
// out) and is reported with the reason; a broken symbolic link is skipped. The rest
// of the tree is copied, and the walk finishes, on the first run as on a
// resume.
TEST_F(HostileNamesTest, PathsBeyondTheSystemsLimitsAndBrokenLinksAreReportedAndTheRestIsCopied) {
  MakeDirs(P("src"));
  std::string deep =
      MakeDeepDirs(P("src"), std::string(200, 'n'), PATH_MAX - 250 - P("src/").size());
  std::string deep_file = deep + "/" + std::string(150, 'x');
  WriteDeepFile(P("src"), deep_file, "too deep for the target");
  ASSERT_LT(P("src/" + deep_file).size(), static_cast<size_t>(PATH_MAX));
  // In a folder that fits, a file and a folder whose source paths pass the limit.
  std::string near =
      MakeDeepDirs(P("src"), std::string(100, 'm'), PATH_MAX - 100 - P("src/").size());
  std::string beyond_file = near + "/" + std::string(250, 'y');
  WriteDeepFile(P("src"), beyond_file, "beyond the limit");
  WriteDeepFile(P("src"), near + "/" + std::string(250, 'z') + "/inside", "beyond too");
  ASSERT_GE(P("src/" + beyond_file).size(), static_cast<size_t>(PATH_MAX));
  WriteFile(P("src/fine.txt"), "fine");
  ASSERT_EQ(::symlink("nowhere", P("src/broken link").c_str()), 0);
  MakeDirs(P("src/sub"));
  WriteFile(P("src/sub/also fine"), "also fine");
  // The target root is longer than the source root by enough to pass the limit.
  std::string target = "dst-" + std::string(150, 't');
  ASSERT_GE(P(target + "/" + deep_file).size(), static_cast<size_t>(PATH_MAX));

  // Links followed: the broken one is then reported rather than made.
  RunResult r = Qv({"copy", "--verify", "always", "--links", "follow", P("src"), P(target)});
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "copy" : "resume");
    if (run == 1) {
      // Resuming cannot make a path shorter: the same report, nothing else changes.
      r = Qv({"resume", task});
      EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
    }
    EXPECT_NE(r.output.find("target path is too long"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("source path is too long"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(std::string(250, 'z') + ": path too long"), std::string::npos)
        << r.output;
    // The broken link is skipped, and said so once: a resume leaves it alone.
    EXPECT_EQ(r.output.find("broken link: a broken symbolic link") != std::string::npos, run == 0)
        << r.output;
    EXPECT_EQ(r.output.find("walk of the source tree did not finish"), std::string::npos)
        << r.output;
    EXPECT_EQ(ReadFile(P(target + "/fine.txt")), "fine");
    EXPECT_EQ(ReadFile(P(target + "/sub/also fine")), "also fine");
    EXPECT_EQ(RowEndingWith(task, std::string(150, 'x')).status, "stop");
    EXPECT_EQ(RowEndingWith(task, std::string(250, 'y')).status, "stop");
    EXPECT_EQ(RowEndingWith(task, "broken link").status, "skipped");
    EXPECT_EQ(RowEndingWith(task, "fine.txt").status, "success");
    EXPECT_EQ(TempFilesBelow(P(target)), std::vector<std::string>{});
  }
  EXPECT_EQ(IntegrityCheck(), "ok");
}

// Entries that are not files that can be copied (a FIFO, a socket, a broken
// link) are skipped with their reason, once; they do not keep the task from
// being done, so its empty folders are made.
TEST_F(HostileNamesTest, EntriesThatAreNotFilesAreSkippedOnceAndTheTaskIsDone) {
  MakeDirs(P("src/empty"));
  WriteFile(P("src/file"), "a file");
  ASSERT_EQ(::mkfifo(P("src/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("nowhere", P("src/broken").c_str()), 0);
  RunResult r = Qv({"copy", "--links", "follow", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  EXPECT_NE(r.output.find("done: 1 of 1 files copied"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("2 entries skipped"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("fifo: not a regular file"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("broken: a broken symbolic link"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("resume with"), std::string::npos) << r.output;
  EXPECT_TRUE(PathExists(P("dst/empty")));
  EXPECT_EQ(ReadFile(P("dst/file")), "a file");
  EXPECT_EQ(RowEndingWith(task, "fifo").status, "skipped");
  // The status of the task still names them, with the reason.
  RunResult status = Qv({"status", task, "--only", "skipped"});
  EXPECT_EQ(status.exit_code, 0) << status.error;
  EXPECT_NE(status.output.find("not a regular file"), std::string::npos) << status.output;
}

// Names too long for the usual temporary name (239 to 255 bytes) are copied
// through a shortened one, which the front end also knows: a leftover of it
// beside a finished copy is removed.
TEST_F(HostileNamesTest, NamesUpToTheSystemsLimitAreCopied) {
  MakeDirs(P("src/sub"));
  std::string just_over(NAME_MAX - kTempSuffixBytes + 1, 'N');
  std::string longest(NAME_MAX, 'M');
  std::string longest_twin = std::string(NAME_MAX - 1, 'M') + "2";
  WriteFile(P("src/" + just_over), RandomBytes(3000, 1));
  WriteFile(P("src/sub/" + longest), RandomBytes(70000, 2));
  WriteFile(P("src/sub/" + longest_twin), RandomBytes(500, 3));
  TreeSnapshot before = SnapshotTree(P("src"));

  RunResult r = Qv({"copy", "--verify", "always", "--chunk-size", "4KiB", P("src"), P("dst")});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output;
  ExpectTaskComplete(task, P("src"), P("dst"), before);

  // A leftover temporary file of a finished copy is cleared by the next run
  // (tagged with the target's name alone, as copies before workspace marks
  // tagged them, which every workspace takes for its own).
  std::string leftover = WideToNarrow(TempPathFor(NarrowToWide(P("dst/sub/" + longest))));
  WriteFile(leftover, "left behind");
  ASSERT_TRUE(SetFileTag(leftover, kTempTag, longest).ok());
  r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_FALSE(PathExists(leftover));
}

}  // namespace
}  // namespace quorvalmist::testing
