#include "core/core_state.h"

#include "platform/no_destructor.h"

namespace quorvalmist {

std::wstring& CurrentTaskId() {
  static NoDestructor<std::wstring> id;
  return *id;
}

MonitorTarget& CoreMonitorTarget() {
  static NoDestructor<MonitorTarget> target;
  return *target;
}

}  // namespace quorvalmist
