#include "common/directories.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(CreateDirectoryTreeTest, CreatesMissingAncestorsOnly) {
  TempDir dir;
  testing::MakeDirs(dir / "a");
  // One trailing separator is dropped; a and the ancestors above exist.
  ASSERT_TRUE(CreateDirectoryTree(NarrowToWide(dir / "a/b/c/")).ok());
  EXPECT_TRUE(IsDirectory(NarrowToWide(dir / "a/b/c")));
  ASSERT_TRUE(CreateDirectoryTree(NarrowToWide(dir / "a/b/c")).ok());  // already there

  // Anything existing under the path ends the call, a file included.
  WriteFile(dir / "file", "x");
  ASSERT_TRUE(CreateDirectoryTree(NarrowToWide(dir / "file")).ok());
  EXPECT_EQ(ReadFile(dir / "file"), "x");

  // A file in the way of an ancestor is reported.
  Status s = CreateDirectoryTree(NarrowToWide(dir / "file/x/y"));
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(dir / "file/x"), std::string::npos) << s.message();

  // A relative path climbs to the current directory and stops there.
  EXPECT_TRUE(CreateDirectoryTree(L"").ok());
}

}  // namespace
}  // namespace quorvalmist
