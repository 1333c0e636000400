// Microbenchmarks of the row scan kernels (driver/row_scan.h) on synthetic
// rows of a million distractor scores. Throughput is reported in bytes of
// scores scanned per second, comparable with the rate at which the file can
// be read (bench/run.sh measures that).
//
// The data are drawn once per benchmark from fixed seeds, so every run scans
// the same rows. Impostor scores ~ N(0.15, 0.1); genuine scores, from which
// the thresholds come, ~ N(0.55, 0.15): most distractor scores beat none of
// a probe's thresholds, which is the case the scan is built for.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "driver/row_scan.h"

namespace {

constexpr int32_t kRowLength = 1000000;
constexpr int32_t kTopCount = 5;

// Normal draws from a fixed seed: the same values on every run.
std::vector<float> NormalScores(size_t n, float mean, float stddev,
                                uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<float> normal(mean, stddev);
  std::vector<float> scores(n);
  for (float& score : scores) score = normal(engine);
  return scores;
}

// The vector width of a benchmark: its second argument, 128, 256 or 512
// bits. Returns false, after marking the benchmark skipped, when the
// processor lacks it.
bool PickWidth(benchmark::State& state, VectorWidth* width) {
  switch (state.range(1)) {
    case 512:
      *width = VectorWidth::k512;
      break;
    case 256:
      *width = VectorWidth::k256;
      break;
    default:
      *width = VectorWidth::k128;
  }
  if (ProcessorHas(*width)) return true;
  state.SkipWithError("the processor lacks this vector width");
  return false;
}

// Every width, 512 bits first.
void Widths(benchmark::internal::Benchmark* b, int64_t first) {
  for (const int64_t bits : {512, 256, 128}) b->Args({first, bits});
}

// Thresholds as the score pass gets them: ascending, distinct, no NaN.
std::vector<float> SortedThresholds(size_t n, float mean, float stddev,
                                    uint32_t seed) {
  std::vector<float> thresholds = NormalScores(n, mean, stddev, seed);
  std::sort(thresholds.begin(), thresholds.end());
  thresholds.erase(std::unique(thresholds.begin(), thresholds.end()),
                   thresholds.end());
  return thresholds;
}

// One probe row scanned against the probe's own thresholds, the best
// distractors starting empty as at the start of a row.
void ScanProbeRow(benchmark::State& state,
                  const std::vector<float>& thresholds) {
  VectorWidth width;
  if (!PickWidth(state, &width)) return;
  const std::vector<float> scores = NormalScores(kRowLength, 0.15f, 0.1f, 1);
  const int32_t m = static_cast<int32_t>(thresholds.size());
  std::vector<int64_t> histogram(thresholds.size() + 1, 0);
  ThresholdLocator locator;
  for (auto _ : state) {
    BestDistractors best;
    ScanProbeScores(scores.data(), kRowLength, 0, thresholds.data(), m,
                    kTopCount, &best, histogram.data(), &locator, width);
    benchmark::DoNotOptimize(best);
    benchmark::DoNotOptimize(histogram.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kRowLength} *
                          static_cast<int64_t>(sizeof(float)));
  state.counters["thresholds"] = m;
}

// Thresholds drawn from the genuine distribution: a few scores in the
// upper tail beat the lowest of them.
void BM_ScanProbeScores(benchmark::State& state) {
  ScanProbeRow(state, SortedThresholds(static_cast<size_t>(state.range(0)),
                                       0.55f, 0.15f, 2));
}
BENCHMARK(BM_ScanProbeScores)
    ->Apply([](auto* b) { Widths(b, 50); }) -> Unit(benchmark::kMicrosecond);

// Thresholds above every score: each block of 16 costs only the vector
// tests for a new best distractor and for the lowest threshold.
void BM_ScanProbeScoresAboveAll(benchmark::State& state) {
  ScanProbeRow(state, SortedThresholds(static_cast<size_t>(state.range(0)),
                                       10.0f, 0.15f, 2));
}
BENCHMARK(BM_ScanProbeScoresAboveAll)
    ->Apply([](auto* b) { Widths(b, 50); }) -> Unit(benchmark::kMicrosecond);

// An impostor row against every genuine pair's score.
void BM_ScanImpostorScores(benchmark::State& state) {
  VectorWidth width;
  if (!PickWidth(state, &width)) return;
  const std::vector<float> scores = NormalScores(kRowLength, 0.15f, 0.1f, 1);
  const std::vector<float> genuine =
      SortedThresholds(static_cast<size_t>(state.range(0)), 0.55f, 0.15f, 3);
  const int32_t m = static_cast<int32_t>(genuine.size());
  ThresholdLocator locator;
  locator.Build(genuine.data(), m);
  std::vector<int64_t> histogram(genuine.size() + 1, 0);
  for (auto _ : state) {
    ScanImpostorScores(scores.data(), kRowLength, locator, genuine[0],
                       histogram.data(), width);
    benchmark::DoNotOptimize(histogram.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kRowLength} *
                          static_cast<int64_t>(sizeof(float)));
  state.counters["thresholds"] = m;
}
BENCHMARK(BM_ScanImpostorScores)
    ->Apply([](auto* b) { Widths(b, 75000); }) -> Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
