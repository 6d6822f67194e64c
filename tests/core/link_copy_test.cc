// Links copied as links: same text and times, never over another file, and
// nothing left under the temporary name.
#include "core/link_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::PathExists;
using ::quorvalmist::testing::ReadFile;
using ::quorvalmist::testing::TempDir;
using ::quorvalmist::testing::WriteFile;

std::string LinkText(const std::string& path) {
  char buffer[4096];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

TEST(LinkCopyTest, MakesTheSameLinkOnceAndNeverOverAnotherFile) {
  TempDir dir;
  ASSERT_EQ(::symlink("../somewhere else", (dir / "src").c_str()), 0);
  struct timespec times[2] = {{1000000000, 111}, {1100000000, 222}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "src").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);

  // Into a folder that does not exist yet, durable.
  std::string target = dir / "new/sub/link";
  ASSERT_TRUE(CopySymbolicLink(dir / "src", target, true).ok());
  EXPECT_EQ(LinkText(target), "../somewhere else");
  struct stat st {};
  ASSERT_EQ(::lstat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 222);
  // Once more (a resumed task): the same link there counts as made.
  EXPECT_TRUE(CopySymbolicLink(dir / "src", target, false).ok());

  // A different file, or a link with other text, is never replaced.
  WriteFile(dir / "file", "keep me");
  EXPECT_FALSE(CopySymbolicLink(dir / "src", dir / "file", false).ok());
  EXPECT_EQ(ReadFile(dir / "file"), "keep me");
  ASSERT_EQ(::symlink("other", (dir / "other").c_str()), 0);
  EXPECT_FALSE(CopySymbolicLink(dir / "src", dir / "other", false).ok());
  EXPECT_EQ(LinkText(dir / "other"), "other");
  for (const char* name : {"new/sub/link", "file", "other"}) {
    EXPECT_FALSE(PathExists(dir / (std::string(name) + "_quorvalmist_temp"))) << name;
  }
}

}  // namespace
}  // namespace quorvalmist
