#include "platform/profile.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#endif

#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::ProfileWriterPath;
using ::quorvalmist::testing::ReadFile;
using ::quorvalmist::testing::StartedProgram;
using ::quorvalmist::testing::TempDir;
using ::quorvalmist::testing::WriteFile;

TEST(ProfileTest, ReadsDefaultsEmptyValuesAndCapacity) {
  TempDir dir;
  std::wstring path = NarrowToWide(dir / "a.cnf");
  EXPECT_EQ(ReadProfileString(L"s", L"k", L"dflt", 20, path), L"dflt");  // no file
  WriteFile(dir / "a.cnf", "[S]\nK=\nlong=1234567890123456789012345\n");
  EXPECT_EQ(ReadProfileString(L"s", L"k", L"dflt", 20, path), L"");          // present, empty
  EXPECT_EQ(ReadProfileString(L"s", L"other", L"dflt", 20, path), L"dflt");  // no key
  EXPECT_EQ(ReadProfileString(L"t", L"k", L"dflt", 20, path), L"dflt");      // no section
  EXPECT_EQ(ReadProfileString(L"s", L"LONG", L"", 20, path), L"1234567890123456789");
  EXPECT_EQ(ReadProfileString(L"s", L"none", std::wstring(30, L'd'), 20, path).size(), 19u);
}

TEST(ProfileTest, WritesCreateFileAndSectionAndKeepOtherLines) {
  TempDir dir;
  std::wstring path = NarrowToWide(dir / "b.cnf");
  EXPECT_TRUE(WriteProfileString(L"item", L"position", L"3072", path));
  EXPECT_EQ(ReadProfileString(L"ITEM", L"Position", L"0", 20, path), L"3072");
  WriteFile(dir / "b.cnf", "; hand written\n[system]\nbuffersize = 4096  \n\n[item]\nposition=1\n");
  EXPECT_TRUE(WriteProfileString(L"item", L"position", L"2", path));
  EXPECT_TRUE(WriteProfileString(L"new", L"runstatus", L"run", path));
  EXPECT_EQ(ReadFile(dir / "b.cnf"),
            "; hand written\n[system]\nbuffersize = 4096  \n\n[item]\nposition=2\n"
            "[new]\nrunstatus=run\n");
  // A value with any script round-trips through the UTF-8 file.
  EXPECT_TRUE(WriteProfileString(L"\u4efb\u52a1", L"k", L"\u00e9\U0001F600", path));
  EXPECT_EQ(ReadProfileString(L"\u4efb\u52a1", L"k", L"", 20, path), L"\u00e9\U0001F600");
}

TEST(ProfileTest, WriteIntoMissingDirectoryIsLostSilently) {
  TempDir dir;
  std::wstring path = NarrowToWide(dir / "nodir/c.cnf");
  EXPECT_FALSE(WriteProfileString(L"s", L"k", L"v", path));
  EXPECT_FALSE(::quorvalmist::testing::PathExists(dir / "nodir"));
  EXPECT_EQ(ReadProfileString(L"s", L"k", L"d", 20, path), L"d");
}

TEST(ProfileTest, TwoWritingProcessesLoseNoUpdate) {
  TempDir dir;
  std::wstring path = NarrowToWide(dir / "shared.cnf");
  constexpr int kKeys = 1000;
  auto writer = [&](const wchar_t* prefix) {
    for (int i = 0; i < kKeys; ++i) {
      WriteProfileString(L"s" + std::to_wstring(i % 7), prefix + std::to_wstring(i), L"v", path);
    }
  };
  StartedProgram a(ProfileWriterPath(), {dir / "shared.cnf", std::to_string(kKeys), "keys", "a"});
  writer(L"b");
  ASSERT_EQ(a.Wait(), 0);
  int missing = 0;
  for (int i = 0; i < kKeys; ++i) {
    std::wstring section = L"s" + std::to_wstring(i % 7);
    if (ReadProfileString(section, L"a" + std::to_wstring(i), L"", 20, path) != L"v") ++missing;
    if (ReadProfileString(section, L"b" + std::to_wstring(i), L"", 20, path) != L"v") ++missing;
  }
  EXPECT_EQ(missing, 0);
}

TEST(ProfileTest, ReaderNeverSeesAKeyMissingWhileAnotherProcessRewrites) {
  TempDir dir;
  std::wstring path = NarrowToWide(dir / "inner.cnf");
  WriteProfileString(L"task", L"runstatus", L"run", path);
  StartedProgram writer(ProfileWriterPath(), {dir / "inner.cnf", "1000", "position"});
  int misses = 0;
  int reads = 0;
  for (;;) {
    bool done = writer.HasEnded();
    if (ReadProfileString(L"task", L"runstatus", L"stop", 20, path) != L"run") ++misses;
    ++reads;
    if (done) break;
  }
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(misses, 0) << "of " << reads << " reads";
  EXPECT_EQ(ReadProfileString(L"item", L"position", L"", 20, path), L"1022976");
}

#ifndef _WIN32
// Rewrites make no new file each time (a freed inode per write slowed every
// file made later on some file systems), a reader still on an old file keeps
// its whole text however often the file is rewritten meanwhile, and a spare
// planted as a link is not written through.
TEST(ProfileTest, RewritesReuseOneSpareButNeverOneAReaderIsOn) {
  TempDir dir;
  std::string file = dir / "inner.cnf";
  std::wstring path = NarrowToWide(file);
  auto inode = [&] {
    struct stat st;
    EXPECT_EQ(::stat(file.c_str(), &st), 0);
    return st.st_ino;
  };
  // A spare that is a link is replaced, never written through.
  WriteFile(dir / "victim", "keep");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (file + ".new").c_str()), 0);
  std::set<ino_t> inodes;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(WriteProfileString(L"item", L"position", std::to_wstring(i), path));
    if (i > 0) inodes.insert(inode());
  }
  EXPECT_EQ(inodes.size(), 2u);

  std::string held_text = ReadFile(file);
  int held = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_SH), 0);  // as a reader in the middle of its read
  for (int i = 6; i < 9; ++i) {
    ASSERT_TRUE(WriteProfileString(L"item", L"position", std::to_wstring(i), path));
  }
  char buffer[4096];
  ssize_t n = ::pread(held, buffer, sizeof buffer, 0);
  ::close(held);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), held_text);
  EXPECT_EQ(ReadProfileString(L"item", L"position", L"", 20, path), L"8");
  EXPECT_EQ(ReadFile(dir / "victim"), "keep");
  // A shorter text written into a spare that held a longer one.
  for (const wchar_t* value : {L"123456789", L"1", L"2"}) {
    ASSERT_TRUE(WriteProfileString(L"item", L"position", value, path));
  }
  EXPECT_EQ(ReadFile(file), "[item]\nposition=2\n");
}
#endif

TEST(ProfileTest, RemovesSections) {
  TempDir dir;
  std::wstring path = NarrowToWide(dir / "r.cnf");
  WriteProfileString(L"a", L"k", L"1", path);
  WriteProfileString(L"b", L"k", L"2", path);
  std::wstring gone[] = {L"A"};
  EXPECT_TRUE(RemoveProfileSections(path, gone, 1));
  EXPECT_EQ(ReadFile(dir / "r.cnf"), "[b]\nk=2\n");
}

}  // namespace
}  // namespace quorvalmist
