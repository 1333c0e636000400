// The whole evaluation of a run, from the probe scores and the answers
// about the distractor scores: the match report, the identification CMC,
// the traditional CMC, the ROC and the facts behind their exact operating
// points. Pure: nothing is read or printed.
//
// Evaluate asks its questions only through ScoreCounts, so the questions a
// pass over the distractor scores must answer are recorded by running this
// same code once (RecordQuestions): the plan cannot drift from the code
// that asks. What does not depend on the answers (which pairs are ranked
// and scored, and the gallery part of the traditional ranks) is prepared
// once (PrepareEvaluation), and the recording and the evaluation both
// start from it.
#ifndef FUSE_RESULTS_METRICS_EVALUATION_H_
#define FUSE_RESULTS_METRICS_EVALUATION_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "metrics/curves.h"
#include "metrics/identification.h"
#include "metrics/match_report.h"
#include "metrics/operating_points.h"
#include "metrics/score_counts.h"
#include "metrics/splits.h"
#include "metrics/traditional_cmc.h"

// What the evaluation reads. The probe score matrix is a float matrix with
// a row and a column for each of the `probe_count` probes; the distractor
// matrix has `distractor_rows` rows (at least one per probe) of which the
// first `num_distractors` columns are in use.
struct EvaluationInputs {
  const SubjectMap& subject_map;
  const std::vector<std::string>& probe_names;
  const cv::Mat& probe_scores;
  int32_t probe_count;
  int32_t distractor_rows;
  int32_t num_distractors;
  // Whether the evaluation keeps the facts behind the exact operating
  // points (Evaluation::facts stays empty otherwise).
  bool operating_point_facts = false;
};

// What the evaluation gives.
struct Evaluation {
  MatchReport matches;
  // The identification CMC and its rank-1 rate.
  CMCCurve cmc;
  float rank1 = 0.0f;
  // The traditional CMC over kTrialCount splits, and its slot count, or -1
  // when the inputs leave nothing to rank (see RankTraditionalCMC).
  CMCCurve traditional_cmc;
  int32_t traditional_slots = -1;
  ROCCurve roc;
  // The counts behind the curves, for the exact operating points, when
  // asked for.
  OperatingPointFacts facts;
};

// The part of the evaluation of some inputs that does not depend on the
// answers about the distractor scores.
struct PreparedEvaluation {
  // The probes the traditional CMC ranks and the gallery part of their
  // ranks.
  TraditionalRanking traditional;
  // The ordered mate pairs of the match report.
  MatePairs mate_pairs;
  // The scores of the genuine pairs of the ROC, in SortForCounting order.
  std::vector<float> genuine_scores;
};

// PrepareEvaluation replaces `*prepared` with the prepared part of the
// evaluation of `in`.
void PrepareEvaluation(const EvaluationInputs& in,
                       PreparedEvaluation* prepared);

// ProbeRowReader reads rows of a probe score matrix of 32-bit floats:
// columns 0 .. cols - 1 of rows first_row .. first_row + rows - 1 into
// `out`, row after row. Returns false with `error` when they cannot be
// read. It is called from several threads at once.
using ProbeRowReader =
    std::function<bool(int32_t first_row, int32_t rows, int32_t cols,
                       float* out, std::string* error)>;

// PrepareEvaluationFromRows is PrepareEvaluation with the probe score
// matrix (in.probe_scores is not used) read a few rows at a time by
// `read`, on the threads that use them, and never held whole: the same
// prepared evaluation. The matrix is `rows` x `cols` and must cover the
// probe indices of the map (false with `error` otherwise); only its rows
// and columns up to the largest index are read. Returns false with the
// error of the first rows, in row order, that could not be read.
bool PrepareEvaluationFromRows(const EvaluationInputs& in, int32_t rows,
                               int32_t cols, const ProbeRowReader& read,
                               PreparedEvaluation* prepared,
                               std::string* error);

// Evaluate replaces `*out` with the evaluation of `in`, asking `counts`
// about the distractor scores. Where `counts` answers concurrently, its
// parts (the traditional CMC, the match report, the ROC) run at once, so
// their questions interleave; the evaluation is the same.
void Evaluate(const EvaluationInputs& in, const ScoreCounts& counts,
              Evaluation* out);

// Evaluate as above, from `prepared`, which PrepareEvaluation made from
// the same inputs: the same questions, in the same order, and the same
// evaluation.
void Evaluate(const EvaluationInputs& in, const PreparedEvaluation& prepared,
              const ScoreCounts& counts, Evaluation* out);

// RecordQuestions returns every question Evaluate asks of the distractor
// scores for `in`, whatever the answers: its top_distractors has one entry
// per probe.
ScoreQuestions RecordQuestions(const EvaluationInputs& in);

// RecordQuestions as above, from `prepared`, which PrepareEvaluation made
// from `in`.
ScoreQuestions RecordQuestions(const EvaluationInputs& in,
                               const PreparedEvaluation& prepared);

#endif  // FUSE_RESULTS_METRICS_EVALUATION_H_
