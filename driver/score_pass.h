// The single pass over the distractor scores. Every question the evaluation
// asks of a probe's distractor scores is known before the first score is
// read: its best distractors, and how many of its scores beat each of a few
// thresholds (its mates' scores, its true matches' scores in the splits);
// and, for the first impostor rows, how many scores beat each genuine
// score. ScorePass answers all of them while the matrix streams by, one
// linear scan per row and nothing sorted, so memory does not grow with the
// number of distractors.
#ifndef FUSE_RESULTS_DRIVER_SCORE_PASS_H_
#define FUSE_RESULTS_DRIVER_SCORE_PASS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "matio/mat_stream.h"
#include "results/result_files.h"

// What the pass is asked. Thresholds are sorted ascending, distinct, and
// hold no NaN (a NaN is beaten by no score, so it needs no question).
struct PassPlan {
  int32_t num_distractors = 0;  // Leading columns used of every row.
  int32_t probe_rows = 0;       // Rows 0 .. probe_rows - 1 are probes.
  int32_t impostor_rows = 0;    // Rows 0 .. impostor_rows - 1 are impostors.
  int32_t top_count = 0;        // Best distractors recorded per probe.
  std::vector<std::vector<float>> probe_thresholds;  // One list per probe.
  std::vector<float> genuine_thresholds;
};

// What the pass found.
struct PassAnswers {
  // Per probe, its best min(top_count, num_distractors) distractors, best
  // first: descending score, the higher index first between equal scores,
  // NaN scores last.
  TopDistractorLists top_distractors;
  // probe_counts[p][t]: scores of row p that beat probe_thresholds[p][t].
  std::vector<std::vector<int64_t>> probe_counts;
  // genuine_counts[t]: scores of the impostor rows that beat
  // genuine_thresholds[t].
  std::vector<int64_t> genuine_counts;
};

// Progress of the pass: bytes of the data section consumed, and in all.
using PassProgress = std::function<void(int64_t done, int64_t total)>;

// SortThresholds sorts `*thresholds` ascending and drops NaNs and repeats
// (-0 and +0 are one threshold: the same scores beat both).
void SortThresholds(std::vector<float>* thresholds);

// CountBeating returns how many scores beat `score` according to the
// answers for `thresholds`: 0 for NaN; `score` must otherwise be one of
// the thresholds (throws std::logic_error if it is not).
int64_t CountBeating(const std::vector<float>& thresholds,
                     const std::vector<int64_t>& counts, float score);

// RunScorePass streams the selected part of `stream` (rows 0 ..
// max(probe_rows, impostor_rows) - 1, the first num_distractors columns)
// through parallel scans and fills `*answers`. Reads in pieces of
// `piece_floats` elements with at most `pieces_in_flight` pieces in memory.
// Returns false with `error` when the stream ends early or fails. The
// answers do not depend on the number of threads.
bool RunScorePass(const PassPlan& plan, MatRowStream* stream,
                  int64_t piece_floats, int pieces_in_flight,
                  const PassProgress& progress, PassAnswers* answers,
                  std::string* error);

#endif  // FUSE_RESULTS_DRIVER_SCORE_PASS_H_
