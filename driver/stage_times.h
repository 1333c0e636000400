// StageTimes measures where a run's time goes: the wall time of each stage,
// and the wall and CPU time of the pass over the distractor scores (from
// reading the first byte of its data section to consuming the last). With
// FUSE_RESULTS_TIMING=1 in the environment, fuse_results prints them on
// standard error as it ends; otherwise nothing is measured or printed.
#ifndef FUSE_RESULTS_DRIVER_STAGE_TIMES_H_
#define FUSE_RESULTS_DRIVER_STAGE_TIMES_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class StageTimes {
 public:
  // Starts the clock when FUSE_RESULTS_TIMING is set to anything but "" or
  // "0"; otherwise every call does nothing.
  StageTimes();

  // Mark ends the stage `name`, begun at the previous mark (or at the
  // start).
  void Mark(const char* name);

  // BeginPass and EndPass bracket the pass, which is also the stage
  // "pass"; `bytes` is what it read. Where the pass says when it reads
  // its first byte (ReadingStarts) and has consumed its last
  // (ReadingEnds), the pass is that stretch, and what comes before and
  // after it inside the brackets are the stages "pass set-up" and "pass
  // answers".
  void BeginPass();
  void ReadingStarts();
  void ReadingEnds();
  void EndPass(int64_t bytes);

  // Print writes one line per stage, then the pass's CPU time over its
  // wall time and the run's time outside the pass, to `out`.
  void Print(std::FILE* out) const;

 private:
  using Clock = std::chrono::steady_clock;
  static double CpuSeconds();

  bool enabled_;
  Clock::time_point start_;
  Clock::time_point last_;
  std::vector<std::pair<std::string, double>> stages_;  // Name, seconds.
  double pass_wall_ = 0.0;
  double pass_cpu_ = 0.0;
  double cpu_at_begin_ = 0.0;
  // The pass's own stretch, when it was told: its ends, and the CPU time
  // then.
  bool reading_started_ = false;
  bool reading_ended_ = false;
  Clock::time_point reading_start_;
  Clock::time_point reading_end_;
  double cpu_at_reading_start_ = 0.0;
  double cpu_at_reading_end_ = 0.0;
  int64_t pass_bytes_ = 0;
};

#endif  // FUSE_RESULTS_DRIVER_STAGE_TIMES_H_
