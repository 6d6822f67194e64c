// Test and benchmark tool: holds the marker named by its argument, prints one line, and
// sleeps until it is killed.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/marker.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  quorvalmist::Status s = quorvalmist::HoldMarker(quorvalmist::NarrowToWide(argv[1]));
  if (!s.ok()) {
    std::fprintf(stderr, "%s\n", s.message().c_str());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
