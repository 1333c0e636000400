#include "metrics/roc.h"

#include <algorithm>

#include "metrics/radix_sort.h"

void ComputeROC(const std::vector<VerificationPair>& verification_list,
                int64_t genuine_count, int64_t impostor_count,
                std::vector<float>* tar) {
  const size_t size =
      static_cast<size_t>(std::max<int64_t>(impostor_count, 0)) + 1;
  tar->assign(size, 0.0f);
  const float genuine_total = static_cast<float>(genuine_count);
  int64_t genuine = 0;
  size_t impostors = 0;
  for (const VerificationPair& pair : verification_list) {
    if (pair.second == 1) {
      ++genuine;
    } else {
      ++impostors;
    }
    // Checked access: more impostors than announced is a caller error and
    // throws std::out_of_range rather than writing past the table.
    tar->at(impostors) = static_cast<float>(genuine) / genuine_total;
  }
}

void AppendROCCurveFromCounts(std::vector<int64_t> beaten_by,
                              int64_t impostor_count, ROCCurve* roc) {
  SortCounts(&beaten_by);
  AppendROCCurveFromSortedCounts(beaten_by, impostor_count, roc);
}

void AppendROCCurveFromSortedCounts(const std::vector<int64_t>& beaten_by,
                                    int64_t impostor_count, ROCCurve* roc) {
  // Entry k of the true accept table is the share of genuine pairs beaten
  // by at most k impostors.
  const bool no_genuine = beaten_by.empty();
  const float genuine = static_cast<float>(beaten_by.size());
  const float impostors = static_cast<float>(impostor_count);
  AppendThinnedSteps(
      beaten_by, impostor_count,
      [&](int64_t k, int64_t at_most_k) {
        // Entry 0 is written only by genuine pairs ahead of every impostor.
        if (no_genuine) return k > 0 ? 0.0f / genuine : 0.0f;
        return static_cast<float>(at_most_k) / genuine;
      },
      [&](int64_t k, float rate) {
        roc->emplace_back(static_cast<float>(k) / impostors, rate);
      });
}

std::vector<float> GenuineScoresOfMates(const SubjectMap& subject_map,
                                        const MatePairs& mate_pairs) {
  std::vector<float> scores;
  scores.reserve(mate_pairs.scores.size() / 2);
  size_t k = 0;
  for (const auto& subject : subject_map) {
    const size_t n = subject.second.size();
    for (size_t a = 0; a < n; ++a) {
      for (size_t end = k + n - 1; k < end; ++k) {
        if (mate_pairs.mates[k] > a) scores.push_back(mate_pairs.scores[k]);
      }
    }
  }
  return scores;
}

void SortForCounting(std::vector<float>* scores) {
  RadixSortByKey(scores->data(), scores->size(), 32,
                 [](float score) { return AscendingKey(score); });
}

void ImpostorsBeatingEach(const std::vector<float>& scores,
                          const ScoreCounts& counts,
                          std::vector<int64_t>* beaten_by) {
  if (beaten_by == nullptr) {
    for (const float score : scores) counts.ImpostorsBeating(score);
    return;
  }
  counts.ImpostorsBeatingEach(scores, beaten_by);
}
