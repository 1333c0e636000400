#include "driver/run.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/progress.h"
#include "driver/score_pass.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "metrics/evaluation.h"
#include "metrics/roc.h"
#include "probes/probe_info.h"
#include "results/result_files.h"

namespace {

constexpr char kUsage[] =
    "Usage: <distractor_scores_filename> <probe_scores_filename> "
    "<probe_info_filename> <num_distractors> <results_filename> "
    "<match_results_filename>";

// Pieces of the distractor matrix in flight during the single pass: small
// enough to stay in the CPU caches between the read and the scan.
constexpr int64_t kPieceFloats = int64_t{1} << 16;  // 256 KiB.
constexpr int kPiecesInFlight = 8;

// ParseNumDistractors converts the argument like strtol (base 10, leading
// digits only) and clamps it to the 32-bit range, so that a huge count
// means "every column" instead of wrapping around. Returns false for a
// negative count.
bool ParseNumDistractors(const char* text, int32_t* num_distractors) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0') {
    std::fprintf(stderr,
                 "warning: num_distractors \"%s\" is not a plain number; "
                 "using %ld\n",
                 text, value);
  }
  if (value < 0) {
    std::fprintf(stderr, "num_distractors must not be negative (got %s)\n",
                 text);
    return false;
  }
  *num_distractors =
      value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  return true;
}

// CheckScoreMatrix returns true iff a matrix of `type` holds 32-bit floats
// (or nothing) and has at least `min_rows` rows and `min_cols` columns;
// otherwise it says on standard error what is wrong with the file.
bool CheckScoreMatrix(const std::string& path, const char* what, int rows,
                      int cols, int type, int64_t min_rows, int64_t min_cols) {
  if (int64_t{rows} * cols > 0 && type != CV_32FC1) {
    std::fprintf(stderr,
                 "%s: the %s must hold 32-bit floats (type code 5), not "
                 "type code %d\n",
                 path.c_str(), what, type);
    return false;
  }
  if (rows < min_rows || cols < min_cols) {
    std::fprintf(
        stderr,
        "%s: the %s is %d x %d, but the probe info file names %lld "
        "probes, so it needs at least %lld rows%s\n",
        path.c_str(), what, rows, cols, static_cast<long long>(min_rows),
        static_cast<long long>(min_rows), min_cols > 0 ? " and columns" : "");
    return false;
  }
  return true;
}

// LoadFirstInputs handles the arguments, the probe info file and the probe
// score matrix. Returns false (after saying why) when the run must end.
bool LoadFirstInputs(int argc, char** argv, RunInputs* in) {
  if (argc != 7) {
    std::puts(kUsage);
    return false;
  }
  in->distractor_scores_filename = argv[1];
  in->probe_scores_filename = argv[2];
  const std::string probe_info_filename = argv[3];
  in->results_filename = argv[5];
  in->match_results_filename = argv[6];
  if (!ParseNumDistractors(argv[4], &in->num_distractors)) return false;

  LoadProbeInfo(probe_info_filename, &in->probe_count, &in->subject_map,
                &in->probe_names);
  std::printf("Loaded %d probes spanning %d classes\n", in->probe_count,
              static_cast<int>(in->subject_map.size()));

  std::printf("Loading from %s\n", in->probe_scores_filename.c_str());
  std::string error;
  if (!MatIO::Load(in->probe_scores_filename, &in->probe_scores, &error)) {
    std::fprintf(stderr, "%s: %s\n", in->probe_scores_filename.c_str(),
                 error.c_str());
    std::puts("Could not load probe scores!");
    return false;
  }
  const cv::Mat& scores = in->probe_scores;
  std::printf("Probe score matrix size: %d %d\n", scores.rows, scores.cols);
  return CheckScoreMatrix(in->probe_scores_filename, "probe score matrix",
                          scores.rows, scores.cols, scores.type(),
                          in->probe_count, in->probe_count);
}

// SaveResults writes both files, the match results first; a file that
// cannot be written is reported and makes the status 1.
int SaveResults(const RunInputs& in, const RunOutputs& out) {
  int status = 0;
  if (!SaveMatches(in.match_results_filename, out.matches.top_distractors,
                   out.matches.mate_ranks)) {
    std::fprintf(stderr, "Could not write the match results file %s\n",
                 in.match_results_filename.c_str());
    status = 1;
  }
  if (!SaveCMCAndROC(in.results_filename, out.cmc, out.traditional_cmc,
                     out.roc)) {
    std::fprintf(stderr, "Could not write the results file %s\n",
                 in.results_filename.c_str());
    status = 1;
  }
  return status;
}

}  // namespace

int RunFuseResults(int argc, char** argv, const Route& route) {
  // Whatever a library throws (an allocation that fails, above all) ends
  // the run with one line and status 1, never with an abort; no result
  // file has been written at that point, or it was replaced whole.
  try {
    RunInputs in;
    if (!LoadFirstInputs(argc, argv, &in)) return 1;
    RunOutputs out;
    if (!route(&in, &out)) return 1;
    return SaveResults(in, out);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "fuse_results: out of memory\n");
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "fuse_results: %s\n", e.what());
  }
  return 1;
}

bool CheckDistractorMatrix(int rows, int cols, int type, RunInputs* in) {
  std::printf("distractor score matrix size: %d %d\n", rows, cols);
  if (!CheckScoreMatrix(in->distractor_scores_filename,
                        "distractor score matrix", rows, cols, type,
                        in->probe_count, 0)) {
    return false;
  }
  if (in->num_distractors > cols) in->num_distractors = cols;
  std::puts("Done loading. Time to compute some stats!");
  return true;
}

void ReportUnloadableDistractors(const RunInputs& in,
                                 const std::string& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", in.distractor_scores_filename.c_str(),
               error.c_str());
  std::puts("Couldn't load distractor scores!");
}

bool EvaluateInOnePass(RunInputs* in, RunOutputs* out) {
  MatRowStream stream;
  bool opened = false;
  std::string error;
  if (!stream.Open(in->distractor_scores_filename, &opened, &error)) {
    ReportUnloadableDistractors(*in, error);
    return false;
  }
  const MatHeader& header = stream.header();
  if (!CheckDistractorMatrix(header.rows, header.cols, header.type, in)) {
    return false;
  }
  const EvaluationInputs inputs{in->subject_map,  in->probe_names,
                                in->probe_scores, in->probe_count,
                                header.rows,      in->num_distractors};
  const PassPlan plan = PlanScorePass(
      RecordQuestions(inputs), in->num_distractors, ImpostorRows(header.rows));

  std::puts("Finding top distractors!");
  std::fflush(stdout);
  PassAnswers answers;
  {
    ProgressLine progress(header.step);
    if (!RunScorePass(
            plan, &stream, kPieceFloats, kPiecesInFlight,
            [&](int64_t done, int64_t total) { progress.Update(done, total); },
            &answers, &error)) {
      ReportUnloadableDistractors(*in, error);
      return false;
    }
  }
  std::puts("Done sorting distractor scores");

  Evaluation evaluation;
  Evaluate(inputs, PassCounts(plan, answers), &evaluation);
  std::puts("Making gallery!");
  std::puts("Done Making Gallery!");
  if (evaluation.traditional_slots >= 0) {
    std::printf("Allocating ranks (%d)\n", evaluation.traditional_slots);
  }
  std::printf("Rank 1: %f\n", static_cast<double>(evaluation.rank1));
  out->matches = std::move(evaluation.matches);
  out->cmc = std::move(evaluation.cmc);
  out->traditional_cmc = std::move(evaluation.traditional_cmc);
  out->roc = std::move(evaluation.roc);
  return true;
}
