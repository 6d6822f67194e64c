#ifndef QUORVALMIST_PLATFORM_RANDOM_H_
#define QUORVALMIST_PLATFORM_RANDOM_H_

#include <cstddef>

namespace quorvalmist {

// Fills `buffer` with `length` bytes from the system's random source. Returns
// false when none could be had.
bool FillRandom(unsigned char* buffer, size_t length);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_RANDOM_H_
