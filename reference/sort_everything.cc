#include "reference/sort_everything.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include "matio/score_matrix.h"
#include "metrics/roc.h"
#include "metrics/traditional_cmc.h"

namespace {

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
  using ScoredIndex = std::pair<float, int32_t>;
  tbb::parallel_for(int32_t{0}, probe_count, int32_t{1}, [&](int32_t p) {
    std::vector<float>& list = (*lists)[p];
    const int32_t n = static_cast<int32_t>(list.size());
    std::vector<ScoredIndex> ranked(n);
    for (int32_t k = 0; k < n; ++k) ranked[k] = {list[k], k};
    std::sort(ranked.begin(), ranked.end(),
              [](const ScoredIndex& a, const ScoredIndex& b) {
                return RanksBefore(a.first, a.second, b.first, b.second);
              });
    auto& best = (*top)[p];
    for (int32_t k = 0; k < std::min(top_count, n); ++k) {
      best.emplace_back(ranked[k].second, ranked[k].first);
    }
    for (int32_t k = 0; k < n; ++k) list[k] = ranked[k].first;
  });
}

void RankMatesInSortedLists(const SubjectMap& subject_map,
                            const cv::Mat& probe_scores,
                            const ScoreLists& sorted_lists,
                            MateRankLists* mate_ranks) {
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& probes = subject.second;
    for (const int32_t i : probes) {
      for (const int32_t j : probes) {
        if (i == j) continue;
        const float score = probe_scores.at<float>(i, j);
        (*mate_ranks)[j].emplace_back(
            static_cast<uint64_t>(CountGreater(sorted_lists[i], score)), i);
      }
    }
  }
}

float AppendHistogramCMC(const MateRankLists& mate_ranks,
                         int32_t num_distractors, CMCCurve* cmc) {
  // Counted in integers, so that the counts stay exact at any scale.
  std::vector<int64_t> cumulative(static_cast<size_t>(num_distractors) + 1, 0);
  for (const MateRankList& list : mate_ranks) {
    for (const auto& entry : list) ++cumulative[entry.first];
  }
  const float rank1_pairs = static_cast<float>(cumulative[0]);
  for (size_t k = 1; k < cumulative.size(); ++k) {
    cumulative[k] += cumulative[k - 1];
  }
  const float pairs = static_cast<float>(cumulative.back());
  std::vector<float> rates(cumulative.size());
  for (size_t k = 0; k < rates.size(); ++k) {
    rates[k] = static_cast<float>(cumulative[k]) / pairs;
  }
  QuantizeCMC(rates, cmc);
  return rank1_pairs / pairs;
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

void RunVerification(const SubjectMap& subject_map, const cv::Mat& probe_scores,
                     const ScoreLists& lists, ROCCurve* roc,
                     OperatingPointFacts* facts) {
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
  const int32_t rows = ImpostorRows(static_cast<int32_t>(lists.size()));
  for (int32_t r = 0; r < rows; ++r) {
    for (const float score : lists[r]) {
      pairs.emplace_back(score, -1);
      ++impostor_count;
    }
  }
  tbb::parallel_sort(pairs.begin(), pairs.end(), AcceptedBefore);
  std::vector<float> tar;
  ComputeROC(pairs, genuine_count, impostor_count, &tar);
  AppendROCCurve(tar, roc);
  if (facts == nullptr) return;
  facts->impostor_count = impostor_count;
  facts->genuine_beaten_by.clear();
  int64_t impostors_before = 0;
  for (const VerificationPair& pair : pairs) {
    if (pair.second == 1) {
      facts->genuine_beaten_by.push_back(impostors_before);
    } else {
      ++impostors_before;
    }
  }
}

bool EvaluateSortingEverything(RunInputs* in, RunOutputs* out) {
  cv::Mat distractor_scores;
  std::string error;
  if (!LoadScoreMatrix(in->distractor_scores_filename, &distractor_scores,
                       nullptr, &error)) {
    ReportUnloadableDistractors(*in, error);
    return false;
  }
  if (!CheckDistractorMatrix(distractor_scores.rows, distractor_scores.cols,
                             distractor_scores.type(), in)) {
    return false;
  }
  ScoreLists lists;
  CopyDistractorScoreLists(distractor_scores, in->num_distractors, &lists);
  distractor_scores.release();

  out->matches.top_distractors.assign(in->probe_count, {});
  std::puts("Finding top distractors!");
  if (in->probe_count != 0) {
    SelectTopDistractors(in->probe_count, kTopDistractorCount, &lists,
                         &out->matches.top_distractors);
  }
  std::puts("Done sorting distractor scores");
  std::vector<int64_t> histogram;
  RunTraditionalCMC(in->subject_map, in->probe_names, in->probe_scores, lists,
                    kTrialCount, &out->traditional_cmc, &histogram);
  OperatingPointFacts& facts = out->facts;
  facts.traditional_slots =
      histogram.empty() ? -1 : static_cast<int64_t>(histogram.size());
  for (size_t rank = 0; rank < histogram.size(); ++rank) {
    facts.traditional_ranks.insert(facts.traditional_ranks.end(),
                                   histogram[rank], rank);
  }
  out->matches.mate_ranks.assign(in->probe_count, {});
  RankMatesInSortedLists(in->subject_map, in->probe_scores, lists,
                         &out->matches.mate_ranks);
  const float rank1 = AppendHistogramCMC(out->matches.mate_ranks,
                                         in->num_distractors, &out->cmc);
  std::printf("Rank 1: %f\n", static_cast<double>(rank1));
  RunVerification(in->subject_map, in->probe_scores, lists, &out->roc, &facts);
  facts.probes = in->probe_count;
  facts.subjects = static_cast<int64_t>(in->subject_map.size());
  facts.distractors = in->num_distractors;
  facts.mate_ranks = SortedMateRanks(out->matches.mate_ranks);
  return true;
}
