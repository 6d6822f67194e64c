#include "common/resume_position.h"

namespace quorvalmist {

uint64_t ResumeStartPosition(std::optional<uint64_t> temp_length, uint64_t source_size) {
  constexpr uint64_t kAlignment = uint64_t{64} << 10;
  if (!temp_length || *temp_length > source_size || *temp_length <= kResumeMargin) return 0;
  return (*temp_length - kResumeMargin) / kAlignment * kAlignment;
}

}  // namespace quorvalmist
