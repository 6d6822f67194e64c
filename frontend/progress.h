// Progress figures and their text: sizes, durations, the transfer rate over a
// sliding window, and the lines of the live display and of the plain log.
// Pure: nothing here reads the clock, the disk or the database.
#ifndef QUORVALMIST_FRONTEND_PROGRESS_H_
#define QUORVALMIST_FRONTEND_PROGRESS_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvalmist {

// "0 B", "999 B", "1.0 KiB", "12.3 MiB", "1.50 GiB": three significant digits.
std::string FormatBytes(uint64_t bytes);

// "0:07", "12:03", "1:02:03"; "?" for a negative or absurd value.
std::string FormatDuration(double seconds);

// Whole percent of `part` in `whole`, 0..100 (100 for an empty whole).
int Percent(uint64_t part, uint64_t whole);

// Bytes per second over the last `window` seconds of samples.
class RateMeter {
 public:
  explicit RateMeter(double window_seconds = 10.0) : window_(window_seconds) {}
  // A sample: at `seconds` (any monotonic origin), `bytes` were done in all.
  void Add(double seconds, uint64_t bytes);
  // nullopt until the samples span a second.
  std::optional<double> Rate() const;

 private:
  double window_;
  std::deque<std::pair<double, uint64_t>> samples_;
};

// The time a run still needs, from what it did so far: the run's time is
// taken as a cost per file plus a cost per byte, both fitted by least squares
// to the samples (files done, bytes done, seconds), so that a tree of small
// files and one of large files are both judged by what costs them time. Says
// nothing while the samples are too few or too young, or when the fit gives an
// answer that cannot be trusted.
class TimeLeftEstimator {
 public:
  // A sample of this run: at `seconds` since its start, `files` and `bytes`
  // were done by it.
  void Add(double seconds, uint64_t files, uint64_t bytes);
  // Seconds left for `files_left` files holding `bytes_left` bytes.
  std::optional<double> Estimate(uint64_t files_left, uint64_t bytes_left) const;

 private:
  double ff_ = 0, bb_ = 0, fb_ = 0, ft_ = 0, bt_ = 0;
  double last_seconds_ = 0;
  uint64_t last_files_ = 0, last_bytes_ = 0;
  int samples_ = 0;
};

// What the display shows at one moment.
struct ProgressSnapshot {
  // The file being copied: its name relative to the source root, its bytes
  // done and its size. Empty name when none.
  std::string current_name;
  uint64_t current_done = 0;
  uint64_t current_size = 0;
  // The MD5 comparison of the current file with its source, once it has
  // begun: the bytes read of both files, of how many, and the time it still
  // needs. A phase of its own, after the copy.
  bool verifying = false;
  uint64_t verify_done = 0;
  uint64_t verify_total = 0;
  std::optional<double> verify_seconds_left;
  uint64_t files_done = 0;
  uint64_t bytes_done = 0;
  // Totals; unknown while the source tree is still being counted.
  std::optional<uint64_t> files_total;
  std::optional<uint64_t> bytes_total;
  std::optional<double> rate;  // bytes per second
  std::optional<double> seconds_left;
  double elapsed = 0;  // seconds
};

// The two lines of the live display, each cut to `width` columns (no cut when
// 0). A long file name loses its middle, so both ends stay readable.
std::vector<std::string> LiveLines(const ProgressSnapshot& snapshot, size_t width);

// One line for a log: time, files, bytes, rate, time left, current file.
std::string PlainLine(const ProgressSnapshot& snapshot);

// `text` cut to `width` display columns, by taking out its middle ("…").
// Counts one column per character (UTF-8 aware); 0 means no cut.
std::string FitWidth(const std::string& text, size_t width);

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_PROGRESS_H_
