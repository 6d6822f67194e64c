// The verdict of FilesMatch is the same read from the device or the cache, on
// two threads or one.
#include <gtest/gtest.h>

#include "common/md5.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::RandomBytes;
using ::quorvalmist::testing::TempDir;
using ::quorvalmist::testing::WriteFile;

TEST(Md5MatchTest, EveryWayOfReadingGivesTheSameVerdict) {
  TempDir dir;
  std::string content = RandomBytes(5 << 20, 4);
  WriteFile(dir / "a", content);
  WriteFile(dir / "same", content);
  std::string changed = content;
  changed[content.size() / 2] ^= 1;
  WriteFile(dir / "middle", changed);
  std::wstring a = NarrowToWide(dir / "a");
  EXPECT_EQ(HashFileMd5FromDisk(NarrowToWide(dir / "same")), HashFileMd5(a));
  EXPECT_EQ(HashFileMd5FromDisk(NarrowToWide(dir / "missing")), L"");
  for (bool from_disk : {false, true}) {
    for (bool parallel : {false, true}) {
      MatchOptions options;
      options.target_from_disk = from_disk;
      options.parallel = parallel;
      SCOPED_TRACE(::testing::Message() << "from_disk " << from_disk << " parallel " << parallel);
      EXPECT_TRUE(FilesMatch(a, NarrowToWide(dir / "same"), options));
      EXPECT_FALSE(FilesMatch(a, NarrowToWide(dir / "middle"), options));
      EXPECT_FALSE(FilesMatch(a, NarrowToWide(dir / "missing"), options));
      EXPECT_FALSE(FilesMatch(NarrowToWide(dir / "missing"), a, options));
    }
  }
}

}  // namespace
}  // namespace quorvalmist
