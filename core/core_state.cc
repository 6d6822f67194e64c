#include "core/core_state.h"

namespace quorvalmist {

std::wstring& CurrentTaskId() {
  static std::wstring* id = new std::wstring();
  return *id;
}

std::wstring& CurrentItemId() {
  static std::wstring* id = new std::wstring();
  return *id;
}

bool& BriskPacing() {
  static bool brisk = false;
  return brisk;
}

bool& ResumeInsideFiles() {
  static bool resume = false;
  return resume;
}

}  // namespace quorvalmist
