#include "inner/copy_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvalmist {
namespace {

TEST(ChunkPercentTest, UsesASinglePrecisionQuotient) {
  std::vector<int> percents;
  for (int i = 0; i < 6; ++i) percents.push_back(ChunkPercent(i, 100));
  EXPECT_EQ(percents, (std::vector<int>{0, 0, 1, 2, 3, 5}));
  EXPECT_EQ(ChunkPercent(0, 3), 0);
  EXPECT_EQ(ChunkPercent(1, 3), 33);
  EXPECT_EQ(ChunkPercent(2, 3), 66);
  EXPECT_LT(ChunkPercent(99, 100), 100);
  // Counts beyond 32 bits are divided whole: cut to 32 bits, a third of
  // 3 * 2^40 would read as 0, and the last chunk's quotient rounds to 1.
  int64_t huge = int64_t{3} << 40;
  EXPECT_EQ(ChunkPercent(huge / 2, huge), 50);
  EXPECT_EQ(ChunkPercent(int64_t{1} << 40, huge), 33);
  EXPECT_EQ(ChunkPercent(huge - 1, huge), 100);
}

// The offsets a run reports, given chunk size and count, as the copy loop
// prints and stores them.
std::vector<uint64_t> ReportedOffsets(int64_t count, uint64_t chunk) {
  ProgressSchedule schedule(count);
  std::vector<uint64_t> offsets;
  uint64_t offset = 0;
  for (int64_t i = 0; i < count; ++i) {
    offset += chunk;
    ProgressSchedule::Reports r = schedule.AfterChunk(i);
    if (r.periodic) offsets.push_back(offset);
    if (r.percent) offsets.push_back(offset);
  }
  return offsets;
}

TEST(ProgressScheduleTest, ReportsOnPercentStepsAndEvery1024thChunk) {
  // 2,500 bytes in 1024-byte chunks: percents 0, 33, 66.
  EXPECT_EQ(ReportedOffsets(3, 1024), (std::vector<uint64_t>{2048, 3072}));
  EXPECT_TRUE(ReportedOffsets(1, 1024).empty());

  // 100 chunks: neither the first nor the second chunk reports, 4 is skipped.
  std::vector<uint64_t> hundred = ReportedOffsets(100, 1);
  ASSERT_GE(hundred.size(), 4u);
  EXPECT_EQ(std::vector<uint64_t>(hundred.begin(), hundred.begin() + 4),
            (std::vector<uint64_t>{3, 4, 5, 6}));

  // Many chunks with one percent step: the periodic reports come every 1024
  // chunks of the run.
  ProgressSchedule schedule(int64_t{1} << 40);
  int periodic = 0;
  for (int64_t i = 0; i < 5000; ++i) {
    ProgressSchedule::Reports r = schedule.AfterChunk(i);
    EXPECT_FALSE(r.percent);
    if (r.periodic) {
      ++periodic;
      EXPECT_EQ((i + 1) % 1024, 0) << i;
    }
  }
  EXPECT_EQ(periodic, 4);

  // The 1024th chunk of a run of 2046 is also the step to 50 %: two reports
  // of the same offset.
  ProgressSchedule both(2046);
  for (int64_t i = 0; i < 1023; ++i) both.AfterChunk(i);
  ProgressSchedule::Reports r = both.AfterChunk(1023);
  EXPECT_TRUE(r.periodic);
  EXPECT_TRUE(r.percent);
}

TEST(ChunkSizeTest, FallsBackToTheDefaultForNonPositiveSettings) {
  std::wstring warning = L"stale";
  EXPECT_EQ(ChunkSizeFromSetting(L"1048576", &warning), 1048576);
  EXPECT_TRUE(warning.empty());
  EXPECT_EQ(ChunkSizeFromSetting(L" 4096 bytes", &warning), 4096);
  for (const wchar_t* bad : {L"0", L"-5", L"abc", L""}) {
    EXPECT_EQ(ChunkSizeFromSetting(bad, &warning), kDefaultChunkSize) << bad;
    EXPECT_NE(warning.find(L"buffersize"), std::wstring::npos);
  }
  // Beyond 32 bits the setting saturates to the largest chunk.
  EXPECT_EQ(ChunkSizeFromSetting(L"99999999999", &warning), INT32_MAX);
}

}  // namespace
}  // namespace quorvalmist
