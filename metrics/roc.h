// The verification ROC: genuine pairs (two probes of one subject) against
// impostor pairs (a probe and a distractor: every score in use of the
// first impostor rows). Entry k of the true accept table is the share of
// genuine pairs that a threshold accepting exactly k impostor pairs also
// accepts; a genuine pair that ties an impostor pair is accepted first. The
// ROC curve thins that table into (k / impostor count, rate) points.
#ifndef FUSE_RESULTS_METRICS_ROC_H_
#define FUSE_RESULTS_METRICS_ROC_H_

#include <cstdint>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "metrics/curves.h"
#include "metrics/identification.h"
#include "metrics/score_counts.h"
#include "metrics/splits.h"

// The distractor rows whose scores are the impostor pairs: the first
// kImpostorRowCount, or every row when there are fewer.
constexpr int32_t kImpostorRowCount = 100;

// ImpostorRows returns how many of `distractor_rows` rows are impostor
// rows.
inline int32_t ImpostorRows(int32_t distractor_rows) {
  return distractor_rows < kImpostorRowCount ? distractor_rows
                                             : kImpostorRowCount;
}

// A scored, labelled pair: label 1 genuine, any other label impostor.
using VerificationPair = std::pair<float, int32_t>;

// ComputeROC replaces `*tar` with the true accept table of
// `verification_list`, which is sorted by descending (score, label): entry
// k is the number of genuine pairs before the (k+1)-th impostor pair
// divided by `genuine_count` (both converted to float), for k from 0 to
// `impostor_count`. Entries past the last impostor of the list stay 0.
// Throws std::out_of_range when the list holds more than `impostor_count`
// impostor pairs. A negative `impostor_count` counts as 0.
void ComputeROC(const std::vector<VerificationPair>& verification_list,
                int64_t genuine_count, int64_t impostor_count,
                std::vector<float>* tar);

// AppendROCCurveFromCounts appends the thinned ROC curve of the true accept
// table of `impostor_count` impostor pairs and one genuine pair per entry
// of `beaten_by`, the number of impostor pairs that beat it (each at most
// impostor_count): the false accept rate k / impostor_count and the rate
// in single precision. Never builds the table. With no genuine pair, the
// rates that impostors reach are NaN and entry 0 is 0.
void AppendROCCurveFromCounts(std::vector<int64_t> beaten_by,
                              int64_t impostor_count, ROCCurve* roc);

// AppendROCCurveFromSortedCounts is AppendROCCurveFromCounts for
// `beaten_by` in ascending order.
void AppendROCCurveFromSortedCounts(const std::vector<int64_t>& beaten_by,
                                    int64_t impostor_count, ROCCurve* roc);

// GenuineScoresOfMates returns the score of every genuine pair (the
// unordered pairs of mates, each once, scored from the row of the probe
// that comes first in its subject's list), from the mate pairs that
// ListMatePairs lists for the map: the genuine pair of the probes at
// positions a < b of a subject's list is the ordered mate pair (a, b).
std::vector<float> GenuineScoresOfMates(const SubjectMap& subject_map,
                                        const MatePairs& mate_pairs);

// SortForCounting sorts `*scores` ascending, NaN scores last: in that
// order the number of scores that beat each one never rises, since a
// higher score is beaten by fewer and a NaN by none.
void SortForCounting(std::vector<float>* scores);

// ImpostorsBeatingEach asks counts.ImpostorsBeating(s) for every score s
// of `scores`, in order, and replaces `*beaten_by` with the answers (when
// not null).
void ImpostorsBeatingEach(const std::vector<float>& scores,
                          const ScoreCounts& counts,
                          std::vector<int64_t>* beaten_by);

#endif  // FUSE_RESULTS_METRICS_ROC_H_
