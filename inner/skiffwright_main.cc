#include "inner/skiffwright_main.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/config_store.h"
#include "common/copier_command.h"
#include "common/directories.h"
#include "common/file_info.h"
#include "common/protocol.h"
#include "common/run_control.h"
#include "common/temp_name.h"
#include "inner/copy_loop.h"
#include "inner/file_primitives.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/marker.h"
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

// The copy of one item, as a one-shot copier makes it and a serving copier
// makes each of its items: the item's values, and the item's marker and
// monitor watch, which are let go of when the object goes, after the copy's
// files are closed and its temporary file kept or removed.
class ItemCopy {
 public:
  ItemCopy(const CopierItem& item, WatchedItem* watched, bool sync_folder)
      : item_(item), watched_(watched), sync_folder_(sync_folder) {}
  ~ItemCopy() {
    if (watching_) watched_->Unwatch();
    if (claimed_) ReleaseMarker(item_.item_id);
  }
  ItemCopy(const ItemCopy&) = delete;
  ItemCopy& operator=(const ItemCopy&) = delete;

  // Copies the item; returns the exit code a one-shot copier ends with.
  int Run();

 private:
  int Fail(const std::string& message);
  int Fail(const Status& status) { return Fail(status.message()); }
  void Report(uint64_t offset);
  std::optional<int> ResolvePaths(CopyPaths* paths);
  Status CopyChunks(PendingCopy* pending, uint64_t start, int64_t chunk_count, int32_t chunk_size);
  int FailCopy(const Status& status, const CopyPaths& paths, TempFileGuard* guard);
  int PlaceCopy(const CopyPaths& paths, uint64_t size, bool durable, TempFileGuard* guard);

  const CopierItem& item_;
  WatchedItem* watched_;
  // A durable copy syncs its folder after the rename (else the core does).
  const bool sync_folder_;
  bool claimed_ = false;
  bool watching_ = false;
};

// The exit code of a copy that could not be done. The reason goes to
// standard error and into the item's section of inner.cnf, where the front end
// reads it (the core gives the copier no standard error of its own).
int ItemCopy::Fail(const std::string& message) {
  PrintError(message);
  if (!item_.item_id.empty()) WriteItemReason(item_.item_id, NarrowToWide(message));
  return kCopierExitFailed;
}

// Prints the offset and stores it as the item's "position"; the chunks below
// it must already be in the temporary file.
void ItemCopy::Report(uint64_t offset) {
  std::printf("%llu\n", static_cast<unsigned long long>(offset));
  WriteItemPosition(item_.item_id, std::to_wstring(offset));
}

