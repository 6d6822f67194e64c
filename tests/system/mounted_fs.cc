#include "tests/system/mounted_fs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>

namespace quorvalmist::testing {

namespace {

// Runs a shell command; its exit status, with its output in *output.
int Shell(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 512> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    output->append(buffer.data(), n);
  int status = ::pclose(pipe);
  while (!output->empty() && output->back() == '\n') output->pop_back();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool IsMounted(const std::string& path) {
  std::string out;
  return Shell("mountpoint -q " + Quoted(path), &out) == 0;
}

}  // namespace

const char* KindName(MountedFileSystem::Kind kind) {
  switch (kind) {
    case MountedFileSystem::Kind::kExFat:
      return "exFAT through FUSE";
    case MountedFileSystem::Kind::kFat:
      return "FAT32 through fusefat";
    case MountedFileSystem::Kind::kNtfs:
      return "NTFS through ntfs-3g";
    case MountedFileSystem::Kind::kRamfs:
      break;
  }
  return "ramfs";
}

std::unique_ptr<MountedFileSystem> MountedFileSystem::Mount(Kind kind,
                                                            const std::string& mount_point,
                                                            uint64_t image_bytes,
                                                            std::string* why_not) {
  if (::geteuid() != 0) {
    *why_not = std::string("mounting ") + KindName(kind) + " needs root";
    return nullptr;
  }
  std::error_code ec;
  std::filesystem::create_directories(mount_point, ec);
  std::unique_ptr<MountedFileSystem> fs(new MountedFileSystem());
  fs->kind_ = kind;
  fs->path_ = mount_point;
  std::string out;
  if (kind == Kind::kRamfs) {
    if (Shell("mount -t ramfs ramfs " + Quoted(mount_point), &out) != 0) {
      *why_not = "cannot mount ramfs: " + out;
      return nullptr;
    }
    return fs;
  }
  std::string make = kind == Kind::kExFat ? "mkfs.exfat"
                     : kind == Kind::kFat ? "mkfs.vfat -F 32"
                                          : "mkfs.ntfs -F -Q";
  const char* mounter = kind == Kind::kExFat ? "mount.exfat-fuse"
                        : kind == Kind::kFat ? "fusefat"
                                             : "ntfs-3g";
  for (std::string tool :
       {make.substr(0, make.find(' ')), std::string(mounter), std::string("losetup")}) {
    if (Shell("command -v " + tool, &out) != 0) {
      *why_not = tool + " is not installed (packages exfatprogs, exfat-fuse, dosfstools, " +
                 "fusefat, ntfs-3g)";
      return nullptr;
    }
  }
  std::string image = mount_point + ".img";
  if (Shell("truncate -s " + std::to_string(image_bytes) + " " + Quoted(image) + " && " + make +
                " " + Quoted(image),
            &out) != 0) {
    *why_not = std::string("cannot make an image: ") + out;
    return nullptr;
  }
  if (Shell("losetup -f --show " + Quoted(image), &out) != 0) {
    *why_not = "cannot attach a loop device: " + out;
    return nullptr;
  }
  fs->loop_device_ = out;
  if (!fs->Remount()) {
    *why_not = std::string("cannot mount ") + KindName(kind);
    return nullptr;
  }
  return fs;
}

bool MountedFileSystem::Remount() {
  if (kind_ == Kind::kRamfs) return false;
  std::string out;
  if (IsMounted(path_) && Shell("umount " + Quoted(path_), &out) != 0) return false;
  std::string mount = kind_ == Kind::kExFat ? "mount.exfat-fuse "
                      : kind_ == Kind::kFat ? "fusefat -o rw+ "
                                            : "ntfs-3g -o windows_names ";
  return Shell(mount + Quoted(loop_device_) + " " + Quoted(path_), &out) == 0 && IsMounted(path_);
}

MountedFileSystem::~MountedFileSystem() {
  std::string out;
  // A lazy unmount as a last resort, so a test that failed with a file still
  // open does not leave the mount behind.
  if (IsMounted(path_) && Shell("umount " + Quoted(path_), &out) != 0) {
    Shell("umount -l " + Quoted(path_), &out);
  }
  if (!loop_device_.empty()) Shell("losetup -d " + Quoted(loop_device_), &out);
}

}  // namespace quorvalmist::testing
