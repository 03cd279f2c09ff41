#pragma once
// Progress of one long transfer for a person watching stderr: "LABEL 42% (1.5 of 3.6 MiB)". On a
// terminal the line is redrawn in place at each new percent; elsewhere (a log, a pipe) a line is
// written at each tenth, so that a captured log stays short.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace plumet_text {

class ProgressLine {
 public:
  ProgressLine(std::FILE* out, bool terminal, std::string label)
      : out_(out), terminal_(terminal), label_(std::move(label)) {}

  void Update(uint64_t done, uint64_t total) {
    const int percent =
        total == 0 ? 100 : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
    const int step = terminal_ ? percent : percent / 10 * 10;
    if (step == shown_) return;
    shown_ = step;
    constexpr double kMiB = 1024.0 * 1024.0;
    std::fprintf(out_, "%s%s %d%% (%.1f of %.1f MiB)%s", terminal_ ? "\r" : "", label_.c_str(),
                 step, static_cast<double>(std::min(done, total)) / kMiB,
                 static_cast<double>(total) / kMiB, terminal_ ? "\x1b[K" : "\n");
    std::fflush(out_);
  }

  // Ends a redrawn line, so that what follows starts on a line of its own.
  void Finish() {
    if (terminal_ && shown_ >= 0) std::fputc('\n', out_);
    shown_ = -1;
  }

 private:
  std::FILE* out_;
  bool terminal_;
  std::string label_;
  int shown_ = -1;
};

}  // namespace plumet_text
