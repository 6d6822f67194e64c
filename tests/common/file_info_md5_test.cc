#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <fstream>

#include "common/file_info.h"
#include "common/md5.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::RandomBytes;
using ::quorvalmist::testing::TempDir;
using ::quorvalmist::testing::WriteFile;

std::wstring W(const std::string& s) { return NarrowToWide(s); }

std::wstring Md5Of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
  return FormatDigestHex(digest);
}

// Bytes this process has read through read(2) so far.
long long BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

TEST(FileInfoTest, SizesOfEmptyLargeSparseAndMissingFiles) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  EXPECT_EQ(QueryFileSize(W(dir / "empty")), 0u);
  for (uint64_t size : {4294967296ULL, 5368709120ULL}) {
    std::string path = dir / ("sparse" + std::to_string(size));
    WriteFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
    EXPECT_EQ(QueryFileSize(W(path)), size);
  }
  EXPECT_FALSE(QueryFileSize(W(dir / "missing")).has_value());
  // Non-UTF-8 names are reached through the wide form.
  std::string odd = dir / std::string("n\xff\xfe", 3);
  WriteFile(odd, "abc");
  EXPECT_EQ(QueryFileSize(W(odd)), 3u);
}

TEST(FileInfoTest, ParentDirectory) {
  EXPECT_EQ(ParentDirectory(L"/data/2024/big.iso"), L"/data/2024");
  EXPECT_EQ(ParentDirectory(L"/big.iso"), L"");
  EXPECT_EQ(ParentDirectory(L"big.iso"), L"");
  EXPECT_EQ(ParentDirectory(L"/data/"), L"/data");
  EXPECT_EQ(ParentDirectory(L"a\\b\\c"), L"");  // a backslash is an ordinary character here
}

TEST(Md5Test, Rfc1321Vectors) {
  TempDir dir;
  const std::pair<std::string, std::wstring> vectors[] = {
      {"", L"d41d8cd98f00b204e9800998ecf8427e"},
      {"a", L"0cc175b9c0f1b6a831c399e269772661"},
      {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       L"d174ab98d277d9f5a5611c2c9f419d9f"},
      {[] {
         std::string s;
         for (int i = 0; i < 8; ++i) s += "1234567890";
         return s;
       }(),
       L"57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : vectors) {
    WriteFile(dir / "v", input);
    EXPECT_EQ(HashFileMd5(W(dir / "v")), digest) << input;
  }
}

TEST(Md5Test, FilesAroundTheChunkSizeHashLikeTheirWholeContent) {
  TempDir dir;
  for (size_t size : {HashChunkSize, HashChunkSize + 1}) {
    std::string content = RandomBytes(size, static_cast<uint32_t>(size));
    WriteFile(dir / "f", content);
    EXPECT_EQ(HashFileMd5(W(dir / "f")), Md5Of(content)) << size;
    // From the current position of an open stream to its end.
    File f;
    ASSERT_TRUE(File::Open(dir / "f", File::Mode::kRead, &f).ok());
    char skip[10];
    size_t n;
    ASSERT_TRUE(f.Read(skip, sizeof skip, &n).ok());
    EXPECT_EQ(HashStreamMd5(f), Md5Of(content.substr(10)));
  }
}

TEST(Md5Test, UnreadableInputNeverVerifies) {
  TempDir dir;
  EXPECT_EQ(HashFileMd5(W(dir / "missing")), L"");
  // A directory opens but every read fails: that must not pass for the end of
  // an empty file.
  EXPECT_EQ(HashFileMd5(W(dir.path())), L"");
  ::quorvalmist::testing::MakeDirs(dir / "d1");
  ::quorvalmist::testing::MakeDirs(dir / "d2");
  EXPECT_FALSE(FilesMatch(W(dir / "d1"), W(dir / "d2")));
  EXPECT_FALSE(FilesMatch(W(dir / "missing"), W(dir / "missing2")));
}

TEST(Md5Test, FilesMatchComparesSizeThenDigest) {
  TempDir dir;
  std::string content = RandomBytes(3 << 20, 1);
  WriteFile(dir / "a", content);
  WriteFile(dir / "same", content);
  std::string changed = content;
  changed.back() ^= 1;
  WriteFile(dir / "last", changed);
  EXPECT_TRUE(FilesMatch(W(dir / "a"), W(dir / "same")));
  EXPECT_FALSE(FilesMatch(W(dir / "a"), W(dir / "last")));

  WriteFile(dir / "longer", content + "x");
  long long before = BytesRead();
  EXPECT_FALSE(FilesMatch(W(dir / "a"), W(dir / "longer")));
  EXPECT_LT(BytesRead() - before, 4096) << "files of different sizes were read";
}

}  // namespace
}  // namespace quorvalmist
