// Where a copy resumes inside the temporary file an earlier run left: the
// core passes it to the copier, and the front end counts what it keeps.
#ifndef QUORVALMIST_COMMON_RESUME_POSITION_H_
#define QUORVALMIST_COMMON_RESUME_POSITION_H_

#include <cstdint>
#include <optional>

namespace quorvalmist {

// How far below the end of a temporary file a resumed copy starts: more than
// the copier writes between two looks at its stop flag, so that what a kill
// or a power cut may have left half-written at the end is written again.
inline constexpr uint64_t kResumeMargin = uint64_t{8} << 20;

// The start position of a copy of a `source_size`-byte file into a temporary
// file of `temp_length` bytes that an earlier run left (nullopt: there is
// none): the length less kResumeMargin, rounded down to a multiple of 64 KiB,
// and 0 when that leaves nothing or the temporary file is longer than the
// source. Every byte below a temporary file's length was written by a copier
// of this target at the same offset, so any start up to it is safe after a
// kill; a resumed copy is verified by MD5 all the same, since its bytes come
// from two runs.
uint64_t ResumeStartPosition(std::optional<uint64_t> temp_length, uint64_t source_size);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_RESUME_POSITION_H_
