#include "metrics/match_report.h"

void AssembleMatchReportFromPairs(const SubjectMap& subject_map,
                                  const MatePairs& mate_pairs,
                                  int32_t probe_count,
                                  const ScoreCounts& counts,
                                  MatchReport* report) {
  if (report == nullptr) {
    TopDistractorList unused;
    for (int32_t p = 0; p < probe_count; ++p) {
      unused.clear();
      counts.TopDistractors(p, &unused);
    }
    RankMatePairs(subject_map, mate_pairs, counts, nullptr);
    return;
  }
  report->top_distractors.assign(probe_count, {});
  for (int32_t p = 0; p < probe_count; ++p) {
    counts.TopDistractors(p, &report->top_distractors[p]);
  }
  report->mate_ranks.assign(probe_count, {});
  RankMatePairs(subject_map, mate_pairs, counts, &report->mate_ranks);
}
