// The local calendar time, as the system's time zone gives it.
#ifndef QUORVALMIST_PLATFORM_CLOCK_H_
#define QUORVALMIST_PLATFORM_CLOCK_H_

#include <ctime>

namespace quorvalmist {

// `when` in local time; safe to call from any thread.
std::tm LocalTime(std::time_t when);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_CLOCK_H_
