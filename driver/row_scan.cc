#include "driver/row_scan.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <limits>

int32_t ThresholdLocator::BucketCount(int64_t m) {
  int32_t buckets = 16;
  while (buckets < 2 * m && buckets < (1 << 20)) buckets *= 2;
  return buckets;
}

void ThresholdLocator::Build(const float* thresholds, int32_t m) {
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
  int32_t last_bucket = BucketCount(m) - 1;
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

namespace {

constexpr int32_t kVectorThresholds = 8;
// Scores beyond the vectored thresholds are located once about this many
// have been gathered: a batch's buckets are computed together and its
// table reads overlap, instead of a few scores' in each block.
constexpr int32_t kLocatedBatch = 512;

// What the block loops of ScanProbeScores share with its scalar parts.
struct ProbeBlockScan {
  const float* scores;
  int32_t count;
  int32_t first_col;
  const float* thresholds;
  int32_t m;
  int32_t top_count;
  BestDistractors* best;
  int64_t* histogram;
  ThresholdLocator* locator;
  int32_t vectored;  // Lowest thresholds counted lane by lane.
  int32_t k;         // Next score to scan.
  // beating[i]: scores seen beating threshold i, for i <= vectored.
  int64_t beating[kVectorThresholds + 1];
  // The scores gathered that beat threshold `vectored`, not yet located
  // (room for kLocatedBatch + 16).
  float* located;
  int32_t located_count;

  static float Infinity() { return std::numeric_limits<float>::infinity(); }
  // The worst kept score: a later score that ties it ranks before it.
  float Worst() const {
    return top_count > 0 ? best->score[top_count - 1] : Infinity();
  }
};

// For each set of 8 lanes, the permutation that moves them to the front of
// a vector, in order (a constant table, 8 KiB).
struct CompressingTable {
  alignas(32) int32_t order[256][8];
};
constexpr CompressingTable MakeCompressingTable() {
  CompressingTable table{};
  for (int lanes = 0; lanes < 256; ++lanes) {
    int n = 0;
    for (int l = 0; l < 8; ++l) {
      if ((lanes >> l) & 1) table.order[lanes][n++] = l;
    }
  }
  return table;
}
constexpr CompressingTable kCompressing8 = MakeCompressingTable();

// AppendLanes stores x[l] for each bit l of the kLanes low bits of `lanes`
// at `out`, in order; returns how many. Without branches, it writes up to
// kLanes values, the last ones beyond those it counts.
template <int kLanes>
int AppendLanes(const float* x, unsigned lanes, float* out) {
  int n = 0;
  for (int l = 0; l < kLanes; ++l) {
    out[n] = x[l];
    n += static_cast<int>((lanes >> l) & 1);
  }
  return n;
}

// LocateAll adds 1 to histogram[k] for each of the `n` scores at `x`, all
// above the lowest threshold of `locator`, that beats exactly the k lowest.
// The scores' buckets are computed together and their table reads overlap.
// Writes up to 15 zeros after the scores (room for kLocatedBatch + 16).
void LocateAll(const ThresholdLocator& locator, float* x, int32_t n,
               int64_t* histogram) {
  if (n == 0) return;
  const int32_t padded = (n + 15) / 16 * 16;
  std::fill(x + n, x + padded, 0.0f);  // Buckets16 takes 16 at a time.
  alignas(16) int32_t firsts[kLocatedBatch + 16];
  for (int32_t i = 0; i < padded; i += 16) {
    locator.Buckets16(x + i, firsts + i);
  }
  for (int32_t i = 0; i < n; ++i) firsts[i] = locator.FirstOf(firsts[i]);
  for (int32_t i = 0; i < n; ++i) {
    ++histogram[locator.CountBelowFromFirst(x[i], firsts[i])];
  }
}

// LocateGathered locates the scores gathered in `s`, which all beat
// threshold s->vectored, counts them as beating it, and empties the
// gathering.
void LocateGathered(ProbeBlockScan* s) {
  s->beating[s->vectored] += s->located_count;
  LocateAll(*s->locator, s->located, s->located_count, s->histogram);
  s->located_count = 0;
}

// 128-bit vector operations; every x86-64 processor has them.
struct Lanes128 {
  using F = __m128;
  using I = __m128i;
  static constexpr int kWidth = 4;
  static constexpr int kBlock = 16;
  static F Load(const float* p) { return _mm_loadu_ps(p); }
  static F Set(float x) { return _mm_set1_ps(x); }
  static F Gt(F a, F b) { return _mm_cmpgt_ps(a, b); }  // False with NaN.
  static F Ge(F a, F b) { return _mm_cmpge_ps(a, b); }
  static unsigned Mask(F a) {
    return static_cast<unsigned>(_mm_movemask_ps(a));
  }
  static I Zero() { return _mm_setzero_si128(); }
  // A true comparison is all ones, -1: subtracting it counts it.
  static I AddTrue(I counts, F comparison) {
    return _mm_sub_epi32(counts, _mm_castps_si128(comparison));
  }
  // Append stores the scores at `x` (the lanes of `v`) that `lanes` marks
  // at `out`, in order, writing at most kWidth floats; returns how many.
  static int Append(const float* x, F, unsigned lanes, float* out) {
    return AppendLanes<kWidth>(x, lanes, out);
  }
  static int64_t Sum(I counts) {
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<I*>(lanes), counts);
    return int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  }
};

namespace lanes128 {
using Lanes = Lanes128;
#include "driver/row_scan_blocks.inc"
}  // namespace lanes128

// 256-bit vector operations, for processors with AVX2; the functions below
// are compiled for them alone and called only after checking the processor.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

struct Lanes256 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kWidth = 8;
  static constexpr int kBlock = 32;
  static F Load(const float* p) { return _mm256_loadu_ps(p); }
  static F Set(float x) { return _mm256_set1_ps(x); }
  static F Gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
  static F Ge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
  static unsigned Mask(F a) {
    return static_cast<unsigned>(_mm256_movemask_ps(a));
  }
  static I Zero() { return _mm256_setzero_si256(); }
  static I AddTrue(I counts, F comparison) {
    return _mm256_sub_epi32(counts, _mm256_castps_si256(comparison));
  }
  // The permutation that moves the lanes marked in `lanes` to the front.
  static I Compressing(unsigned lanes) {
    return _mm256_load_si256(
        reinterpret_cast<const I*>(kCompressing8.order[lanes]));
  }
  static int Append(const float*, F v, unsigned lanes, float* out) {
    _mm256_storeu_ps(out, _mm256_permutevar8x32_ps(v, Compressing(lanes)));
    return __builtin_popcount(lanes);
  }
  static int64_t Sum(I counts) {
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<I*>(lanes), counts);
    int64_t sum = 0;
    for (int32_t lane : lanes) sum += lane;
    return sum;
  }
};

