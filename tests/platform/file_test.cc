#include "platform/file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::ReadFile;
using ::quorvalmist::testing::TempDir;
using ::quorvalmist::testing::WriteFile;

TEST(FileTest, StatTellsMissingFromEmptyAndKinds) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  auto empty = StatPath(dir / "empty");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size, 0u);
  EXPECT_TRUE(empty->is_regular);
  EXPECT_FALSE(StatPath(dir / "missing").has_value());
  EXPECT_TRUE(StatPath(dir.path())->is_directory);
  // Sizes beyond 32 bits.
  WriteFile(dir / "big", "");
  ASSERT_TRUE(SetPathLength(dir / "big", (uint64_t{5} << 30) + 3).ok());
  EXPECT_EQ(StatPath(dir / "big")->size, (uint64_t{5} << 30) + 3);
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(StatPath(dir / "fifo")->is_regular);
#endif
}

TEST(FileTest, RenameNeverReplacesAnExistingTarget) {
  TempDir dir;
  WriteFile(dir / "from", "new");
  WriteFile(dir / "to", "old");
  Status s = RenameNoReplace(dir / "from", dir / "to");
  EXPECT_FALSE(s.ok());
#ifndef _WIN32
  EXPECT_EQ(s.code(), EEXIST);
#endif
  EXPECT_EQ(s.kind(), ErrorKind::kExists);
  EXPECT_EQ(ReadFile(dir / "to"), "old");
  EXPECT_EQ(ReadFile(dir / "from"), "new");
  EXPECT_TRUE(RenameNoReplace(dir / "from", dir / "fresh").ok());
  EXPECT_EQ(ReadFile(dir / "fresh"), "new");
}

// Failures carry a kind that callers on every platform act on, besides the
// system's own number and words.
TEST(FileTest, FailuresSayTheirKind) {
  TempDir dir;
  File file;
  Status s = File::Open(dir / "missing", File::Mode::kRead, &file);
  EXPECT_EQ(s.kind(), ErrorKind::kNotFound);
#ifndef _WIN32
  EXPECT_EQ(s.reason(), std::strerror(ENOENT));
#endif
  EXPECT_NE(s.message().find(dir / "missing"), std::string::npos) << s.message();
  WriteFile(dir / "there", "x");
  EXPECT_EQ(File::Open(dir / "there", File::Mode::kCreateNew, &file).kind(), ErrorKind::kExists);
#ifndef _WIN32  // Wine says "path not found" for an overlong name
  EXPECT_EQ(MakeDirectory(dir / std::string(300, 'n')).kind(), ErrorKind::kTooLong);
#endif
  // Why a path cannot be looked up: gone, or behind a folder that may not be
  // searched (which root may search all the same).
  EXPECT_TRUE(StatPathError(dir / "there").ok());
  EXPECT_EQ(StatPathError(dir / "missing").kind(), ErrorKind::kNotFound);
  EXPECT_EQ(StatPathError(dir / "missing/below").kind(), ErrorKind::kNotFound);
#ifndef _WIN32
  testing::MakeDirs(dir / "locked");
  WriteFile(dir / "locked/f", "x");
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0600), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(StatPathError(dir / "locked/f").kind(), ErrorKind::kAccessDenied);
  }
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0700), 0);
#endif
  EXPECT_EQ(Status::Error(-1, "ours").kind(), ErrorKind::kOther);
  EXPECT_TRUE(Status::Ok().ok());
  EXPECT_EQ(Status::Ok().kind(), ErrorKind::kNone);
}

#ifndef _WIN32  // symbolic links need a privilege on Windows
TEST(FileTest, ListerMarksLinksToDirectoriesAndReportsLinksWhenAsked) {
  TempDir dir;
  ::quorvalmist::testing::MakeDirs(dir / "d/sub");
  WriteFile(dir / "d/f", "x");
  ASSERT_EQ(::symlink("..", (dir / "d/loop").c_str()), 0);
  ASSERT_EQ(::symlink("f", (dir / "d/flink").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "d/dangling").c_str()), 0);
  auto list = [&](DirectoryLister::Links links) {
    Status s;
    auto lister = DirectoryLister::Open(dir / "d", &s, links);
    EXPECT_TRUE(lister) << s.message();
    std::map<std::string, uint32_t> entries;
    DirectoryEntry e;
    while (lister && lister->Next(&e)) entries[e.name] = e.attributes;
    return entries;
  };
  // Links as what they lead to; a link to a directory carries the link bit
  // too, so a walk entering it can tell.
  const uint32_t kDir = kAttributeDirectory, kLink = kAttributeSymbolicLink;
  EXPECT_EQ(list(DirectoryLister::Links::kAsAbove),
            (std::map<std::string, uint32_t>{{".", kDir},
                                             {"..", kDir},
                                             {"sub", kDir},
                                             {"loop", kDir | kLink},
                                             {"f", 0},
                                             {"flink", 0},
                                             {"dangling", 0}}));
  // Every link as a link alone, so a walk keeping links does not enter one.
  EXPECT_EQ(list(DirectoryLister::Links::kReportLinks),
            (std::map<std::string, uint32_t>{{".", kDir},
                                             {"..", kDir},
                                             {"sub", kDir},
                                             {"loop", kLink},
                                             {"f", 0},
                                             {"flink", kLink},
                                             {"dangling", kLink}}));
  Status s;
  EXPECT_FALSE(DirectoryLister::Open(dir / "missing", &s));
  EXPECT_FALSE(s.ok());
}
#endif

TEST(FileTest, PositionedCopyAndLengthSetting) {
  TempDir dir;
  std::string content = ::quorvalmist::testing::RandomBytes(5000, 7);
  WriteFile(dir / "src", content);
  File src, dst;
  ASSERT_TRUE(File::Open(dir / "src", File::Mode::kRead, &src).ok());
  ASSERT_TRUE(File::Open(dir / "dst", File::Mode::kCreateTruncate, &dst).ok());
  uint64_t copied = 0;
  ASSERT_TRUE(dst.CopyRangeFrom(src, 4096, 4096, &copied).ok());
  EXPECT_EQ(copied, 904u);  // short only at the end of the source
  ASSERT_TRUE(dst.CopyRangeFrom(src, 0, 4096, &copied).ok());
  EXPECT_EQ(copied, 4096u);
  ASSERT_TRUE(dst.Close().ok());
  EXPECT_EQ(ReadFile(dir / "dst"), content);
  ASSERT_TRUE(SetPathLength(dir / "dst", 10).ok());
  EXPECT_EQ(ReadFile(dir / "dst"), content.substr(0, 10));
  ASSERT_TRUE(SetPathLength(dir / "dst", 20).ok());
  EXPECT_EQ(ReadFile(dir / "dst"), content.substr(0, 10) + std::string(10, '\0'));
  EXPECT_FALSE(SetPathLength(dir / "missing", 1).ok());
}

}  // namespace
}  // namespace quorvalmist
