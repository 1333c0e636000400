// The kernels of the single pass: one linear scan over a run of a row's
// distractor scores that keeps the row's best distractors and counts, for
// each score, how many of a sorted list of thresholds it beats. Scores
// beat a threshold when they compare strictly greater; NaN beats nothing.
#ifndef FUSE_RESULTS_DRIVER_ROW_SCAN_H_
#define FUSE_RESULTS_DRIVER_ROW_SCAN_H_

#include <algorithm>
#include <cstdint>
#include <vector>

#include "metrics/top_distractors.h"

// The vectors the kernels work with: the widest the processor has (128-bit
// SSE on every x86-64 processor, 256-bit with AVX2, 512-bit with AVX-512 F
// and BW), or a given width, which the processor must have (for tests of
// each).
enum class VectorWidth { kAuto, k128, k256, k512 };

// ProcessorHas returns true iff the processor can run the kernels of
// `width` (always for kAuto and k128).
bool ProcessorHas(VectorWidth width);

// ThresholdLocator answers "how many thresholds lie below x" in a few steps,
// through a table of where each bucket of the thresholds' range starts. The
// buckets split the range of the finite thresholds evenly, so thresholds
// spread the way scores are spread share few buckets.
class ThresholdLocator {
 public:
  // Build prepares for `thresholds` (m ascending, distinct, not NaN; the
  // caller keeps them alive) with BucketCount(m) buckets.
  void Build(const float* thresholds, int32_t m);

  // BucketCount returns how many buckets m thresholds get: the least power
  // of two from 16 up that is at least 2m, at most 2^20. Fewer buckets mean
  // longer walks; more mean a larger table to fill and to keep in cache.
  static int32_t BucketCount(int64_t m);

  // CountBelow returns the number of thresholds strictly below `x`, for
  // x greater than the lowest threshold.
  int32_t CountBelow(float x) const {
    return CountBelowFromFirst(x, FirstOf(Bucket(x)));
  }

  // Buckets16 stores Bucket(x) of the 16 scores at `x`.
  void Buckets16(const float* x, int32_t* buckets) const;

  // The two steps of CountBelow after the bucket, for callers that take the
  // first for a whole batch of scores before walking any, so that the
  // batch's table reads are in flight together instead of one after
  // another.
  // FirstOf returns where the walk for a score of `bucket` starts: every
  // threshold of an earlier bucket is below the score.
  int32_t FirstOf(int32_t bucket) const { return starts_[bucket]; }
  // CountBelowFromFirst walks the rest of the bucket from `k` =
  // FirstOf(Bucket(x)), usually no step or one.
  int32_t CountBelowFromFirst(float x, int32_t k) const {
    if (!(x <= highest_)) return m_;
    k += thresholds_[k] < x;
    while (thresholds_[k] < x) ++k;
    return k;
  }

 private:
  // Bucket of `x`: a non-decreasing function of x, so that a threshold in
  // an earlier bucket than x is below x. Buckets16 computes the same
  // single-precision steps four lanes at a time.
  int32_t Bucket(float x) const {
    float d = (x - low_) * scale_;
    d = d < last_ ? d : last_;  // NaN and above the range: the last bucket.
    d = d > 0.0f ? d : 0.0f;
    return static_cast<int32_t>(d);
  }

  const float* thresholds_ = nullptr;
  int32_t m_ = 0;
  float highest_ = 0.0f;
  float low_ = 0.0f;
  float scale_ = 0.0f;
  float last_ = 0.0f;  // The last bucket's number.
  std::vector<int32_t> starts_;
};

// ScanProbeScores scans `count` scores of one row, the first of them at
// column `first_col`: offers each to `best` (capacity `top_count`) and adds
// 1 to histogram[k] for each score that beats exactly the k lowest of the
// m `thresholds` (k >= 1; slot 0 is left alone). `locator` is scratch.
void ScanProbeScores(const float* scores, int32_t count, int32_t first_col,
                     const float* thresholds, int32_t m, int32_t top_count,
                     BestDistractors* best, int64_t* histogram,
                     ThresholdLocator* locator,
                     VectorWidth width = VectorWidth::kAuto);

// ScanImpostorScores adds 1 to histogram[k] for each score that beats
// exactly the k lowest thresholds of the built `locator` (k >= 1), whose
// lowest threshold is `lowest`.
void ScanImpostorScores(const float* scores, int32_t count,
                        const ThresholdLocator& locator, float lowest,
                        int64_t* histogram,
                        VectorWidth width = VectorWidth::kAuto);

#endif  // FUSE_RESULTS_DRIVER_ROW_SCAN_H_
