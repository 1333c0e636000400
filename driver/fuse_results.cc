// fuse_results: evaluates an identification experiment from its score
// matrices. Standard output carries the progress and summary lines; every
// diagnostic goes to standard error.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/evaluation.h"
#include "matio/mat_io.h"
#include "metrics/metrics.h"
#include "probes/probe_info.h"
#include "results/result_files.h"

namespace {

constexpr char kUsage[] =
    "Usage: <distractor_scores_filename> <probe_scores_filename> "
    "<probe_info_filename> <num_distractors> <results_filename> "
    "<match_results_filename>";

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
  *num_distractors = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  return true;
}

// CheckScoreMatrix returns true iff `mat` holds 32-bit floats (or nothing)
// and has at least `min_rows` rows and `min_cols` columns; otherwise it
// says on standard error what is wrong with the file.
bool CheckScoreMatrix(const std::string& path, const char* what,
                      const cv::Mat& mat, int64_t min_rows, int64_t min_cols) {
  if (mat.total() > 0 && mat.type() != CV_32FC1) {
    std::fprintf(stderr,
                 "%s: the %s must hold 32-bit floats (type code 5), not "
                 "type code %d\n",
                 path.c_str(), what, mat.type());
    return false;
  }
  if (mat.rows < min_rows || mat.cols < min_cols) {
    std::fprintf(stderr,
                 "%s: the %s is %d x %d, but the probe info file names %lld "
                 "probes, so it needs at least %lld rows%s\n",
                 path.c_str(), what, mat.rows, mat.cols,
                 static_cast<long long>(min_rows),
                 static_cast<long long>(min_rows),
                 min_cols > 0 ? " and columns" : "");
    return false;
  }
  return true;
}

bool LoadScoreMatrix(const std::string& path, cv::Mat* mat) {
  std::string error;
  if (MatIO::Load(path, mat, &error)) return true;
  std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::puts(kUsage);
    return 1;
  }
  const std::string distractor_scores_filename = argv[1];
  const std::string probe_scores_filename = argv[2];
  const std::string probe_info_filename = argv[3];
  const std::string results_filename = argv[5];
  const std::string match_results_filename = argv[6];
  int32_t num_distractors = 0;
  if (!ParseNumDistractors(argv[4], &num_distractors)) return 1;

  int32_t probe_count = 0;
  SubjectMap subject_map;
  std::vector<std::string> probe_names;
  LoadProbeInfo(probe_info_filename, &probe_count, &subject_map, &probe_names);
  std::printf("Loaded %d probes spanning %d classes\n", probe_count,
              static_cast<int>(subject_map.size()));

  std::printf("Loading from %s\n", probe_scores_filename.c_str());
  cv::Mat probe_scores;
  if (!LoadScoreMatrix(probe_scores_filename, &probe_scores)) {
    std::puts("Could not load probe scores!");
    return 1;
  }
  std::printf("Probe score matrix size: %d %d\n", probe_scores.rows,
              probe_scores.cols);
  if (!CheckScoreMatrix(probe_scores_filename, "probe score matrix",
                        probe_scores, probe_count, probe_count)) {
    return 1;
  }

  cv::Mat distractor_scores;
  if (!LoadScoreMatrix(distractor_scores_filename, &distractor_scores)) {
    std::puts("Couldn't load distractor scores!");
    return 1;
  }
  std::printf("distractor score matrix size: %d %d\n", distractor_scores.rows,
              distractor_scores.cols);
  if (!CheckScoreMatrix(distractor_scores_filename, "distractor score matrix",
                        distractor_scores, probe_count, 0)) {
    return 1;
  }
  if (num_distractors > distractor_scores.cols) {
    num_distractors = distractor_scores.cols;
  }
  std::puts("Done loading. Time to compute some stats!");

  ScoreLists lists;
  CopyDistractorScoreLists(distractor_scores, num_distractors, &lists);
  distractor_scores.release();

  TopDistractorLists top_distractors(probe_count);
  std::puts("Finding top distractors!");
  if (probe_count != 0) {
    SelectTopDistractors(probe_count, kTopDistractorCount, &lists,
                         &top_distractors);
  }
  std::puts("Done sorting distractor scores");

  CMCCurve traditional_cmc;
  RunTraditionalCMC(subject_map, probe_names, probe_scores, lists,
                    kTrialCount, &traditional_cmc);

  MateRankLists mate_ranks(probe_count);
  RankMates(subject_map, probe_scores, lists, &mate_ranks);
  CMCCurve cmc;
  const float rank1_rate =
      AppendIdentificationCMC(mate_ranks, num_distractors, &cmc);
  std::printf("Rank 1: %f\n", static_cast<double>(rank1_rate));

  ROCCurve roc;
  RunVerification(subject_map, probe_scores, lists, &roc);

  int status = 0;
  if (!SaveMatches(match_results_filename, top_distractors, mate_ranks)) {
    std::fprintf(stderr, "Could not write the match results file %s\n",
                 match_results_filename.c_str());
    status = 1;
  }
  if (!SaveCMCAndROC(results_filename, cmc, traditional_cmc, roc)) {
    std::fprintf(stderr, "Could not write the results file %s\n",
                 results_filename.c_str());
    status = 1;
  }
  return status;
}
