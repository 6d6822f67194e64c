#include "inner/skiffwright_main.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/config_store.h"
#include "common/directories.h"
#include "common/file_info.h"
#include "common/protocol.h"
#include "common/run_control.h"
#include "common/temp_name.h"
#include "inner/copy_loop.h"
#include "inner/file_primitives.h"
#include "platform/file.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

namespace {

// Chunks are counted one by one but copied in batches of up to this many
// bytes, so that small chunks do not cost a system call each.
constexpr uint64_t kBatchBytes = uint64_t{8} << 20;

void PrintError(const std::string& message) {
  std::fprintf(stderr, "Skiffwright: %s\n", message.c_str());
}

// The exit code of a copy that could not be done. The reason goes to
// standard error and into the item's section of inner.cnf, where the front end
// reads it (the core gives the copier no standard error of its own).
int Fail(const std::string& message) {
  PrintError(message);
  if (!ItemKey().empty()) WriteItemReason(ItemKey(), NarrowToWide(message));
  return 1;
}

int Fail(const Status& status) { return Fail(status.message()); }

const MonitorTarget& ItemMonitorTarget() {
  static NoDestructor<MonitorTarget> target(
      MonitorTarget{MonitorTarget::Kind::kItem, &ItemKey(), &WatchedMutexName()});
  return *target;
}

// Prints the offset and stores it as the item's "position"; the chunks below
// it must already be in the temporary file.
void Report(uint64_t offset) {
  std::printf("%llu\n", static_cast<unsigned long long>(offset));
  WriteItemPosition(ItemKey(), std::to_wstring(offset));
}

// The chunks counted but not yet copied: one contiguous byte range of the
// source, copied to the same offsets of the target by Flush.
class PendingCopy {
 public:
  // `punch_holes`: the target may hold data from an earlier run, so ranges
  // that are holes in the source are made holes in it too. `write_behind`:
  // each copied range starts on its way to the device at once, so that the
  // final sync waits for little and the disk works while the copy goes on.
  PendingCopy(File& source, File& target, uint64_t source_size, bool punch_holes, bool write_behind)
      : source_(source),
        target_(target),
        source_size_(source_size),
        punch_holes_(punch_holes),
        write_behind_(write_behind) {}

  Status Add(uint64_t offset, uint64_t length) {
    if (begin_ != end_ && offset != end_) {
      Status s = Flush();
      if (!s.ok()) return s;
    }
    if (begin_ == end_) begin_ = end_ = offset;
    end_ += length;
    if (end_ - begin_ >= kBatchBytes) return Flush();
    return Status::Ok();
  }

  Status Flush() {
    if (begin_ == end_) return Status::Ok();
    uint64_t length = end_ - begin_;
    uint64_t expected = 0;
    if (begin_ < source_size_) expected = std::min(length, source_size_ - begin_);
    uint64_t copied = 0;
    // Holes of the source are skipped: they stay holes in the target.
    Status s = target_.CopyDataRangeFrom(source_, begin_, length, punch_holes_, &copied);
    if (!s.ok()) return s;
    // Short only where the source ends; ending sooner means the source was
    // cut while it was being copied, and the copy would hold zeros instead.
    if (copied < expected) {
      return Status::Error(-1, source_.path() + " ended at " + std::to_string(begin_ + copied) +
                                   " bytes, before its size of " + std::to_string(source_size_) +
                                   " bytes");
    }
    if (write_behind_) target_.StartWriteBack(begin_, copied);
    begin_ = end_;
    return Status::Ok();
  }

