#include "inner/file_primitives.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/directories.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(CountChunksTest, RoundsUpAndCountsBeyondThirtyTwoBits) {
  EXPECT_EQ(CountChunks(2500, 0, 1024), 3);
  EXPECT_EQ(CountChunks(2048, 0, 1024), 2);
  EXPECT_EQ(CountChunks(2048, 2048, 1024), 0);
  EXPECT_EQ(CountChunks(2049, 1024, 1024), 2);
  EXPECT_EQ(CountChunks(0, 0, 1024), 0);
  EXPECT_EQ(CountChunks(1, 0, INT32_MAX), 1);
  // 3 TiB in 1024-byte chunks is more than 2^31 - 1 chunks.
  EXPECT_EQ(CountChunks(uint64_t{3} << 40, 0, 1024), int64_t{3} << 30);
  EXPECT_EQ(CountChunks((uint64_t{3} << 40) + 1, 0, 1), (int64_t{3} << 40) + 1);
}

TEST(CopyChunkTest, CopiesAtAbsoluteOffsetsAndStopsAtTheEnd) {
  TempDir dir;
  std::string content = testing::RandomBytes(2500, 7);
  WriteFile(dir / "src", content);
  File source, target;
  ASSERT_TRUE(File::Open(dir / "src", File::Mode::kRead, &source).ok());
  ASSERT_TRUE(File::Open(dir / "dst", File::Mode::kCreateTruncate, &target).ok());

  // The last, short chunk first: beyond the target's end, which grows to
  // offset + bytes copied with zeros before.
  uint64_t copied = 0;
  ASSERT_TRUE(CopyChunk(source, target, 2048, 1024, &copied).ok());
  EXPECT_EQ(copied, 452u);
  std::string written = ReadFile(dir / "dst");
  ASSERT_EQ(written.size(), 2500u);
  EXPECT_EQ(written.substr(0, 2048), std::string(2048, '\0'));
  EXPECT_EQ(written.substr(2048), content.substr(2048));

  ASSERT_TRUE(CopyChunk(source, target, 1024, 1024, &copied).ok());
  EXPECT_EQ(copied, 1024u);
  // A range of many chunks in one call, ending past the source.
  ASSERT_TRUE(CopyChunk(source, target, 0, 100 << 20, &copied).ok());
  EXPECT_EQ(copied, 2500u);
  EXPECT_EQ(ReadFile(dir / "dst"), content);

  // At or past the end nothing is copied and nothing fails.
  ASSERT_TRUE(CopyChunk(source, target, 2500, 1024, &copied).ok());
  EXPECT_EQ(copied, 0u);
  ASSERT_TRUE(CopyChunk(source, target, 9000, 1024, &copied).ok());
  EXPECT_EQ(copied, 0u);
  EXPECT_EQ(ReadFile(dir / "dst").size(), 2500u);
}

TEST(CopyChunkTest, ReportsAFailedWrite) {
  TempDir dir;
  WriteFile(dir / "src", testing::RandomBytes(4096, 3));
  WriteFile(dir / "dst", "");
  File source, target;
  ASSERT_TRUE(File::Open(dir / "src", File::Mode::kRead, &source).ok());
  ASSERT_TRUE(File::Open(dir / "dst", File::Mode::kRead, &target).ok());  // not writable
  uint64_t copied = 99;
  Status s = CopyChunk(source, target, 0, 1024, &copied);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(dir / "dst"), std::string::npos) << s.message();
  EXPECT_EQ(copied, 0u);
}

TEST(SetFileLengthTest, CutsExtendsAndReportsAMissingFile) {
  TempDir dir;
  WriteFile(dir / "f", std::string(5000, 'x'));
  ASSERT_TRUE(SetFileLength(NarrowToWide(dir / "f"), 2500).ok());
  EXPECT_EQ(ReadFile(dir / "f"), std::string(2500, 'x'));
  ASSERT_TRUE(SetFileLength(NarrowToWide(dir / "f"), 3000).ok());
  EXPECT_EQ(ReadFile(dir / "f"), std::string(2500, 'x') + std::string(500, '\0'));
  ASSERT_TRUE(SetFileLength(NarrowToWide(dir / "f"), 0).ok());
  EXPECT_EQ(ReadFile(dir / "f"), "");

  Status missing = SetFileLength(NarrowToWide(dir / "none"), 10);
  EXPECT_FALSE(missing.ok());
  EXPECT_FALSE(testing::PathExists(dir / "none"));  // never created
}

TEST(SeekFile64Test, MovesFromEachOriginAndRefusesNegativePositions) {
  TempDir dir;
  WriteFile(dir / "f", std::string(100, 'x'));
  FileHandle handle;
  ASSERT_TRUE(File::Open(dir / "f", File::Mode::kRead, &handle.file).ok());
  EXPECT_EQ(SeekFile64(handle, 40, SeekMethod::kBegin), 40);
  EXPECT_EQ(SeekFile64(handle, -10, SeekMethod::kCurrent), 30);
  EXPECT_EQ(SeekFile64(handle, 5, SeekMethod::kEnd), 105);
  EXPECT_EQ(SeekFile64(handle, int64_t{1} << 40, SeekMethod::kBegin), int64_t{1} << 40);
  EXPECT_EQ(SeekFile64(handle, -101, SeekMethod::kEnd), -1);
  EXPECT_EQ(handle.position, uint64_t{1} << 40);  // unchanged by the failure
}

TEST(FileKindTest, OnlyRegularFilesAreFilesAndOnlyDirectoriesAreDirectories) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  testing::MakeDirs(dir / "dir");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

  EXPECT_TRUE(IsRegularFile((dir / "file").c_str()));
  EXPECT_FALSE(IsRegularFile((dir / "dir").c_str()));
  EXPECT_FALSE(IsRegularFile((dir / "fifo").c_str()));
  EXPECT_FALSE(IsRegularFile((dir / "none").c_str()));
  EXPECT_FALSE(IsRegularFile("/dev/null"));

  EXPECT_TRUE(IsDirectory(NarrowToWide(dir / "dir")));
  EXPECT_FALSE(IsDirectory(NarrowToWide(dir / "file")));
  EXPECT_FALSE(IsDirectory(NarrowToWide(dir / "none")));
}

TEST(ToAnsiPathTest, ConvertsWithinTheBufferAndRefusesWhatDoesNotFit) {
  char buffer[16];
  std::fill(std::begin(buffer), std::end(buffer), 'z');
  ASSERT_EQ(ToAnsiPath(L"", buffer, sizeof buffer), buffer);
  EXPECT_EQ(buffer[0], '\0');

  // A name that is not UTF-8 comes back as the same bytes.
  std::string bytes = "a \"\xff\xfe\"";
  ASSERT_NE(ToAnsiPath(NarrowToWide(bytes), buffer, sizeof buffer), nullptr);
  EXPECT_EQ(std::string(buffer), bytes);

  // 15 bytes and the terminator fit in 16; 16 bytes do not.
  EXPECT_NE(ToAnsiPath(std::wstring(15, L'x'), buffer, sizeof buffer), nullptr);
  EXPECT_EQ(ToAnsiPath(std::wstring(16, L'x'), buffer, sizeof buffer), nullptr);
  EXPECT_EQ(buffer[0], '\0');
  // Multi-byte characters count by their bytes.
  EXPECT_EQ(ToAnsiPath(std::wstring(8, L'\u00e9'), buffer, sizeof buffer), nullptr);
}

}  // namespace
}  // namespace quorvalmist
