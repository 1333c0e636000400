// The best distractors of a probe: their order, the lists the match report
// holds, and the accumulator that finds them in one pass and merges the
// partial results of threads (or of any split of a row) exactly.
//
// Order: a distractor ranks before another iff its score is higher, or the
// scores are equal and its index is higher; NaN scores rank after every
// number (and among themselves by index).
#ifndef FUSE_RESULTS_METRICS_TOP_DISTRACTORS_H_
#define FUSE_RESULTS_METRICS_TOP_DISTRACTORS_H_

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

// How many best distractors the match report records per probe.
constexpr int32_t kTopDistractorCount = 5;

// One probe's best distractors, (distractor index, score), best first.
using TopDistractorList = std::vector<std::pair<int32_t, float>>;
// One list per probe, indexed by probe index.
using TopDistractorLists = std::vector<TopDistractorList>;

// RanksBefore returns true iff distractor (a, a_index) ranks before
// (b, b_index) in the order above.
inline bool RanksBefore(float a, int32_t a_index, float b, int32_t b_index) {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a != b) return a > b;
  return a_index > b_index;
}

// The most best distractors BestDistractors can hold.
constexpr int32_t kMaxBestDistractors = 8;
static_assert(kTopDistractorCount <= kMaxBestDistractors,
              "BestDistractors must hold the match report's count");

// BestDistractors keeps the best `capacity` (at most kMaxBestDistractors)
// distractors offered to it, best first. What it holds depends only on the
// set of distractors offered, not on their order, so the union of the
// distractors of several accumulators is found by merging them.
struct BestDistractors {
  float score[kMaxBestDistractors];
  int32_t index[kMaxBestDistractors];
  int32_t size = 0;

  // Offer keeps (s, i) if it is among the best `capacity` seen.
  void Offer(float s, int32_t i, int32_t capacity) {
    if (capacity <= 0) return;
    if (size == capacity &&
        !RanksBefore(s, i, score[size - 1], index[size - 1])) {
      return;
    }
    int32_t k = size < capacity ? size++ : size - 1;
    for (; k > 0 && RanksBefore(s, i, score[k - 1], index[k - 1]); --k) {
      score[k] = score[k - 1];
      index[k] = index[k - 1];
    }
    score[k] = s;
    index[k] = i;
  }

  // Merge offers everything `other` holds.
  void Merge(const BestDistractors& other, int32_t capacity) {
    for (int32_t k = 0; k < other.size; ++k) {
      Offer(other.score[k], other.index[k], capacity);
    }
  }

  // AppendTo appends what is held, best first, to `*list`.
  void AppendTo(TopDistractorList* list) const {
    for (int32_t k = 0; k < size; ++k) list->emplace_back(index[k], score[k]);
  }
};

#endif  // FUSE_RESULTS_METRICS_TOP_DISTRACTORS_H_
