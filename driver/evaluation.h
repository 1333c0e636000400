// The evaluation passes of a run over the distractor score lists: top
// distractor selection, identification with distractors and verification.
// These follow the plain algorithms (every list sorted in full, every pair
// ranked by bisection, one sorted verification list); they are the
// reference for faster routes to the same results.
//
// Order used for scores throughout: a score beats another iff it compares
// strictly greater as a float, so a NaN beats nothing and nothing beats a
// NaN. Sorted lists put NaN scores last; counting the scores that beat s
// by bisection in such a list equals counting them one by one.
#ifndef FUSE_RESULTS_DRIVER_EVALUATION_H_
#define FUSE_RESULTS_DRIVER_EVALUATION_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "metrics/metrics.h"
#include "probes/probe_info.h"
#include "results/result_files.h"

// One list of scores per distractor matrix row.
using ScoreLists = std::vector<std::vector<float>>;

// Run constants.
constexpr int32_t kTopDistractorCount = 5;
constexpr int32_t kTrialCount = 10;
constexpr int32_t kImpostorRowCount = 100;

// CopyDistractorScoreLists appends to `*lists` one list per row of the
// float matrix `distractor_scores`: its first `num_distractors` scores
// (0 <= num_distractors <= cols).
void CopyDistractorScoreLists(const cv::Mat& distractor_scores,
                              int32_t num_distractors, ScoreLists* lists);

// SelectTopDistractors sorts lists 0 .. probe_count - 1 in place into
// descending order (NaN last) and sets `(*top)[p]` to the best
// min(top_count, list length) (distractor index, score) pairs of list p,
// best first; between equal scores the higher index comes first. Runs in
// parallel over probes; `*top` must have probe_count entries.
void SelectTopDistractors(int32_t probe_count, int32_t top_count,
                          ScoreLists* lists, TopDistractorLists* top);

// RankMates appends, for every subject in map order and every ordered pair
// (i, j) of its distinct probes in list order, the pair (mate rank, i) to
// `(*mate_ranks)[j]`; the mate rank is count(i, probe_scores(i, j)), the
// number of query i's distractor scores that beat its mate's score.
void RankMates(const SubjectMap& subject_map, const cv::Mat& probe_scores,
               const DistractorCounter& count, MateRankLists* mate_ranks);

// RankMates with the distractor counts read off sorted lists by bisection.
void RankMates(const SubjectMap& subject_map, const cv::Mat& probe_scores,
               const ScoreLists& sorted_lists, MateRankLists* mate_ranks);

// AppendIdentificationCMC counts the mate ranks (each 0..num_distractors)
// into a histogram, makes it cumulative, divides every slot by the pair
// count in single precision and appends the thinned curve to `*cmc`.
// Returns the rank-1 rate (NaN when there is no pair).
float AppendIdentificationCMC(const MateRankLists& mate_ranks,
                              int32_t num_distractors, CMCCurve* cmc);

// AppendROCCurve thins the true accept table `tar` (at least one entry)
// into (k / (N - 1), tar[k]) points, N = tar.size(), the false accept rate
// computed in single precision, and appends them to `*roc`.
void AppendROCCurve(const std::vector<float>& tar, ROCCurve* roc);

// AppendROCCurveFromCounts appends the ROC curve that AppendROCCurve gives
// for the true accept table of a verification list with `impostor_count`
// impostor pairs and one genuine pair per entry of `beaten_by`, the number
// of impostor pairs that beat it. Never builds the table.
void AppendROCCurveFromCounts(std::vector<uint64_t> beaten_by,
                              uint64_t impostor_count, ROCCurve* roc);

// RunVerification builds the verification list (each unordered pair of
// mates once, scored from the earlier probe's row, then every score of the
// first min(100, lists) distractor score lists as impostors), sorts it by
// descending (score, label) in parallel, computes the true accept table
// and appends the thinned ROC curve to `*roc`.
void RunVerification(const SubjectMap& subject_map,
                     const cv::Mat& probe_scores, const ScoreLists& lists,
                     ROCCurve* roc);

#endif  // FUSE_RESULTS_DRIVER_EVALUATION_H_
