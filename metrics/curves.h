// Curves and the thinning rule that samples every curve of a run: a point
// is kept where the rate rose by more than the sampling step since the
// last kept point, and the last point is always kept.
#ifndef FUSE_RESULTS_METRICS_CURVES_H_
#define FUSE_RESULTS_METRICS_CURVES_H_

#include <cstddef>
#include <cstdint>
#include <type_traits>
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

// SortCounts sorts `*counts` ascending, as std::sort does; by radix in
// linear time when they are many and span less than 2^33, as the ranks and
// counts of a run do.
void SortCounts(std::vector<int64_t>* counts);

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
                        Rate&& rate, Point&& point);

// AppendThinnedCounts is AppendThinnedSteps for the events counted per
// position: `counts[i]` events at position lowest + i. It visits what
// AppendThinnedSteps visits for the ascending list of the same events, in
// time that grows with the number of counts.
template <typename Count, typename Rate, typename Point>
void AppendThinnedCounts(int64_t lowest, const std::vector<Count>& counts,
                         int64_t last, Rate&& rate, Point&& point);

namespace curves_internal {

// StepVisits makes the visits of AppendThinnedSteps: each index once, the
// kept ones handed on as points.
template <typename Rate, typename Point>
class StepVisits {
 public:
  StepVisits(int64_t last, Rate* rate, Point* point)
      : last_(last), rate_(rate), point_(point) {}

  void Visit(int64_t k, int64_t at_most_k) {
    if (k == visited_) return;
    visited_ = k;
    const float value = (*rate_)(k, at_most_k);
    if (thinner_.Keep(value, k == last_)) (*point_)(k, value);
  }

 private:
  int64_t last_;
  Rate* rate_;
  Point* point_;
  CurveThinner thinner_;
  int64_t visited_ = -1;
};

}  // namespace curves_internal

template <typename Rate, typename Point>
void AppendThinnedSteps(const std::vector<int64_t>& sorted, int64_t last,
                        Rate&& rate, Point&& point) {
  curves_internal::StepVisits<std::remove_reference_t<Rate>,
                              std::remove_reference_t<Point>>
      visits(last, &rate, &point);
  if (sorted.empty() || sorted[0] > 0) visits.Visit(0, 0);
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    visits.Visit(sorted[i], static_cast<int64_t>(j));
    i = j;
  }
  visits.Visit(last, static_cast<int64_t>(sorted.size()));
}

template <typename Count, typename Rate, typename Point>
void AppendThinnedCounts(int64_t lowest, const std::vector<Count>& counts,
                         int64_t last, Rate&& rate, Point&& point) {
  curves_internal::StepVisits<std::remove_reference_t<Rate>,
                              std::remove_reference_t<Point>>
      visits(last, &rate, &point);
  size_t first = 0;
  while (first < counts.size() && counts[first] == 0) ++first;
  if (first == counts.size() || lowest + static_cast<int64_t>(first) > 0) {
    visits.Visit(0, 0);
  }
  int64_t events = 0;
  for (size_t i = first; i < counts.size(); ++i) {
    if (counts[i] == 0) continue;
    events += static_cast<int64_t>(counts[i]);
    visits.Visit(lowest + static_cast<int64_t>(i), events);
  }
  visits.Visit(last, events);
}

#endif  // FUSE_RESULTS_METRICS_CURVES_H_
