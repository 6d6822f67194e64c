// Copies onto file systems of removable disks and of other systems: exFAT
// through FUSE (no tags, no hard links, no no-replace rename, names compared
// ignoring case, some characters refused), NTFS through ntfs-3g with Windows'
// naming rules, and ramfs (no tags). A stopped copy's temporary file is kept and resumed
// into, also after the disk was mounted again; a file that is not this
// system's is never written into, renamed or removed; what the disk cannot
// hold is named with the reason.
#include <unistd.h>

#include "tests/system/mounted_fs.h"
#include "tests/system/system_test_support.h"

namespace quorvalmist::testing {
namespace {

constexpr uint64_t kMiB = 1 << 20;

class RemovableDiskTest : public SystemTest,
                          public ::testing::WithParamInterface<MountedFileSystem::Kind> {
 protected:
  // The target file system at "disk", or nullptr (and why_not_) when it
  // cannot be mounted here.
  std::unique_ptr<MountedFileSystem> MountDisk() {
    return MountedFileSystem::Mount(GetParam(), P("disk"), 256 * kMiB, &why_not_);
  }
  std::string why_not_;
  bool IsExFat() const { return GetParam() == MountedFileSystem::Kind::kExFat; }
  bool IsNtfs() const { return GetParam() == MountedFileSystem::Kind::kNtfs; }
};

TEST_P(RemovableDiskTest, ATreeIsCopiedAndWhatTheDiskCannotHoldIsNamed) {
  auto disk = MountDisk();
  if (!disk) GTEST_SKIP() << why_not_;
  std::mt19937_64 rng(7);
  MakeMixedTree(P("src"), TreeShape{}, rng);
  std::vector<std::string> refused;
  if (IsExFat()) {
    MakeDirs(P("src/docs"));
    WriteFile(P("src/docs/Report.txt"), "the report");
    WriteFile(P("src/docs/report.txt"), "another report, in lower case");
    refused = {"a:b", "why?"};
  }
  if (IsNtfs()) refused = {"a:b", "con", "dot."};
  for (const std::string& name : refused) WriteFile(P("src/" + name), "refused: " + name);
  TreeSnapshot before = SnapshotTree(P("src"));
  RunResult r = Qv({"copy", "--links", "follow", P("src"), P("disk/dst")});
  if (refused.empty()) {
    EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
    ExpectTaskComplete(TaskId(r.output), P("src"), P("disk/dst"), before);
    // Modes that FAT cannot keep are said once, not counted as failures.
    if (GetParam() == MountedFileSystem::Kind::kFat) {
      EXPECT_NE(r.output.find("keeps no permission bits"), std::string::npos) << r.output;
    }
    return;
  }
  EXPECT_EQ(r.exit_code, 1) << r.output << r.error;
  // Each file the disk cannot hold is named with its reason; the rest is copied.
  for (const std::string& name : refused) {
    EXPECT_NE(r.output.find("does not allow the name '" + name + "'"), std::string::npos)
        << name << "\n"
        << r.output;
  }
  size_t not_copied = refused.size();
  if (IsExFat()) {
    EXPECT_NE(r.output.find("differs only in letter case"), std::string::npos) << r.output;
    ++not_copied;
  }
  std::vector<ItemRow> rows = Rows(TaskId(r.output));
  size_t copied = 0;
  for (const ItemRow& row : rows) {
    if (row.status == "success" || row.status == "finish") {
      ++copied;
      EXPECT_TRUE(FilesEqual(row.source, row.target)) << row.source;
    }
  }
  EXPECT_EQ(copied, rows.size() - not_copied) << r.output;
  EXPECT_EQ(TempFilesBelow(P("disk/dst")), std::vector<std::string>{});
  if (!IsExFat()) return;
  // One of the two case twins was copied, whole; the other left its name there.
  std::string kept = ReadFile(P("disk/dst/docs/report.txt"));
  EXPECT_TRUE(kept == "the report" || kept == "another report, in lower case") << kept;
}

// A file-size limit stops the copy at 40 MiB of 64, as a full disk would; the
// resumed copier starts inside the temporary file, so at most 70% of the file
// is written again. A disk image is mounted again in between (exFAT numbers
// its files anew then): the workspace still knows its temporary file.
TEST_P(RemovableDiskTest, AStoppedLargeCopyResumesInsideItsTemporaryFile) {
  auto disk = MountDisk();
  if (!disk) GTEST_SKIP() << why_not_;
  constexpr uint64_t kSize = 64 * kMiB;
  RunResult r;
  std::string task = CopyCutShortBySizeLimit(P("disk/big.bin"), kSize, 9, 40 * kMiB, &r);
  ASSERT_FALSE(task.empty()) << r.output;
  std::string temp = P("disk/big.bin_quorvalmist_temp");
  ASSERT_TRUE(PathExists(temp)) << r.output;
  if (GetParam() != MountedFileSystem::Kind::kRamfs) {
    ASSERT_TRUE(disk->Remount());
  }

  int resumed = -1;
  std::optional<uint64_t> start = ResumedCopierStart(task, P("src/big.bin"), &resumed);
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(resumed, 0);
  EXPECT_GE(*start, kSize * 3 / 10);
  EXPECT_TRUE(FilesEqual(P("src/big.bin"), P("disk/big.bin")));
  EXPECT_FALSE(PathExists(temp));
  // The workspace's record of the temporary file went with it.
  EXPECT_EQ(ReadFile(P("ws/config/tempfiles.cnf")).find('['), std::string::npos);
}

// A file that appears at the target's name while the copy runs (another
// program's, another copy's) survives, and the row does not say done; once it
// is moved away, a resume puts the copy in place.
TEST_P(RemovableDiskTest, AUsersFileAtTheTargetDuringTheCopySurvives) {
  auto disk = MountDisk();
  if (!disk) GTEST_SKIP() << why_not_;
  MakeDirs(P("src"));
  WriteRandomFile(P("src/big.bin"), 8 * kMiB, 3);
  OpenGate gate(P("src/big.bin"));
  auto copy = StartQv({"copy", P("src/big.bin"), P("disk/big.bin")});
  ASSERT_TRUE(gate.WaitForArrival()) << copy->output();
  WriteFile(P("disk/big.bin"), "the user's own file");
  gate.Release();
  EXPECT_EQ(copy->Wait(), 1) << copy->output();
  EXPECT_EQ(ReadFile(P("disk/big.bin")), "the user's own file");
  EXPECT_NE(copy->output().find("not replaced"), std::string::npos) << copy->output();
  std::string task = TaskId(copy->output());
  std::vector<ItemRow> rows = Rows(task);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, "stop");

