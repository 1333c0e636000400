// The match report: for every probe, its best distractors and the rank it
// reaches as the true match of each of its mates.
#ifndef FUSE_RESULTS_METRICS_MATCH_REPORT_H_
#define FUSE_RESULTS_METRICS_MATCH_REPORT_H_

#include <cstdint>

#include <opencv2/core.hpp>

#include "metrics/identification.h"
#include "metrics/score_counts.h"
#include "metrics/splits.h"
#include "metrics/top_distractors.h"

// Both lists have one entry per probe, indexed by probe index.
struct MatchReport {
  TopDistractorLists top_distractors;
  MateRankLists mate_ranks;
};

// AssembleMatchReportFromPairs replaces `*report` with `probe_count`
// entries: probe p's best distractors as `counts` gives them, and its mate
// ranks as RankMatePairs gives them for `mate_pairs`, which ListMatePairs
// lists for the map (every probe index of the map must be below
// probe_count). A null `report` asks the same questions and keeps
// nothing.
void AssembleMatchReportFromPairs(const SubjectMap& subject_map,
                                  const MatePairs& mate_pairs,
                                  int32_t probe_count,
                                  const ScoreCounts& counts,
                                  MatchReport* report);

#endif  // FUSE_RESULTS_METRICS_MATCH_REPORT_H_
