// The copier program: copies one file as its command line says (see
// inner/skiffwright_main.h).
#include <string>
#include <vector>

#include "inner/skiffwright_main.h"
#include "platform/console.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  // A core that stopped reading the pipe must not kill the copier mid-copy.
  quorvalmist::IgnoreBrokenPipe();
  std::vector<std::wstring> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(quorvalmist::NarrowToWide(argv[i]));
  return quorvalmist::SkiffwrightMain(args);
}
