// The row scan kernels against a plain per-score reference, for every
// vector width the processor has.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "driver/row_scan.h"

namespace {

// Every width the processor has, chosen as the kernels choose; a width it
// lacks is named in the test's output, so that a run on an older machine
// says what it did not check.
std::vector<VectorWidth> Widths() {
  std::vector<VectorWidth> widths;
  const std::pair<VectorWidth, const char*> all[] = {
      {VectorWidth::k128, "128-bit SSE"},
      {VectorWidth::k256, "256-bit AVX2"},
      {VectorWidth::k512, "512-bit AVX-512"}};
  for (const auto& [width, name] : all) {
    if (ProcessorHas(width)) {
      widths.push_back(width);
    } else {
      std::printf("skipped: this processor has no %s kernels\n", name);
    }
  }
  return widths;
}

// Scores drawn from a few levels (ties), with NaN and infinities.
float DrawScore(std::mt19937* random) {
  const float kSpecial[] = {NAN, INFINITY, -INFINITY, -0.0f};
  const uint32_t pick = (*random)() % 40;
  return pick < 4 ? kSpecial[pick] : ((*random)() % 64) / 32.0f - 1.0f;
}

TEST(RowScanTest, KernelsMatchAPlainScan) {
  std::mt19937 random(3);
  for (int trial = 0; trial < 400; ++trial) {
    const int32_t count = static_cast<int32_t>(random() % 200);
    std::vector<float> scores(count);
    for (float& s : scores) s = trial % 7 == 0 ? 0.5f : DrawScore(&random);
    // A far threshold stretches the locator's range, so that the others
    // crowd into one bucket and are walked one by one.
    std::vector<float> thresholds(trial % 3 == 0, 1e30f);
    for (int i = random() % 12; i > 0; --i) {
      const float t = DrawScore(&random);
      if (!std::isnan(t)) thresholds.push_back(t);
    }
    std::sort(thresholds.begin(), thresholds.end());
    thresholds.erase(std::unique(thresholds.begin(), thresholds.end()),
                     thresholds.end());
    const int32_t m = static_cast<int32_t>(thresholds.size());
    const int32_t top_count = static_cast<int32_t>(random() % 6);

    // The plain scan: counts per threshold, best by a full sort.
    std::vector<int64_t> beating(m, 0);
    std::vector<std::pair<float, int32_t>> ranked;
    for (int32_t k = 0; k < count; ++k) {
      for (int32_t t = 0; t < m; ++t) beating[t] += scores[k] > thresholds[t];
      ranked.emplace_back(scores[k], k);
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
      const bool a_nan = std::isnan(a.first), b_nan = std::isnan(b.first);
      if (a_nan != b_nan) return b_nan;
      if (!a_nan && a.first != b.first) return a.first > b.first;
      return a.second > b.second;
    });
    ranked.resize(std::min<size_t>(ranked.size(), top_count));

    for (const VectorWidth width : Widths()) {
      SCOPED_TRACE(testing::Message() << "trial " << trial << " width "
                                      << static_cast<int>(width));
      // Two pieces of the row, as a pass may deliver it.
      const int32_t split =
          count == 0 ? 0 : static_cast<int32_t>(random() % count);
      BestDistractors best;
      std::vector<int64_t> histogram(m + 1, 0);
      ThresholdLocator locator;
      ScanProbeScores(scores.data(), split, 0, thresholds.data(), m, top_count,
                      &best, histogram.data(), &locator, width);
      ScanProbeScores(scores.data() + split, count - split, split,
                      thresholds.data(), m, top_count, &best, histogram.data(),
                      &locator, width);
      int64_t above = 0;
      for (int32_t t = m - 1; t >= 0; --t) {
        above += histogram[t + 1];
        EXPECT_EQ(above, beating[t]) << "threshold " << t;
      }
      ASSERT_EQ(best.size, static_cast<int32_t>(ranked.size()));
      for (int32_t i = 0; i < best.size; ++i) {
        EXPECT_EQ(best.index[i], ranked[i].second);
      }
      if (m == 0) continue;
      std::vector<int64_t> impostors(m + 1, 0);
      locator.Build(thresholds.data(), m);
      ScanImpostorScores(scores.data(), count, locator, thresholds[0],
                         impostors.data(), width);
      above = 0;
      for (int32_t t = m - 1; t >= 0; --t) {
        above += impostors[t + 1];
        EXPECT_EQ(above, beating[t]) << "impostor threshold " << t;
      }
    }
  }
}

}  // namespace