  ASSERT_EQ(::rename(P("disk/big.bin").c_str(), P("disk/users.bin").c_str()), 0);
  RunResult r = Qv({"resume", task});
  EXPECT_EQ(r.exit_code, 0) << r.output << r.error;
  EXPECT_TRUE(FilesEqual(P("src/big.bin"), P("disk/big.bin")));
  EXPECT_EQ(ReadFile(P("disk/users.bin")), "the user's own file");
  EXPECT_EQ(TempFilesBelow(P("disk")), std::vector<std::string>{});
}

std::string DiskName(const ::testing::TestParamInfo<MountedFileSystem::Kind>& info) {
  switch (info.param) {
    case MountedFileSystem::Kind::kExFat:
      return "ExFat";
    case MountedFileSystem::Kind::kFat:
      return "Fat";
    case MountedFileSystem::Kind::kNtfs:
      return "Ntfs";
    case MountedFileSystem::Kind::kRamfs:
      break;
  }
  return "Ramfs";
}

INSTANTIATE_TEST_SUITE_P(Disks, RemovableDiskTest,
                         ::testing::Values(MountedFileSystem::Kind::kExFat,
                                           MountedFileSystem::Kind::kFat,
                                           MountedFileSystem::Kind::kNtfs,
                                           MountedFileSystem::Kind::kRamfs),
                         DiskName);

}  // namespace
}  // namespace quorvalmist::testing
