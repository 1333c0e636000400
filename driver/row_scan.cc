#include "driver/row_scan.h"

#include <emmintrin.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// True iff (a, a_index) ranks before (b, b_index).
inline bool RanksBefore(float a, int32_t a_index, float b, int32_t b_index) {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a != b) return a > b;
  return a_index > b_index;
}

// Bit k of the result is set iff scores[k] > limit, for 16 scores.
inline unsigned GreaterMask16(const float* scores, __m128 limit) {
  return static_cast<unsigned>(
      _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(scores), limit)) |
      _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(scores + 4), limit)) << 4 |
      _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(scores + 8), limit)) << 8 |
      _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(scores + 12), limit)) << 12);
}

// Same with >=.
inline unsigned AtLeastMask16(const float* scores, __m128 limit) {
  return static_cast<unsigned>(
      _mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(scores), limit)) |
      _mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(scores + 4), limit)) << 4 |
      _mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(scores + 8), limit)) << 8 |
      _mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(scores + 12), limit)) << 12);
}

}  // namespace

void BestDistractors::Offer(float s, int32_t i, int32_t capacity) {
  if (capacity == 0) return;
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

void ThresholdLocator::Build(const float* thresholds, int32_t m,
                             int32_t max_buckets) {
  thresholds_ = thresholds;
  m_ = m;
  if (m == 0) return;
  highest_ = thresholds[m - 1];
  // The buckets split the finite range; infinite thresholds land in the
  // end buckets.
  int32_t first = 0;
  int32_t last = m - 1;
  while (first < m && std::isinf(thresholds[first])) ++first;
  while (last >= first && std::isinf(thresholds[last])) --last;
  low_ = first <= last ? thresholds[first] : 0.0f;
  const float width = first <= last ? thresholds[last] - low_ : 0.0f;
  int32_t last_bucket = std::max(max_buckets, 1) - 1;
  scale_ = width > 0.0f ? last_bucket / width : 0.0f;
  if (!std::isfinite(scale_) || scale_ == 0.0f) {
    scale_ = 0.0f;
    last_bucket = 0;
  }
  last_ = static_cast<float>(last_bucket);
  starts_.assign(static_cast<size_t>(last_bucket) + 2, m);
  for (int32_t t = m - 1; t >= 0; --t) starts_[Bucket(thresholds[t])] = t;
  // A bucket without thresholds starts where the next one does.
  for (int32_t b = last_bucket; b >= 0; --b) {
    starts_[b] = std::min(starts_[b], starts_[b + 1]);
  }
}

void ThresholdLocator::Buckets16(const float* x, int32_t* buckets) const {
  const __m128 low = _mm_set1_ps(low_);
  const __m128 scale = _mm_set1_ps(scale_);
  const __m128 last = _mm_set1_ps(last_);
  const __m128 zero = _mm_setzero_ps();
  for (int i = 0; i < 16; i += 4) {
    __m128 d = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(x + i), low), scale);
    d = _mm_min_ps(d, last);  // d < last ? d : last, as in Bucket.
    d = _mm_max_ps(d, zero);  // d > 0 ? d : 0.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buckets + i),
                     _mm_cvttps_epi32(d));
  }
}

