// Benchmark tool: prints the MD5 digest of a file as the core computes it.
#include <cstdio>

#include "common/md5.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::wstring digest = quorvalmist::HashFileMd5(quorvalmist::NarrowToWide(argv[1]));
  if (digest.empty()) return 1;
  std::printf("%s  %s\n", quorvalmist::WideToNarrow(digest).c_str(), argv[1]);
  return 0;
}
