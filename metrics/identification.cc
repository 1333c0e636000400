#include "metrics/identification.h"

#include <algorithm>

void RankMates(const SubjectMap& subject_map, const cv::Mat& probe_scores,
               const ScoreCounts& counts, MateRankLists* mate_ranks) {
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& probes = subject.second;
    for (const int32_t i : probes) {
      for (const int32_t j : probes) {
        if (i == j) continue;
        const float score = probe_scores.at<float>(i, j);
        (*mate_ranks)[j].emplace_back(
            static_cast<uint64_t>(counts.DistractorsBeating(i, score)), i);
      }
    }
  }
}

std::vector<uint64_t> SortedMateRanks(const MateRankLists& mate_ranks) {
  std::vector<uint64_t> ranks;
  for (const MateRankList& list : mate_ranks) {
    for (const auto& [rank, query] : list) ranks.push_back(rank);
  }
  std::sort(ranks.begin(), ranks.end());
  return ranks;
}

float AppendIdentificationCMC(const MateRankLists& mate_ranks,
                              int32_t num_distractors, CMCCurve* cmc) {
  // Counts are integers, so they stay exact at any scale; they become
  // floats only where a rate is divided out, in single precision.
  std::vector<int64_t> ranks;
  for (const MateRankList& list : mate_ranks) {
    for (const auto& entry : list) {
      ranks.push_back(static_cast<int64_t>(entry.first));
    }
  }
  std::sort(ranks.begin(), ranks.end());
  const float pairs = static_cast<float>(ranks.size());
  AppendThinnedSteps(
      ranks, int64_t{num_distractors},
      [&](int64_t, int64_t at_most_k) {
        return static_cast<float>(at_most_k) / pairs;
      },
      [&](int64_t k, float rate) {
        cmc->emplace_back(static_cast<int32_t>(k), rate);
      });
  const int64_t rank1 =
      std::upper_bound(ranks.begin(), ranks.end(), int64_t{0}) - ranks.begin();
  return static_cast<float>(rank1) / pairs;
}
