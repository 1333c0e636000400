#include "driver/evaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

namespace {

using ScoredIndex = std::pair<float, int32_t>;

// Descending (score, index) with NaN scores after every number: the order
// in which distractors are ranked for a probe.
bool RanksBefore(const ScoredIndex& a, const ScoredIndex& b) {
  const bool a_nan = std::isnan(a.first);
  const bool b_nan = std::isnan(b.first);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.first != b.first) return a.first > b.first;
  return a.second > b.second;
}

// Class of a verification pair in threshold order: a genuine pair scored
// NaN is beaten by no impostor and an impostor scored NaN beats no genuine
// pair, so they go to the very front and the very back.
int ThresholdClass(const VerificationPair& pair) {
  if (!std::isnan(pair.first)) return 1;
  return pair.second == 1 ? 2 : 0;
}

// Descending (score, label): a genuine pair precedes an impostor pair with
// the same score, so it is accepted at that impostor's operating point.
bool AcceptedBefore(const VerificationPair& a, const VerificationPair& b) {
  const int a_class = ThresholdClass(a);
  const int b_class = ThresholdClass(b);
  if (a_class != b_class) return a_class > b_class;
  return a_class == 1 && a > b;
}

}  // namespace

void CopyDistractorScoreLists(const cv::Mat& distractor_scores,
                              int32_t num_distractors, ScoreLists* lists) {
  lists->reserve(lists->size() + distractor_scores.rows);
  for (int r = 0; r < distractor_scores.rows; ++r) {
    const float* row = distractor_scores.ptr<float>(r);
    lists->emplace_back(row, row + num_distractors);
  }
}

void SelectTopDistractors(int32_t probe_count, int32_t top_count,
                          ScoreLists* lists, TopDistractorLists* top) {
  tbb::parallel_for(int32_t{0}, probe_count, int32_t{1}, [&](int32_t p) {
    std::vector<float>& list = (*lists)[p];
    const int32_t n = static_cast<int32_t>(list.size());
    std::vector<ScoredIndex> ranked(n);
    for (int32_t k = 0; k < n; ++k) ranked[k] = {list[k], k};
    std::sort(ranked.begin(), ranked.end(), RanksBefore);
    auto& best = (*top)[p];
    for (int32_t k = 0; k < std::min(top_count, n); ++k) {
      best.emplace_back(ranked[k].second, ranked[k].first);
    }
    for (int32_t k = 0; k < n; ++k) list[k] = ranked[k].first;
  });
}

void RankMates(const SubjectMap& subject_map, const cv::Mat& probe_scores,
               const DistractorCounter& count, MateRankLists* mate_ranks) {
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& probes = subject.second;
    for (int32_t i : probes) {
      for (int32_t j : probes) {
        if (i == j) continue;
        const float score = probe_scores.at<float>(i, j);
        (*mate_ranks)[j].emplace_back(static_cast<uint64_t>(count(i, score)),
                                      i);
      }
    }
  }
}

void RankMates(const SubjectMap& subject_map, const cv::Mat& probe_scores,
               const ScoreLists& sorted_lists, MateRankLists* mate_ranks) {
  RankMates(
      subject_map, probe_scores,
      [&](int32_t probe, float score) {
        return CountGreater(sorted_lists[probe], score);
      },
      mate_ranks);
}

namespace {

// AppendThinnedSteps appends the thinned points of a step function over
// indices 0 .. last: its value at k is rate(k, number of `sorted` entries
// <= k), and `point(k, value)` makes a curve point. The value only changes
// where an entry lies, and the thinning rule only keeps a point where the
// value changes or at the last index, so only those indices are visited:
// the result is the same as visiting every index, in time that does not
// grow with `last`.
template <typename Rate, typename Point>
void AppendThinnedSteps(const std::vector<uint64_t>& sorted, uint64_t last,
                        const Rate& rate, const Point& point) {
  CurveThinner thinner;
  uint64_t offered = 0;
  bool any = false;
  auto offer = [&](uint64_t k, uint64_t at_most_k) {
    if (any && k == offered) return;
    any = true;
    offered = k;
    const float value = rate(k, at_most_k);
    if (thinner.Keep(value, k == last)) point(k, value);
  };
  if (sorted.empty() || sorted[0] > 0) offer(0, 0);
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
    offer(sorted[i], j);
    i = j;
  }
  offer(last, sorted.size());
}

}  // namespace

