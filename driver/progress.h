// ProgressLine shows how far a long pass has come on standard error,
// redrawn in place, when standard error is a terminal; otherwise it shows
// nothing, so that logs and captured output stay clean.
#ifndef FUSE_RESULTS_DRIVER_PROGRESS_H_
#define FUSE_RESULTS_DRIVER_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>

class ProgressLine {
 public:
  // `row_bytes` converts bytes into rows for the display.
  explicit ProgressLine(int64_t row_bytes);
  ~ProgressLine();

  // Update redraws the line at most ten times a second, and always at the
  // end (done == total).
  void Update(int64_t done, int64_t total);

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool drawn_ = false;
  int64_t row_bytes_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

#endif  // FUSE_RESULTS_DRIVER_PROGRESS_H_
