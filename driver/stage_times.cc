#include "driver/stage_times.h"

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

StageTimes::StageTimes() {
  const char* setting = std::getenv("FUSE_RESULTS_TIMING");
  enabled_ = setting != nullptr && setting[0] != '\0' &&
             std::strcmp(setting, "0") != 0;
  start_ = last_ = Clock::now();
}

double StageTimes::CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void StageTimes::Mark(const char* name) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  stages_.emplace_back(name,
                       std::chrono::duration<double>(now - last_).count());
  last_ = now;
}

void StageTimes::BeginPass() {
  if (!enabled_) return;
  cpu_at_begin_ = CpuSeconds();
  reading_started_ = reading_ended_ = false;
}

void StageTimes::ReadingStarts() {
  if (!enabled_ || reading_started_) return;
  reading_started_ = true;
  reading_start_ = Clock::now();
  cpu_at_reading_start_ = CpuSeconds();
}

void StageTimes::ReadingEnds() {
  if (!enabled_ || !reading_started_ || reading_ended_) return;
  reading_ended_ = true;
  reading_end_ = Clock::now();
  cpu_at_reading_end_ = CpuSeconds();
}

void StageTimes::EndPass(int64_t bytes) {
  if (!enabled_) return;
  pass_bytes_ = bytes;
  if (!reading_ended_) {
    pass_cpu_ = CpuSeconds() - cpu_at_begin_;
    Mark("pass");
    pass_wall_ = stages_.back().second;
    return;
  }
  const auto seconds = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  const Clock::time_point now = Clock::now();
  pass_cpu_ = cpu_at_reading_end_ - cpu_at_reading_start_;
  pass_wall_ = seconds(reading_start_, reading_end_);
  stages_.emplace_back("pass set-up", seconds(last_, reading_start_));
  stages_.emplace_back("pass", pass_wall_);
  stages_.emplace_back("pass answers", seconds(reading_end_, now));
  last_ = now;
}

void StageTimes::Print(std::FILE* out) const {
  if (!enabled_) return;
  const double total = std::chrono::duration<double>(last_ - start_).count();
  for (const auto& [name, seconds] : stages_) {
    std::fprintf(out, "timing: %-16s %8.1f ms\n", name.c_str(), seconds * 1e3);
  }
  if (pass_wall_ > 0) {
    std::fprintf(out,
                 "timing: pass cpu %.1f ms = %.2f x its wall time; "
                 "%.2f GB/s\n",
                 pass_cpu_ * 1e3, pass_cpu_ / pass_wall_,
                 pass_bytes_ / pass_wall_ / 1e9);
  }
  std::fprintf(out, "timing: total %.1f ms, outside the pass %.1f ms\n",
               total * 1e3, (total - pass_wall_) * 1e3);
}
