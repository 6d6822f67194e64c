// File systems of other kinds than the scratch directory's, mounted for one
// test: exFAT through FUSE on a loop device (no tags, no hard links, no
// no-replace rename, names compared ignoring case), FAT32 through fusefat (no
// permission bits or owners either, no length setting), NTFS through ntfs-3g
// with Windows' naming rules, and ramfs (no tags). They need root and the
// tools of the exfat-fuse, exfatprogs, fusefat, dosfstools and ntfs-3g
// packages; where the mount cannot be
// made, the test is skipped with the reason.
#ifndef QUORVALMIST_TESTS_SYSTEM_MOUNTED_FS_H_
#define QUORVALMIST_TESTS_SYSTEM_MOUNTED_FS_H_

#include <cstdint>
#include <memory>
#include <string>

namespace quorvalmist::testing {

class MountedFileSystem {
 public:
  enum class Kind { kExFat, kFat, kNtfs, kRamfs };
  // Mounts a new, empty file system of `kind` at the new directory
  // `mount_point` (an image of `image_bytes` is made beside it). nullptr
  // and *why_not when it cannot be done here.
  static std::unique_ptr<MountedFileSystem> Mount(Kind kind, const std::string& mount_point,
                                                  uint64_t image_bytes, std::string* why_not);
  // Unmounts it (and frees the loop device).
  ~MountedFileSystem();
  MountedFileSystem(const MountedFileSystem&) = delete;
  MountedFileSystem& operator=(const MountedFileSystem&) = delete;

  const std::string& path() const { return path_; }
  // Unmounts and mounts the same image again, as a disk unplugged and plugged
  // back in: the file system numbers its files anew. False when it failed.
  bool Remount();

 private:
  MountedFileSystem() = default;
  Kind kind_ = Kind::kRamfs;
  std::string path_;
  std::string loop_device_;
};

const char* KindName(MountedFileSystem::Kind kind);

}  // namespace quorvalmist::testing

#endif  // QUORVALMIST_TESTS_SYSTEM_MOUNTED_FS_H_