void ScanProbeScores(const float* scores, int32_t count, int32_t first_col,
                     const float* thresholds, int32_t m, int32_t top_count,
                     BestDistractors* best, int64_t* histogram,
                     ThresholdLocator* locator) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (m > 0) {
    int32_t buckets = 16;
    while (buckets < 8 * m && buckets < 4096) buckets *= 2;
    locator->Build(thresholds, m, buckets);
  }
  const float lowest = m > 0 ? thresholds[0] : kInfinity;
  auto count_score = [&](float x) {
    if (x > lowest) ++histogram[locator->CountBelow(x)];
  };
  // Until the best list is full of numbers, every score is a candidate,
  // NaNs included.
  int32_t k = 0;
  while (k < count && best->size < top_count) {
    best->Offer(scores[k], first_col + k, top_count);
    count_score(scores[k]);
    ++k;
  }
  if (top_count > 0 && std::isnan(best->score[top_count - 1])) {
    for (; k < count; ++k) {
      best->Offer(scores[k], first_col + k, top_count);
      count_score(scores[k]);
    }
    return;
  }
  // The worst kept score: a later score that ties it ranks before it.
  auto worst = [&] {
    return top_count > 0 ? best->score[top_count - 1] : kInfinity;
  };
  // The scores that beat the lowest few thresholds are counted per block
  // with vector comparisons, lane by lane; only those that beat more are
  // located one by one. Most scores beat no threshold and are not among the
  // best, so a block of 16 usually costs a few vector operations.
  constexpr int32_t kVectorThresholds = 4;
  const int32_t vectored = std::min(m, kVectorThresholds);
  __m128 limits[kVectorThresholds + 1];
  for (int32_t i = 0; i < vectored; ++i) limits[i] = _mm_set1_ps(thresholds[i]);
  limits[vectored] = _mm_set1_ps(vectored < m ? thresholds[vectored] : kInfinity);
  // Lane counts of the scores that beat threshold i, as negatives: a true
  // comparison is -1. Flushed before a lane could overflow.
  __m128i beating[kVectorThresholds] = {};
  int64_t beating_total[kVectorThresholds + 1] = {};
  auto flush = [&] {
    for (int32_t i = 0; i < vectored; ++i) {
      alignas(16) int32_t lanes[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(lanes), beating[i]);
      beating_total[i] -= int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
      beating[i] = _mm_setzero_si128();
    }
  };
  __m128 worst_limit = _mm_set1_ps(worst());
  int32_t blocks_since_flush = 0;
  for (; k + 16 <= count; k += 16) {
    const float* block = scores + k;
    const __m128 v0 = _mm_loadu_ps(block);
    const __m128 v1 = _mm_loadu_ps(block + 4);
    const __m128 v2 = _mm_loadu_ps(block + 8);
    const __m128 v3 = _mm_loadu_ps(block + 12);
    unsigned candidates = static_cast<unsigned>(_mm_movemask_ps(
        _mm_or_ps(_mm_or_ps(_mm_cmpge_ps(v0, worst_limit),
                            _mm_cmpge_ps(v1, worst_limit)),
                  _mm_or_ps(_mm_cmpge_ps(v2, worst_limit),
                            _mm_cmpge_ps(v3, worst_limit)))));
    if (candidates != 0) {
      candidates = AtLeastMask16(block, worst_limit);
      while (candidates != 0) {
        const int j = __builtin_ctz(candidates);
        candidates &= candidates - 1;
        // Offer rechecks against the worst kept score, which only rises.
        best->Offer(block[j], first_col + k + j, top_count);
        worst_limit = _mm_set1_ps(worst());
      }
    }
    if (vectored == 0 ||
        _mm_movemask_ps(_mm_or_ps(
            _mm_or_ps(_mm_cmpgt_ps(v0, limits[0]), _mm_cmpgt_ps(v1, limits[0])),
            _mm_or_ps(_mm_cmpgt_ps(v2, limits[0]),
                      _mm_cmpgt_ps(v3, limits[0])))) == 0) {
      continue;
    }
    // Without branches: where the scores meet the thresholds, whether a
    // block beats the next one is a coin toss.
    for (int32_t i = 0; i < vectored; ++i) {
      const __m128i c0 = _mm_castps_si128(_mm_cmpgt_ps(v0, limits[i]));
      const __m128i c1 = _mm_castps_si128(_mm_cmpgt_ps(v1, limits[i]));
      const __m128i c2 = _mm_castps_si128(_mm_cmpgt_ps(v2, limits[i]));
      const __m128i c3 = _mm_castps_si128(_mm_cmpgt_ps(v3, limits[i]));
      beating[i] = _mm_add_epi32(
          beating[i],
          _mm_add_epi32(_mm_add_epi32(c0, c1), _mm_add_epi32(c2, c3)));
    }
    if (vectored < m) {
      unsigned beats = GreaterMask16(block, limits[vectored]);
      if (beats != 0) {
        alignas(16) int32_t buckets[16];
        locator->Buckets16(block, buckets);
        while (beats != 0) {
          const int j = __builtin_ctz(beats);
          beats &= beats - 1;
          ++beating_total[vectored];
          ++histogram[locator->CountBelowFrom(block[j], buckets[j])];
        }
      }
    }
    // A lane gains at most 4 a block.
    if (++blocks_since_flush == (1 << 28)) {
      flush();
      blocks_since_flush = 0;
    }
  }
  flush();
  // A score that beats exactly i of the vectored thresholds (and not the
  // next one) goes to slot i.
  for (int32_t i = 1; i <= vectored; ++i) {
    histogram[i] += beating_total[i - 1] - beating_total[i];
  }
  for (; k < count; ++k) {
    if (scores[k] >= worst()) best->Offer(scores[k], first_col + k, top_count);
    count_score(scores[k]);
  }
}

void ScanImpostorScores(const float* scores, int32_t count,
                        const ThresholdLocator& locator, float lowest,
                        int64_t* histogram) {
  const __m128 limit = _mm_set1_ps(lowest);
  int32_t k = 0;
  alignas(16) int32_t buckets[16];
  for (; k + 16 <= count; k += 16) {
    unsigned beats = GreaterMask16(scores + k, limit);
    if (beats == 0) continue;
    locator.Buckets16(scores + k, buckets);
    while (beats != 0) {
      const int j = __builtin_ctz(beats);
      beats &= beats - 1;
      ++histogram[locator.CountBelowFrom(scores[k + j], buckets[j])];
    }
  }
  for (; k < count; ++k) {
    if (scores[k] > lowest) ++histogram[locator.CountBelow(scores[k])];
  }
}
