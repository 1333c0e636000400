#include "driver/progress.h"

#include <unistd.h>

ProgressLine::ProgressLine(int64_t row_bytes)
    : enabled_(isatty(STDERR_FILENO) == 1),
      row_bytes_(row_bytes > 0 ? row_bytes : 1),
      start_(Clock::now()),
      last_draw_(start_) {}

ProgressLine::~ProgressLine() {
  if (drawn_) std::fputc('\n', stderr);
}

void ProgressLine::Update(int64_t done, int64_t total) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (done < total && now - last_draw_ < std::chrono::milliseconds(100)) {
    return;
  }
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? done / seconds : 0.0;
  const double left = rate > 0 ? (total - done) / rate : 0.0;
  std::fprintf(stderr,
               "\r\033[Kscanning distractor scores: %lld/%lld rows, "
               "%.2f/%.2f GB, %.2f GB/s, %.0f s left",
               static_cast<long long>(done / row_bytes_),
               static_cast<long long>(total / row_bytes_), done / 1e9,
               total / 1e9, rate / 1e9, left);
  std::fflush(stderr);
  drawn_ = true;
}
