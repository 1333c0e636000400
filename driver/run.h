// The run of fuse_results: arguments, loading, the evaluation and the two
// result files. Standard output carries exactly the progress and summary
// lines; every diagnostic goes to standard error.
#ifndef FUSE_RESULTS_DRIVER_RUN_H_
#define FUSE_RESULTS_DRIVER_RUN_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/score_pass.h"
#include "driver/stage_times.h"
#include "features/feature_scores.h"
#include "matio/mat_stream.h"
#include "metrics/curves.h"
#include "metrics/match_report.h"
#include "metrics/operating_points.h"
#include "metrics/splits.h"

// What every route has after the arguments, the probe info file and the
// probe score matrix are loaded.
struct RunInputs {
  std::string distractor_scores_filename;
  std::string probe_scores_filename;
  std::string results_filename;
  std::string match_results_filename;
  std::string summary_filename;  // Empty: no summary file.
  OperatingPointRequest summary_request;
  int32_t num_distractors = 0;
  int32_t probe_count = 0;
  SubjectMap subject_map;
  std::vector<std::string> probe_names;
  // The probe score matrix, or, when the run reads it row by row while the
  // evaluation is prepared (see ProbeScoresIn), the open file instead, its
  // header checked; probe_scores is then empty.
  cv::Mat probe_scores;
  std::shared_ptr<const MatRowStream> probe_rows;
  // With --features: the probes' features, ready to score tiles of the
  // distractors' (the two score arguments then name feature files).
  std::shared_ptr<const FeatureScorer> scorer;
  StageTimes times;  // Where the time goes, when asked for.
  // Who reads the distractor file, named in what is wrong with it ("rank 2
  // of 4" in an MPI run); empty when one process reads all of it.
  std::string distractor_reader;
};

// What every route produces: the contents of the result files.
struct RunOutputs {
  MatchReport matches;
  CMCCurve cmc;
  CMCCurve traditional_cmc;
  ROCCurve roc;
  OperatingPointFacts facts;  // For the summary file.
};

// A route evaluates the distractor scores: it opens the distractor matrix,
// calls CheckDistractorMatrix, prints the lines from "Finding top
// distractors!" to "Rank 1" and fills `*out`. Returns false, after saying
// why, when the run must end with status 1.
using Route = std::function<bool(RunInputs* in, RunOutputs* out)>;

// How a route takes the probe score matrix. kMemory: whole, in
// RunInputs::probe_scores. kRows: where the file allows it (a regular file
// of 32-bit floats stored row by row, and no --features), as an open file
// in RunInputs::probe_rows that the evaluation's preparation reads a few
// rows at a time, so that the matrix is never whole in memory; otherwise
// whole.
enum class ProbeScoresIn { kMemory, kRows };

// RunFuseResults runs the program on `argc`/`argv` (the program name,
// options as driver/options.h reads them, and six arguments) with `route`
// and returns its exit status: 0 when every result file was written (or
// --help or --version answered), 1 after any problem with the arguments,
// the inputs or the result files, or any exception (one line on standard
// error).
int RunFuseResults(int argc, char** argv, const Route& route,
                   ProbeScoresIn how = ProbeScoresIn::kMemory);

// CheckDistractorMatrix prints the distractor matrix size line, checks a
// matrix of that shape and type against the probes, caps num_distractors
// at `cols` and prints the end of loading. Returns false after saying what
// is wrong with the file.
bool CheckDistractorMatrix(int rows, int cols, int type, RunInputs* in);

// ReportUnloadableDistractors says why the distractor matrix file cannot
// be used and prints "Couldn't load distractor scores!".
void ReportUnloadableDistractors(const RunInputs& in, const std::string& error);

// EvaluateInOnePass is the route of fuse_results: it records the questions
// of the evaluation, answers them in one pass over the distractor matrix
// file (memory does not grow with the matrix) and evaluates from the
// answers. With features (`in->scorer`), the pass goes over the
// distractors' feature file instead, scoring it in tiles.
bool EvaluateInOnePass(RunInputs* in, RunOutputs* out);

// How EvaluateInOnePass answers its pass: from `stream`, open with its
// header checked, it fills `*answers` for `plan`, reports the progress of
// what it reads, and sets `*changed_values` to the float64 values of the
// selected part that changed on becoming float32. Returns false with
// `error` (what is wrong with the distractor file) when the pass fails.
using PassRunner = std::function<bool(
    const PassPlan& plan, MatRowStream* stream, const PassProgress& progress,
    PassAnswers* answers, int64_t* changed_values, std::string* error)>;

// How EvaluateFromFeaturesWith answers its pass: from `stream`, the
// distractors' feature file, open with its header checked, it fills
// `*answers` for `plan` with the scores of `scorer`, and sets
// `*changed_values` as a PassRunner does.
using FeaturePassRunner = std::function<bool(
    const PassPlan& plan, const FeatureScorer& scorer, MatRowStream* stream,
    const PassProgress& progress, PassAnswers* answers, int64_t* changed_values,
    std::string* error)>;

// EvaluateFromFeaturesWith is the route with features (`in->scorer` set)
// with the pass answered by `runner` (fuse_results runs one FeatureSource
// over every distractor).
bool EvaluateFromFeaturesWith(const FeaturePassRunner& runner, RunInputs* in,
                              RunOutputs* out);

// EvaluateInOnePass with the pass answered by `runner` (the route above
// runs RunScorePass over the whole file).
bool EvaluateInOnePassWith(const PassRunner& runner, RunInputs* in,
                           RunOutputs* out);

#endif  // FUSE_RESULTS_DRIVER_RUN_H_
