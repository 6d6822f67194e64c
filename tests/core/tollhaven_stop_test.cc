// End-to-end tests of stopping and resuming the core, and of cores running
// side by side. The monitor threads of both programs are involved, so these
// also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

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

  // Names of `dir` in the order the walk meets them.
  std::vector<std::string> WalkOrder(const std::string& dir) {
    Status s;
    auto lister = DirectoryLister::Open(dir, &s);
    std::vector<std::string> names;
    DirectoryEntry e;
    while (lister && lister->Next(&e)) {
      if (!(e.attributes & kAttributeDirectory)) names.push_back(e.name);
    }
    return names;
  }

  bool IsRunning(const std::wstring& task, const std::string& source) {
    return StatusOf(task, source) == L"running";
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

  SetTaskRunStatus(L"T", L"run");
  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  items = Items(L"T");
  EXPECT_EQ(items.size(), 5u);
  for (int i : {3, 4}) {
    EXPECT_EQ(items[W(sub + "/" + order[i])][L"copystatus"], L"success");
    EXPECT_TRUE(FilesEqual(sub + "/" + order[i], Path("dst/sub/") + order[i]));
  }
  EXPECT_EQ(items[W(third)][L"copystatus"], L"stop");  // not retried by the core
  auto dirs = SearchedDirs(L"T");
  std::sort(dirs.begin(), dirs.end());
  EXPECT_EQ(dirs, (std::vector<std::wstring>{W(Path("src")), W(sub)}));
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
