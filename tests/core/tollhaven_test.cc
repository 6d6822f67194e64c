// End-to-end tests of the core program with the real copier, database and
// files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include "common/config_store.h"
#include "db/db_create.h"
#include "db/schema.h"
#include "platform/file.h"
#include "platform/marker.h"
#include "platform/text.h"
#include "tests/core/core_test_support.h"

namespace quorvalmist::testing {
namespace {

std::wstring W(const std::string& s) { return NarrowToWide(s); }

// A double quote in a name; Windows names may not hold one, so '#' there.
#ifdef _WIN32
#define kQuote "#"
#else
#define kQuote "\""
#endif

using TollhavenTest = CoreTest;

// A file's text and, where files have inodes, its inode and change time: a
// profile write puts another file in place, so an unchanged state shows that
// nobody wrote the file.
std::string FileStateOf(const std::string& path) {
  std::string state = ReadFile(path);
#ifndef _WIN32
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  state += "\n(inode " + std::to_string(st.st_ino) + ", changed " +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + ")";
#endif
  return state;
}

TEST_F(TollhavenTest, CopiesAndVerifiesAWholeTreeOnceAndResumesToNothing) {
  std::string src = Path("src"), dst = Path("dst");
  const std::vector<std::pair<std::string, size_t>> files = {
      {"empty.bin", 0},
      {"a b/with blank.txt", 3000},
      {"a b/q'uote/it's.dat", 70000},
      {"d" kQuote "quote/x" kQuote "y", 1},
      {"\u4e2d\u6587/\u0444\u0430\u0439\u043b.txt", 5000},
      {"deep/1/2/3/4/leaf", 2048},
  };
  for (const auto& [name, size] : files) {
    std::string path = JoinPath(src, name);
    MakeDirs(path.substr(0, LastComponentStart(path) - 1));
    WriteFile(path, RandomBytes(size, static_cast<uint32_t>(size)));
  }
  MakeDirs(JoinPath(src, "empty dir/nested empty"));
  AddDirTask(L"T1", src, dst);

  RunResult r = RunCore(L"T1");
  EXPECT_EQ(r.exit_code, 0) << r.error;
  auto items = Items(L"T1");
  EXPECT_EQ(items.size(), files.size());
  for (const auto& [name, size] : files) {
    SCOPED_TRACE(name);
    auto& row = items[W(JoinPath(src, name))];
    EXPECT_EQ(row[L"copystatus"], L"success");
    EXPECT_EQ(row[L"md5status"], L"md5ok");
    EXPECT_EQ(row[L"totalnum"], std::to_wstring(size));
    EXPECT_EQ(row[L"positionnum"], row[L"totalnum"]);
    EXPECT_EQ(row[L"targetfile"], W(JoinPath(dst, name)));
    EXPECT_TRUE(FilesEqual(JoinPath(src, name), JoinPath(dst, name)));
  }
  EXPECT_TRUE(PathExists(JoinPath(dst, "empty.bin")));
  // Every directory of the tree is recorded, the empty ones included.
  auto dirs = SearchedDirs(L"T1");
  for (const char* d : {"", "a b", "a b/q'uote", "d" kQuote "quote", "empty dir",
                        "empty dir/nested empty", "deep/1/2/3/4"}) {
    std::string dir = *d ? JoinPath(src, d) : src;
    EXPECT_NE(std::find(dirs.begin(), dirs.end(), W(dir)), dirs.end()) << d;
  }
  EXPECT_EQ(dirs.size(), 12u);

  // A second run finds everything done: no new row, no new copy.
  ::unlink((JoinPath(dst, "a b/with blank.txt")).c_str());
  r = RunCore(L"T1");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Items(L"T1").size(), files.size());
  EXPECT_FALSE(PathExists(JoinPath(dst, "a b/with blank.txt")));
}

#ifdef _WIN32
// A folder that is hidden and system (attributes exactly 0x16) is not
// entered; one that is only hidden is, as is every other.
TEST_F(TollhavenTest, HiddenSystemFoldersAreNotEntered) {
  std::string src = Path("src"), dst = Path("dst");
  for (const char* d : {"plain", "hidden", "hidden system"}) {
    MakeDirs(JoinPath(src, d));
    WriteFile(JoinPath(src, std::string(d) + "/f"), d);
  }
  ASSERT_TRUE(
      ::SetFileAttributesW(NarrowToWide(JoinPath(src, "hidden")).c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::SetFileAttributesW(NarrowToWide(JoinPath(src, "hidden system")).c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  AddDirTask(L"H", src, dst);
  ASSERT_EQ(RunCore(L"H").exit_code, 0);
  auto items = Items(L"H");
  EXPECT_EQ(items.size(), 2u);
  EXPECT_TRUE(FilesEqual(JoinPath(src, "plain/f"), JoinPath(dst, "plain/f")));
  EXPECT_TRUE(FilesEqual(JoinPath(src, "hidden/f"), JoinPath(dst, "hidden/f")));
  EXPECT_FALSE(PathExists(JoinPath(dst, "hidden system/f")));
}
#endif

TEST_F(TollhavenTest, CheckModesDecideWhatIsVerified) {
  std::string src = Path("src");
  MakeDirs(src);
  WriteRandomFile(JoinPath(src, "edge"), 10485760, 1);
  WriteRandomFile(JoinPath(src, "over"), 10485761, 2);
  struct Case {
    const char* flag;
    const wchar_t* edge;
    const wchar_t* over;
  };
  const Case cases[] = {
      {"0", L"success", L"finish"},  {"abc", L"success", L"finish"}, {"2", L"finish", L"finish"},
      {"1", L"success", L"success"}, {"-1", L"success", L"success"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flag);
    SetCheckFileFlag(c.flag);
    SetBufferSize("1048576");
    std::wstring task = L"mode" + std::to_wstring(n);
    std::string dst = Path("dst" + std::to_string(n++));
    AddDirTask(task, src, dst);
    ASSERT_EQ(RunCore(task).exit_code, 0);
    auto items = Items(task);
    EXPECT_EQ(items[W(JoinPath(src, "edge"))][L"copystatus"], c.edge);
    EXPECT_EQ(items[W(JoinPath(src, "over"))][L"copystatus"], c.over);
    for (const char* f : {"edge", "over"}) {
      auto& row = items[W(JoinPath(src, f))];
      EXPECT_EQ(row[L"md5status"], row[L"copystatus"] == L"success" ? L"md5ok" : L"md5uncheck");
      EXPECT_EQ(row[L"positionnum"], row[L"totalnum"]);
      EXPECT_TRUE(FilesEqual(JoinPath(src, f), JoinPath(dst, f)));
    }
  }
}

TEST_F(TollhavenTest, FilesTaskCopiesExactlyTheReadyRows) {
  MakeDirs(Path("src"));
  for (int i = 0; i < 4; ++i) {
    WriteFile(Path("src/f" + std::to_string(i)), RandomBytes(100 + i, i));
  }
  AddFilesTask(L"F");
  for (int i = 0; i < 3; ++i) {
    AddItem(L"F", Path("src/f" + std::to_string(i)), Path("out/f" + std::to_string(i)));
  }
  AddItem(L"F", Path("src/f3"), Path("out/f3"), L"success");
  ASSERT_EQ(RunCore(L"F").exit_code, 0);
  for (int i = 0; i < 3; ++i) {
    std::string f = "f" + std::to_string(i);
    EXPECT_EQ(StatusOf(L"F", Path("src/" + f)), L"success");
    EXPECT_TRUE(FilesEqual(Path("src/" + f), Path("out/" + f)));
  }
  EXPECT_FALSE(PathExists(Path("out/f3")));
  EXPECT_EQ(StatusOf(L"F", Path("src/f3")), L"success");
}

TEST_F(TollhavenTest, MissingCopierEndsEveryItemAsStop) {
  // A core alone in a folder, with no copier beside it, in the current
  // directory or on PATH.
  MakeDirs(Path("alone"));
  std::string core = Path("alone/Tollhaven");
  WriteFile(core, ReadFile(TollhavenPath()));
  ASSERT_EQ(::chmod(core.c_str(), 0755), 0);
  MakeDirs(Path("src"));
  WriteFile(Path("src/a"), "abc");
  WriteFile(Path("src/b"), "");
  AddDirTask(L"T", Path("src"), Path("dst"));
  RunResult r = RunProgram(core, {"T"}, {"PATH=/nonexistent"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "");
  auto items = Items(L"T");
  ASSERT_EQ(items.size(), 2u);
  for (auto& [source, row] : items) {
    EXPECT_EQ(row[L"copystatus"], L"stop");
    EXPECT_EQ(row[L"md5status"], L"md5uncheck");
  }
}

TEST_F(TollhavenTest, RefusesOrIgnoresBadStarts) {
  RunResult r = RunProgram(TollhavenPath(), {});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "input < 2\n");

  r = RunCore(L"no such task");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "");

  // A copy type with a trailing blank matches neither word; capitals do.
  MakeDirs(Path("src"));
  WriteFile(Path("src/a"), "abc");
  Execute(L"insert into tcitem(id,copytype,sourcedir,targetdir,copystatus) values('B','dir ','" +
          W(Path("src")) + L"','" + W(Path("dst")) + L"','ready')");
  SetTaskRunStatus(L"B", L"run");
  EXPECT_EQ(RunCore(L"B").exit_code, 0);
  EXPECT_TRUE(Items(L"B").empty());
  Execute(L"update tcitem set copytype='DiR' where id='B'");
  EXPECT_EQ(RunCore(L"B").exit_code, 0);
  EXPECT_EQ(StatusOf(L"B", Path("src/a")), L"success");

  // A second core for a task that is being run exits -1 and writes nothing.
  MarkerHolder running(L"B");
  Execute(L"delete from tcitem2");
  EXPECT_EQ(RunCore(L"B").exit_code, 255);
  EXPECT_TRUE(Items(L"B").empty());
  running.Release();

  // A wrong password and a missing database: one warning, exit 0, nothing made.
  ::rename("fm2.qz", "saved.qz");
  r = RunCore(L"B");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.error.find("\u8b66\u544a: "), std::string::npos) << r.error;
  EXPECT_FALSE(PathExists(Path("fm2.qz")));
}

TEST_F(TollhavenTest, WrongPasswordIsRefused) {
  ::unlink("fm2.qz");
  ::unlink("fm2.qz-wal");
  ::unlink("fm2.qz-shm");
  CreateTaskDbFor(L"Data Source=fm2.qz;Jet OLEDB:Database Password=other");
  RunResult r = RunCore(L"T");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.error.find("Not a valid password."), std::string::npos) << r.error;
}

TEST_F(TollhavenTest, ExistingTargetOfTheSameSizeIsNeverReplaced) {
  MakeDirs(Path("src"));
  MakeDirs(Path("dst"));
  WriteFile(Path("src/same"), "source!");
  WriteFile(Path("dst/same"), "target!");
  WriteFile(Path("src/equal"), "identical");
  WriteFile(Path("dst/equal"), "identical");
  AddDirTask(L"T", Path("src"), Path("dst"));
  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  EXPECT_EQ(ReadFile(Path("dst/same")), "target!");
  EXPECT_EQ(StatusOf(L"T", Path("src/same")), L"error");
  EXPECT_EQ(Items(L"T")[W(Path("src/same"))][L"md5status"], L"md5error");
  EXPECT_EQ(StatusOf(L"T", Path("src/equal")), L"success");
  // No copy is started for a target in place, so none is left beside it.
  EXPECT_FALSE(PathExists(Path("dst/same_quorvalmist_temp")));
}

// The core and the copier only read the front end's files: a run that finds
// targets in place and equal, and copies others, leaves config/core.cnf and
// config.cnf as the front end wrote them. The bytes found in place reach the
// front end through inner.cnf.
TEST_F(TollhavenTest, ARunWritesNeitherTheFrontEndsFiles) {
  uint64_t found = 0;
  for (int i = 0; i < 8; ++i) {
    std::string name = std::string(i % 2 ? "a" : "b") + "/f" + std::to_string(i);
    MakeDirs(Path("src/") + name.substr(0, 1));
    MakeDirs(Path("dst/") + name.substr(0, 1));
    WriteFile(Path("src/" + name),
              RandomBytes(3000 + static_cast<size_t>(i), static_cast<uint32_t>(i)));
    if (i % 4 == 3) continue;  // copied
    WriteFile(Path("dst/" + name), ReadFile(Path("src/" + name)));
    found += 3000 + static_cast<uint64_t>(i);
  }
  WriteFile(Path("config/core.cnf"), "[system]\ncheckfileflag=1\npacing=brisk\n");
  AddDirTask(L"T", Path("src"), Path("dst"));
  std::string core_before = FileStateOf(Path("config/core.cnf"));
  std::string global_before = FileStateOf(Path("config.cnf"));

  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  auto items = Items(L"T");
  EXPECT_EQ(items.size(), 8u);
  for (const auto& [source, row] : items) {
    EXPECT_EQ(row.at(L"copystatus"), L"success") << WideToNarrow(source);
  }
  EXPECT_EQ(FileStateOf(Path("config/core.cnf")), core_before);
  EXPECT_EQ(FileStateOf(Path("config.cnf")), global_before);
  EXPECT_EQ(ReadTaskFoundBytes(L"T"), found);
}

TEST_F(TollhavenTest, TargetInsideTheSourceIsNotCopiedIntoItself) {
  MakeDirs(Path("src/sub"));
  WriteFile(Path("src/a"), "a");
  WriteFile(Path("src/sub/b"), "b");
  AddDirTask(L"T", Path("src"), Path("src/copy/"));
  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  EXPECT_EQ(Items(L"T").size(), 2u);
  EXPECT_TRUE(FilesEqual(Path("src/sub/b"), Path("src/copy/sub/b")));
  EXPECT_FALSE(PathExists(Path("src/copy/copy")));
}

TEST_F(TollhavenTest, DatabaseFailureEndsTheRunWithAMessage) {
  MakeDirs(Path("src"));
  WriteFile(Path("src/a"), "a");
  AddDirTask(L"T", Path("src"), Path("dst"));
  Execute(L"drop table tcsearch");
  RunResult r = RunCore(L"T");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.error.find("database error"), std::string::npos) << r.error;
  // The file itself was copied and recorded before the failing change.
  EXPECT_EQ(StatusOf(L"T", Path("src/a")), L"success");
}

}  // namespace
}  // namespace quorvalmist::testing
