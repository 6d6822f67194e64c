// Copies that keep holes, and the attributes a copy takes from its source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::RandomBytes;
using ::quorvalmist::testing::ReadFile;
using ::quorvalmist::testing::TempDir;
using ::quorvalmist::testing::WriteFile;
using ::quorvalmist::testing::WriteSparseFile;

constexpr uint64_t kMiB = 1 << 20;

void WriteAt(const std::string& path, off_t offset, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
  ::close(fd);
}

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

// A source of 8 MiB with data at 1 MiB and at its last 4 KiB.
void MakeSparseSource(const std::string& path, std::string* first, std::string* last) {
  WriteSparseFile(path, 8 * kMiB);
  *first = RandomBytes(4096, 1);
  *last = RandomBytes(4096, 2);
  WriteAt(path, kMiB, *first);
  WriteAt(path, 8 * kMiB - 4096, *last);
}

TEST(FileDurabilityTest, CopyingKeepsHolesAndPunchesThemIntoOldData) {
  TempDir dir;
  std::string first, last;
  MakeSparseSource(dir / "src", &first, &last);
  File source;
  ASSERT_TRUE(File::Open(dir / "src", File::Mode::kRead, &source).ok());

  // A fresh target: holes are skipped, in ranges that start and end inside
  // holes and inside data.
  File fresh;
  ASSERT_TRUE(File::Open(dir / "fresh", File::Mode::kCreateTruncate, &fresh).ok());
  uint64_t copied = 0;
  ASSERT_TRUE(fresh.CopyDataRangeFrom(source, 0, kMiB + 100, false, &copied).ok());
  EXPECT_EQ(copied, kMiB + 100);
  ASSERT_TRUE(fresh.CopyDataRangeFrom(source, kMiB + 100, 7 * kMiB - 100, false, &copied).ok());
  EXPECT_EQ(copied, 7 * kMiB - 100);
  ASSERT_TRUE(fresh.Close().ok());
  EXPECT_EQ(ReadFile(dir / "fresh"), ReadFile(dir / "src"));
  EXPECT_LE(AllocatedBytes(dir / "fresh"), 64 * 1024u);

  // A target that holds older data everywhere (a resumed temporary file):
  // the holes of the source become holes again, not stale bytes.
  WriteFile(dir / "old", std::string(8 * kMiB, 'x'));
  File old;
  ASSERT_TRUE(File::Open(dir / "old", File::Mode::kReadWrite, &old).ok());
  ASSERT_TRUE(old.CopyDataRangeFrom(source, 0, 8 * kMiB, true, &copied).ok());
  EXPECT_EQ(copied, 8 * kMiB);
  ASSERT_TRUE(old.Close().ok());
  EXPECT_EQ(ReadFile(dir / "old"), ReadFile(dir / "src"));
  EXPECT_LE(AllocatedBytes(dir / "old"), 64 * 1024u);

  // Past the source's end nothing counts as copied, hole or not.
  File tail;
  ASSERT_TRUE(File::Open(dir / "tail", File::Mode::kCreateTruncate, &tail).ok());
  ASSERT_TRUE(tail.CopyDataRangeFrom(source, 7 * kMiB, 2 * kMiB, false, &copied).ok());
  EXPECT_EQ(copied, kMiB);
  WriteSparseFile(dir / "holes", 3 * kMiB);
  File holes;
  ASSERT_TRUE(File::Open(dir / "holes", File::Mode::kRead, &holes).ok());
  ASSERT_TRUE(tail.CopyDataRangeFrom(holes, 2 * kMiB, 4 * kMiB, false, &copied).ok());
  EXPECT_EQ(copied, kMiB);
}

TEST(FileDurabilityTest, CopyTakesModeAndTimesAndDropsSetIdWithoutOwner) {
  TempDir dir;
  WriteFile(dir / "src", "x");
  ASSERT_EQ(::chmod((dir / "src").c_str(), 06741), 0);
  struct timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "src").c_str(), times, 0), 0);
  WriteFile(dir / "dst", "x");
  File dst;
  ASSERT_TRUE(File::Open(dir / "dst", File::Mode::kReadWrite, &dst).ok());
  ASSERT_TRUE(dst.SyncData().ok());
  ASSERT_TRUE(dst.TakeAttributesOf(dir / "src", false).ok());
  ASSERT_TRUE(dst.Close().ok());
  struct stat st {};
  ASSERT_EQ(::stat((dir / "dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0741u);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);

  // The same for a directory, by path.
  ASSERT_EQ(::mkdir((dir / "d").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((dir / "src").c_str(), 0751), 0);
  ASSERT_TRUE(CopyPathAttributes(dir / "src", dir / "d", false).ok());
  ASSERT_EQ(::stat((dir / "d").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
  EXPECT_TRUE(SyncDirectory(dir.path()).ok());
  EXPECT_FALSE(SyncDirectory(dir / "missing").ok());
}

}  // namespace
}  // namespace quorvalmist
