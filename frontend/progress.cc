#include "frontend/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvalmist {

namespace {

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Byte offsets at which each UTF-8 character of `text` starts.
std::vector<size_t> CharacterStarts(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  return starts;
}

std::string TimeLeft(const ProgressSnapshot& s) {
  if (!s.seconds_left) return "";
  return FormatDuration(*s.seconds_left) + " left";
}

std::string Totals(const ProgressSnapshot& s) {
  std::string files = std::to_string(s.files_done) + " of " +
                      (s.files_total ? std::to_string(*s.files_total) : "(counting)") + " files";
  std::string bytes = FormatBytes(s.bytes_done) + " of " +
                      (s.bytes_total ? FormatBytes(*s.bytes_total) : "(counting)");
  if (s.bytes_total) bytes += " (" + std::to_string(Percent(s.bytes_done, *s.bytes_total)) + "%)";
  return files + ", " + bytes;
}

// How far the current file's phase got: its copy, or its comparison.
int CurrentPercent(const ProgressSnapshot& s) {
  return s.verifying ? Percent(s.verify_done, s.verify_total)
                     : Percent(s.current_done, s.current_size);
}

std::string VerifyTimeLeft(const ProgressSnapshot& s) {
  return FormatDuration(*s.verify_seconds_left) + " left";
}

std::string Rate(const ProgressSnapshot& s) {
  return s.rate ? FormatBytes(static_cast<uint64_t>(*s.rate)) + "/s" : "";
}

}  // namespace

void TimeLeftEstimator::Add(double seconds, uint64_t files, uint64_t bytes) {
  double f = static_cast<double>(files), b = static_cast<double>(bytes);
  ff_ += f * f;
  bb_ += b * b;
  fb_ += f * b;
  ft_ += f * seconds;
  bt_ += b * seconds;
  last_seconds_ = seconds;
  last_files_ = files;
  last_bytes_ = bytes;
  ++samples_;
}

std::optional<double> TimeLeftEstimator::Estimate(uint64_t files_left, uint64_t bytes_left) const {
  // Too early to tell: a few seconds and some work are needed.
  constexpr double kShortestBasis = 3.0;
  constexpr int kFewestSamples = 4;
  // An answer this many times the time so far is more likely a bad fit than
  // the truth; nothing is shown rather than nonsense.
  constexpr double kLongestPlausible = 50.0;
  if (last_seconds_ < kShortestBasis || samples_ < kFewestSamples) return std::nullopt;
  if (last_files_ == 0 && last_bytes_ == 0) return std::nullopt;
  double per_file = 0, per_byte = 0;
  double det = ff_ * bb_ - fb_ * fb_;
  // With the two figures moving in step (files of one size) the pair is not
  // determined: one of them then carries the whole cost.
  bool both = det > 1e-9 * ff_ * bb_;
  if (both) {
    per_file = (ft_ * bb_ - bt_ * fb_) / det;
    per_byte = (bt_ * ff_ - ft_ * fb_) / det;
  }
  if (!both || per_file < 0 || per_byte < 0) {
    // One cost alone: per file once files have ended (a byte rate learnt on
    // small files would make hours of a large one), else per byte.
    per_file = ff_ > 0 ? ft_ / ff_ : 0;
    per_byte = ff_ > 0 ? 0 : (bb_ > 0 ? bt_ / bb_ : 0);
  }
  double left =
      per_file * static_cast<double>(files_left) + per_byte * static_cast<double>(bytes_left);
  if (!(left >= 0) || left > kLongestPlausible * last_seconds_) return std::nullopt;
  return left;
}

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 5) {
    value /= 1024;
    ++unit;
  }
  // Rounding may reach 1024.0 ("1024 KiB"): step up to the next unit then.
  if (value >= 1023.95 && unit < 5) {
    value /= 1024;
    ++unit;
  }
  const char* format = value < 10 ? "%.2f" : value < 100 ? "%.1f" : "%.0f";
  return Format(format, value) + " " + kUnits[unit];
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 3600.0 * 24 * 365 * 100) return "?";
  uint64_t total = static_cast<uint64_t>(std::llround(seconds));
  uint64_t h = total / 3600, m = total / 60 % 60, s = total % 60;
  char buffer[48];
  if (h > 0) {
    std::snprintf(buffer, sizeof buffer, "%llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                  static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
  } else {
    std::snprintf(buffer, sizeof buffer, "%llu:%02llu", static_cast<unsigned long long>(m),
                  static_cast<unsigned long long>(s));
  }
  return buffer;
}

int Percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return 100;
  if (part >= whole) return 100;
  return static_cast<int>(static_cast<long double>(part) * 100 / whole);
}

void RateMeter::Add(double seconds, uint64_t bytes) {
  // A total that goes down (a file's progress restarting) starts afresh.
  if (!samples_.empty() && bytes < samples_.back().second) samples_.clear();
  samples_.emplace_back(seconds, bytes);
  while (samples_.size() > 2 && samples_.front().first < seconds - window_) samples_.pop_front();
}

std::optional<double> RateMeter::Rate() const {
  if (samples_.size() < 2) return std::nullopt;
  double span = samples_.back().first - samples_.front().first;
  if (span < 1.0) return std::nullopt;
  return static_cast<double>(samples_.back().second - samples_.front().second) / span;
}

std::string FitWidth(const std::string& text, size_t width) {
  std::vector<size_t> starts = CharacterStarts(text);
  if (width == 0 || starts.size() <= width) return text;
  if (width < 5) return text.substr(0, starts[width]);
  size_t keep = width - 1;  // one column for the ellipsis
  size_t head = keep / 2, tail = keep - head;
  return text.substr(0, starts[head]) + "\u2026" + text.substr(starts[starts.size() - tail]);
}

std::vector<std::string> LiveLines(const ProgressSnapshot& s, size_t width) {
  // The name keeps at least this many columns: on a narrow terminal the
  // byte figures go first, since the name's ends tell the files apart.
  constexpr size_t kNameColumns = 16;
  constexpr size_t kLabel = 7;  // "file   "
  std::string percent = "  " + std::to_string(CurrentPercent(s)) + "%";
  std::string figures =
      s.verifying
          ? "  by MD5" + percent + (s.verify_seconds_left ? "  " + VerifyTimeLeft(s) : "")
          : "  " + FormatBytes(s.current_done) + " of " + FormatBytes(s.current_size) + percent;
  if (width != 0 && width < kLabel + kNameColumns + figures.size()) figures = percent;
  const char* label = s.verifying ? "verify " : "file   ";
  std::string file_line;
  if (s.current_name.empty()) {
    file_line = "file   -";
  } else {
    size_t room = width > kLabel + figures.size() ? width - kLabel - figures.size() : 0;
    file_line =
        label + FitWidth(s.current_name, width == 0 ? 0 : std::max<size_t>(room, 8)) + figures;
  }
  // The totals line is never cut inside a figure: on a narrow terminal the
  // time taken goes first, then the rate, then the time left.
  std::string rate = Rate(s), left = TimeLeft(s), taken = FormatDuration(s.elapsed);
  const std::vector<std::vector<const std::string*>> choices = {
      {&rate, &left, &taken}, {&rate, &left}, {&left}, {}};
  std::string total_line;
  for (const auto& parts : choices) {
    total_line = "total  " + Totals(s);
    for (const std::string* part : parts) {
      if (!part->empty()) total_line += "  " + *part;
    }
    if (width == 0 || CharacterStarts(total_line).size() <= width) break;
  }
  return {FitWidth(file_line, width), FitWidth(total_line, width)};
}

std::string PlainLine(const ProgressSnapshot& s) {
  std::string line = "[" + FormatDuration(s.elapsed) + "] " + Totals(s);
  for (const std::string& part : {Rate(s), TimeLeft(s)}) {
    if (!part.empty()) line += ", " + part;
  }
  if (!s.current_name.empty()) {
    line += (s.verifying ? "; verifying " : "; copying ") + s.current_name +
            (s.verifying ? " by MD5 (" : " (") + std::to_string(CurrentPercent(s)) + "%)";
    if (s.verifying && s.verify_seconds_left) line += ", " + VerifyTimeLeft(s);
  }
  return line;
}

}  // namespace quorvalmist
