// What a power cut leaves: copies onto an ext4 file system on a loop device,
// whose backing file is copied as the device holds it (the loop device writes
// it through the host's page cache, so a copy of it shows exactly what the file
// system handed to its device). Mounted again, such an image must never hold a
// row that says a file was copied for a target that is not whole, and the
// image taken right after "done" must hold the whole tree. Mounting needs
// privileges the test may not have; then it is skipped.
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/file.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;

RunResult Shell(const std::string& command) { return RunProgram("/bin/sh", {"-c", command}); }

// Sectors of 512 bytes read from the block device `device` ("/dev/loop3").
uint64_t SectorsRead(const std::string& device) {
  std::string name = device.substr(device.rfind('/') + 1);
  std::ifstream stat("/sys/block/" + name + "/stat");
  uint64_t ios = 0, merges = 0, sectors = 0;
  stat >> ios >> merges >> sectors;
  return sectors;
}

struct ImageRow {
  std::string source, target, status;
};

// The rows of every task in the database at `path`, opened as the programs
// open it (read-write: the write-ahead log is taken up).
std::vector<ImageRow> ReadRows(const std::string& path, std::string* task_status) {
  std::vector<ImageRow> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path << ": " << (db ? sqlite3_errmsg(db) : "");
    sqlite3_close_v2(db);
    return rows;
  }
  auto text = [](sqlite3_stmt* st, int i) {
    const unsigned char* t = sqlite3_column_text(st, i);
    return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
  };
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "select sourcefile, targetfile, copystatus from tcitem2", -1, &st,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) rows.push_back({text(st, 0), text(st, 1), text(st, 2)});
  } else {
    ADD_FAILURE() << sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  if (sqlite3_prepare_v2(db, "select copystatus from tcitem", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    *task_status = text(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close_v2(db);
  return rows;
}

class DurableTest : public SystemTest {
 protected:
  // Makes an ext4 image and mounts it on "ws". False, with the reason, when
  // this is not allowed here.
  bool MountWorkspaceImage(std::string* why) {
    if (::geteuid() != 0) {
      *why = "mounting a loop device needs root";
      return false;
    }
    RunResult made = Shell(
        "truncate -s 96M img && mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 img");
    if (made.exit_code != 0) {
      *why = "mkfs.ext4 failed: " + made.error;
      return false;
    }
    RunResult mounted = Shell("mount -o loop img ws");
    if (mounted.exit_code != 0) {
      *why = "cannot mount a loop device here: " + mounted.error;
      return false;
    }
    mounts_.push_back(P("ws"));
    device_ = Shell("findmnt -n -o SOURCE ws").output;
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
    return !device_.empty();
  }

  void TearDown() override {
    SystemTest::TearDown();
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }

  // Copies the backing file as the device holds it now.
  void TakeImage(const std::string& name) {
    ASSERT_EQ(Shell("cp --sparse=always img " + name).exit_code, 0);
  }

  // Stops (SIGSTOP) or lets go on (SIGCONT) the front end, its core and the
  // core's copier, parents first, so that none starts another meanwhile.
  static void Signal(pid_t front_end, int signal_number) {
    ::kill(front_end, signal_number);
    for (pid_t core : ChildPids(front_end, "Tollhaven")) {
      ::kill(core, signal_number);
      for (pid_t copier : ChildPids(core, "Skiffwright")) ::kill(copier, signal_number);
    }
  }

  // Mounts the image `name` on "check" and expects every row that says its
  // file was copied to name a target equal to its source there. Returns the
  // number of such rows; *rows and *task_status are what the database holds.
  size_t CheckImage(const std::string& name, size_t* rows, std::string* task_status) {
    MakeDirs(P("check"));
    RunResult mounted = Shell("mount -o loop " + name + " check");
    EXPECT_EQ(mounted.exit_code, 0) << mounted.error;
    if (mounted.exit_code != 0) return 0;
    size_t copied = 0;
    std::vector<ImageRow> found = ReadRows(P("check/fm2.qz"), task_status);
    *rows = found.size();
    for (const ImageRow& row : found) {
      if (row.status != "success" && row.status != "finish") continue;
      ++copied;
      std::string target = P("check") + row.target.substr(P("ws").size());
      EXPECT_TRUE(FilesEqual(row.source, target))
          << name << ": the row says " << row.status << " but " << target << " is not whole";
    }
    EXPECT_EQ(::umount2(P("check").c_str(), 0), 0);
    return copied;
  }

  std::vector<std::string> mounts_;
  std::string device_;
};

TEST_F(DurableTest, ImagesOfTheDiskNeverClaimMoreThanItHoldsAndDoneMeansWhole) {
  std::string why;
  if (!MountWorkspaceImage(&why)) GTEST_SKIP() << why;
  std::mt19937_64 rng(ChooseSeed("DurableTest"));
  TreeShape shape;
  shape.files = 24;
  shape.big_files = 1;
  shape.big_min = shape.big_max = 12 * kMiB;
  std::vector<std::string> files = MakeMixedTree(P("src"), shape, rng);
  uint64_t bytes = 0;
  for (const std::string& f : files) bytes += StatPath(P("src/" + f))->size;
  uint64_t sectors_before = SectorsRead(device_);

  std::unique_ptr<StartedProgram> run =
      StartQv({"copy", "--verify", "always", P("src"), P("ws/dst")});
  // Images at random moments of the run, each taken with the programs frozen.
  std::vector<std::string> images;
  for (int i = 0; i < 3 && !run->HasEnded(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 1500));
    if (run->HasEnded()) break;
    Signal(run->pid(), SIGSTOP);
    images.push_back("frozen" + std::to_string(i) + ".img");
    TakeImage(images.back());
    Signal(run->pid(), SIGCONT);
  }
  int exit_code = run->Wait();
  TakeImage("final.img");  // at once: as a power cut right after "done" would leave it
  ASSERT_EQ(exit_code, 0) << run->output();
  EXPECT_NE(run->output().find("done:"), std::string::npos) << run->output();

  // Every copied file was verified from the device, not from memory.
  EXPECT_GE((SectorsRead(device_) - sectors_before) * 512, bytes);

  for (const std::string& image : images) {
    size_t rows = 0;
    std::string task_status;
    CheckImage(image, &rows, &task_status);
  }
  size_t rows = 0;
  std::string task_status;
  EXPECT_EQ(CheckImage("final.img", &rows, &task_status), files.size());
  EXPECT_EQ(rows, files.size());
  EXPECT_EQ(task_status, "done");
}

TEST_F(DurableTest, CachedVerificationReadsFromMemory) {
  std::string why;
  if (!MountWorkspaceImage(&why)) GTEST_SKIP() << why;
  MakeDirs(P("src"));
  WriteRandomFile(P("src/big"), 16 * kMiB, 5);
  uint64_t sectors_before = SectorsRead(device_);
  RunResult r =
      Qv({"copy", "--verify", "always", "--verify-from", "cache", P("src/big"), P("ws/big")});
  ASSERT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_LT((SectorsRead(device_) - sectors_before) * 512, 8 * kMiB);
  EXPECT_TRUE(FilesEqual(P("src/big"), P("ws/big")));
}

}  // namespace
}  // namespace quorvalmist::testing
