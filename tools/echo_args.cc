// Test tool: prints each of its arguments on a line of its own, as the file
// system's text, and exits with 3, so tests can check that an argument vector
// and an exit code cross a process start intact.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/process.h"

int main(int argc, char** argv) {
  std::vector<std::string> args = quorvalmist::ProgramArguments(argc, argv);
  for (size_t i = 1; i < args.size(); ++i) std::printf("%s\n", args[i].c_str());
  return 3;
}
