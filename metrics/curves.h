// Curves and the thinning rule that samples every curve of a run: a point
// is kept where the rate rose by more than the sampling step since the
// last kept point, and the last point is always kept.
#ifndef FUSE_RESULTS_METRICS_CURVES_H_
#define FUSE_RESULTS_METRICS_CURVES_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// A CMC curve: (rank index, rate) points; rank index 0 is rank 1.
using CMCCurve = std::vector<std::pair<int32_t, float>>;
// A ROC curve: (false accept rate, true accept rate) points.
using ROCCurve = std::vector<std::pair<float, float>>;

// The sampling step of the thinning rule.
constexpr double kSamplingStep = 0.01;

// CurveThinner applies the thinning rule to a sequence of rates offered in
// index order: a rate is kept when its rise over the last kept rate,
// computed in single precision and widened to double, is greater than
// kSamplingStep, or when it is the last of the sequence. The first rate is
// always kept (the last kept rate starts at -1). A NaN rate is kept only as
// the last one.
class CurveThinner {
 public:
  // Keep returns true iff `rate` is kept; `is_last` marks the last rate.
  bool Keep(float rate, bool is_last) {
    const float rise = rate - last_kept_;
    if (static_cast<double>(rise) > kSamplingStep || is_last) {
      last_kept_ = rate;
      return true;
    }
    return false;
  }

 private:
  float last_kept_ = -1.0f;
};

// QuantizeCMC appends to `*curve` the points (i, rates[i]) that the
// thinning rule keeps; what `*curve` held stays in front. An empty list
// appends nothing.
void QuantizeCMC(const std::vector<float>& rates, CMCCurve* curve);

// AppendThinnedSteps thins a step function over the indices 0 .. last
// without visiting every index. `sorted` holds event positions in
// ascending order, each in [0, last]. The function is visited at index 0,
// at every distinct event position and at `last`, in ascending order and
// each once: `rate(k, events_at_most_k)` gives its value there (it may
// keep state between visits: it sees every index where the value can
// change) and `point(k, value)` receives every visit the thinning rule
// keeps. Since the value only changes at events, and the rule keeps only a
// point where the value changed or the last one, this gives the points of
// a visit of every index, in time that does not grow with `last`.
template <typename Rate, typename Point>
void AppendThinnedSteps(const std::vector<int64_t>& sorted, int64_t last,
                        Rate&& rate, Point&& point) {
  CurveThinner thinner;
  int64_t visited = -1;
  auto visit = [&](int64_t k, int64_t at_most_k) {
    if (k == visited) return;
    visited = k;
    const float value = rate(k, at_most_k);
    if (thinner.Keep(value, k == last)) point(k, value);
  };
  if (sorted.empty() || sorted[0] > 0) visit(0, 0);
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    visit(sorted[i], static_cast<int64_t>(j));
    i = j;
  }
  visit(last, static_cast<int64_t>(sorted.size()));
}

#endif  // FUSE_RESULTS_METRICS_CURVES_H_
