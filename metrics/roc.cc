#include "metrics/roc.h"

#include <algorithm>

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
  // Entry k of the true accept table is the share of genuine pairs beaten
  // by at most k impostors.
  std::sort(beaten_by.begin(), beaten_by.end());
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

std::vector<int64_t> GenuineBeatenBy(const SubjectMap& subject_map,
                                     const cv::Mat& probe_scores,
                                     const ScoreCounts& counts) {
  std::vector<int64_t> beaten_by;
  for (const auto& subject : subject_map) {
    const std::vector<int32_t>& q = subject.second;
    for (size_t a = 0; a < q.size(); ++a) {
      for (size_t b = a + 1; b < q.size(); ++b) {
        beaten_by.push_back(
            counts.ImpostorsBeating(probe_scores.at<float>(q[a], q[b])));
      }
    }
  }
  return beaten_by;
}

void AssembleROC(const SubjectMap& subject_map, const cv::Mat& probe_scores,
                 int64_t impostor_count, const ScoreCounts& counts,
                 ROCCurve* roc) {
  AppendROCCurveFromCounts(GenuineBeatenBy(subject_map, probe_scores, counts),
                           impostor_count, roc);
}
