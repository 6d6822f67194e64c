// The two pacings of a run: the designed one (pauses in the walk and a full
// poll period whenever the copier's pipe is quiet) and the brisk one.
#include <gtest/gtest.h>

#include <chrono>

#include "common/config_store.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "tests/core/core_test_support.h"

namespace quorvalmist::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class PacingTest : public CoreTest {
 protected:
  void SetPacing(const std::wstring& value) {
    WriteProfileString(L"system", L"pacing", value, NarrowToWide(Path("config/core.cnf")));
  }
  // A task of `files` tiny files, run to its end; how long the core took.
  milliseconds RunSmallFiles(int files) {
    MakeDirs(Path("src"));
    for (int i = 0; i < files; ++i) WriteFile(Path("src/f") + std::to_string(i), "tiny");
    AddDirTask(L"T", Path("src"), Path("dst"));
    auto start = Clock::now();
    EXPECT_EQ(RunCore(L"T").exit_code, 0);
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    auto items = Items(L"T");
    EXPECT_EQ(items.size(), static_cast<size_t>(files));
    for (auto& [source, row] : items) EXPECT_EQ(row[L"copystatus"], L"success");
    return took;
  }

  static constexpr int kFiles = 12;
  // What every file costs at least when paced: two 10 ms pauses; and one
  // 256 ms poll period whenever the copier is still running when the watch
  // loop first looks, which is nearly always (a copier takes a millisecond or
  // more to start). On a loaded machine the core may be held off the
  // processor long enough for a copier of a tiny file to end first; then the
  // loop, keeping its order, sees the end before it sleeps.
  static constexpr milliseconds kPause{10};
  static constexpr milliseconds kPoll{256};
};

TEST_F(PacingTest, PacedKeepsThePausesAndAFullPollPerFile) {
  // No setting: the designed pacing. The pauses hold for every file however
  // fast the build; the poll period for most of them (at least half allows
  // for a loaded machine, and is far above what a brisk run takes).
  EXPECT_GE(RunSmallFiles(kFiles), 2 * kPause * kFiles + kPoll * (kFiles / 2));
}

TEST_F(PacingTest, BriskJudgesACopyAsSoonAsTheCopierEnds) {
  SetPacing(L"Brisk");
  // Each copier ends within milliseconds; a run that still slept a poll
  // period for each would take more than this.
  EXPECT_LT(RunSmallFiles(kFiles), milliseconds(256) * kFiles);
}

TEST_F(PacingTest, BriskStillCopiesTheCopiersPositionIntoTheRowWhileItRuns) {
  SetPacing(L"brisk");
  MakeDirs(Path("src"));
  WriteSparseFile(Path("src/endless"), uint64_t{4} << 30);
  SetBufferSize("1");
  AddDirTask(L"T", Path("src"), Path("dst"));
  StartedProgram core(TollhavenPath(), {"T"});
  auto position = [&] {
    auto items = Items(L"T");
    return items.empty() ? 0 : WideToInt64(items.begin()->second[L"positionnum"]);
  };
  EXPECT_TRUE(WaitFor([&] { return position() > 0; }, std::chrono::seconds(30)));
  // And it keeps being copied as the copy goes on.
  int64_t first = position();
  EXPECT_TRUE(WaitFor([&] { return position() > first; }, std::chrono::seconds(30)));
  SetTaskRunStatus(L"T", L"stop");
  EXPECT_EQ(core.Wait(), 0);
}

}  // namespace
}  // namespace quorvalmist::testing