namespace lanes256 {
using Lanes = Lanes256;
#include "driver/row_scan_blocks.inc"
}  // namespace lanes256

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// 512-bit vector operations, for processors with AVX-512 (F and BW):
// comparisons give a mask register, one bit a lane, instead of a vector.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")
#endif

struct Lanes512 {
  using F = __m512;
  using I = __m512i;
  static constexpr int kWidth = 16;
  static constexpr int kBlock = 64;
  static F Load(const float* p) { return _mm512_loadu_ps(p); }
  static F Set(float x) { return _mm512_set1_ps(x); }
  static __mmask16 Gt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  static __mmask16 Ge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
  static unsigned Mask(__mmask16 a) { return static_cast<unsigned>(a); }
  static I Zero() { return _mm512_setzero_si512(); }
  static I AddTrue(I counts, __mmask16 comparison) {
    return _mm512_mask_sub_epi32(counts, comparison, counts,
                                 _mm512_set1_epi32(-1));
  }
  static int Append(const float*, F v, unsigned lanes, float* out) {
    _mm512_storeu_ps(
        out, _mm512_maskz_compress_ps(static_cast<__mmask16>(lanes), v));
    return __builtin_popcount(lanes);
  }
  static int64_t Sum(I counts) {
    alignas(64) int32_t lanes[16];
    _mm512_store_si512(lanes, counts);
    int64_t sum = 0;
    for (int32_t lane : lanes) sum += lane;
    return sum;
  }
};

