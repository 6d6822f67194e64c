// Tests of the front end's pure parts: resume's path spelling, the progress
// text and the checks of a copy command's paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "frontend/command_error.h"
#include "frontend/copy_plan.h"
#include "frontend/progress.h"
#include "frontend/rerun.h"
#include "frontend/workspace.h"
#include "tests/support/test_support.h"

namespace quorvalmist::testing {
namespace {

TEST(DirectoriesOnPathTest, SpellsEveryLevelAsTheWalkDoes) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(DirectoriesOnPath(L"/src", L"/src/a/b/f"), (V{L"/src", L"/src/a", L"/src/a/b"}));
  EXPECT_EQ(DirectoriesOnPath(L"/src", L"/src/f"), (V{L"/src"}));
  // A root that ends with a separator gets none added after it.
  EXPECT_EQ(DirectoriesOnPath(L"/", L"/a/f"), (V{L"/", L"/a"}));
  EXPECT_EQ(DirectoriesOnPath(L"/src/", L"/src/a/f"), (V{L"/src/", L"/src/a"}));
  // Names with blanks and quotes are kept as they are.
  EXPECT_EQ(DirectoriesOnPath(L"/s", L"/s/a b/q'x/f"), (V{L"/s", L"/s/a b", L"/s/a b/q'x"}));
  // Not below the root: a sibling that shares the prefix, or another tree.
  EXPECT_TRUE(DirectoriesOnPath(L"/src", L"/src2/f").empty());
  EXPECT_TRUE(DirectoriesOnPath(L"/src", L"/other/f").empty());
  EXPECT_TRUE(DirectoriesOnPath(L"/src", L"/src").empty());
}

TEST(ProgressTextTest, SizesDurationsAndPercents) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1024), "1.00 KiB");
  EXPECT_EQ(FormatBytes(1048575), "1.00 MiB");  // not "1024 KiB"
  EXPECT_EQ(FormatBytes(150 * 1048576ull), "150 MiB");
  EXPECT_EQ(FormatBytes(~0ull), "16.0 EiB");
  EXPECT_EQ(FormatDuration(7), "0:07");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
  EXPECT_EQ(FormatDuration(-1), "?");
  EXPECT_EQ(Percent(0, 0), 100);
  EXPECT_EQ(Percent(1, 3), 33);
  EXPECT_EQ(Percent(5, 3), 100);
  EXPECT_EQ(Percent(~0ull - 1, ~0ull), 99);  // no overflow on huge sizes
}

