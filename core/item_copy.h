// The copy of one item, as an object whose methods are its steps: look at the
// target before the copy (Prepare), take the copier's outcome (AfterCopier),
// settle the copy (Settle, on any thread: its folder synced, then compared
// with its source by MD5), and write
// the verdict and the reason (Record). Whoever drives it (one item at a time,
// or several in flight) calls the steps in that order, each once, and runs
// the copier in between. Settle (the sync of the target's folder that a
// serving copier leaves to the core, then the MD5 comparison) runs on any
// thread.
#ifndef QUORVALMIST_CORE_ITEM_COPY_H_
#define QUORVALMIST_CORE_ITEM_COPY_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/copier_command.h"
#include "core/folder_syncs.h"
#include "core/run_settings.h"
#include "platform/process.h"

namespace quorvalmist {

// Files larger than this are not verified in check mode 0.
inline constexpr uint64_t LargeFileThreshold = 10485760;

// How a copier's copy of one item ended, as far as the core saw it.
struct InnerOutcome {
  enum class End {
    kExited,      // the copier ended the item, as `ended` says
    kLeft,        // the core stopped watching (a stop, or the pipe failed)
    kNotStarted,  // the copier could not be found or started; `why` says why
  };
  End end = End::kLeft;
  ChildEnd ended;
  std::string why;
  // The identity of the file the copier put at the target, from its placed
  // line (kPlacedLinePrefix); nullopt when it printed none.
  struct Placed {
    uint64_t device = 0;
    uint64_t inode = 0;
  };
  std::optional<Placed> placed;
};

enum class Verdict { kStop, kFinish, kSuccess, kError };

// The verdict on one copy: sizes that differ or a file that is missing give
// kStop; check mode 2, or mode 0 with a size above LargeFileThreshold, give
// kFinish; otherwise `files_match` decides between kSuccess and kError.
using FilesMatchFunction = std::function<bool(const std::wstring&, const std::wstring&)>;
Verdict JudgeCopy(std::optional<uint64_t> source_size, std::optional<uint64_t> target_size,
                  int check_mode, const FilesMatchFunction& files_match, const std::wstring& source,
                  const std::wstring& target);

// What the items of one run share: its settings, its task, and the figures
// the run keeps. Used by one thread (the one that records verdicts).
struct RunContext {
  RunSettings settings;
  std::wstring task_id;
  // The bytes of targets found in place and equal to their sources this run.
  uint64_t found_bytes = 0;
};

// One item's row: its id, its paths and its totalnum.
struct ItemJob {
  std::wstring id;
  std::wstring source;
  std::wstring target;
  uint64_t total = 0;
};

// The copy of one item. Callers set the row's "running" status and the
// item's "runstatus" = "run" first. The verdict goes to the row as copystatus,
// then positionnum := totalnum (finish and success only), then md5status, each
// an update of its own. A target that exists before the copy is never
// replaced: the copier is not started, and the file there is judged by MD5
// whatever the check mode (success when it equals the source, error
// otherwise). A stop during the verification leaves the row "stop". A copy of
// a source whose size changed since its row was made records the size copied.
// Every step but Verify writes the database and throws DbError when an update
// fails.
class ItemCopy {
 public:
  enum class Next {
    kCopy,    // run the copier with Command(), then call AfterCopier
    kVerify,  // call Settle, then Record
    kRecord,  // call Record
    kDone,    // the verdict is written
  };

  // `folders`: where the folder syncs that serving copiers leave to the core
  // are made; needed only with serving copiers.
  ItemCopy(RunContext* run, ItemJob job, FolderSyncs* folders = nullptr);
  ItemCopy(const ItemCopy&) = delete;
  ItemCopy& operator=(const ItemCopy&) = delete;

  // Looks at the target's name before any copy: a name held by another
  // copy's temporary file, a link that leads nowhere, a file of another
  // name's letter case on a file system that does not tell them apart give a
  // "stop" at once; a file there already is to be verified.
  Next Prepare();
  // The copier's command for this item, with the start position Prepare
  // found (resuming inside a temporary file when the run does).
  CopierItem Command() const;
  // Takes the copier's outcome and looks at the files: a file this copy did
  // not put at the target's name gives "stop" at once; otherwise the copy is
  // verified or judged by its size alone, as the check mode says.
  Next AfterCopier(const InnerOutcome& outcome);
  // Compares the copy (or the file found in place) with its source by MD5.
  // Touches no database; may run on any thread.
  void Verify();
  // What a copy needs before its verdict, off the recording thread: the sync
  // of its folder when a serving copier left it to the core, then Verify when
  // the check mode asks for it.
  void Settle();
  // Writes the verdict, and the reason of a copy that did not complete.
  void Record();

  // Copies the position the copier last reported (in inner.cnf) into the
  // row, while the copier runs.
  void MirrorPosition() const;
  // The bytes the MD5 comparison reads, of both files.
  uint64_t BytesToVerify() const { return 2 * source_size_.value_or(0); }

  const ItemJob& job() const { return job_; }
  // The bytes the MD5 comparison has read so far (both files).
  const std::atomic<uint64_t>& hashed() const { return hashed_; }

 private:
  void RecordFound();
  void RecordCopied();
  void RecordVerdict(Verdict verdict);
  void RecordForeignTarget(bool source_there);
  void RecordReach();
  Verdict UnlessStopped(Verdict verdict);
  void ExplainFailedCopy(Verdict verdict);
  void ExplainStoppedCopy();

  RunContext* const run_;
  const ItemJob job_;
  FolderSyncs* const folders_;
  // Settle syncs the target's folder, and then compares by MD5.
  bool sync_folder_ = false;
  bool compare_ = false;
  // Why the folder could not be synced; empty when it was (or need not be).
  std::string folder_error_;
  const std::string target_narrow_;
  // The target was there before the copy (judged in place).
  bool found_ = false;
  uint64_t start_ = 0;
  InnerOutcome outcome_;
  enum class Owner { kNone, kOwn, kOther, kUnknown } owner_ = Owner::kNone;
  std::optional<uint64_t> source_size_;
  std::optional<uint64_t> target_size_;
  int check_mode_ = 0;
  // The MD5 comparison's result, once Verify has run.
  std::optional<bool> match_;
  std::atomic<uint64_t> hashed_{0};
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_ITEM_COPY_H_