namespace lanes512 {
using Lanes = Lanes512;
#include "driver/row_scan_blocks.inc"
}  // namespace lanes512

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// The widest vectors the processor has, checked once.
VectorWidth WidestVectors() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    return VectorWidth::k512;
  }
  return __builtin_cpu_supports("avx2") ? VectorWidth::k256 : VectorWidth::k128;
}

VectorWidth Resolve(VectorWidth width) {
  if (width != VectorWidth::kAuto) return width;
  static const VectorWidth widest = WidestVectors();
  return widest;
}

}  // namespace

void ScanProbeScores(const float* scores, int32_t count, int32_t first_col,
                     const float* thresholds, int32_t m, int32_t top_count,
                     BestDistractors* best, int64_t* histogram,
                     ThresholdLocator* locator, VectorWidth width) {
  if (m > 0) locator->Build(thresholds, m);
  const float lowest = m > 0 ? thresholds[0] : ProbeBlockScan::Infinity();
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
  // The scores that beat the lowest few thresholds are counted per block
  // with vector comparisons, lane by lane; only those that beat more are
  // gathered and located in batches. Most scores beat few thresholds and
  // are not among the best, so a block costs a few vector operations each.
  alignas(64) float located[kLocatedBatch + 16];
  ProbeBlockScan scan{
      scores,    count, first_col, thresholds, m,
      top_count, best,  histogram, locator,    std::min(m, kVectorThresholds),
      k,         {},    located,   0};
  switch (Resolve(width)) {
    case VectorWidth::k512:
      lanes512::ScanProbeBlocks(&scan);
      break;
    case VectorWidth::k256:
      lanes256::ScanProbeBlocks(&scan);
      break;
    default:
      lanes128::ScanProbeBlocks(&scan);
  }
  // A score that beats exactly i of the vectored thresholds (and not the
  // next one) goes to slot i.
  for (int32_t i = 1; i <= scan.vectored; ++i) {
    histogram[i] += scan.beating[i - 1] - scan.beating[i];
  }
  for (k = scan.k; k < count; ++k) {
    if (scores[k] >= scan.Worst()) {
      best->Offer(scores[k], first_col + k, top_count);
    }
    count_score(scores[k]);
  }
}

void ScanImpostorScores(const float* scores, int32_t count,
                        const ThresholdLocator& locator, float lowest,
                        int64_t* histogram, VectorWidth width) {
  int32_t k = 0;
  switch (Resolve(width)) {
    case VectorWidth::k512:
      k = lanes512::ScanImpostorBlocks(scores, count, locator, lowest,
                                       histogram);
      break;
    case VectorWidth::k256:
      k = lanes256::ScanImpostorBlocks(scores, count, locator, lowest,
                                       histogram);
      break;
    default:
      k = lanes128::ScanImpostorBlocks(scores, count, locator, lowest,
                                       histogram);
  }
  for (; k < count; ++k) {
    if (scores[k] > lowest) ++histogram[locator.CountBelow(scores[k])];
  }
}

bool ProcessorHas(VectorWidth width) {
  switch (width) {
    case VectorWidth::k512:
      return WidestVectors() == VectorWidth::k512;
    case VectorWidth::k256:
      return WidestVectors() != VectorWidth::k128;
    default:
      return true;
  }
}
