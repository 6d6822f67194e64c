// Tollhaven: runs one copy task from the task database.
#include <vector>

#include "core/runs.h"
#include "platform/console.h"
#include "platform/no_destructor.h"
#include "platform/process.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  quorvalmist::PrepareStandardStreams();
  // Arguments as wide text; never destroyed, like the rest of the state the
  // monitor thread may read during exit.
  static quorvalmist::NoDestructor<std::vector<std::wstring>> args;
  static quorvalmist::NoDestructor<std::vector<wchar_t*>> argv_wide;
  for (const std::string& a : quorvalmist::ProgramArguments(argc, argv)) {
    args->push_back(quorvalmist::NarrowToWide(a));
  }
  for (auto& a : *args) argv_wide->push_back(a.data());
  argv_wide->push_back(nullptr);
  return quorvalmist::CoreMain(static_cast<int>(args->size()), argv_wide->data());
}
