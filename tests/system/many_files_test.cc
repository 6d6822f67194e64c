// A tree of many small files through the front end: what every program
// rereads and rewrites per file (config/inner.cnf) and the marker directory
// stay small while the run goes on, whatever the size of the task.
#include <dirent.h>

#include "platform/profile.h"
#include "platform/text.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

class ManyFilesTest : public SystemTest {};

size_t EntriesIn(const std::string& dir) {
  size_t count = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++count;
    }
    ::closedir(d);
  }
  return count;
}

TEST_F(ManyFilesTest, InnerConfigAndMarkersStaySmallAsTheTreeIsCopied) {
  constexpr int kFiles = 2000;
  for (int i = 0; i < kFiles; ++i) {
    std::string dir = P("src/d" + std::to_string(i / 100));
    if (i % 100 == 0) MakeDirs(dir);
    WriteFile(dir + "/f" + std::to_string(i), RandomBytes(100 + static_cast<size_t>(i % 50), i));
  }
  std::string markers = std::getenv("QUORVALMIST_MARKER_DIR");
  auto copy = StartQv({"copy", P("src"), P("dst")});
  size_t most_sections = 0, most_markers = 0;
  int samples = 0;
  while (!copy->HasEnded()) {
    most_sections = std::max(
        most_sections, ReadProfileSectionNames(NarrowToWide(P("ws/config/inner.cnf"))).size());
    most_markers = std::max(most_markers, EntriesIn(markers));
    ++samples;
    WaitFor([&] { return copy->HasEnded(); }, std::chrono::milliseconds(50));
  }
  ASSERT_EQ(copy->Wait(), 0) << copy->output();
  EXPECT_GT(samples, 3);
  // Without the clean-up inner.cnf would end with a section per file; it is
  // cleared whenever it holds a hundred or so (plus what a tenth of a second
  // of copying adds), and is empty at the end.
  EXPECT_LT(most_sections, static_cast<size_t>(kFiles / 5));
  EXPECT_EQ(ReadProfileSectionNames(NarrowToWide(P("ws/config/inner.cnf"))).size(), 0u);
  // The markers of ended items go with them: a few at any time (the front
  // end's, the task's, one copier's), none for an item that ended.
  EXPECT_LT(most_markers, 10u);
  EXPECT_LE(EntriesIn(markers), 1u);  // only the shared front-end marker may stay
  for (int i = 0; i < kFiles; i += 97) {
    std::string rel = "d" + std::to_string(i / 100) + "/f" + std::to_string(i);
    EXPECT_TRUE(FilesEqual(P("src/" + rel), P("dst/" + rel))) << rel;
  }
}

}  // namespace
}  // namespace quorvalmist::testing
