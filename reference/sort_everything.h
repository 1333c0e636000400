// The plain algorithms of the evaluation: the distractor matrix loaded,
// every probe's list sorted in full, every mate ranked by bisection, one
// sorted verification list. They share no curve code with the single pass
// (only the named metric functions GetRank, RunTraditionalCMC, ComputeROC
// and QuantizeCMC), so that they check it independently; the tests and the
// benchmark compare the two.
//
// Scores are ordered as everywhere else: a score beats another iff it
// compares strictly greater as a float. Sorted lists put NaN scores last,
// so counting the scores that beat s by bisection equals counting them one
// by one.
#ifndef FUSE_RESULTS_REFERENCE_SORT_EVERYTHING_H_
#define FUSE_RESULTS_REFERENCE_SORT_EVERYTHING_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/run.h"
#include "metrics/curves.h"
#include "metrics/identification.h"
#include "metrics/operating_points.h"
#include "metrics/splits.h"
#include "metrics/top_distractors.h"

// One list of scores per distractor matrix row.
using ScoreLists = std::vector<std::vector<float>>;

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

// RankMatesInSortedLists appends, for every subject in map order and every
// ordered pair (i, j) of its distinct probes in list order, the pair (mate
// rank, i) to `(*mate_ranks)[j]`: the mate rank is the number of entries
// of sorted list i greater than probe_scores(i, j), found by bisection.
void RankMatesInSortedLists(const SubjectMap& subject_map,
                            const cv::Mat& probe_scores,
                            const ScoreLists& sorted_lists,
                            MateRankLists* mate_ranks);

// AppendHistogramCMC counts the mate ranks into num_distractors + 1 slots,
// makes them cumulative, divides each slot by the number of pairs in
// single precision and appends the QuantizeCMC thinning to `*cmc`. Returns
// the rank-1 rate (NaN without pairs).
float AppendHistogramCMC(const MateRankLists& mate_ranks,
                         int32_t num_distractors, CMCCurve* cmc);

// AppendROCCurve thins the true accept table `tar` (at least one entry)
// into (k / (N - 1), tar[k]) points, N = tar.size(), the false accept rate
// computed in single precision, and appends them to `*roc`.
void AppendROCCurve(const std::vector<float>& tar, ROCCurve* roc);

// RunVerification builds the verification list (each unordered pair of
// mates once, scored from the earlier probe's row, then every score of the
// first min(100, lists) distractor score lists as impostors), sorts it by
// descending (score, label) in parallel, computes the true accept table
// and appends the thinned ROC curve to `*roc`. With `facts`, sets their
// impostor count and, from the sorted list, the number of impostor pairs
// ahead of each genuine pair.
void RunVerification(const SubjectMap& subject_map, const cv::Mat& probe_scores,
                     const ScoreLists& lists, ROCCurve* roc,
                     OperatingPointFacts* facts = nullptr);

// EvaluateSortingEverything is the route of fuse_results_sort_everything:
// the plain algorithms on the loaded distractor matrix.
bool EvaluateSortingEverything(RunInputs* in, RunOutputs* out);

#endif  // FUSE_RESULTS_REFERENCE_SORT_EVERYTHING_H_
