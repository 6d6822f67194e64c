// End-to-end tests of stopping and resuming the core, and of cores running
// side by side. The monitor threads of both programs are involved, so these
// also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/file.h"
#include "platform/marker.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "tests/core/core_test_support.h"

namespace quorvalmist::testing {
namespace {

std::wstring W(const std::string& s) { return NarrowToWide(s); }

class TollhavenStopTest : public CoreTest {
 protected:
  // An all-hole source that one-byte chunks make take minutes to copy, so a
  // copier left running on it is stopped by its monitor long before its end.
  static constexpr uint64_t kEndlessSize = uint64_t{4} << 30;

  bool IsRunning(const std::wstring& task, const std::string& source) {
    return StatusOf(task, source) == L"running";
  }

  // True while `pid` has `path` open at a position past 0: it is reading it.
  static bool IsReading(int pid, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : fs::directory_iterator(fds, ec)) {
      if (fs::read_symlink(fd.path(), ec) != path) continue;
      // The descriptor may be closed meanwhile: then nothing is read.
      std::ifstream fdinfo(fds.substr(0, fds.size() - 2) + "fdinfo/" +
                           fd.path().filename().string());
      std::string key;
      unsigned long long position = 0;
      if (fdinfo >> key >> position && key == "pos:" && position > 0) return true;
    }
    return false;
  }
};

TEST_F(TollhavenStopTest, DirectoryRunStopsDuringTheThirdFileAndResumes) {
  std::string sub = Path("src/sub");
  MakeDirs(sub);
  for (int i = 0; i < 5; ++i) WriteFile(sub + "/f" + std::to_string(i), RandomBytes(10, i));
  std::vector<std::string> order = WalkOrder(sub);
  ASSERT_EQ(order.size(), 5u);
  std::string third = sub + "/" + order[2];
  WriteSparseFile(third, kEndlessSize);
  SetBufferSize("1");
  AddDirTask(L"T", Path("src"), Path("dst"));

  // The third file's copier is held where it opens its source, so the stop
  // lands while that file is being copied however fast the build is.
  OpenGate gate(third);
  StartedProgram core(TollhavenPath(), {"T"});
  ASSERT_TRUE(gate.WaitForArrival());
  EXPECT_TRUE(IsRunning(L"T", third));
  SetTaskRunStatus(L"T", L"stop");
  ASSERT_TRUE(WaitFor([&] { return core.HasEnded(); }, std::chrono::seconds(10)));
  EXPECT_EQ(core.Wait(), 0);

  auto items = Items(L"T");
  ASSERT_EQ(items.size(), 3u);
  auto& row = items[W(third)];
  const std::wstring third_id = row[L"id"];
  EXPECT_EQ(row[L"copystatus"], L"stop");
  EXPECT_EQ(row[L"md5status"], L"md5uncheck");
  for (int i : {0, 1}) EXPECT_EQ(items[W(sub + "/" + order[i])][L"copystatus"], L"success");
  for (int i : {3, 4}) EXPECT_EQ(items.count(W(sub + "/" + order[i])), 0u);
  EXPECT_TRUE(SearchedDirs(L"T").empty());

  // Let go, the orphaned copier starts, notices its core has gone and ends,
  // leaving its temporary file and no target.
  gate.Release();
  EXPECT_TRUE(WaitFor([&] { return IsMarkerAbsent(row[L"id"]); }, std::chrono::seconds(30)));
  EXPECT_TRUE(PathExists(Path("dst/sub/") + order[2] + "_quorvalmist_temp"));
  EXPECT_FALSE(PathExists(Path("dst/sub/") + order[2]));

  // The next run takes the stopped row up again (in larger chunks, so that
  // the holes are passed over quickly) and copies the files not reached.
  SetTaskRunStatus(L"T", L"run");
  SetBufferSize("4194304");
  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  items = Items(L"T");
  EXPECT_EQ(items.size(), 5u);
  for (int i : {3, 4}) {
    EXPECT_EQ(items[W(sub + "/" + order[i])][L"copystatus"], L"success");
    EXPECT_TRUE(FilesEqual(sub + "/" + order[i], Path("dst/sub/") + order[i]));
  }
  EXPECT_EQ(items[W(third)][L"id"], third_id);
  EXPECT_EQ(items[W(third)][L"copystatus"], L"finish");  // too large for check mode 0
  std::optional<PathInfo> copied = StatPath(Path("dst/sub/") + order[2]);
  ASSERT_TRUE(copied);
  EXPECT_EQ(copied->size, kEndlessSize);
  auto dirs = SearchedDirs(L"T");
  std::sort(dirs.begin(), dirs.end());
  EXPECT_EQ(dirs, (std::vector<std::wstring>{W(Path("src")), W(sub)}));
}

// A complete copy whose MD5 check a stop cuts short, or a kill ends, is left
// "stop" or "running"; the core's next run on its own (no front end's resume
// in between) takes that row up again and verifies the copy.
TEST_F(TollhavenStopTest, ACopyWhoseCheckWasCutShortIsVerifiedByTheNextRun) {
  // A target already in place is judged by MD5 alone; 1 GiB of holes takes
  // seconds to hash in any build, and the test waits until the core is
  // reading the source before it ends the run.
  MakeDirs(Path("src"));
  MakeDirs(Path("dst"));
  WriteSparseFile(Path("src/z"), uint64_t{1} << 30);
  WriteSparseFile(Path("dst/z"), uint64_t{1} << 30);
  AddDirTask(L"T", Path("src"), Path("dst"));
  std::wstring id;
  for (const std::wstring end : {L"stop", L"running"}) {
    SCOPED_TRACE(WideToNarrow(end));
    StartedProgram core(TollhavenPath(), {"T"});
    ASSERT_TRUE(WaitFor([&] { return IsReading(core.pid(), Path("src/z")) || core.HasEnded(); },
                        std::chrono::seconds(30)));
    ASSERT_FALSE(core.HasEnded()) << "the run ended without checking the copy";
    if (end == L"stop") {
      SetTaskRunStatus(L"T", L"stop");
      ASSERT_TRUE(WaitFor([&] { return core.HasEnded(); }, std::chrono::seconds(10)));
      EXPECT_EQ(core.Wait(), 0);
    } else {
      core.KillAtOnce();
      core.Wait();
    }
    auto items = Items(L"T");
    ASSERT_EQ(items.size(), 1u);
    ColumnMap& row = items[W(Path("src/z"))];
    EXPECT_EQ(row[L"copystatus"], end);
    if (id.empty()) id = row[L"id"];
    EXPECT_EQ(row[L"id"], id);
    EXPECT_TRUE(SearchedDirs(L"T").empty());
    SetTaskRunStatus(L"T", L"run");
  }

  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  auto items = Items(L"T");
  ASSERT_EQ(items.size(), 1u);
  ColumnMap& row = items[W(Path("src/z"))];
  EXPECT_EQ(row[L"id"], id);
  EXPECT_EQ(row[L"copystatus"], L"success");
  EXPECT_EQ(row[L"md5status"], L"md5ok");
  EXPECT_EQ(row[L"positionnum"], row[L"totalnum"]);
  EXPECT_EQ(SearchedDirs(L"T"), std::vector<std::wstring>{W(Path("src"))});
}

TEST_F(TollhavenStopTest, FilesRunStopsDuringTheSecondRowAndResumesTheThird) {
  MakeDirs(Path("src"));
  WriteFile(Path("src/one"), "1");
  WriteSparseFile(Path("src/two"), kEndlessSize);
  WriteFile(Path("src/three"), "333");
  SetBufferSize("1");
  AddFilesTask(L"F");
  // Inserted one by one; the engine lists them in insertion order.
  for (const char* f : {"one", "two", "three"}) {
    AddItem(L"F", Path("src/") + f, Path("out/") + f);
  }
  OpenGate gate(Path("src/two"));
  StartedProgram core(TollhavenPath(), {"F"});
  ASSERT_TRUE(gate.WaitForArrival());
  EXPECT_TRUE(IsRunning(L"F", Path("src/two")));
  ReleaseFrontEnd();  // the front end goes away: the same as a stop
  ASSERT_TRUE(WaitFor([&] { return core.HasEnded(); }, std::chrono::seconds(10)));
  EXPECT_EQ(core.Wait(), 0);
  EXPECT_EQ(StatusOf(L"F", Path("src/one")), L"success");
  EXPECT_EQ(StatusOf(L"F", Path("src/two")), L"stop");
  EXPECT_EQ(StatusOf(L"F", Path("src/three")), L"ready");

  // The orphaned copier ends before the next core claims the task's marker,
  // which it would take for its own core.
  gate.Release();
  std::wstring two_id = Items(L"F")[W(Path("src/two"))][L"id"];
  EXPECT_TRUE(WaitFor([&] { return IsMarkerAbsent(two_id); }, std::chrono::seconds(30)));

  front_end_ = std::make_unique<MarkerHolder>(L"quorvalmist-plinter");
  ASSERT_EQ(RunCore(L"F").exit_code, 0);
  EXPECT_EQ(StatusOf(L"F", Path("src/three")), L"success");
  EXPECT_TRUE(FilesEqual(Path("src/three"), Path("out/three")));
  EXPECT_EQ(StatusOf(L"F", Path("src/two")), L"stop");
}

TEST_F(TollhavenStopTest, TwoTasksSideBySideLoseNoUpdate) {
  constexpr int kFiles = 12;
  for (const char* t : {"a", "b"}) {
    MakeDirs(Path("src_") + t);
    for (int i = 0; i < kFiles; ++i) {
      WriteFile(Path("src_") + t + "/f" + std::to_string(i), RandomBytes(5000, i));
    }
    AddDirTask(W(t), Path("src_") + t, Path("dst_") + t);
  }
  StartedProgram a(TollhavenPath(), {"a"});
  StartedProgram b(TollhavenPath(), {"b"});
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  std::wstring inner = W(Path("config/inner.cnf"));
  for (const wchar_t* t : {L"a", L"b"}) {
    auto items = Items(t);
    EXPECT_EQ(items.size(), static_cast<size_t>(kFiles));
    for (auto& [source, row] : items) {
      EXPECT_EQ(row[L"copystatus"], L"success") << WideToNarrow(source);
      EXPECT_EQ(row[L"positionnum"], L"5000");
      // The core's "runstatus" and the copier's last "position" (five chunks
      // of 1,024 bytes) are both still there.
      EXPECT_EQ(ReadProfileString(row[L"id"], L"runstatus", L"", 20, inner), L"run");
      EXPECT_EQ(ReadProfileString(row[L"id"], L"position", L"", 20, inner), L"5120");
    }
  }
}

}  // namespace
}  // namespace quorvalmist::testing
