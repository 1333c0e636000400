#include "metrics/curves.h"

#include <algorithm>

#include "metrics/radix_sort.h"

void QuantizeCMC(const std::vector<float>& rates, CMCCurve* curve) {
  CurveThinner thinner;
  const size_t n = rates.size();
  for (size_t i = 0; i < n; ++i) {
    if (thinner.Keep(rates[i], i + 1 == n)) {
      curve->emplace_back(static_cast<int32_t>(i), rates[i]);
    }
  }
}

void SortCounts(std::vector<int64_t>* counts) {
  // Below this many values a comparison sort is as fast.
  constexpr size_t kRadixFrom = 1024;
  if (counts->size() < kRadixFrom) {
    std::sort(counts->begin(), counts->end());
    return;
  }
  const auto [low, high] = std::minmax_element(counts->begin(), counts->end());
  const uint64_t lowest = static_cast<uint64_t>(*low);
  const uint64_t span = static_cast<uint64_t>(*high) - lowest;
  int bits = 0;
  while (bits < 64 && (span >> bits) != 0) ++bits;
  if (bits > 3 * kRadixBits) {
    std::sort(counts->begin(), counts->end());
    return;
  }
  // Offsets from the lowest value order the values as signed numbers.
  RadixSortByKey(counts->data(), counts->size(), bits, [lowest](int64_t count) {
    return static_cast<uint64_t>(count) - lowest;
  });
}
