// The per-item copy driver: runs the copier for one item row, mirrors its
// progress into the row while it runs, and then judges the result from the
// files on disk and records it.
#ifndef QUORVALMIST_CORE_COPY_DRIVER_H_
#define QUORVALMIST_CORE_COPY_DRIVER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace quorvalmist {

// Files larger than this are not verified in check mode 0.
inline constexpr uint64_t LargeFileThreshold = 10485760;

// The copier's program name (without a path).
extern const wchar_t* const kInnerProgramName;

// The copier's command: the command line text, built by plain concatenation
// (program, quoted source, two blanks, quoted target, " 0 1024 ", task id, a
// blank, item id), and the same six values as an argument vector, from which
// the child is actually started so that no character of a path is lost to
// quoting.
struct InnerCommand {
  std::wstring line;
  std::vector<std::wstring> arguments;  // source, target, "0", "1024", task id, item id
};
InnerCommand BuildInnerCommand(const std::wstring& source, const std::wstring& target,
                               const std::wstring& task_id, const std::wstring& item_id,
                               uint64_t start_position = 0);

// How a copier run ended, as far as the core saw it.
struct InnerOutcome {
  enum class End {
    kExited,      // the copier ended, as `ended` says
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

// The identity in the last placed line of the copier's output `tail` (its
// last bytes); nullopt when there is none.
std::optional<InnerOutcome::Placed> ParsePlacedLine(const std::string& tail);

// Starts the copier, drains its output (keeping only the placed line), and every 256 ms while
// the pipe is quiet copies the item's "position" into its row. Returns when
// the child has ended, when StopFlag is raised (the child is left running; it
// stops through its own monitor), or when the child cannot be started or the
// pipe fails. Throws DbError when the position update fails.
InnerOutcome RunInnerProcess(const InnerCommand& command);

enum class Verdict { kStop, kFinish, kSuccess, kError };

// The verdict on one copy: sizes that differ or a file that is missing give
// kStop; check mode 2, or mode 0 with a size above LargeFileThreshold, give
// kFinish; otherwise `files_match` decides between kSuccess and kError.
using FilesMatchFunction = std::function<bool(const std::wstring&, const std::wstring&)>;
Verdict JudgeCopy(std::optional<uint64_t> source_size, std::optional<uint64_t> target_size,
                  int check_mode, const FilesMatchFunction& files_match, const std::wstring& source,
                  const std::wstring& target);

// Copies one item: runs the copier, judges, and writes copystatus, then
// positionnum := totalnum (finish and success only), then md5status, each as an
// update of its own to the row `item_id`. Callers set the row's "running" status and the item's
// "runstatus" = "run" first. A target that exists before the copy is never replaced: the copier is
// not started, and the file there is judged by MD5 whatever the check mode (success when it equals
// the source, error otherwise). A stop during the verification leaves the row "stop". `total` is
// the row's totalnum; a copy of a source whose size changed since records the size copied. Throws
// DbError when an update fails.
void CopyItem(const std::wstring& source, const std::wstring& target, const std::wstring& task_id,
              const std::wstring& item_id, uint64_t total);

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_COPY_DRIVER_H_
