// A copied tree keeps what tools compare besides the content: permission bits,
// access and modification times to the nanosecond, owners (as root), and holes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace quorvalmist::testing {
namespace {

class AttributesTest : public FrontEndTest {
 protected:
  // Gives `path` times in the past with distinct nanoseconds. (Under relatime
  // the first read after this change moves the access time to now: the copy
  // takes the source's times once it has read it.)
  static void SetTimes(const std::string& path, long seed) {
    time_t now = ::time(nullptr);
    struct timespec times[2] = {{now - 1800, 100000000 + seed}, {now - 3600, 900000000 - seed}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }

  static struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  static bool IsSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  void TearDown() override {
    // Read-only folders would keep the scratch directory from being removed.
    for (const char* dir : {"src/locked", "dst/locked"}) ::chmod(P(dir).c_str(), 0755);
    FrontEndTest::TearDown();
  }
};

TEST_F(AttributesTest, ModesTimesAndOwnersOfFilesAndDirectoriesEqualTheSource) {
  const bool root = ::geteuid() == 0;
  MakeDirs(P("src/sub/deep"));
  MakeDirs(P("src/locked"));
  MakeDirs(P("src/empty"));
  struct Entry {
    const char* name;
    mode_t mode;
  };
  const std::vector<Entry> files = {{"run.sh", 0755},        {"private", 0600},
                                    {"readonly", 0444},      {"sub/deep/f", 0640},
                                    {"locked/inside", 0644}, {"setid", 06755}};
  for (const Entry& f : files) {
    WriteFile(P("src/") + f.name, std::string("content of ") + f.name);
    if (root && std::string(f.name) == "setid") {
      ASSERT_EQ(::chown(P("src/setid").c_str(), 1234, 5678), 0);
    }
    if (root && std::string(f.name) == "sub/deep/f") {
      ASSERT_EQ(::chown(P("src/sub/deep/f").c_str(), 4321, 8765), 0);
    }
    ASSERT_EQ(::chmod((P("src/") + f.name).c_str(), f.mode), 0);
  }
  const std::vector<Entry> dirs = {
      {"sub", 0750}, {"sub/deep", 0700}, {"locked", 0555}, {"empty", 0711}, {"", 0755}};
  if (root) {
    ASSERT_EQ(::chown(P("src/sub").c_str(), 2345, 6789), 0);
  }
  for (const Entry& d : dirs) ASSERT_EQ(::chmod((P("src/") + d.name).c_str(), d.mode), 0);
  long seed = 1;
  for (const Entry& f : files) SetTimes(P("src/") + f.name, seed++);
  for (const Entry& d : dirs) SetTimes(P("src/") + d.name, seed++);

  // Not verified: reading the copies afterwards would move their access times.
  RunResult run = Qv({"copy", "--verify", "never", P("src"), P("dst")});
  ASSERT_EQ(run.exit_code, 0) << run.output << run.error;

  std::vector<Entry> all = files;
  all.insert(all.end(), dirs.begin(), dirs.end());
  for (const Entry& e : all) {
    struct stat s = Stat(P("src/") + e.name);
    struct stat t = Stat(P("dst/") + e.name);
    mode_t expected = s.st_mode & 07777;
    // Without the power to keep the owner, set-id bits are not carried over.
    if (!root) expected &= static_cast<mode_t>(~06000);
    EXPECT_EQ(t.st_mode & 07777, expected) << e.name;
    EXPECT_EQ(t.st_mtim.tv_sec, s.st_mtim.tv_sec) << e.name;
    EXPECT_EQ(t.st_mtim.tv_nsec, s.st_mtim.tv_nsec) << e.name;
    EXPECT_EQ(t.st_atim.tv_sec, s.st_atim.tv_sec) << e.name;
    EXPECT_EQ(t.st_atim.tv_nsec, s.st_atim.tv_nsec) << e.name;
    if (root) {
      EXPECT_EQ(t.st_uid, s.st_uid) << e.name;
      EXPECT_EQ(t.st_gid, s.st_gid) << e.name;
    }
  }
  EXPECT_EQ(ReadFile(P("dst/locked/inside")), "content of locked/inside");
}

// A source folder with nothing in it is copied as a folder with its mode and
// times: the target folder is made at the end like any empty one.
TEST_F(AttributesTest, AnEmptySourceFolderBecomesAnEmptyFolder) {
  MakeDirs(P("src"));
  ASSERT_EQ(::chmod(P("src").c_str(), 0750), 0);
  SetTimes(P("src"), 1);
  RunResult run = Qv({"copy", P("src"), P("dst")});
  ASSERT_EQ(run.exit_code, 0) << run.output << run.error;
  struct stat s = Stat(P("src"));
  struct stat t = Stat(P("dst"));
  EXPECT_TRUE(S_ISDIR(t.st_mode));
  EXPECT_EQ(t.st_mode & 07777, 0750u);
  EXPECT_EQ(t.st_mtim.tv_nsec, s.st_mtim.tv_nsec);
}

TEST_F(AttributesTest, SparseFileStaysSparse) {
  constexpr uint64_t kSize = uint64_t{1} << 30;
  constexpr off_t kDataAt = 512 << 20;
  MakeDirs(P("src"));
  WriteSparseFile(P("src/sparse.img"), kSize);
  std::string data = RandomBytes(4096, 3);
  int fd = ::open(P("src/sparse.img").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), kDataAt), static_cast<ssize_t>(data.size()));
  ::close(fd);

