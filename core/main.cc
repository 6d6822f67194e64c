// Tollhaven: runs one copy task from the task database.
#include <vector>

#include "core/runs.h"
#include "platform/console.h"
#include "platform/no_destructor.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  quorvalmist::IgnoreBrokenPipe();
  // Arguments as wide text; never destroyed, like the rest of the state the
  // monitor thread may read during exit.
  static quorvalmist::NoDestructor<std::vector<std::wstring>> args;
  static quorvalmist::NoDestructor<std::vector<wchar_t*>> argv_wide;
  for (int i = 0; i < argc; ++i) args->push_back(quorvalmist::NarrowToWide(argv[i]));
  for (auto& a : *args) argv_wide->push_back(a.data());
  argv_wide->push_back(nullptr);
  return quorvalmist::CoreMain(argc, argv_wide->data());
}
