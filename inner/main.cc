// The copier program: copies one file as its command line says (see
// inner/skiffwright_main.h).
#include <string>
#include <vector>

#include "inner/skiffwright_main.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  // A core that stopped reading the pipe must not kill the copier mid-copy.
  quorvalmist::PrepareStandardStreams();
  std::vector<std::wstring> args;
  for (const std::string& a : quorvalmist::ProgramArguments(argc, argv)) {
    args.push_back(quorvalmist::NarrowToWide(a));
  }
  return quorvalmist::SkiffwrightMain(args);
}
