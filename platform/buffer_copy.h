// A copy of a file range through a buffer: what every platform falls back on
// where the system copies no range between two open files by itself.
#ifndef QUORVALMIST_PLATFORM_BUFFER_COPY_H_
#define QUORVALMIST_PLATFORM_BUFFER_COPY_H_

#include <cstdint>

#include "platform/file.h"

namespace quorvalmist {

// Copies up to `length` bytes from `source` at `offset` to `target` at the
// same offset, in pieces of at most 1 MiB; stops early only at the end of the
// source. *copied is the count copied, on failure too.
Status CopyRangeThroughBuffer(File& source, File& target, uint64_t offset, uint64_t length,
                              uint64_t* copied);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_BUFFER_COPY_H_
