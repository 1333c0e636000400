#include "metrics/match_report.h"

void AssembleMatchReport(const SubjectMap& subject_map,
                         const cv::Mat& probe_scores, int32_t probe_count,
                         const ScoreCounts& counts, MatchReport* report) {
  report->top_distractors.assign(probe_count, {});
  for (int32_t p = 0; p < probe_count; ++p) {
    counts.TopDistractors(p, &report->top_distractors[p]);
  }
  report->mate_ranks.assign(probe_count, {});
  RankMates(subject_map, probe_scores, counts, &report->mate_ranks);
}