  RunResult run = Qv({"copy", "--verify", "always", P("src"), P("dst")});
  ASSERT_EQ(run.exit_code, 0) << run.output << run.error;

  struct stat t = Stat(P("dst/sparse.img"));
  EXPECT_EQ(static_cast<uint64_t>(t.st_size), kSize);
  // About the space the source uses: its one block of data, not a gigabyte.
  EXPECT_LE(static_cast<uint64_t>(t.st_blocks) * 512, uint64_t{1} << 20);
  std::string copied(data.size(), '\0');
  fd = ::open(P("dst/sparse.img").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pread(fd, copied.data(), copied.size(), kDataAt),
            static_cast<ssize_t>(copied.size()));
  ::close(fd);
  EXPECT_EQ(copied, data);
}

// Following links (--links follow, the core's own way): a link to a file is
// copied as its content; a link to a folder, inside the tree or outside it, is
// entered and its files copied below the link's own name. A link back up the
// tree would make the walk endless: it is named with its reason and not
// entered, everything else is copied, and the task is not done. Once the link
// is gone a resume finishes the task, and the passes at its end follow the
// links as the walk does: the empty folders below them are made and get their
// folders' modes and times.
TEST_F(AttributesTest, FollowedLinksToFoldersAreEnteredAndALinkBackUpIsNamed) {
  MakeDirs(P("src/dir/empty"));
  MakeDirs(P("outside/deep/hollow"));
  WriteFile(P("src/file"), "named by a link");
  WriteFile(P("src/dir/inside"), "x");
  WriteFile(P("outside/deep/far"), "from outside");
  ASSERT_EQ(::symlink("file", P("src/to-file").c_str()), 0);
  ASSERT_EQ(::symlink("dir", P("src/to-dir").c_str()), 0);
  ASSERT_EQ(::symlink(P("outside").c_str(), P("src/dir/to-outside").c_str()), 0);
  ASSERT_EQ(::symlink("..", P("src/dir/up").c_str()), 0);
  ASSERT_EQ(::chmod(P("outside/deep").c_str(), 0750), 0);
  SetTimes(P("outside/deep"), 1);

  RunResult run = Qv({"copy", "--links", "follow", P("src"), P("dst")});
  EXPECT_EQ(run.exit_code, 1) << run.output << run.error;
  // The link back up is met twice: below dir, and below the link to dir.
  for (const char* cycle : {"dir/up", "to-dir/up"}) {
    EXPECT_NE(run.output.find(std::string(cycle) +
                              ": a link to a folder above it (a cycle of links); not followed"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(PathExists(P("dst/") + cycle)) << cycle;
  }
  EXPECT_NE(run.output.find("symbolic links: 1 to files, copied as their content; 5 to folders, "
                            "followed (their files copied below the link's name); not "
                            "followed: 2 leading back up the tree"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(ReadFile(P("dst/to-file")), "named by a link");
  for (const char* dir : {"dst/dir", "dst/to-dir"}) {
    EXPECT_EQ(ReadFile(P(dir) + "/inside"), "x") << dir;
    EXPECT_EQ(ReadFile(P(dir) + "/to-outside/deep/far"), "from outside") << dir;
    EXPECT_FALSE(IsSymlink(P(dir))) << dir;
  }
  std::string task = TaskId(run.output);
  RunResult status = Qv({"status", task});
  EXPECT_NE(status.output.find("a cycle of links"), std::string::npos) << status.output;

  ASSERT_EQ(::unlink(P("src/dir/up").c_str()), 0);
  RunResult again = Qv({"resume", task});
  ASSERT_EQ(again.exit_code, 0) << again.output << again.error;
  EXPECT_EQ(again.output.find("cycle"), std::string::npos) << again.output;
  for (const char* dir : {"dst/dir", "dst/to-dir"}) {
    EXPECT_TRUE(PathExists(P(dir) + "/empty")) << dir;
    EXPECT_TRUE(PathExists(P(dir) + "/to-outside/deep/hollow")) << dir;
    struct stat s = Stat(P("outside/deep"));
    struct stat t = Stat(P(dir) + "/to-outside/deep");
    EXPECT_EQ(t.st_mode & 07777, 0750u) << dir;
    EXPECT_EQ(t.st_mtim.tv_sec, s.st_mtim.tv_sec) << dir;
    EXPECT_EQ(t.st_mtim.tv_nsec, s.st_mtim.tv_nsec) << dir;
  }
}

// A workspace the front end makes keeps links as links, with their text as
// written (relative, absolute, dangling, to folders), and a resume leaves
// them be. rsync then finds nothing to change: content, modes, times, links.
TEST_F(AttributesTest, KeptLinksAreLinksAndRsyncFindsNothingToChange) {
  MakeDirs(P("src/dir/sub"));
  WriteFile(P("src/file"), "content");
  ASSERT_EQ(::chmod(P("src/file").c_str(), 0750), 0);
  WriteFile(P("src/dir/sub/inside"), "x");
  const std::vector<std::pair<std::string, std::string>> links = {{"to-file", "file"},
                                                                  {"dir/to-dir", "sub"},
                                                                  {"dir/sub/up", "../.."},
                                                                  {"dangling", "no such file"},
                                                                  {"absolute", P("src/file")}};
  for (const auto& [name, text] : links) {
    ASSERT_EQ(::symlink(text.c_str(), P("src/" + name).c_str()), 0) << name;
  }

  RunResult run = Qv({"copy", P("src"), P("dst")});
  ASSERT_EQ(run.exit_code, 0) << run.output << run.error;
  EXPECT_NE(run.output.find("symbolic links: 5, made as links (2 of them to folders)"),
            std::string::npos)
      << run.output;
  for (const auto& [name, text] : links) {
    char buffer[4096];
    ssize_t n = ::readlink(P("dst/" + name).c_str(), buffer, sizeof buffer);
    ASSERT_GT(n, 0) << name;
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), text) << name;
  }
  EXPECT_TRUE(PathExists(P("dst/dir/sub/inside")));

  RunResult rsync = RunProgram(
      "/usr/bin/rsync",
      {"-a", "--checksum", "--dry-run", "--itemize-changes", P("src") + "/", P("dst") + "/"});
  if (rsync.exit_code != 127 && PathExists("/usr/bin/rsync")) {
    EXPECT_EQ(rsync.exit_code, 0) << rsync.error;
    EXPECT_EQ(rsync.output, "");
  }

  std::string task = TaskId(run.output);
  RunResult again = Qv({"resume", task});
  EXPECT_EQ(again.exit_code, 0) << again.output << again.error;
  EXPECT_TRUE(IsSymlink(P("dst/to-file")));
}

}  // namespace
}  // namespace quorvalmist::testing
