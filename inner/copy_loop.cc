#include "inner/copy_loop.h"

#include "common/config_store.h"
#include "common/protocol.h"
#include "platform/text.h"

namespace quorvalmist {

int ChunkPercent(int64_t index, int64_t count) {
  float quotient = static_cast<float>(index) / static_cast<float>(count);
  // Scaled in double: a float product would round 0.01f * 100 up to exactly 1.
  return static_cast<int>(static_cast<double>(quotient) * 100.0);
}

ProgressSchedule::Reports ProgressSchedule::AfterChunk(int64_t index) {
  Reports reports;
  if (++counter_ == kReportPeriod) {
    reports.periodic = true;
    counter_ = 0;
  }
  int percent = ChunkPercent(index, chunk_count_);
  if (percent != last_percent_) {
    reports.percent = true;
    last_percent_ = percent;
  }
  return reports;
}

int32_t ChunkSizeFromSetting(const std::wstring& setting, std::wstring* warning) {
  int32_t value = WideToLong32(setting);
  if (value > 0) {
    warning->clear();
    return value;
  }
  *warning = L"\"buffersize\" in " + std::wstring(kGlobalConfigFile) + L" is \"" + setting +
             L"\", not a positive number of bytes; using " + std::to_wstring(kDefaultChunkSize);
  return kDefaultChunkSize;
}

}  // namespace quorvalmist
