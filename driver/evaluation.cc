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
               const ScoreLists& sorted_lists, MateRankLists* mate_ranks) {
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& probes = subject.second;
    for (int32_t i : probes) {
      for (int32_t j : probes) {
        if (i == j) continue;
        const float score = probe_scores.at<float>(i, j);
        const uint64_t rank =
            static_cast<uint64_t>(CountGreater(sorted_lists[i], score));
        (*mate_ranks)[j].emplace_back(rank, i);
      }
    }
  }
}

float AppendIdentificationCMC(const MateRankLists& mate_ranks,
                              int32_t num_distractors, CMCCurve* cmc) {
  // Counts are integers, so they stay exact at any scale; they become
  // floats only where a rate is divided out.
  std::vector<uint64_t> cumulative(static_cast<size_t>(num_distractors) + 1);
  for (const auto& ranks : mate_ranks) {
    for (const auto& entry : ranks) ++cumulative[entry.first];
  }
  const float pairs = [&] {
    uint64_t total = 0;
    for (uint64_t count : cumulative) total += count;
    return static_cast<float>(total);
  }();
  const float rank1_rate = static_cast<float>(cumulative[0]) / pairs;
  for (size_t k = 1; k < cumulative.size(); ++k) {
    cumulative[k] += cumulative[k - 1];
  }
  CurveThinner thinner;
  for (size_t k = 0; k < cumulative.size(); ++k) {
    const float rate = static_cast<float>(cumulative[k]) / pairs;
    if (thinner.Keep(rate, k + 1 == cumulative.size())) {
      cmc->emplace_back(static_cast<int32_t>(k), rate);
    }
  }
  return rank1_rate;
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
