// The kernels of the single pass: one linear scan over a run of a row's
// distractor scores that keeps the row's best distractors and counts, for
// each score, how many of a sorted list of thresholds it beats. Scores
// beat a threshold when they compare strictly greater; NaN beats nothing.
#ifndef FUSE_RESULTS_DRIVER_ROW_SCAN_H_
#define FUSE_RESULTS_DRIVER_ROW_SCAN_H_

#include <algorithm>
#include <cstdint>
#include <vector>

constexpr int kMaxBestDistractors = 8;

// The best distractors seen so far, best first: the higher score first,
// the higher index first between equal scores, NaN scores last.
struct BestDistractors {
  float score[kMaxBestDistractors];
  int32_t index[kMaxBestDistractors];
  int32_t size = 0;

  // Offer keeps (s, i) if it is among the best `capacity` seen.
  void Offer(float s, int32_t i, int32_t capacity);
};

// ThresholdLocator answers "how many thresholds lie below x" in a few steps,
// through a table of where each bucket of the thresholds' range starts. The
// buckets split the range of the finite thresholds evenly, so thresholds
// spread the way scores are spread share few buckets.
class ThresholdLocator {
 public:
  // Build prepares for `thresholds` (m ascending, distinct, not NaN; the
  // caller keeps them alive) with at most `max_buckets` buckets.
  void Build(const float* thresholds, int32_t m, int32_t max_buckets);

  // CountBelow returns the number of thresholds strictly below `x`, for
  // x greater than the lowest threshold.
  int32_t CountBelow(float x) const;

 private:
  // Bucket of `x`: a non-decreasing function of x, so that a threshold in
  // an earlier bucket than x is below x.
  int32_t Bucket(float x) const {
    if (!(x > low_)) return 0;
    if (!(x < high_)) return last_bucket_;
    return std::min(static_cast<int32_t>((x - low_) * scale_), last_bucket_);
  }

  const float* thresholds_ = nullptr;
  int32_t m_ = 0;
  float highest_ = 0.0f;
  float low_ = 0.0f;
  float high_ = 0.0f;
  float scale_ = 0.0f;
  int32_t last_bucket_ = 0;
  std::vector<int32_t> starts_;
};

// ScanProbeScores scans `count` scores of one row, the first of them at
// column `first_col`: offers each to `best` (capacity `top_count`) and adds
// 1 to histogram[k] for each score that beats exactly the k lowest of the
// m `thresholds` (k >= 1; slot 0 is left alone). `locator` is scratch.
void ScanProbeScores(const float* scores, int32_t count, int32_t first_col,
                     const float* thresholds, int32_t m, int32_t top_count,
                     BestDistractors* best, int64_t* histogram,
                     ThresholdLocator* locator);

// ScanImpostorScores adds 1 to histogram[k] for each score that beats
// exactly the k lowest thresholds of the built `locator` (k >= 1), whose
// lowest threshold is `lowest`.
void ScanImpostorScores(const float* scores, int32_t count,
                        const ThresholdLocator& locator, float lowest,
                        int64_t* histogram);

#endif  // FUSE_RESULTS_DRIVER_ROW_SCAN_H_
