#include "core/copiers.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "core/copier_timing.h"
#include "core/copy_driver.h"
#include "platform/process.h"
#include "platform/text.h"

namespace quorvalmist {

void RunEvents::Push(RunEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  ready_.notify_one();
}

std::deque<RunEvent> RunEvents::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait_until(lock, deadline, [this] { return !events_.empty(); });
  std::deque<RunEvent> taken;
  taken.swap(events_);
  return taken;
}

namespace {

constexpr size_t kReadSize = 4096;
// Enough of a one-shot copier's output to hold its last progress lines and
// the placed line.
constexpr size_t kTailBytes = 256;

InnerOutcome NotStarted(std::string why) {
  InnerOutcome outcome;
  outcome.end = InnerOutcome::End::kNotStarted;
  outcome.why = std::move(why);
  return outcome;
}

// Starts the copier program with `arguments`; nullptr and *why when it cannot
// be found or started.
std::unique_ptr<ChildProcess> StartCopier(const std::vector<std::string>& arguments,
                                          bool input_pipe, std::string* why) {
  std::string program = FindProgram(WideToNarrow(kCopierProgramName));
  if (program.empty()) {
    *why = "the copier (" + WideToNarrow(kCopierProgramName) + ") was not found";
    return nullptr;
  }
  Status status;
  ChildOptions options;
  options.input_pipe = input_pipe;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(program, arguments, &status, options);
  if (!child) *why = status.message();
  return child;
}

// Reads what is waiting on the child's output into `out`; waits up to a poll
// period first when nothing is. False once the output has ended.
bool ReadSome(ChildProcess* child, std::string* out) {
  size_t waiting = 0;
  if (!child->PeekOutput(&waiting)) return false;
  if (waiting == 0) {
    if (child->HasEnded()) {
      // Output written just before the end is still read.
      if (!child->PeekOutput(&waiting) || waiting == 0) return false;
    } else {
      child->WaitForOutputOrEnd(static_cast<unsigned>(kCopierPollPeriod.count()));
      return true;
    }
  }
  char buffer[kReadSize];
  size_t read = 0;
  if (!child->ReadOutput(buffer, sizeof buffer, &read)) return false;
  out->append(buffer, read);
  return true;
}

class OneShotCopier : public Copier {
 public:
  explicit OneShotCopier(RunEvents* events) : events_(events) {}
  ~OneShotCopier() override {
    abandoned_ = true;
    Join();
  }

  void Begin(const CopierItem& item, uint64_t serial) override {
    Join();
    abandoned_ = false;
    std::vector<std::string> arguments;
    for (const std::wstring& a : CopierArguments(item)) arguments.push_back(WideToNarrow(a));
    std::string why;
    std::unique_ptr<ChildProcess> child = StartCopier(arguments, false, &why);
    if (!child) {
      events_->Push(RunEvent{RunEvent::Kind::kCopied, serial, NotStarted(why)});
      return;
    }
    watcher_ =
        std::thread([this, serial, c = std::move(child)]() mutable { Watch(c.get(), serial); });
  }

  void Abandon() override { abandoned_ = true; }

 private:
  void Watch(ChildProcess* child, uint64_t serial) {
    std::string tail;
    while (!abandoned_) {
      if (ReadSome(child, &tail)) {
        if (tail.size() > kTailBytes) tail.erase(0, tail.size() - kTailBytes);
        continue;
      }
      // The output has ended: the child has ended, or is about to.
      InnerOutcome outcome;
      outcome.end = InnerOutcome::End::kExited;
      outcome.ended = child->Wait();
      outcome.placed = ParsePlacedLine(tail);
      events_->Push(RunEvent{RunEvent::Kind::kCopied, serial, outcome});
      return;
    }
  }

  void Join() {
    if (watcher_.joinable()) watcher_.join();
  }

  RunEvents* const events_;
  std::atomic<bool> abandoned_{false};
  std::thread watcher_;
};

class ServingCopier : public Copier {
 public:
  explicit ServingCopier(RunEvents* events) : events_(events) {}
  ~ServingCopier() override {
    if (child_) child_->CloseInput();
    Join();
  }

  void Begin(const CopierItem& item, uint64_t serial) override {
    bool running = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running = child_ && !dead_ && !abandoned_;
      if (running) {
        serial_ = serial;
        active_ = true;
      }
    }
    if (!running && !Restart(serial)) return;
    // A copier that died meanwhile reports the item from its watcher.
    child_->WriteInput(EncodeServedItem(item));
  }

  void Abandon() override {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = false;
    abandoned_ = true;
  }

 private:
  // Starts a new copier process for the item `serial`.
  bool Restart(uint64_t serial) {
    if (child_) child_->CloseInput();
    Join();
    std::string why;
    std::unique_ptr<ChildProcess> child =
        StartCopier({std::string(kServeOption), std::string(kCoreSyncsFoldersOption)}, true, &why);
    if (!child) {
      events_->Push(RunEvent{RunEvent::Kind::kCopied, serial, NotStarted(why)});
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    child_ = std::move(child);
    dead_ = false;
    abandoned_ = false;
    serial_ = serial;
    active_ = true;
    watcher_ = std::thread([this] { Watch(); });
    return true;
  }

  // Reads the copier's lines until its output ends: a placed line is kept
  // for the item, an end line ends it; a copier that dies mid-item ends the
  // item with the way the process ended.
  void Watch() {
    std::string pending;
    std::optional<InnerOutcome::Placed> placed;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (abandoned_) return;
      }
      if (!ReadSome(child_.get(), &pending)) break;
      size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (line.compare(0, std::char_traits<char>::length(kPlacedLinePrefix), kPlacedLinePrefix) ==
            0) {
          placed = ParsePlacedLine(line + "\n");
        } else if (std::optional<int> code = ParseItemEndLine(line)) {
          InnerOutcome outcome;
          outcome.end = InnerOutcome::End::kExited;
          outcome.ended.exit_code = *code;
          outcome.placed = placed;
          placed.reset();
          EndItem(outcome);
        }
      }
    }
    InnerOutcome outcome;
    outcome.end = InnerOutcome::End::kExited;
    outcome.ended = child_->Wait();
    outcome.placed = placed;
    std::lock_guard<std::mutex> lock(mutex_);
    dead_ = true;
    if (active_ && !abandoned_) {
      active_ = false;
      events_->Push(RunEvent{RunEvent::Kind::kCopied, serial_, outcome});
    }
  }

  void EndItem(const InnerOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_ || abandoned_) return;
    active_ = false;
    events_->Push(RunEvent{RunEvent::Kind::kCopied, serial_, outcome});
  }

  void Join() {
    if (watcher_.joinable()) watcher_.join();
  }

  RunEvents* const events_;
  std::unique_ptr<ChildProcess> child_;
  std::thread watcher_;
  std::mutex mutex_;
  bool dead_ = false;
  bool active_ = false;
  bool abandoned_ = false;
  uint64_t serial_ = 0;
};

}  // namespace

std::unique_ptr<Copier> MakeOneShotCopier(RunEvents* events) {
  return std::make_unique<OneShotCopier>(events);
}

std::unique_ptr<Copier> MakeServingCopier(RunEvents* events) {
  return std::make_unique<ServingCopier>(events);
}

}  // namespace quorvalmist
