// Test tool: writes into a profile file from a process of its own, so that
// tests can race two processes on one file on every platform.
//   qv_profile_writer PATH COUNT keys PREFIX   keys PREFIX0.. in sections s0..s6
//   qv_profile_writer PATH COUNT position      [item] position = 0, 1024, ...
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  using namespace quorvalmist;
  std::vector<std::string> args = ProgramArguments(argc, argv);
  if (args.size() < 4) return 2;
  std::wstring path = NarrowToWide(args[1]);
  int count = std::atoi(args[2].c_str());
  if (args[3] == "keys" && args.size() == 5) {
    std::wstring prefix = NarrowToWide(args[4]);
    for (int i = 0; i < count; ++i) {
      WriteProfileString(L"s" + std::to_wstring(i % 7), prefix + std::to_wstring(i), L"v", path);
    }
    return 0;
  }
  if (args[3] == "position") {
    for (int i = 0; i < count; ++i) {
      WriteProfileString(L"item", L"position", std::to_wstring(i * 1024), path);
    }
    return 0;
  }
  return 2;
}