// Finds the temporary file and converts the paths; a path that does not fit
// the system's limit is refused before anything is claimed or touched.
// Returns the exit code of a refusal, nullopt when all is well.
std::optional<int> ItemCopy::ResolvePaths(CopyPaths* paths) {
  const std::wstring& target = item_.target;
  paths->target = target;
  if (ToAnsiPath(item_.source, paths->source_ansi.data(), paths->source_ansi.size()) == nullptr) {
    return Fail("the source path is too long for the system: " + WideToNarrow(item_.source));
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
Status ItemCopy::CopyChunks(PendingCopy* pending, uint64_t start, int64_t chunk_count,
                            int32_t chunk_size) {
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
int ItemCopy::FailCopy(const Status& status, const CopyPaths& paths, TempFileGuard* guard) {
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
int ItemCopy::PlaceCopy(const CopyPaths& paths, uint64_t size, bool durable, TempFileGuard* guard) {
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
  if (s.ok() && !item_.task_id.empty()) {
    if (!kept.mode) NoteAttributeNotKept(item_.task_id, L"mode");
    if (!kept.owner) NoteAttributeNotKept(item_.task_id, L"owner");
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
      if (!item_.item_id.empty()) {
        WriteItemReason(item_.item_id,
                        L"not replaced: another file took the target's name while this one was "
                        L"copied" +
                            waits + L" (move the other file away, then resume)");
      }
      return kCopierExitDone;
    }
    return FailCopy(s, paths, guard);
  }
  guard->placed = true;
  if (guard->proof == TempProof::kRecord) ForgetTemp(temp);
  if (identity) {
    std::printf("%s%llu %llu\n", kPlacedLinePrefix,
                static_cast<unsigned long long>(identity->device),
                static_cast<unsigned long long>(identity->inode));
    // A serving copier's output is a pipe: the core learns of the file now,
    // not when the buffer fills.
    std::fflush(stdout);
  }
  if (durable && sync_folder_) {
    s = SyncDirectory(WideToNarrow(DirectoryHolding(paths.temp.path)));
    if (!s.ok()) return Fail(s);
  }
  return kCopierExitDone;
}

int ItemCopy::Run() {
  CopyPaths paths;
  if (std::optional<int> refused = ResolvePaths(&paths)) return *refused;

  std::wstring warning;
  int32_t chunk_size = ChunkSizeFromSetting(ReadBufferSize(), &warning);
  if (!warning.empty()) PrintError(WideToNarrow(warning));

  if (!ClaimRunMutex(item_.item_id)) return kCopierExitItemClaimed;
  claimed_ = true;

  if (!IsRegularFile(paths.source_ansi.data())) return kCopierExitDone;
  std::optional<uint64_t> source_size = QueryFileSize(item_.source);
  if (!source_size) return kCopierExitDone;  // gone since the check above
  uint64_t size = *source_size;

  // A negative start, taken as unsigned, is beyond any size.
  uint64_t start = static_cast<uint64_t>(item_.start);
  if (start > size) return kCopierExitDone;

  // No temporary file is made for a copy that could never take the name.
  if (IsDanglingLink(WideToNarrow(item_.target))) return Fail(kDanglingTargetReason);

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
    if (std::optional<int> refused = ResolvePaths(&paths)) return *refused;
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
    s = TagTempFor(temp_ansi, item_.target);
    if (!s.ok() && !TagsUnsupported(s)) {
      guard.path.clear();
      RemoveFileAt(temp_ansi);
      return Fail(s);
    }
    if (!s.ok()) guard.proof = RecordTemp(temp_ansi) ? TempProof::kRecord : TempProof::kNone;
  }

  // From here on the monitor watches this item, and a stop is this item's.
  watched_->Watch(item_.item_id, item_.task_id);
  watching_ = true;

  PendingCopy pending(source, temp, size, temp_existed, durable);
  s = CopyChunks(&pending, start, chunk_count, chunk_size);
  if (!s.ok()) return FailCopy(s, paths, &guard);
  source.Close();
  s = temp.Close();
  if (!s.ok()) return Fail(s);

  // Stopped: the temporary file stays, untrimmed, for a later run.
  if (StopFlag.load(std::memory_order_relaxed)) return kCopierExitDone;

  return PlaceCopy(paths, size, durable, &guard);
}

// The one monitor of this process: it watches the item being copied.
WatchedItem& ProcessWatchedItem() {
  static NoDestructor<WatchedItem> watched;
  return *watched;
}

// One line of standard input, without its newline. False at the end of the
// input; a last line without a newline is returned as `*cut`, since a writer
// that ended mid-line may have cut an item short, and such a line is never
// taken for an item.
bool ReadItemLine(std::string* line, bool* cut) {
  line->clear();
  *cut = false;
  for (int c = std::getc(stdin); c != EOF; c = std::getc(stdin)) {
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  *cut = !line->empty();
  return *cut;
}

// Copies one item after another as its standard input names them, each
// followed by its end line; a line that names no item is refused with a
// failure's end line. Ends at the end of the input.
int ServeItems(bool sync_folders) {
  ReadStandardInputAsBytes();
  std::string line;
  bool cut = false;
  while (ReadItemLine(&line, &cut)) {
    std::optional<CopierItem> item;
    if (!cut) item = DecodeServedItem(line);
    int code = kCopierExitFailed;
    if (item) {
      code = CopyOneItem(*item, sync_folders);
    } else {
      PrintError(std::string(cut ? "an item line cut short" : "not an item line") + ": " + line);
    }
    std::fputs(ItemEndLine(code).c_str(), stdout);
    std::fflush(stdout);
  }
  return kCopierExitDone;
}

}  // namespace

int CopyOneItem(const CopierItem& item, bool sync_folder) {
  ItemCopy copy(item, &ProcessWatchedItem(), sync_folder);
  return copy.Run();
}

int SkiffwrightMain(const std::vector<std::wstring>& args) {
  if (args.size() == 2 && WideToNarrow(args[1]) == kServeOption) return ServeItems(true);
  if (args.size() == 3 && WideToNarrow(args[1]) == kServeOption &&
      WideToNarrow(args[2]) == kCoreSyncsFoldersOption) {
    return ServeItems(false);
  }
  std::optional<CopierItem> item = ParseCopierArguments(args);
  if (!item) {
    std::printf("argc is %d\n", static_cast<int>(args.size()));
    return kCopierExitDone;
  }
  return CopyOneItem(*item);
}

}  // namespace quorvalmist
