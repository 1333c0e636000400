// Sorting for the long lists of counts and scores of an evaluation: a
// stable least-significant-digit radix sort, whose time grows linearly
// with the list where a comparison sort's grows with n log n and pays a
// mispredicted branch for most comparisons, and the integer keys that
// order scores.
#ifndef FUSE_RESULTS_METRICS_RADIX_SORT_H_
#define FUSE_RESULTS_METRICS_RADIX_SORT_H_

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

// AscendingKey returns a key of `score` whose unsigned order is the
// ascending order of the scores, with every NaN last: a negative float's
// bits flipped, a positive one's sign bit set (so -0 comes just before
// +0), a NaN the largest key.
inline uint32_t AscendingKey(float score) {
  if (std::isnan(score)) return UINT32_MAX;
  uint32_t bits;
  std::memcpy(&bits, &score, sizeof bits);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

// The bits sorted per pass.
constexpr int kRadixBits = 11;

// RadixSortByKey sorts the `count` values at `values` by `key(value)`, a
// uint64_t below 2^key_bits, ascending; values of equal keys keep their
// order.
template <typename T, typename Key>
void RadixSortByKey(T* values, size_t count, int key_bits, const Key& key) {
  constexpr size_t kBuckets = size_t{1} << kRadixBits;
  std::vector<T> scratch(count);
  T* from = values;
  T* to = scratch.data();
  for (int shift = 0; shift < key_bits; shift += kRadixBits) {
    std::array<size_t, kBuckets> start{};
    for (size_t i = 0; i < count; ++i) {
      ++start[(key(from[i]) >> shift) & (kBuckets - 1)];
    }
    size_t sum = 0;
    for (size_t& bucket : start) {
      const size_t bucket_count = bucket;
      bucket = sum;
      sum += bucket_count;
    }
    for (size_t i = 0; i < count; ++i) {
      to[start[(key(from[i]) >> shift) & (kBuckets - 1)]++] = from[i];
    }
    std::swap(from, to);
  }
  if (from != values) std::copy(from, from + count, values);
}

#endif  // FUSE_RESULTS_METRICS_RADIX_SORT_H_
