#include <time.h>

#include "platform/clock.h"

namespace quorvalmist {

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_s(&local, &when);
  return local;
}

}  // namespace quorvalmist