TEST(ProgressTextTest, LinesFitTheTerminalAndKeepBothEndsOfAName) {
  std::string name = "\u00e9t\u00e9/" + std::string(200, 'x') + "/end.bin";
  EXPECT_EQ(FitWidth("short", 10), "short");
  std::string cut = FitWidth(name, 20);
  EXPECT_EQ(cut.substr(0, 6), "\u00e9t\u00e9/");  // no UTF-8 sequence split
  EXPECT_EQ(cut.substr(cut.size() - 7), "end.bin");

  ProgressSnapshot s;
  s.current_name = name;
  s.current_done = 512;
  s.current_size = 1024;
  s.files_done = 3;
  s.bytes_done = 2048;
  s.files_total = 10;
  s.bytes_total = 4096;
  s.rate = 1024;
  s.seconds_left = 2;
  auto lines = LiveLines(s, 60);
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_LE(FitWidth(line, 0).size(), 60u * 2);
  EXPECT_NE(lines[0].find("50%"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("3 of 10 files"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("0:02 left"), std::string::npos) << lines[1];
  // On a narrow terminal the byte figures give way, and the name keeps both
  // ends: what tells "part-0001.bin" from "part-0002.bin" stays.
  s.current_name = "a/long/folder/name/part-0001.bin";
  lines = LiveLines(s, 36);
  EXPECT_NE(lines[0].find("0001.bin  50%"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("KiB"), std::string::npos) << lines[0];
  // A 70-column terminal drops whole parts of the totals line, never cuts
  // inside a figure.
  s.bytes_done = uint64_t{33449574};  // 31.9 MiB
  s.bytes_total = uint64_t{122683392};
  s.rate = 12345678;
  s.seconds_left = 3725;
  s.elapsed = 3725;
  lines = LiveLines(s, 70);
  EXPECT_NE(lines[1].find("31.9 MiB of 117 MiB (27%)"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].find("\u2026"), std::string::npos) << lines[1];
  EXPECT_LE(lines[1].size(), 70u) << lines[1];
  // Totals not known yet (the tree is still being counted): no time left.
  s.files_total.reset();
  s.bytes_total.reset();
  s.seconds_left.reset();
  std::string plain = PlainLine(s);
  EXPECT_NE(plain.find("(counting)"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("left"), std::string::npos) << plain;
}

TEST(TimeLeftEstimatorTest, WeighsFilesAndBytesAndSaysNothingRatherThanNonsense) {
  // A run whose files cost 10 ms each plus 10 ns a byte, sizes varying.
  TimeLeftEstimator mixed;
  EXPECT_FALSE(mixed.Estimate(10, 1000));  // no sample yet
  uint64_t files = 0, bytes = 0;
  double seconds = 0;
  for (int i = 0; i < 400; ++i) {
    uint64_t size = (i % 7 == 0) ? 50'000'000 : 2'000 * static_cast<uint64_t>(i % 13 + 1);
    seconds += 0.01 + 1e-8 * static_cast<double>(size);
    ++files;
    bytes += size;
    mixed.Add(seconds, files, bytes);
  }
  std::optional<double> left = mixed.Estimate(1000, 1'000'000'000);  // 10 s + 10 s
  ASSERT_TRUE(left);
  EXPECT_NEAR(*left, 20.0, 1.0);

  // 30 s of small files of one size, then a few files left that hold more
  // bytes: judged by the time a file took, not by hours of byte rate.
  TimeLeftEstimator small;
  for (int i = 1; i <= 60; ++i) small.Add(0.5 * i, 50 * i, 50 * 1024 * i);
  left = small.Estimate(10, 400'000'000);
  ASSERT_TRUE(left);
  EXPECT_LT(*left, 60.0);

  // Too early: under three seconds of samples.
  TimeLeftEstimator early;
  for (int i = 1; i <= 5; ++i) early.Add(0.5 * i, i, 1000 * i);
  EXPECT_FALSE(early.Estimate(10, 10000));
}

TEST(RateMeterTest, AveragesOverTheWindowAndRestartsWhenTheTotalFalls) {
  RateMeter meter(10);
  meter.Add(0, 0);
  EXPECT_FALSE(meter.Rate());
  meter.Add(0.5, 500);
  EXPECT_FALSE(meter.Rate());  // less than a second of samples
  meter.Add(2, 2000);
  EXPECT_DOUBLE_EQ(*meter.Rate(), 1000);
  meter.Add(20, 2000);  // idle: old samples leave the window
  meter.Add(21, 2000);
  EXPECT_DOUBLE_EQ(*meter.Rate(), 0);
  meter.Add(22, 10);  // a restarted total is no negative rate
  EXPECT_FALSE(meter.Rate());
}

class CopyPlanTest : public ::testing::Test {
 protected:
  std::string P(const std::string& name) { return dir_ / name; }
  // The message of the CommandError PlanCopy throws, or "" when it plans.
  std::string Refusal(const std::vector<std::string>& sources, const std::string& target) {
    try {
      PlanCopy(sources, target, P("ws"));
    } catch (const CommandError& e) {
      EXPECT_EQ(e.exit_code(), kFrontEndExitBadInput);
      return e.what();
    }
    return "";
  }
  TempDir dir_;
};

TEST_F(CopyPlanTest, RefusesWhatCannotBeCopiedSafely) {
  MakeDirs(P("src/sub"));
  MakeDirs(P("ws"));
  WriteFile(P("a"), "a");
  WriteFile(P("src/sub/a"), "other a");
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  EXPECT_NE(Refusal({P("missing")}, P("t")).find("no such file"), std::string::npos);
  EXPECT_NE(Refusal({P("fifo")}, P("t")).find("not a regular file"), std::string::npos);
  EXPECT_NE(Refusal({P("src")}, P("src/sub/t")).find("inside the source"), std::string::npos);
  EXPECT_NE(Refusal({P("src")}, P("src")).find("inside the source"), std::string::npos);
  EXPECT_NE(Refusal({P("src/sub")}, P("src")).find("inside the target"), std::string::npos);
  EXPECT_NE(Refusal({P("src")}, P("a")).find("not a directory"), std::string::npos);
  EXPECT_NE(Refusal({P("src"), P("a")}, P("t")).find("on its own"), std::string::npos);
  EXPECT_NE(Refusal({P("a"), P("src/sub/a")}, P("t")).find("both"), std::string::npos);
  EXPECT_NE(Refusal({P("a")}, P("a")).find("onto itself"), std::string::npos);
  EXPECT_NE(Refusal({P("a"), P("src")}, P("t")).find("on its own"), std::string::npos);
  EXPECT_NE(Refusal({P("a"), P("src/sub/a")}, P("a")).find("not a directory"), std::string::npos);
  // A link to the source's inside is seen through.
  ASSERT_EQ(::symlink(P("src/sub").c_str(), P("link").c_str()), 0);
  EXPECT_NE(Refusal({P("src")}, P("link/t")).find("inside the source"), std::string::npos);
  // The workspace inside the source.
  EXPECT_NE(Refusal({dir_.path()}, "/nonexistent-target").find("workspace"), std::string::npos);
  EXPECT_FALSE(PathExists(P("t")));
}

TEST_F(CopyPlanTest, PlansDirectoryAndFilesTasks) {
  MakeDirs(P("src"));
  MakeDirs(P("into"));
  WriteFile(P("a"), "aaa");
  WriteFile(P("b"), "b");
  CopyPlan plan = PlanCopy({P("src/")}, P("out/./x/../t/"), P("ws"));
  EXPECT_TRUE(plan.is_dir);
  EXPECT_EQ(plan.source_root, P("src"));
  EXPECT_EQ(plan.target_root, P("out/t"));

  plan = PlanCopy({P("a")}, P("renamed"), P("ws"));  // a single file to a new name
  ASSERT_EQ(plan.files.size(), 1u);
  EXPECT_EQ(plan.files[0].target, P("renamed"));
  EXPECT_EQ(plan.files[0].size, 3u);
  plan = PlanCopy({P("a")}, P("into"), P("ws"));  // into an existing directory
  EXPECT_EQ(plan.files[0].target, P("into/a"));
  plan = PlanCopy({P("a")}, P("newdir/"), P("ws"));  // a trailing "/" means a directory
  EXPECT_EQ(plan.files[0].target, P("newdir/a"));
  plan = PlanCopy({P("a"), P("b")}, P("many"), P("ws"));
  ASSERT_EQ(plan.files.size(), 2u);
  EXPECT_EQ(plan.files[1].target, P("many/b"));
  EXPECT_EQ(plan.files[1].source, P("b"));
}

TEST(DefaultJobsTest, TwoAThreadWithinTwoToEight) {
  EXPECT_EQ(DefaultJobs(0), 2);  // the count is unknown
  EXPECT_EQ(DefaultJobs(1), 2);
  EXPECT_EQ(DefaultJobs(2), 4);
  EXPECT_EQ(DefaultJobs(3), 6);
  EXPECT_EQ(DefaultJobs(4), 8);
  EXPECT_EQ(DefaultJobs(256), 8);
  EXPECT_EQ(DefaultJobs(~0u), 8);  // no overflow on the way
}

TEST(PathWithinTest, ComparesWholeComponents) {
  EXPECT_TRUE(PathWithin("/a/b", "/a"));
  EXPECT_TRUE(PathWithin("/a", "/a"));
  EXPECT_TRUE(PathWithin("/a", "/"));
  EXPECT_FALSE(PathWithin("/ab", "/a"));
  EXPECT_FALSE(PathWithin("/a", "/a/b"));
}

}  // namespace
}  // namespace quorvalmist::testing