 private:
  File& source_;
  File& target_;
  uint64_t source_size_;
  bool punch_holes_;
  bool write_behind_;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

// How a temporary file is known for this system's after the copier ends: by
// its tag, by the workspace's record (a file system without tags), or not at
// all (neither could be written).
enum class TempProof { kTag, kRecord, kNone };

// What becomes of the temporary file when the copier ends without having
// renamed it to the target: one known by neither tag nor record is removed,
// since no later run could tell it from a user's file; a recorded one is
// recorded again as it is now (its size and time), so that it is still known
// after the file system numbers its files anew at the next mount.
struct TempFileGuard {
  std::string path;
  TempProof proof = TempProof::kTag;
  bool placed = false;
  ~TempFileGuard() {
    if (placed || path.empty()) return;
    if (proof == TempProof::kNone) RemoveFileAt(path);
    if (proof == TempProof::kRecord) RecordTemp(path);
  }
};

// The three paths of a copy in the system's narrow form, and the temporary
// file the copy goes through.
struct CopyPaths {
  std::wstring target;
  TempFile temp;
  std::vector<char> source_ansi = std::vector<char>(kAnsiPathCapacity);
  std::vector<char> temp_ansi = std::vector<char>(kAnsiPathCapacity);
  std::vector<char> target_ansi = std::vector<char>(kAnsiPathCapacity);
};

// Finds the temporary file and converts the paths; a path that does not fit
// the system's limit is refused before anything is claimed or touched.
// Returns the exit code of a refusal, nullopt when all is well.
std::optional<int> ResolvePaths(const std::wstring& source, const std::wstring& target,
                                CopyPaths* paths) {
  paths->target = target;
  if (ToAnsiPath(source, paths->source_ansi.data(), paths->source_ansi.size()) == nullptr) {
    return Fail("the source path is too long for the system: " + WideToNarrow(source));
  }
  // Only a temporary file tagged for this target is resumed into; a file of
  // the user's that is called like one is left alone, and the next free name
  // is used.
  paths->temp = FindTempFor(target);
  if (paths->temp.path.empty()) {
    return Fail("every temporary name beside the target is taken by other files: " +
                WideToNarrow(target));
  }
  if (ToAnsiPath(paths->temp.path, paths->temp_ansi.data(), paths->temp_ansi.size()) == nullptr ||
      ToAnsiPath(target, paths->target_ansi.data(), paths->target_ansi.size()) == nullptr) {
    return Fail("the target path is too long for the system: " + WideToNarrow(target));
  }
  return std::nullopt;
}

// Makes the folders of the temporary file, durable when asked.
Status MakeDirectoriesFor(const std::wstring& directory, bool durable) {
  if (IsDirectory(directory)) return Status::Ok();
  std::wstring existing = NearestExistingAncestor(directory);
  Status s = CreateDirectoryTree(directory);
  if (s.ok() && durable) s = SyncCreatedDirectories(directory, existing);
  return s;
}

// Copies the chunks of [start, size) in order until the end or a stop. Every
// chunk is written at its absolute offset, so chunks rewritten on a resume are
// harmless. The offset advances by the whole chunk size, also after a short
// last chunk. The reports go out as the schedule says, each after the chunks
// below it are in the temporary file.
Status CopyChunks(PendingCopy* pending, uint64_t start, int64_t chunk_count, int32_t chunk_size) {
  uint64_t offset = start;
  ProgressSchedule schedule(chunk_count);
  for (int64_t i = 0; i < chunk_count; ++i) {
    if (StopFlag.load(std::memory_order_relaxed)) break;
    Status s = pending->Add(offset, static_cast<uint64_t>(chunk_size));
    if (!s.ok()) return s;
    offset += static_cast<uint64_t>(chunk_size);
    ProgressSchedule::Reports reports = schedule.AfterChunk(i);
    if (reports.periodic || reports.percent) {
      // A stored position promises every chunk below it.
      s = pending->Flush();
      if (!s.ok()) return s;
    }
    if (reports.periodic) {
      Report(offset);
      SleepMilliseconds(0);
    }
    if (reports.percent) Report(offset);
  }
  return pending->Flush();
}

// The reason of a copy whose name the target's file system refuses, in words
// for the user; empty for any other failure.
std::string NameRefused(const Status& status, const std::wstring& target) {
  std::string name = WideToNarrow(target);
  name = name.substr(LastComponentStart(name));
  if (status.kind() == ErrorKind::kNameRefused) {
    return "the target's file system does not allow the name '" + name +
           "' (FAT, exFAT and Windows refuse : ? * \" < > | \\, control characters, names "
           "such as 'con' and a trailing dot or blank); not copied";
  }
  return "";
}

// The reason of a copy that grew past the largest file the target's file
// system (or a limit on this process's file sizes) allows; empty for any other
// failure. Its temporary file stays: the limit may be lifted.
std::string TooLarge(const Status& status) {
  if (status.kind() != ErrorKind::kTooLarge) return "";
  return status.message() +
         ": the file is larger than the target's file system, or a limit on file sizes, allows "
         "(FAT32 holds files up to 4 GiB less one byte)";
}

// Ends a copy that cannot complete under this name on the target's file
// system: its temporary file is removed (it could never become
// the target, and would only fail again at every resume) and the reason says
// why. Any other failure is reported as it is.
int FailCopy(const Status& status, const CopyPaths& paths, TempFileGuard* guard) {
  if (std::string too_large = TooLarge(status); !too_large.empty()) return Fail(too_large);
  std::string reason = NameRefused(status, paths.target);
  if (reason.empty()) return Fail(status);
  if (guard != nullptr && !guard->path.empty()) {
    RemoveFileAt(guard->path);
    if (guard->proof == TempProof::kRecord) ForgetTemp(guard->path);
    guard->path.clear();
  }
  return Fail(reason);
}

// Gives the complete temporary file its length, mode and times and renames it
// to the target, never over an existing file; when `durable`, the rename is
// synced. Once renamed, prints the placed line (kPlacedLinePrefix) with the
// file's identity, so that the core takes no other file at the target's name
// for this copy. Returns the exit code; guard->placed tells whether the file
// is the target now.
int PlaceCopy(const CopyPaths& paths, uint64_t size, bool durable, TempFileGuard* guard) {
  const char* temp = paths.temp_ansi.data();
  Status s = SetFileLength(paths.temp.path, size);
  // A file system that cannot set a length (FAT through FUSE) still has the
  // right one when every byte was written.
  if (!s.ok() && QueryFileSize(paths.temp.path) == size) s = Status::Ok();
  if (!s.ok()) return FailCopy(s, paths, guard);
  const bool tagged = guard->proof == TempProof::kTag;
  // The tag goes before the file becomes the target: a target never carries it.
  if (tagged && !(s = UntagTemp(temp)).ok()) return Fail(s);
  File::AttributesKept kept;
  s = FinishTemporaryFile(temp, paths.source_ansi.data(), durable, &kept);
  // Said once per task by the front end, not counted as a failure.
  if (s.ok() && !WatchedMutexName().empty()) {
    if (!kept.mode) NoteAttributeNotKept(WatchedMutexName(), L"mode");
    if (!kept.owner) NoteAttributeNotKept(WatchedMutexName(), L"owner");
  }
  std::optional<PathInfo> identity;
  if (s.ok()) {
    identity = StatPath(temp);
    s = RenameNoReplace(temp, paths.target_ansi.data());
  }
  if (!s.ok()) {
    // The copy stays under the temporary name, tagged again and writable by
    // its owner (it may have taken a read-only source's mode), so a later run
    // can write into it again. An existing target is never replaced.
    if (tagged) TagTempFor(temp, paths.target);
    AllowOwnerWrite(temp);
    if (s.kind() == ErrorKind::kExists) {
      // Another program, or another copy, has put a file at the target's
      // name since this copy began: that file stays, and so does this copy.
      std::wstring waits = guard->proof == TempProof::kNone
                               ? std::wstring(L"")
                               : L"; this copy waits as " + paths.temp.path;
      if (!ItemKey().empty()) {
        WriteItemReason(ItemKey(),
                        L"not replaced: another file took the target's name while this one was "
                        L"copied" +
                            waits + L" (move the other file away, then resume)");
      }
      return 0;
    }
    return FailCopy(s, paths, guard);
  }
  guard->placed = true;
  if (guard->proof == TempProof::kRecord) ForgetTemp(temp);
  if (identity) {
    std::printf("%s%llu %llu\n", kPlacedLinePrefix,
                static_cast<unsigned long long>(identity->device),
                static_cast<unsigned long long>(identity->inode));
  }
  if (durable) {
    s = SyncDirectory(WideToNarrow(DirectoryHolding(paths.temp.path)));
    if (!s.ok()) return Fail(s);
  }
  return 0;
}

}  // namespace

int SkiffwrightMain(const std::vector<std::wstring>& args) {
  if (args.size() < 7) {
    std::printf("argc is %d\n", static_cast<int>(args.size()));
    return 0;
  }

  ItemKey() = args[6];
  CopyPaths paths;
  if (std::optional<int> refused = ResolvePaths(args[1], args[2], &paths)) return *refused;

  int64_t start_position = WideToInt64(args[3]);

  std::wstring warning;
  int32_t chunk_size = ChunkSizeFromSetting(ReadBufferSize(), &warning);
  if (!warning.empty()) PrintError(WideToNarrow(warning));

  if (!args[5].empty()) WatchedMutexName() = args[5];
  if (!ClaimRunMutex(ItemKey())) return -1;

  if (!IsRegularFile(paths.source_ansi.data())) return 0;
  std::optional<uint64_t> source_size = QueryFileSize(args[1]);
  if (!source_size) return 0;  // gone since the check above
  uint64_t size = *source_size;

  // A negative start, taken as unsigned, is beyond any size.
  uint64_t start = static_cast<uint64_t>(start_position);
  if (start > size) return 0;

  // No temporary file is made for a copy that could never take the name.
  if (IsDanglingLink(WideToNarrow(args[2]))) return Fail(kDanglingTargetReason);

  const bool temp_existed = paths.temp.exists;
  if (!temp_existed) start = 0;  // nothing to resume into

  int64_t chunk_count = CountChunks(size, start, chunk_size);

  // Durable unless the setting says otherwise: a copy counts as done only
  // once its data, its name and the directories made for it are on the disk.
  const bool durable = SyncEnabled();
  Status s = MakeDirectoriesFor(ParentDirectory(paths.temp.path), durable);
  if (!s.ok()) return Fail(s);

  File source;
  s = File::Open(paths.source_ansi.data(), File::Mode::kRead, &source);
  if (!s.ok()) return Fail(s);
  source.AdviseSequential();
  // A new temporary file is created where nothing is (never over a file that
  // appeared meanwhile) and tagged at once, or, where the file system keeps no
  // tags, recorded in the workspace. Known by neither, it is this run's alone:
  // removed unless the copy completes.
  File temp;
  s = File::Open(paths.temp_ansi.data(),
                 temp_existed ? File::Mode::kReadWrite : File::Mode::kCreateNew, &temp);
  for (int retry = 0; !temp_existed && s.kind() == ErrorKind::kExists && retry < kTempNameCount;
       ++retry) {
    // Another copy took the free name in the moment since it was found: the
    // next free name is taken instead.
    if (std::optional<int> refused = ResolvePaths(args[1], args[2], &paths)) return *refused;
    if (paths.temp.exists) break;
    s = File::Open(paths.temp_ansi.data(), File::Mode::kCreateNew, &temp);
  }
  if (!s.ok()) return FailCopy(s, paths, nullptr);
  const char* temp_ansi = paths.temp_ansi.data();
  TempFileGuard guard;
  guard.path = temp_ansi;
  if (temp_existed) {
    guard.proof = paths.temp.recorded ? TempProof::kRecord : TempProof::kTag;
  } else {
    s = TagTempFor(temp_ansi, args[2]);
    if (!s.ok() && !TagsUnsupported(s)) {
      guard.path.clear();
      RemoveFileAt(temp_ansi);
      return Fail(s);
    }
    if (!s.ok()) guard.proof = RecordTemp(temp_ansi) ? TempProof::kRecord : TempProof::kNone;
  }

  StartMonitor(ItemMonitorTarget());

  PendingCopy pending(source, temp, size, temp_existed, durable);
  s = CopyChunks(&pending, start, chunk_count, chunk_size);
  if (!s.ok()) return FailCopy(s, paths, &guard);
  source.Close();
  s = temp.Close();
  if (!s.ok()) return Fail(s);

  // Stopped: the temporary file stays, untrimmed, for a later run.
  if (StopFlag.load(std::memory_order_relaxed)) return 0;

  return PlaceCopy(paths, size, durable, &guard);
}

}  // namespace quorvalmist
