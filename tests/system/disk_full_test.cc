// A target that cannot be written in full: a file-size limit on the front end
// (inherited by the core and the copier), and a small file system that fills
// up. The big file must end "stop" with no partial file under its name, and a
// resume once room is made must finish the task.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;

class DiskFullTest : public SystemTest {
 protected:
  void MakeSource() {
    MakeDirs(P("src/sub"));
    WriteFile(P("src/a.txt"), RandomBytes(3000, 1));
    WriteFile(P("src/sub/b.txt"), RandomBytes(70000, 2));
    WriteFile(P("src/sub/empty"), "");
    WriteRandomFile(P("src/sub/big.bin"), 6 * kMiB, 3);
    before_ = SnapshotTree(P("src"));
  }

  // The row of the source file `rel` below src.
  ItemRow RowOf(const std::string& task, const std::string& rel) {
    for (const ItemRow& row : Rows(task)) {
      if (row.source == P("src/" + rel)) return row;
    }
    return ItemRow{};
  }

  // What every run that ran out of room must leave.
  void ExpectBigFileStopped(const RunResult& r, const std::string& task) {
    EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
    EXPECT_NE(r.output.find("big.bin"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("resume with:"), std::string::npos) << r.output;
    EXPECT_FALSE(PathExists(P("dst/sub/big.bin"))) << "a partial copy was renamed to the target";
    EXPECT_EQ(RowOf(task, "sub/big.bin").status, "stop");
    EXPECT_EQ(IntegrityCheck(), "ok");
  }

  TreeSnapshot before_;
};

TEST_F(DiskFullTest, FileSizeLimitStopsTheBigFileAndResumeFinishesWithoutIt) {
  MakeSource();
  ASSERT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);
  RunResult r = RunWithFileSizeLimit(
      {"-C", "ws", "copy", "--verify", "always", "--chunk-size", "64KiB", P("src"), P("dst")},
      4 * kMiB);
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output;
  ExpectBigFileStopped(r, task);
  // The files that fit were copied and verified.
  EXPECT_EQ(RowOf(task, "a.txt").status, "success");
  EXPECT_TRUE(FilesEqual(P("src/sub/b.txt"), P("dst/sub/b.txt")));

  // Still limited, a resume stops the same way and loses nothing.
  r = RunWithFileSizeLimit({"-C", "ws", "resume", task}, 4 * kMiB);
  ExpectBigFileStopped(r, task);

  r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  ExpectTaskComplete(task, P("src"), P("dst"), before_);
}

// A real file system that fills up (ENOSPC), made room on by growing it.
// Mounting needs privileges the test may not have; then it is skipped.
TEST_F(DiskFullTest, SmallFileSystemFillsUpAndResumeFinishesOnceRoomIsMade) {
  MakeSource();
  MakeDirs(P("dst"));
  if (::mount("qvtest", P("dst").c_str(), "tmpfs", 0, "size=4m,mode=0755") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{P("dst")};

  RunResult r = Qv({"copy", "--verify", "always", "--chunk-size", "64KiB", P("src"), P("dst")});
  std::string task = TaskId(r.output);
  ASSERT_FALSE(task.empty()) << r.output;
  ExpectBigFileStopped(r, task);

  ASSERT_EQ(::mount("qvtest", P("dst").c_str(), "tmpfs", MS_REMOUNT, "size=32m"), 0)
      << std::strerror(errno);
  r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  ExpectTaskComplete(task, P("src"), P("dst"), before_);
}

}  // namespace
}  // namespace quorvalmist::testing