float AppendIdentificationCMC(const MateRankLists& mate_ranks,
                              int32_t num_distractors, CMCCurve* cmc) {
  // Counts are integers, so they stay exact at any scale; they become
  // floats only where a rate is divided out, in single precision.
  std::vector<uint64_t> ranks;
  for (const auto& list : mate_ranks) {
    for (const auto& entry : list) ranks.push_back(entry.first);
  }
  std::sort(ranks.begin(), ranks.end());
  const float pairs = static_cast<float>(ranks.size());
  const uint64_t rank1 = static_cast<uint64_t>(
      std::upper_bound(ranks.begin(), ranks.end(), uint64_t{0}) -
      ranks.begin());
  AppendThinnedSteps(
      ranks, static_cast<uint64_t>(num_distractors),
      [&](uint64_t, uint64_t at_most_k) {
        return static_cast<float>(at_most_k) / pairs;
      },
      [&](uint64_t k, float rate) {
        cmc->emplace_back(static_cast<int32_t>(k), rate);
      });
  return static_cast<float>(rank1) / pairs;
}

void AppendROCCurve(const std::vector<float>& tar, ROCCurve* roc) {
  const float impostors = static_cast<float>(tar.size() - 1);
  CurveThinner thinner;
  for (size_t k = 0; k < tar.size(); ++k) {
    if (thinner.Keep(tar[k], k + 1 == tar.size())) {
      roc->emplace_back(static_cast<float>(k) / impostors, tar[k]);
    }
  }
}

void AppendROCCurveFromCounts(std::vector<uint64_t> beaten_by,
                              uint64_t impostor_count, ROCCurve* roc) {
  // Entry k of the true accept table is the share of genuine pairs beaten
  // by at most k impostors (a genuine pair ties ahead of an impostor). With
  // no genuine pair at all, the entries that impostors reach are 0 / 0 and
  // entry 0 stays 0.
  std::sort(beaten_by.begin(), beaten_by.end());
  const float genuine = static_cast<float>(beaten_by.size());
  const float impostors = static_cast<float>(impostor_count);
  AppendThinnedSteps(
      beaten_by, impostor_count,
      [&](uint64_t k, uint64_t at_most_k) {
        if (beaten_by.empty() && k > 0) return 0.0f / genuine;
        return static_cast<float>(at_most_k) / (beaten_by.empty() ? 1.0f : genuine);
      },
      [&](uint64_t k, float rate) {
        roc->emplace_back(static_cast<float>(k) / impostors, rate);
      });
}

void RunVerification(const SubjectMap& subject_map,
                     const cv::Mat& probe_scores, const ScoreLists& lists,
                     ROCCurve* roc) {
  std::vector<VerificationPair> pairs;
  int64_t genuine_count = 0;
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& q = subject.second;
    for (size_t a = 0; a < q.size(); ++a) {
      for (size_t b = a + 1; b < q.size(); ++b) {
        pairs.emplace_back(probe_scores.at<float>(q[a], q[b]), 1);
        ++genuine_count;
      }
    }
  }
  int64_t impostor_count = 0;
  const size_t rows = std::min<size_t>(kImpostorRowCount, lists.size());
  for (size_t r = 0; r < rows; ++r) {
    for (float score : lists[r]) {
      pairs.emplace_back(score, -1);
      ++impostor_count;
    }
  }
  tbb::parallel_sort(pairs.begin(), pairs.end(), AcceptedBefore);
  std::vector<float> tar;
  ComputeROC(pairs, genuine_count, impostor_count, &tar);
  AppendROCCurve(tar, roc);
}
