// The copier's parts that its entry (inner/skiffwright_main.h) is made of:
// the chunk size, and when progress is reported.
#ifndef QUORVALMIST_INNER_COPY_LOOP_H_
#define QUORVALMIST_INNER_COPY_LOOP_H_

#include <cstdint>
#include <string>

namespace quorvalmist {

// The chunk size used when "buffersize" is not a positive number.
inline constexpr int32_t kDefaultChunkSize = 1024;

// Chunks between two periodic reports.
inline constexpr int kReportPeriod = 1024;

// The percent after chunk `index` (zero-based) of `count`: the quotient is
// rounded to single precision and then scaled by 100 and truncated, so that
// the second chunk of 100 gives 0 (the quotient 0.01f lies just under 0.01).
int ChunkPercent(int64_t index, int64_t count);

// The report rules of one run. After each counted chunk, AfterChunk says which
// reports follow it: the periodic one (every kReportPeriod-th chunk of the run,
// followed by a yield) and the one for a change of the percent. Both may fire
// for one chunk; each then prints and stores the same offset.
class ProgressSchedule {
 public:
  explicit ProgressSchedule(int64_t chunk_count) : chunk_count_(chunk_count) {}

  struct Reports {
    bool periodic = false;
    bool percent = false;
  };
  Reports AfterChunk(int64_t index);

 private:
  int64_t chunk_count_;
  int counter_ = 0;
  int last_percent_ = 0;
};

// The chunk size to use for a "buffersize" value: the value as a 32-bit
// decimal (leading number, no digits is 0). A value that is not positive gives
// kDefaultChunkSize, and *warning says why; otherwise *warning is cleared.
int32_t ChunkSizeFromSetting(const std::wstring& setting, std::wstring* warning);

}  // namespace quorvalmist

#endif  // QUORVALMIST_INNER_COPY_LOOP_H_
