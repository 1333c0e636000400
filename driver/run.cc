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

#include "driver/evaluation.h"
#include "driver/progress.h"
#include "driver/score_pass.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "metrics/metrics.h"
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
    std::fprintf(stderr,
                 "%s: the %s is %d x %d, but the probe info file names %lld "
                 "probes, so it needs at least %lld rows%s\n",
                 path.c_str(), what, rows, cols,
                 static_cast<long long>(min_rows),
                 static_cast<long long>(min_rows),
                 min_cols > 0 ? " and columns" : "");
    return false;
  }
  return true;
}

// What every route has after loading.
struct Inputs {
  std::string distractor_scores_filename;
  std::string probe_scores_filename;
  std::string results_filename;
  std::string match_results_filename;
  int32_t num_distractors = 0;
  int32_t probe_count = 0;
  SubjectMap subject_map;
  std::vector<std::string> probe_names;
  cv::Mat probe_scores;
};

// What every route produces.
struct Outputs {
  TopDistractorLists top_distractors;
  MateRankLists mate_ranks;
  CMCCurve cmc;
  CMCCurve traditional_cmc;
  ROCCurve roc;
};

// LoadFirstInputs handles the arguments, the probe info file and the probe
// score matrix. Returns false (after saying why) when the run must end.
bool LoadFirstInputs(int argc, char** argv, Inputs* in) {
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

// CheckDistractorMatrix prints the distractor matrix size line, checks the
// matrix, caps num_distractors and ends the loading.
bool CheckDistractorMatrix(int rows, int cols, int type, Inputs* in) {
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

void ReportUnloadableDistractors(const Inputs& in, const std::string& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", in.distractor_scores_filename.c_str(),
               error.c_str());
  std::puts("Couldn't load distractor scores!");
}

// EvaluateSortingEverything follows the plain algorithms on the loaded
// distractor matrix.
bool EvaluateSortingEverything(Inputs* in, Outputs* out) {
  cv::Mat distractor_scores;
  std::string error;
  if (!MatIO::Load(in->distractor_scores_filename, &distractor_scores,
                   &error)) {
    ReportUnloadableDistractors(*in, error);
    return false;
  }
  if (!CheckDistractorMatrix(distractor_scores.rows, distractor_scores.cols,
                             distractor_scores.type(), in)) {
    return false;
  }
  ScoreLists lists;
  CopyDistractorScoreLists(distractor_scores, in->num_distractors, &lists);
  distractor_scores.release();

  out->top_distractors.assign(in->probe_count, {});
  std::puts("Finding top distractors!");
  if (in->probe_count != 0) {
    SelectTopDistractors(in->probe_count, kTopDistractorCount, &lists,
                         &out->top_distractors);
  }
  std::puts("Done sorting distractor scores");
  RunTraditionalCMC(in->subject_map, in->probe_names, in->probe_scores, lists,
                    kTrialCount, &out->traditional_cmc);
  out->mate_ranks.assign(in->probe_count, {});
  RankMates(in->subject_map, in->probe_scores, lists, &out->mate_ranks);
  const float rank1 = AppendIdentificationCMC(
      out->mate_ranks, in->num_distractors, &out->cmc);
  std::printf("Rank 1: %f\n", static_cast<double>(rank1));
  RunVerification(in->subject_map, in->probe_scores, lists, &out->roc);
  return true;
}

// PlanScorePass lists every question the evaluation will ask of the
// distractor scores, and every genuine pair's score.
void PlanScorePass(const Inputs& in, int32_t distractor_rows, PassPlan* plan,
                   std::vector<float>* genuine_scores) {
  plan->num_distractors = in.num_distractors;
  plan->probe_rows = in.probe_count;
  plan->impostor_rows = std::min(kImpostorRowCount, distractor_rows);
  plan->top_count = kTopDistractorCount;
  plan->probe_thresholds.assign(in.probe_count, {});
  const cv::Mat& m = in.probe_scores;
  for (const auto& subject : in.subject_map) {
    const std::vector<int32_t>& q = subject.second;
    for (size_t a = 0; a < q.size(); ++a) {
      for (size_t b = 0; b < q.size(); ++b) {
        if (a == b) continue;
        // Query q[a] against its mate q[b].
        plan->probe_thresholds[q[a]].push_back(m.at<float>(q[a], q[b]));
        if (a < b) genuine_scores->push_back(m.at<float>(q[a], q[b]));
      }
    }
  }
  Splits galleries;
  Splits probes;
  MakeGalleriesAndProbes(in.subject_map, kTrialCount, &galleries, &probes);
  const std::vector<int32_t> subject_ids = SubjectIds(in.probe_names);
  for (size_t s = 0; s < galleries.size(); ++s) {
    for (const int32_t p : probes[s]) {
      float score = 0.0f;
      if (GetGalleryRank(m, subject_ids, galleries[s], p, &score) >= 0) {
        plan->probe_thresholds[p].push_back(score);
      }
    }
  }
  for (auto& thresholds : plan->probe_thresholds) SortThresholds(&thresholds);
  plan->genuine_thresholds = *genuine_scores;
  SortThresholds(&plan->genuine_thresholds);
}

// EvaluateInOnePass answers every question in one pass over the distractor
// matrix file and assembles the same curves and lists from the answers.
bool EvaluateInOnePass(Inputs* in, Outputs* out) {
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
  PassPlan plan;
  std::vector<float> genuine_scores;
  PlanScorePass(*in, header.rows, &plan, &genuine_scores);

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
  out->top_distractors = std::move(answers.top_distractors);

  const auto count = [&](int32_t probe, float score) {
    return CountBeating(plan.probe_thresholds[probe],
                        answers.probe_counts[probe], score);
  };
  RankTraditionalCMC(in->subject_map, in->probe_names, in->probe_scores,
                     static_cast<size_t>(header.rows), in->num_distractors,
                     count, kTrialCount, &out->traditional_cmc);
  out->mate_ranks.assign(in->probe_count, {});
  RankMates(in->subject_map, in->probe_scores, count, &out->mate_ranks);
  const float rank1 = AppendIdentificationCMC(
      out->mate_ranks, in->num_distractors, &out->cmc);
  std::printf("Rank 1: %f\n", static_cast<double>(rank1));

  std::vector<uint64_t> beaten_by;
  beaten_by.reserve(genuine_scores.size());
  for (const float score : genuine_scores) {
    beaten_by.push_back(static_cast<uint64_t>(CountBeating(
        plan.genuine_thresholds, answers.genuine_counts, score)));
  }
  AppendROCCurveFromCounts(
      std::move(beaten_by),
      static_cast<uint64_t>(plan.impostor_rows) *
          static_cast<uint64_t>(in->num_distractors),
      &out->roc);
  return true;
}

// SaveResults writes both files, the match results first; a file that
// cannot be written is reported and makes the status 1.
int SaveResults(const Inputs& in, const Outputs& out) {
  int status = 0;
  if (!SaveMatches(in.match_results_filename, out.top_distractors,
                   out.mate_ranks)) {
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

int RunFuseResults(int argc, char** argv, Route route) {
  // Whatever a library throws (an allocation that fails, above all) ends
  // the run with one line and status 1, never with an abort; no result
  // file has been written at that point, or it was replaced whole.
  try {
    Inputs in;
    if (!LoadFirstInputs(argc, argv, &in)) return 1;
    Outputs out;
    const bool evaluated = route == Route::kSinglePass
                               ? EvaluateInOnePass(&in, &out)
                               : EvaluateSortingEverything(&in, &out);
    if (!evaluated) return 1;
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
