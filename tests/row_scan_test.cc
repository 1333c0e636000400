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

// Scores beating each threshold, from the sorted scores: NaN beats none.
std::vector<int64_t> PlainCounts(std::vector<float> scores,
                                 const std::vector<float>& thresholds) {
  scores.erase(std::remove_if(scores.begin(), scores.end(),
                              [](float x) { return std::isnan(x); }),
               scores.end());
  std::sort(scores.begin(), scores.end());
  std::vector<int64_t> counts;
  for (const float t : thresholds) {
    counts.push_back(scores.end() -
                     std::upper_bound(scores.begin(), scores.end(), t));
  }
  return counts;
}

TEST(RowScanTest, LocatesAmongManyThresholds) {
  // Thousands of thresholds, as the impostor rows get: large bucket tables,
  // thresholds crowded a float apart into one bucket, and scores equal to
  // thresholds.
  std::mt19937 random(11);
  std::normal_distribution<float> normal(0.3f, 0.2f);
  for (int trial = 0; trial < 12; ++trial) {
    std::vector<float> thresholds;
    for (int i = 100 + random() % 3000; i > 0; --i) {
      float t = normal(random);
      thresholds.push_back(t);
      if (i % 50 == 0) {
        for (int j = 0; j < 20; ++j)
          thresholds.push_back(t = std::nextafter(t, 1.0f));
      }
    }
    if (trial % 3 == 0) thresholds.push_back(INFINITY);
    if (trial % 4 == 0) thresholds.push_back(-INFINITY);
    std::sort(thresholds.begin(), thresholds.end());
    thresholds.erase(std::unique(thresholds.begin(), thresholds.end()),
                     thresholds.end());
    const int32_t m = static_cast<int32_t>(thresholds.size());
    std::vector<float> scores(4000 + random() % 300);
    for (float& x : scores) {
      const uint32_t pick = random() % 10;
      x = pick == 0   ? thresholds[random() % m]
          : pick == 1 ? DrawScore(&random)
                      : normal(random);
    }
    const std::vector<int64_t> expected = PlainCounts(scores, thresholds);
    const int32_t count = static_cast<int32_t>(scores.size());
    for (const VectorWidth width : Widths()) {
      SCOPED_TRACE(testing::Message() << "trial " << trial << " width "
                                      << static_cast<int>(width));
      ThresholdLocator locator;
      locator.Build(thresholds.data(), m);
      std::vector<int64_t> impostors(m + 1, 0), probe(m + 1, 0);
      ScanImpostorScores(scores.data(), count, locator, thresholds[0],
                         impostors.data(), width);
      BestDistractors best;
      ThresholdLocator scratch;
      ScanProbeScores(scores.data(), count, 0, thresholds.data(), m, 5, &best,
                      probe.data(), &scratch, width);
      int64_t impostors_above = 0, probe_above = 0;
      for (int32_t t = m - 1; t >= 0; --t) {
        impostors_above += impostors[t + 1];
        probe_above += probe[t + 1];
        ASSERT_EQ(impostors_above, expected[t]) << "threshold " << t;
        ASSERT_EQ(probe_above, expected[t]) << "threshold " << t;
      }
    }
  }
}

}  // namespace
