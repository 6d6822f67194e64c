#include "core/copy_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/config_store.h"
#include "common/protocol.h"
#include "common/run_control.h"
#include "core/copier_timing.h"
#include "db/item_table.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

namespace {

constexpr size_t kReceiveBufferSize = 5000;
constexpr size_t kReadSize = 1024;
// Enough of the copier's output to hold its last progress lines and the
// placed line.
constexpr size_t kTailBytes = 256;

// Publishes the progress of an MD5 comparison in the item's section of
// inner.cnf, where the front end shows it, from a thread of its own while the
// comparison runs on the calling thread: at most once a poll period, and only
// once some bytes were read.
class VerificationReport {
 public:
  VerificationReport(const std::wstring& item_id, uint64_t total,
                     const std::atomic<uint64_t>& hashed)
      : item_id_(item_id), total_(total), hashed_(hashed), thread_([this] { Run(); }) {}
  ~VerificationReport() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  VerificationReport(const VerificationReport&) = delete;
  VerificationReport& operator=(const VerificationReport&) = delete;

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t published = 0;
    while (!wake_.wait_for(lock, kCopierPollPeriod, [this] { return done_; })) {
      uint64_t now = std::min(hashed_.load(std::memory_order_relaxed), total_);
      if (now == published) continue;
      published = now;
      WriteItemVerification(item_id_, total_, now);
    }
  }

  const std::wstring item_id_;
  const uint64_t total_;
  const std::atomic<uint64_t>& hashed_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

// The MD5 comparison of an item, its progress published as it goes.
void VerifyReporting(ItemCopy* copy) {
  VerificationReport report(copy->job().id, copy->BytesToVerify(), copy->hashed());
  copy->Settle();
}

}  // namespace

std::optional<InnerOutcome::Placed> ParsePlacedLine(const std::string& tail) {
  size_t at = tail.rfind(kPlacedLinePrefix);
  if (at == std::string::npos || (at > 0 && tail[at - 1] != '\n')) return std::nullopt;
  size_t end = tail.find('\n', at);
  if (end == std::string::npos) return std::nullopt;
  std::istringstream in(tail.substr(at + std::strlen(kPlacedLinePrefix), end - at));
  InnerOutcome::Placed placed;
  if (!(in >> placed.device >> placed.inode)) return std::nullopt;
  return placed;
}

namespace {

// Copies the position the copier last reported into the item's row.
void MirrorPosition(const std::wstring& id) {
  std::wstring position = ReadItemPosition(id);
  if (!position.empty()) SetItemPosition(id, position);
}

}  // namespace

InnerOutcome RunInnerProcess(const CopierItem& item, bool brisk) {
  InnerOutcome outcome;
  std::string program = FindProgram(WideToNarrow(kCopierProgramName));
  if (program.empty()) {
    // Judged from the files: normally "stop".
    outcome.end = InnerOutcome::End::kNotStarted;
    outcome.why = "the copier (" + WideToNarrow(kCopierProgramName) + ") was not found";
    return outcome;
  }
  std::vector<std::string> arguments;
  for (const auto& a : CopierArguments(item)) arguments.push_back(WideToNarrow(a));
  Status status;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(program, arguments, &status);
  if (!child) {
    outcome.end = InnerOutcome::End::kNotStarted;
    outcome.why = status.message();
    return outcome;
  }

  // The same steps either way: stop flag, drain the output, end of the
  // child, wait, mirror the position. Paced, the wait is a full period of
  // sleep and the position is mirrored after each. Brisk, the wait ends as
  // soon as the copier prints or ends, and the position is mirrored once a
  // period has passed since the last time, so still at most once a period.
  auto next_mirror = std::chrono::steady_clock::now() + kCopierPollPeriod;
  char receive[kReceiveBufferSize];
  // The last bytes of the output: the placed line is the copier's last.
  std::string tail;
  // After a stop the copier is told to stop too and waited for, so that what
  // it did last (the chunks it wrote, a file it placed) is what the row says.
  std::optional<std::chrono::steady_clock::time_point> give_up;
  for (;;) {
    if (StopFlag.load(std::memory_order_relaxed)) {
      auto now = std::chrono::steady_clock::now();
      if (!give_up) {
        WriteItemRunStatus(item.item_id, kRunStatusStop);
        give_up = now + kStoppedCopierGrace;
      } else if (now >= *give_up) {
        break;
      }
    }
    size_t waiting = 0;
    if (!child->PeekOutput(&waiting)) break;
    if (waiting > 0) {
      size_t read = 0;
      if (!child->ReadOutput(receive, kReadSize, &read)) break;
      receive[read] = '\0';
      tail.append(receive, read);
      if (tail.size() > kTailBytes) tail.erase(0, tail.size() - kTailBytes);
      if (!brisk) continue;
    } else if (child->HasEnded()) {
      outcome.end = InnerOutcome::End::kExited;
      outcome.ended = child->Wait();
      outcome.placed = ParsePlacedLine(tail);
      break;
    } else if (brisk) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          next_mirror - std::chrono::steady_clock::now());
      child->WaitForOutputOrEnd(static_cast<unsigned>(std::max<int64_t>(left.count(), 0)));
    } else {
      SleepMilliseconds(static_cast<unsigned>(kCopierPollPeriod.count()));
    }
    if (brisk) {
      auto now = std::chrono::steady_clock::now();
      if (now < next_mirror) continue;
      next_mirror = now + kCopierPollPeriod;
    }
    MirrorPosition(item.item_id);
  }
  return outcome;
}

void CopyItem(RunContext* run, const ItemJob& job) {
  ItemCopy copy(run, job);
  ItemCopy::Next next = copy.Prepare();
  if (next == ItemCopy::Next::kCopy) {
    next = copy.AfterCopier(RunInnerProcess(copy.Command(), run->settings.brisk));
  }
  if (next == ItemCopy::Next::kVerify) VerifyReporting(&copy);
  if (next != ItemCopy::Next::kDone) copy.Record();
}

}  // namespace quorvalmist
